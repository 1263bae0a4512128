#include "expected.h"

#include <cstdint>
#include <cstdio>
#include <sstream>
#include <vector>

#include "VAmain.h"
#include "cvi.h"
#include "instrument.h"

namespace vantis::expected {
namespace {

constexpr long long kFramesPerMs = 10;
// The longest answer, in frames: a few megabytes of text (ask in pieces beyond).
constexpr long long kMaxFrames = 60001;
constexpr int kMaxWords = 60;

bool integer(const std::string& s, long long& out) {
    if (s.empty() || s.size() > 10) return false;
    std::size_t i = s[0] == '-' || s[0] == '+' ? 1 : 0;
    if (i == s.size() || s.find_first_not_of("0123456789", i) != std::string::npos) return false;
    out = std::stoll(s);
    return true;
}

}  // namespace

std::string verb(const std::string& args) {
    std::istringstream in(args);
    std::vector<std::string> w;
    for (std::string word; in >> word && w.size() < 4;) w.push_back(word);
    long long start = 0, end = 0;
    if (w.size() < 2 || w.size() > 3 || !integer(w[0], start) || !integer(w[1], end) || (w.size() == 3 && w[2] != "--csv"))
        return "error data expected needs START END in ms from the trigger (integers)";
    if (end < start) return "error data expected: END " + w[1] + " is before START " + w[0];
    const long long frames = (end - start) * kFramesPerMs + 1;
    if (frames > kMaxFrames)
        return "error data expected: at most " + std::to_string(kMaxFrames) + " frames (" +
               std::to_string((kMaxFrames - 1) / kFramesPerMs) + " ms) at once; ask in pieces";
    if (instrument.model_type <= 0) return "error data expected: no model is chosen";
    const int leds = instrument.num_leds, axes = instrument.num_axes, words = leds * axes;
    if (words <= 0 || words > kMaxWords) return "error data expected: the model has no frames";

    std::string out = "ok [\"time_ms";
    for (int l = 1; l <= leds; ++l)
        for (int j = 0; j < axes; ++j) out += ",led" + std::to_string(l) + "_" + "xyz"[j];
    out += "\"";
    out.reserve(static_cast<std::size_t>(frames) * static_cast<std::size_t>(words) * 6);
    std::uint16_t before[kMaxWords], after[kMaxWords];
    pattern_coordinates(false, before);
    pattern_coordinates(true, after);
    unsigned short sample[kMaxWords];
    // The download's own rule: the recording's sampler when it serves this model, else the pattern.
    const bool recorded = GetRecordedSample(start * kFramesPerMs, words, sample) == 1;
    for (long long i = 0; i < frames; ++i) {
        const long long tenths = start * kFramesPerMs + i;
        const std::uint16_t* row = tenths < 0 ? before : after;
        if (recorded) {
            if (i > 0) GetRecordedSample(tenths, words, sample);
            row = sample;
        }
        char time[32];
        std::snprintf(time, sizeof time, ",\"%s%lld.%lld", tenths < 0 ? "-" : "", (tenths < 0 ? -tenths : tenths) / 10,
                      (tenths < 0 ? -tenths : tenths) % 10);
        out += time;
        for (int k = 0; k < words; ++k) out += "," + std::to_string(row[k]);
        out += "\"";
    }
    return out + "]";
}

}  // namespace vantis::expected
