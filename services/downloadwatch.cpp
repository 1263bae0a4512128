#include "downloadwatch.h"

#include <cstring>

namespace vantis {
namespace {

// "DUMPBINA#33#20001#" + sum + CR LF: the variant, the words and the frames of a
// download header, or false for any other write.
bool parseHeader(const unsigned char* data, std::size_t length, std::string& name, long long& words, long long& frames) {
    if (length < 12 || length > 64 || data[length - 1] != '\n' || data[length - 2] != '\r') return false;
    if (std::memcmp(data, "DUMPBIN", 7) != 0) return false;  // the common case, looked at without a copy
    const std::string text(reinterpret_cast<const char*>(data), length - 2);
    const auto h1 = text.find('#');
    const auto h2 = text.find('#', h1 + 1);
    const auto h3 = h2 == std::string::npos ? h2 : text.find('#', h2 + 1);
    if (h3 == std::string::npos) return false;
    name = text.substr(0, h1);
    if (name != "DUMPBIN" && name != "DUMPBINA" && name != "DUMPBINX" && name != "DUMPBINXA") return false;
    const auto number = [&](std::size_t from, std::size_t to, long long& out) {
        if (to <= from || to - from > 12) return false;
        out = 0;
        for (std::size_t i = from; i < to; ++i) {
            if (text[i] < '0' || text[i] > '9') return false;
            out = out * 10 + (text[i] - '0');
        }
        return true;
    };
    return number(h1 + 1, h2, words) && number(h2 + 1, h3, frames) && words > 0 && frames > 0;
}

}  // namespace

void DownloadWatch::onWrite(unsigned handle, const unsigned char* data, std::size_t length) {
    if (!data || length == 0) return;
    if (m_current && handle == m_handle && static_cast<int>(length) == m_current->frameBytes) {
        if (++m_current->sent >= m_current->frames) finish();
        return;
    }
    std::string name;
    long long words = 0, frames = 0;
    if (!parseHeader(data, length, name, words, frames)) return;
    if (m_current) finish();
    m_current = Download{name, frames, static_cast<int>(2 * words + 1), 0};
    m_handle = handle;
    if (started) started(*m_current);
}

void DownloadWatch::onEventPass() {
    if (m_current) finish();
}

void DownloadWatch::finish() {
    const Download done = *m_current;
    m_current.reset();
    if (finished) finished(done);
}

}  // namespace vantis
