#include "downloadwatch.h"

#include <charconv>
#include <string_view>

namespace vantis {
namespace {

constexpr std::size_t kLongestHeader = 64;
constexpr long long kMostWords = 1000;

bool wholeNumber(std::string_view text, long long* out) {
    if (text.empty() || text.size() > 12) return false;
    const auto [at, ec] = std::from_chars(text.data(), text.data() + text.size(), *out);
    return ec == std::errc() && at == text.data() + text.size();
}

}  // namespace

std::optional<DownloadWatch::Download> parseDownloadHeader(const unsigned char* data, std::size_t length) {
    if (!data || length < 4 || length > kLongestHeader) return std::nullopt;
    std::string_view text(reinterpret_cast<const char*>(data), length);
    if (!text.starts_with("DUMPBIN") || !text.ends_with("\r\n")) return std::nullopt;
    text.remove_suffix(2);
    std::string_view fields[4];
    std::size_t n = 0;
    for (std::size_t at = 0; n < 4;) {
        const std::size_t hash = text.find('#', at);
        fields[n++] = text.substr(at, hash == std::string_view::npos ? std::string_view::npos : hash - at);
        if (hash == std::string_view::npos) break;
        at = hash + 1;
        if (n == 4) return std::nullopt;  // more fields than a header has
    }
    long long words = 0, frames = 0, sum = 0;
    if (n != 4 || !wholeNumber(fields[1], &words) || !wholeNumber(fields[2], &frames) || !wholeNumber(fields[3], &sum) ||
        words <= 0 || words > kMostWords || frames <= 0)
        return std::nullopt;
    DownloadWatch::Download d;
    d.command = std::string(fields[0]);
    d.frames = frames;
    d.frameBytes = static_cast<int>(2 * words + 1);
    return d;
}

long long DownloadWatch::frameIndexOf(unsigned handle, std::size_t length) const {
    if (!current_ || handle != handle_ || length != static_cast<std::size_t>(current_->frameBytes)) return -1;
    return current_->sent;
}

void DownloadWatch::onWrite(unsigned handle, const unsigned char* data, std::size_t length) {
    if (frameIndexOf(handle, length) >= 0) {
        if (++current_->sent == current_->frames) end();
        return;
    }
    if (current_) end();  // anything else on the stream: the download is over
    if (auto d = parseDownloadHeader(data, length)) {
        current_ = std::move(d);
        handle_ = handle;
        if (started) started(*current_);
    }
}

void DownloadWatch::onEventPass() {
    if (current_) end();
}

void DownloadWatch::end() {
    const Download done = *current_;
    current_.reset();
    if (finished) finished(done);
}

}  // namespace vantis
