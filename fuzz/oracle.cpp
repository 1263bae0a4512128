// The fuzz target's checks. The oracle keeps its own record of every byte that
// entered the receive ring and, independently of the modules, knows where each
// line starts and ends. From that it checks that the ring matches the record,
// that the reader consumes whole lines only (or drops an over-long one whole),
// that what reaches the interpreter's dispatch is exactly a line the client
// sent, parsed right, and that every write is framed as the protocol says.
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <string_view>
#include <tuple>
#include <vector>

#include "ZErov.h"
#include "instrument.h"
#include "scripted.h"
#include "serialcom.h"

namespace fuzz {
namespace {

constexpr std::size_t kLongestLine = 254;  // a longer line cannot be in the ring with its line feed

struct Oracle {
    std::string entered;                   // every byte that went into the ring, in order
    std::vector<std::uint32_t> lineStart;  // for each of them, where its line starts in `entered`
    std::size_t consumed = 0;              // entered[consumed..] is unread
    std::uint8_t readIndex = 0;            // the reader's index when last looked at
    long long framesLeft = 0;              // binary frames still due from a download
    std::size_t frameSize = 0;
    bool expectOperator = false;
    std::string operatorText;
    bool lineBreak = false;  // the next byte starts a line: a dropped line was ended
    bool checked = false;
    std::tuple<std::uint8_t, std::uint8_t, std::size_t, std::size_t> lastChecked;
};

Oracle o;

struct Span {
    int wholeLines = 0;  // lines consumed that fit the ring (at most one per reader call)
    std::size_t lastStart = 0, lastLength = 0;
};

// Accounts for what the reader consumed since last looked at.
Span track() {
    Span span;
    const std::uint8_t advance = static_cast<std::uint8_t>(rx_ring.read_index - o.readIndex);
    const std::size_t unread = o.entered.size() - o.consumed;
    if (advance > unread) fail("the reader moved %u bytes with only %zu unread", advance, unread);
    const std::size_t end = o.consumed + advance;
    std::size_t pos = o.consumed;
    while (pos < end) {
        const std::size_t start = o.lineStart[pos];
        const std::size_t feed = o.entered.find('\n', pos);
        if (feed != std::string::npos && feed < end) {
            const std::size_t length = feed - start;
            if (length <= kLongestLine) {
                if (pos != start) fail("a line was consumed in pieces (from %zu, line at %zu)", pos, start);
                ++span.wholeLines;
                span.lastStart = start;
                span.lastLength = length;
            }
            pos = feed + 1;
        } else {
            // Stopping inside a line is allowed only for an over-long line, dropped.
            if (end - start <= kLongestLine) fail("the reader stopped inside a line of %zu bytes so far", end - start);
            pos = end;
        }
    }
    o.consumed = end;
    o.readIndex = rx_ring.read_index;
    return span;
}

// The ring holds exactly the unread bytes of the record; every other byte is 0.
// Checked again whenever the ring or the record has moved.
void checkRing() {
    const std::size_t unread = o.entered.size() - o.consumed;
    const auto state = std::make_tuple(rx_ring.read_index, rx_ring.write_index, o.entered.size(), o.consumed);
    if (o.checked && state == o.lastChecked) return;
    o.checked = true;
    o.lastChecked = state;
    if (unread > 255) fail("%zu unread bytes: the ring was overrun", unread);
    if (static_cast<std::uint8_t>(rx_ring.write_index - rx_ring.read_index) != unread)
        fail("ring indices read %u write %u disagree with %zu unread bytes", rx_ring.read_index,
             rx_ring.write_index, unread);
    for (std::size_t i = 0; i < 256; ++i) {
        const std::uint8_t at = static_cast<std::uint8_t>(rx_ring.read_index + i);
        const unsigned char expected = i < unread ? static_cast<unsigned char>(o.entered[o.consumed + i]) : 0;
        if (rx_ring.storage[at] != expected) fail("ring byte %u is %u, expected %u", at, rx_ring.storage[at], expected);
    }
}

// atoi's rules, saturating at the int range: written apart from the modules' own.
int atoiSaturating(std::string_view text) {
    std::size_t i = 0;
    while (i < text.size() && std::strchr(" \t\n\v\f\r", text[i]) && text[i] != '\0') ++i;
    bool negative = false;
    if (i < text.size() && (text[i] == '+' || text[i] == '-')) negative = text[i++] == '-';
    long long v = 0;
    for (; i < text.size() && text[i] >= '0' && text[i] <= '9'; ++i) v = std::min(v * 10 + (text[i] - '0'), 1LL << 40);
    if (negative) v = -v;
    return static_cast<int>(std::max<long long>(INT_MIN, std::min<long long>(INT_MAX, v)));
}

struct Parsed {
    bool good = false;
    std::string_view name;
    int args[3] = {kAbsentArgument, kAbsentArgument, kAbsentArgument};
};

// What the interpreter must get from one line: its name and up to three arguments.
Parsed parse(std::string_view line, std::size_t nameSize) {
    Parsed p;
    line = line.substr(0, line.find('\0'));
    const std::size_t last = line.rfind('#');
    if (last == std::string_view::npos) return p;
    unsigned sum = 0;
    for (std::size_t i = 0; i <= last; ++i) sum += static_cast<unsigned char>(line[i]);
    if (atoiSaturating(line.substr(last + 1)) != static_cast<int>(sum % 256)) return p;
    const std::string_view body = line.substr(0, last);
    std::size_t at = body.find('#');
    p.name = body.substr(0, at);
    if (p.name.size() >= nameSize) return p;
    for (int k = 0; at != std::string_view::npos; ++k) {
        if (k == 3) return p;  // more than three fields
        const std::size_t next = body.find('#', at + 1);
        p.args[k] = atoiSaturating(body.substr(at + 1, next == std::string_view::npos ? std::string_view::npos : next - at - 1));
        at = next;
    }
    p.good = true;
    return p;
}

bool allDigits(std::string_view s) { return !s.empty() && s.find_first_not_of("0123456789") == std::string_view::npos; }

long long number(std::string_view digits) {
    long long v = 0;
    for (char c : digits) v = v * 10 + (c - '0');
    return v;
}

bool isFixedReply(std::string_view s) {
    static const char* const kFixed[] = {"?2\r\n", "S#1#202\r\n", "S#2#203\r\n", "T#119\r\n", "D#103\r\n", "COMMENT?\n"};
    for (const char* f : kFixed)
        if (s == f) return true;
    constexpr std::string_view prefix = "?1 - should be ";
    if (s.size() < prefix.size() + 3 || s.substr(0, prefix.size()) != prefix || s.substr(s.size() - 2) != "\r\n")
        return false;
    const std::string_view digits = s.substr(prefix.size(), s.size() - prefix.size() - 2);
    if (!allDigits(digits) || digits.size() > 3 || (digits.size() > 1 && digits[0] == '0')) return false;
    return number(digits) <= 255;
}

// A text, its decimal byte sum without leading zeros, CR LF. Gives the text.
bool framedText(std::string_view s, std::string_view& text) {
    if (s.size() < 4 || s.substr(s.size() - 2) != "\r\n") return false;
    const std::string_view body = s.substr(0, s.size() - 2);
    unsigned sum = 0;
    for (unsigned char c : body) sum += c;
    for (std::size_t d = 1; d <= 3 && d < body.size(); ++d) {
        const std::string_view digits = body.substr(body.size() - d);
        if (!allDigits(digits)) break;
        // The sum over the text alone: the whole body less the digits' own bytes.
        unsigned digitSum = 0;
        for (unsigned char c : digits) digitSum += c;
        if (d > 1 && digits[0] == '0') continue;
        if (static_cast<unsigned>(number(digits)) == (sum - digitSum) % 256) {
            text = body.substr(0, body.size() - d);
            return true;
        }
    }
    return false;
}

// "DUMPBIN[X][A]#words#frames#": the header that binary frames follow.
bool downloadHeader(std::string_view text, long long& words, long long& frames) {
    for (std::string_view word : {"DUMPBIN#", "DUMPBINX#", "DUMPBINA#", "DUMPBINXA#"}) {
        if (text.substr(0, word.size()) != word) continue;
        const std::string_view rest = text.substr(word.size());
        const std::size_t a = rest.find('#');
        if (a == std::string_view::npos) return false;
        const std::size_t b = rest.find('#', a + 1);
        if (b == std::string_view::npos || b != rest.size() - 1) return false;
        const std::string_view w = rest.substr(0, a), f = rest.substr(a + 1, b - a - 1);
        if (!allDigits(w) || !allDigits(f) || w.size() > 6 || f.size() > 12) return false;
        words = number(w);
        frames = number(f);
        return true;
    }
    return false;
}

}  // namespace

void oracle_reset() {
    auto entered = std::move(o.entered);
    auto lineStart = std::move(o.lineStart);
    entered.clear();
    lineStart.clear();
    o = Oracle{};
    o.entered = std::move(entered);
    o.lineStart = std::move(lineStart);
}

void oracle_observe() {
    track();
    checkRing();
}

void oracle_after_data(std::uint8_t writeBefore, bool awaitingBefore, const std::string& read, bool ok) {
    track();
    if (!ok) {
        if (rx_ring.write_index != writeBefore) fail("the ring grew without a read");
        checkRing();
        return;
    }
    if (awaitingBefore) {
        // A block read while a command waits for it goes whole into reply_line.
        if (instrument.awaiting_reply) fail("a block was read but the waiting command was not told");
        if (rx_ring.write_index != writeBefore) fail("a block for a waiting command went into the ring");
        const std::string expected = read.substr(0, std::min<std::size_t>(read.find('\0'), kReplyLineSize - 1));
        if (expected != instrument.reply_line) fail("reply_line does not hold the block read");
    } else {
        if (static_cast<std::uint8_t>(rx_ring.write_index - writeBefore) != static_cast<std::uint8_t>(read.size()))
            fail("%zu bytes read but the ring grew by %u", read.size(),
                 static_cast<std::uint8_t>(rx_ring.write_index - writeBefore));
        for (char ch : read) {
            const bool starts = o.entered.empty() || o.entered.back() == '\n' || o.lineBreak;
            o.lineStart.push_back(starts ? static_cast<std::uint32_t>(o.entered.size()) : o.lineStart.back());
            o.lineBreak = false;
            o.entered += ch;
        }
    }
    checkRing();
}

// VANTIS_FUZZ_TRACE=1 prints every write: to see what an input reaches.
bool tracing() {
    static const bool on = std::getenv("VANTIS_FUZZ_TRACE") != nullptr;
    return on;
}

void oracle_write(const unsigned char* data, std::size_t length, bool delivered) {
    if (tracing()) {
        if (o.framesLeft > 0)
            std::fprintf(stderr, "  frame %zu bytes (%lld due)\n", length, o.framesLeft);
        else
            std::fprintf(stderr, "  write \"%.*s\"\n", static_cast<int>(std::min<std::size_t>(length, 80)),
                         reinterpret_cast<const char*>(data));
    }
    if (o.framesLeft > 0) {
        if (length != o.frameSize) fail("a %zu-byte write where a %zu-byte frame was due", length, o.frameSize);
        // Frames that never reach a client (it has gone) are only counted.
        if (delivered) {
            unsigned sum = 0;
            for (std::size_t i = 0; i + 1 < length; ++i) sum += data[i];
            if (data[length - 1] != sum % 256) fail("a frame carries checksum %u, not %u", data[length - 1], sum % 256);
        }
        --o.framesLeft;
        return;
    }
    const std::string_view s(reinterpret_cast<const char*>(data), length);
    if (o.expectOperator) {
        if (s != o.operatorText) fail("the operator's text went out as %zu other bytes", length);
        o.expectOperator = false;
        return;
    }
    if (isFixedReply(s)) return;
    std::string_view text;
    if (framedText(s, text)) {
        if (text.substr(0, 2) == "?2") fail("a \"?2\" reply went out with a checksum");
        long long words = 0, frames = 0;
        if (downloadHeader(text, words, frames)) {
            if (words < 1 || words > 60 || frames < 1) fail("a download of %lld frames of %lld words", frames, words);
            o.framesLeft = frames;
            o.frameSize = static_cast<std::size_t>(2 * words + 1);
        }
        return;
    }
    if (length == sizeof instrument.config_record.bytes && instrument.model_type == kModelWithBattery &&
        std::memcmp(data, instrument.config_record.bytes, length) == 0)
        return;
    fail("a write of %zu bytes is neither framed nor a fixed reply: \"%.60s\"", length, std::string(s).c_str());
}

void oracle_client_accepted() {
    track();
    // A line left unfinished by the clients before ends with them: its unread
    // part is gone from the ring, and the newcomer's first byte starts a line.
    if (!o.entered.empty() && o.entered.back() != '\n') {
        const std::size_t feed = o.entered.rfind('\n');
        const std::size_t cut = std::max(o.consumed, feed == std::string::npos ? 0 : feed + 1);
        o.entered.resize(cut);
        o.lineStart.resize(cut);
        o.lineBreak = true;
    }
    checkRing();
}

void oracle_expect_operator_text(const std::string& text) {
    o.expectOperator = !text.empty();
    o.operatorText = text;
}

void oracle_end_of_run() {
    if (o.framesLeft > 0) fail("a download ended %lld frames short", o.framesLeft);
    if (o.expectOperator) fail("the operator's text was never sent");
    oracle_observe();
}

}  // namespace fuzz

// The interpreter's call of get_command comes here (see vamain_dispatch.cpp):
// what it hands to the dispatch is checked against the line the client sent.
int fuzz_dispatch_get_command(char* name, std::size_t name_size, int* field_count, int* arg1, int* arg2, int* arg3) {
    using namespace fuzz;
    oracle_observe();
    const int result = get_command(name, name_size, field_count, arg1, arg2, arg3);
    const Span span = track();
    checkRing();
    if (span.wholeLines > 1) fail("one call consumed %d lines", span.wholeLines);
    const bool haveLine = span.wholeLines == 1;
    const Parsed p =
        haveLine ? parse(std::string_view(o.entered).substr(span.lastStart, span.lastLength), name_size) : Parsed{};
    if (result == 1) {
        if (!haveLine) fail("the interpreter got a command but no whole line was consumed");
        if (!p.good) fail("the interpreter got a line that fails its checks");
        if (p.name != name || p.args[0] != *arg1 || p.args[1] != *arg2)
            fail("the interpreter got \"%s\" %d %d for a line that reads \"%s\" %d %d", name, *arg1, *arg2,
                 std::string(p.name).c_str(), p.args[0], p.args[1]);
    } else if (result == 0) {
        if (p.good) fail("a good line was consumed but not handed on: \"%s\"", std::string(p.name).c_str());
    } else {
        fail("get_command returned %d", result);
    }
    return result;
}
