#include "compare.h"

#include <cstdio>
#include <cstdlib>

namespace vantis::replay {
namespace {

bool printable(unsigned char c) { return c >= 0x20 && c < 0x7f; }

// A reply line at stream[at]: its length with its line end, 0 when what stands
// there is no line, npos when one may still be coming. Lines end in CR LF (an
// echoed comment may hold a LF of its own), the COMMENT? prompt in LF; none
// holds a zero byte.
std::size_t lineAt(const std::string& s, std::size_t at) {
    static const std::string prompt = "COMMENT?\n";
    if (s.compare(at, prompt.size(), prompt) == 0) return prompt.size();
    const auto crlf = s.find("\r\n", at);
    const auto zero = s.find('\0', at);
    if (crlf != std::string::npos && (zero == std::string::npos || zero > crlf)) return crlf + 2 - at;
    if (zero != std::string::npos) return 0;
    return s.size() - at > 4096 ? 0 : std::string::npos;
}

bool isNumber(const std::string& s) {
    if (s.empty()) return false;
    for (std::size_t i = 0; i < s.size(); ++i)
        if (!(s[i] >= '0' && s[i] <= '9') && !(i == 0 && s[i] == '-' && s.size() > 1)) return false;
    return true;
}

bool downloadWord(const std::string& w) {
    return w == "DUMPBIN" || w == "DUMPBINX" || w == "DUMPBINA" || w == "DUMPBINXA";
}

std::string withoutEnd(const std::string& line) {
    std::string s = line;
    while (!s.empty() && (s.back() == '\n' || s.back() == '\r')) s.pop_back();
    return s;
}

unsigned word16(const std::string& s, std::size_t at) {
    return static_cast<unsigned char>(s[at]) | static_cast<unsigned>(static_cast<unsigned char>(s[at + 1])) << 8;
}

}  // namespace

std::string shown(const std::string& bytes, std::size_t limit) {
    std::string out;
    const std::string s = withoutEnd(bytes);
    for (std::size_t i = 0; i < s.size() && out.size() < limit; ++i) {
        const auto c = static_cast<unsigned char>(s[i]);
        if (c == '\\') {
            out += "\\\\";
        } else if (printable(c)) {
            out += static_cast<char>(c);
        } else {
            char e[8];
            std::snprintf(e, sizeof e, "\\x%02X", c);
            out += e;
        }
    }
    if (out.size() >= limit) out += "...";
    return out;
}

std::vector<std::string> fieldsOf(const std::string& line) {
    std::vector<std::string> parts;
    const std::string s = withoutEnd(line);
    std::size_t start = 0;
    for (;;) {
        const auto hash = s.find('#', start);
        if (hash == std::string::npos) {
            parts.push_back(s.substr(start));
            return parts;
        }
        parts.push_back(s.substr(start, hash - start));
        start = hash + 1;
    }
}

bool checksumHolds(const std::string& line) {
    const std::string s = withoutEnd(line);
    const auto cut = s.rfind('#');
    if (cut == std::string::npos || !isNumber(s.substr(cut + 1))) return false;
    unsigned sum = 0;
    for (std::size_t i = 0; i <= cut; ++i) sum += static_cast<unsigned char>(s[i]);
    return std::atoi(s.c_str() + cut + 1) == static_cast<int>(sum % 256);
}

namespace {

constexpr long long kMaxFrames = 100000000;  // far beyond any recording: a header claiming more is no header

// The message at s[at], without copying it: its kind and length.
struct Cut {
    Message::Kind kind = Message::Line;
    std::size_t length = 0;
    std::size_t headerLength = 0, frameSize = 0;
    long long frames = 0;
    bool config = false;  // takes one of the configuration records
};

Cut cutAt(const std::string& s, std::size_t at, int configLeft) {
    Cut c;
    const std::size_t line = lineAt(s, at);
    if (line == std::string::npos) {
        c.kind = Message::Incomplete;
        c.length = s.size() - at;
        return c;
    }
    if (line == 0) {
        if (configLeft > 0) {
            c.config = true;
            c.kind = s.size() - at >= 256 ? Message::Config : Message::Incomplete;
            c.length = std::min<std::size_t>(256, s.size() - at);
        } else {
            c.kind = Message::Leftover;
            c.length = s.size() - at;
        }
        return c;
    }
    c.length = line;
    const auto f = fieldsOf(s.substr(at, line));
    if (f.size() == 4 && downloadWord(f[0]) && isNumber(f[1]) && isNumber(f[2]) && f[1].size() < 7 && f[2].size() < 10) {
        const long long words = std::atoll(f[1].c_str()), frames = std::atoll(f[2].c_str());
        if (words > 0 && words < 100000 && frames > 0 && frames <= kMaxFrames) {
            c.kind = Message::Download;
            c.headerLength = line;
            c.frameSize = static_cast<std::size_t>(2 * words + 1);
            c.frames = frames;
            const std::size_t want = c.frameSize * static_cast<std::size_t>(frames);
            const std::size_t have = std::min(want, s.size() - at - line);
            c.length += have;
            if (have < want) c.kind = Message::Incomplete;
        }
    }
    return c;
}

}  // namespace

std::vector<Message> splitReplies(const std::string& s, int configRecords) {
    std::vector<Message> out;
    std::size_t at = 0;
    while (at < s.size()) {
        const Cut c = cutAt(s, at, configRecords);
        if (c.config) --configRecords;
        Message m;
        m.kind = c.kind;
        m.offset = at;
        m.bytes = s.substr(at, c.length);
        m.headerLength = c.headerLength;
        m.frameSize = c.frameSize;
        m.frames = c.frames;
        out.push_back(std::move(m));
        at += c.length;
        if (c.kind == Message::Incomplete) break;
    }
    return out;
}

std::size_t ReplyCounter::count(const std::string& s, int configRecords) {
    while (m_offset < s.size()) {
        const Cut c = cutAt(s, m_offset, configRecords - m_configsUsed);
        if (c.kind == Message::Incomplete) break;
        if (c.kind == Message::Leftover) return m_complete + 1;  // the rest, whatever comes
        if (c.config) ++m_configsUsed;
        m_offset += c.length;
        ++m_complete;
    }
    return m_complete;
}

bool parseIgnore(const std::string& text, Ignore& out) {
    const auto colon = text.find(':');
    out.command = text.substr(0, colon);
    out.field = 0;
    if (out.command.empty() || out.command.find('#') != std::string::npos) return false;
    if (colon == std::string::npos) return true;
    const std::string n = text.substr(colon + 1);
    if (n.empty() || n.size() > 3 || !isNumber(n) || n[0] == '-') return false;
    out.field = std::atoi(n.c_str());
    return out.field >= 1;
}

std::string difference(const Message& expected, const Message& got, const std::vector<Ignore>& ignores,
                       int* differingFrames) {
    if (differingFrames) *differingFrames = 0;
    // A reply left out whole, a download with its frames included.
    const std::string word = fieldsOf(expected.bytes.substr(0, expected.bytes.find('\n'))).front();
    for (const Ignore& rule : ignores)
        if (rule.field == 0 && rule.command == word && (expected.kind == Message::Line || expected.kind == Message::Download))
            return {};
    if (expected.kind == Message::Download && got.kind == Message::Download) {
        const std::string eh = expected.bytes.substr(0, expected.headerLength);
        const std::string gh = got.bytes.substr(0, got.headerLength);
        if (eh != gh) return "the download header";
        std::string first;
        int differing = 0;
        const std::size_t size = expected.frameSize;
        for (long long i = 0; i < expected.frames; ++i) {
            const std::size_t at = expected.headerLength + static_cast<std::size_t>(i) * size;
            const std::string e = expected.bytes.substr(at, size), g = got.bytes.substr(at, size);
            if (e == g) continue;
            ++differing;
            if (!first.empty()) continue;
            std::size_t b = 0;
            while (b < e.size() && b < g.size() && e[b] == g[b]) ++b;
            if (b == size - 1) {
                char t[96];
                std::snprintf(t, sizeof t, "frame %lld checksum: expected %02X, got %02X", i,
                              static_cast<unsigned char>(e[b]), static_cast<unsigned char>(g[b]));
                first = t;
            } else {
                const std::size_t w = b / 2;
                char t[128];
                std::snprintf(t, sizeof t, "frame %lld word %zu: expected %u, got %u", i, w + 1, word16(e, 2 * w),
                              word16(g, 2 * w));
                first = t;
            }
        }
        if (differingFrames) *differingFrames = differing;
        if (differing == 0) return {};
        return first + (differing > 1 ? " (" + std::to_string(differing) + " frames differ)" : "");
    }
    if (expected.kind != got.kind || expected.kind != Message::Line) {
        if (expected.kind == got.kind && expected.bytes == got.bytes) return {};
        if (expected.kind == Message::Config && got.kind == Message::Config) {
            std::size_t b = 0;
            while (b < expected.bytes.size() && expected.bytes[b] == got.bytes[b]) ++b;
            return "byte " + std::to_string(b) + " of the configuration record";
        }
        return "the kind of answer";
    }
    if (expected.bytes == got.bytes) return {};
    const auto e = fieldsOf(expected.bytes), g = fieldsOf(got.bytes);
    std::vector<int> ignored;
    for (const Ignore& rule : ignores)
        if (!e.empty() && rule.command == e[0]) {
            if (rule.field == 0) return {};
            ignored.push_back(rule.field);
        }
    if (e.size() != g.size()) {
        if (!e.empty() && !g.empty() && e[0] != g[0]) return "the reply word";
        return "the number of fields";
    }
    const auto skip = [&](std::size_t i) {
        for (int f : ignored)
            if (static_cast<std::size_t>(f) == i) return true;
        return false;
    };
    for (std::size_t i = 0; i + 1 < e.size(); ++i) {
        if (skip(i) || e[i] == g[i]) continue;
        return i == 0 ? "the reply word" : "field " + std::to_string(i);
    }
    // Only ignored fields differ: the received line must still hold its own checksum.
    if (!ignored.empty() && checksumHolds(got.bytes)) return {};
    if (e.size() > 1 && e.back() != g.back()) return "the checksum";
    return "the line end";
}

}  // namespace vantis::replay
