#include "downloadwatch.h"

#include <cstring>
#include <string_view>

namespace vantis {
namespace {

constexpr std::string_view kNames[] = {"DUMPBINXA", "DUMPBINA", "DUMPBINX", "DUMPBIN"};

// A decimal field up to the next '#': its value, or -1.
long long field(std::string_view text, std::size_t& at) {
    long long v = 0;
    const std::size_t start = at;
    while (at < text.size() && text[at] >= '0' && text[at] <= '9' && at - start < 12) v = v * 10 + (text[at++] - '0');
    if (at == start || at >= text.size() || text[at] != '#') return -1;
    ++at;
    return v;
}

}  // namespace

void DownloadWatch::onWrite(unsigned handle, const unsigned char* data, std::size_t length) {
    if (current_ && handle == handle_) {
        if (static_cast<int>(length) == current_->frameBytes) {
            if (++current_->sent >= current_->frames) finish();
            return;
        }
        finish();  // anything else written ends it
    }
    if (!data || length < 12 || length > 64) return;
    const std::string_view text(reinterpret_cast<const char*>(data), length);
    if (text.substr(text.size() - 2) != "\r\n") return;
    for (const std::string_view name : kNames) {
        if (text.substr(0, name.size() + 1) != std::string(name) + "#") continue;
        std::size_t at = name.size() + 1;
        const long long words = field(text, at);
        const long long frames = field(text, at);
        if (words <= 0 || frames <= 0 || words > 1000) return;
        current_ = Download{std::string(name), frames, static_cast<int>(2 * words + 1), 0};
        handle_ = handle;
        if (started) started(*current_);
        return;
    }
}

void DownloadWatch::onEventPass() {
    if (current_) finish();
}

void DownloadWatch::finish() {
    const Download done = *current_;
    current_.reset();
    if (finished) finished(done);
}

}  // namespace vantis
