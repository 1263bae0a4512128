// The instrument's models, one row each: the model ring's value, the ring's
// text and one short name for scripts. The simulator's --model, the control
// channel's `model` verb, vantis-ctl's help, the state report, the event
// stream and tools/make-recording.py all read this one table (the script
// parses the rows below, so keep each on one line in this form).
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

namespace vantis::models {

struct Model {
    int value;               // the model ring's value
    const char* ring;        // the ring item's text
    const char* shortName;   // for scripts
    int leds;
    int axes;
};

// Value 0 is the ring's "no model" item; it has no short name of its own ("none").
inline constexpr Model kAll[] = {
    {0, "Select Vantis Model", "none", 0, 0},
    {1, "WorldSID", "worldsid", 18, 3},
    {2, "Hybrid III 50th Male", "h3-50", 12, 2},
    {3, "Hybrid III 50th Male 3-axis", "h3-50-3axis", 6, 3},
    {4, "Hybrid III 5th Female", "h3-5", 12, 2},
    {5, "SIDIIs", "sid2s", 6, 3},
    {6, "Polar", "polar", 6, 2},
    {7, "Ballistic", "ballistic", 3, 3},
    {8, "Hybrid III 50th Male Adjustable", "h3-50-adjustable", 12, 2},
    {9, "WorldSID 5th", "worldsid-5th", 18, 3},
    {10, "2ndGen WorldSID", "worldsid-2ndgen", 18, 3},
};
inline constexpr int kCount = static_cast<int>(sizeof kAll / sizeof kAll[0]);

// The row of a ring value; null outside 0..10.
inline const Model* byValue(int value) { return value >= 0 && value < kCount ? &kAll[value] : nullptr; }

inline std::string lowered(std::string_view s) {
    std::string out(s);
    for (char& c : out)
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    return out;
}

// The ring value a script's word names: the number, the ring's text in any
// case, or the short name in any case; -1 for none of them.
inline int find(std::string_view word) {
    if (word.empty() || word.size() > 64) return -1;
    if (word.size() <= 2 && word.find_first_not_of("0123456789") == std::string_view::npos) {
        const int n = word.size() == 1 ? word[0] - '0' : (word[0] - '0') * 10 + (word[1] - '0');
        return n < kCount ? n : -1;
    }
    const std::string want = lowered(word);
    for (const Model& m : kAll)
        if (want == lowered(m.ring) || want == m.shortName) return m.value;
    return -1;
}

// The short name of a ring value ("" outside the table).
inline const char* shortName(int value) {
    const Model* m = byValue(value);
    return m ? m->shortName : "";
}

// "1 worldsid (WorldSID)" lines for a help text, each with the given indent.
inline std::string listing(std::string_view indent) {
    std::string out;
    for (const Model& m : kAll) {
        if (m.value == 0) continue;
        std::string line = std::string(indent) + (m.value < 10 ? " " : "") + std::to_string(m.value) + "  " + m.shortName;
        line.resize(indent.size() + 22, ' ');
        out += line + m.ring + "\n";
    }
    return out;
}

}  // namespace vantis::models
