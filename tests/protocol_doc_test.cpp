// The protocol reference (docs/protocol.md) checked against the program: every
// example block in it is run against a fresh simulator, and every byte the
// simulator sends must be the one the document shows, with nothing left over.
//
// Example blocks are fenced with ```vantis. Their steps, one a line:
//   -> TEXT          the client sends TEXT and a line feed
//   <- TEXT          the client receives TEXT and CR LF
//                    (in both, \n \r \\ \xHH are escapes; a TEXT that ends in
//                    an escaped line feed stands for exactly that, nothing added)
//   <= [N x] HEX     the client receives these bytes (N times); "|" is spacing,
//                    and a remark may follow "#"
//   ** ACTION        the operator acts on the panel (see operator_step)
//   ~~ wait [N x] T s|ms     time passes while the simulator waits (N steps of T)
//   ~~ paused N x T ms       the download paused N times, T each
//   ~~ no pause              the download did not pause
//   # remark         ignored
#include <QComboBox>

#include <cctype>
#include <chrono>
#include <cmath>
#include <fstream>
#include <optional>
#include <sstream>
#include <thread>
#include <vector>

#include "harness.h"
#include "extension.h"

#ifndef VANTIS_PROTOCOL_DOC
#error "VANTIS_PROTOCOL_DOC must name docs/protocol.md"
#endif

namespace {

struct Step {
    int line = 0;
    std::string kind;  // "->", "<-", "<=", "**", "~~"
    std::string text;  // the rest of the line, as written
};

struct Example {
    int line = 0;  // of the opening fence
    std::vector<Step> steps;
};

struct Doc {
    bool read = false;
    std::vector<Example> examples;
    std::vector<std::string> errors;  // malformed blocks
};

Doc read_doc(const std::string& path) {
    Doc doc;
    std::ifstream in(path);
    if (!in) return doc;
    doc.read = true;
    std::string text;
    int number = 0;
    Example* open = nullptr;
    while (std::getline(in, text)) {
        ++number;
        if (!text.empty() && text.back() == '\r') text.pop_back();
        const bool fence = text.rfind("```", 0) == 0;
        if (!open) {
            if (fence && text.substr(3, 6) == "vantis") {
                doc.examples.push_back(Example{number, {}});
                open = &doc.examples.back();
            }
            continue;
        }
        if (fence) {
            open = nullptr;
            continue;
        }
        while (!text.empty() && text.back() == ' ') text.pop_back();
        if (text.empty() || text[0] == '#') continue;
        const std::string kind = text.substr(0, 2);
        if ((kind != "->" && kind != "<-" && kind != "<=" && kind != "**" && kind != "~~") || text.size() < 3 ||
            text[2] != ' ') {
            doc.errors.push_back("line " + std::to_string(number) + ": not a step: " + text);
            continue;
        }
        open->steps.push_back(Step{number, kind, text.substr(3)});
    }
    if (open) doc.errors.push_back("line " + std::to_string(open->line) + ": block is not closed");
    return doc;
}

const Doc& doc() {
    static const Doc d = read_doc(VANTIS_PROTOCOL_DOC);
    return d;
}

int hex_digit(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

// Turns the escapes \n \r \\ \xHH into bytes; false on an unknown escape.
bool unescape(const std::string& in, std::string& out) {
    out.clear();
    for (std::size_t i = 0; i < in.size(); ++i) {
        if (in[i] != '\\') {
            out += in[i];
            continue;
        }
        if (++i == in.size()) return false;
        switch (in[i]) {
            case 'n': out += '\n'; break;
            case 'r': out += '\r'; break;
            case '\\': out += '\\'; break;
            case 'x': {
                if (i + 2 >= in.size()) return false;
                const int hi = hex_digit(in[i + 1]), lo = hex_digit(in[i + 2]);
                if (hi < 0 || lo < 0) return false;
                out += static_cast<char>(hi * 16 + lo);
                i += 2;
                break;
            }
            default: return false;
        }
    }
    return true;
}

// Reads a leading "N x " or "N × " repeat count, if there is one.
int take_repeat(std::string& text) {
    std::size_t digits = 0;
    while (digits < text.size() && std::isdigit(static_cast<unsigned char>(text[digits]))) ++digits;
    if (digits == 0) return 1;
    std::string rest = text.substr(digits);
    std::size_t at = rest.find_first_not_of(' ');
    if (at == std::string::npos) return 1;
    rest = rest.substr(at);
    std::size_t mark = 0;
    if (rest.rfind("\xC3\x97", 0) == 0) mark = 2;  // ×
    else if (rest.rfind("x ", 0) == 0) mark = 1;
    if (mark == 0) return 1;
    const int n = std::stoi(text.substr(0, digits));
    text = rest.substr(mark);
    at = text.find_first_not_of(' ');
    text = at == std::string::npos ? "" : text.substr(at);
    return n;
}

bool parse_hex(const std::string& text, std::string& out) {
    out.clear();
    std::istringstream words(text);
    std::string w;
    while (words >> w) {
        if (w == "|") continue;
        if (w.size() != 2 || hex_digit(w[0]) < 0 || hex_digit(w[1]) < 0) return false;
        out += static_cast<char>(hex_digit(w[0]) * 16 + hex_digit(w[1]));
    }
    return true;
}

// "0.301 s" or "4.77 ms" in seconds; negative when it is neither.
double parse_duration(const std::string& text) {
    std::istringstream in(text);
    double value = 0;
    std::string unit;
    if (!(in >> value >> unit)) return -1;
    std::string extra;
    if (in >> extra) return -1;
    if (unit == "s") return value;
    if (unit == "ms") return value / 1000.0;
    return -1;
}

std::string hex(const std::string& bytes) {
    std::string out;
    char buf[4];
    for (unsigned char c : bytes) {
        std::snprintf(buf, sizeof buf, "%02X ", c);
        out += buf;
    }
    return out;
}

std::string printable(const std::string& bytes) {
    std::string out;
    char buf[8];
    for (unsigned char c : bytes) {
        if (c == '\n') out += "\\n";
        else if (c == '\r') out += "\\r";
        else if (c == '\\') out += "\\\\";
        else if (c < 32 || c > 126) {
            std::snprintf(buf, sizeof buf, "\\x%02X", c);
            out += buf;
        } else out += static_cast<char>(c);
    }
    return out;
}

}  // namespace

// Records a failure of the current step and ends it; the block stops there,
// since every later byte would be out of step.
#define STEP_REQUIRE(cond, message)          \
    do {                                     \
        if (!(cond)) {                       \
            ADD_FAILURE() << message;        \
            return false;                    \
        }                                    \
    } while (0)

class ProtocolDoc : public Sim {
protected:
    // Runs one example block against a fresh simulator.
    void run_example(const Example& ex) {
        run([&] {
            SCOPED_TRACE("example block at docs/protocol.md:" + std::to_string(ex.line));
            client_.emplace(connect_client());
            mark_reads();
            delay_calls_ = vt::DelayCalls();
            delayed_ = vt::DelayedSeconds();
            bool ok = true;
            for (const Step& s : ex.steps) {
                SCOPED_TRACE("docs/protocol.md:" + std::to_string(s.line) + ": " + s.kind + " " + s.text);
                ok = step(s);
                if (!ok) break;
                mark_reads();
            }
            const bool waiting = vt::OnUi([] { return instrument.waits_in_service; }) != 0;
            if (ok) {
                EXPECT_TRUE(client_->quiet(30)) << "the simulator sent more than the example shows: \""
                                                << printable(client_->read(4096, 100)) << "\"";
                EXPECT_FALSE(waiting) << "the example leaves the simulator waiting inside a command";
            }
            if (waiting) release_waits();
            client_.reset();
        });
    }

private:
    void mark_reads() { reads_ = vt::TimerReads(); }

    // Ends whatever command still waits, so that the program can end: time for
    // ERASE and ARM, a disarm for ARM, any data for the comment.
    void release_waits() {
        for (int i = 0; i < 400 && vt::OnUi([] { return instrument.waits_in_service; }) != 0; ++i) {
            client_->send("D#103\n");
            vt::AdvanceClock(1000.0);
            std::this_thread::sleep_for(std::chrono::milliseconds(2));
        }
    }

    bool step(const Step& s) {
        if (s.kind == "->") return send_step(s.text);
        if (s.kind == "<-") return reply_step(s.text);
        if (s.kind == "<=") return binary_step(s.text);
        if (s.kind == "**") return operator_step(s.text);
        return clock_step(s.text);
    }

    bool send_step(const std::string& text) {
        std::string bytes;
        STEP_REQUIRE(unescape(text, bytes), "bad escape");
        if (bytes.empty() || bytes.back() != '\n') bytes += '\n';
        client_->send(bytes);
        return true;
    }

    std::string receive(std::size_t n) { return client_->read(n, 2000); }

    bool reply_step(const std::string& text) {
        std::string bytes;
        STEP_REQUIRE(unescape(text, bytes), "bad escape");
        if (bytes.empty() || bytes.back() != '\n') bytes += "\r\n";
        const std::string got = receive(bytes.size());
        EXPECT_EQ(got, bytes);
        return got == bytes;
    }

    bool binary_step(std::string text) {
        text = text.substr(0, text.find('#'));  // a remark may follow the bytes
        const int n = take_repeat(text);
        std::string bytes;
        STEP_REQUIRE(parse_hex(text, bytes) && !bytes.empty(), "not hexadecimal bytes");
        std::string all;
        for (int i = 0; i < n; ++i) all += bytes;
        const std::string got = receive(all.size());
        EXPECT_EQ(hex(got), hex(all));
        return got == all;
    }

    // The panel's controls, by the labels and item texts the operator sees.
    bool operator_step(const std::string& text) {
        const std::size_t colon = text.find(": ");
        const std::string control = text.substr(0, colon);
        const std::string item = colon == std::string::npos ? "" : text.substr(colon + 2);
        if (control == "Vantis Model") {
            const int v = ring_value(MAINPNL_VATYPE, item);
            STEP_REQUIRE(v != kNoItem, "no such model");
            choose(v);
        } else if (control == "BATTERY") {
            const int v = ring_value(MAINPNL_BATTERY, item);
            STEP_REQUIRE(v != kNoItem, "no such battery item");
            vt::PostToUi([v] { EXPECT_EQ(vt::ChooseRingItem(panel(), MAINPNL_BATTERY, v), 0); });
            settle();
        } else if (control == "Download Speed") {
            STEP_REQUIRE(item == "Fast" || item == "Normal", "no such switch position");
            const int want = item == "Normal" ? 1 : 0;
            if (value(MAINPNL_DUMPSPEED) != want) flip(MAINPNL_DUMPSPEED);
            STEP_REQUIRE(value(MAINPNL_DUMPSPEED) == want, "the switch did not move");
        } else if (control == "Vantis Direction") {
            STEP_REQUIRE(item == "Left" || item == "Right", "no such switch position");
            const std::string want = item == "Left" ? "LEFT" : "RIGHT";
            if (this->text(MAINPNL_DirectionSwitch) != want) flip(MAINPNL_DirectionSwitch);
            STEP_REQUIRE(this->text(MAINPNL_DirectionSwitch) == want, "the switch did not move");
        } else if (text == "TRIGGER") {
            STEP_REQUIRE(attribute(MAINPNL_TRIGGERBUTTON, ATTR_VISIBLE) == 1, "the TRIGGER button is hidden");
            press(MAINPNL_TRIGGERBUTTON);
            // As an operator's press, it counts once the instrument has taken it:
            // the next request is sent after that.
            STEP_REQUIRE(wait_for([] { return instrument.trigger_seen != 0; }), "the press was not taken");
        } else if (text == "a second client connects and is closed at once") {
            Client second(port());
            STEP_REQUIRE(second.ok(), "the second client could not connect");
            STEP_REQUIRE(second.closed(), "the second client was not closed");
            STEP_REQUIRE(second.read(1, 10).empty(), "the second client was sent something");
        } else {
            STEP_REQUIRE(false, "unknown operator action");
        }
        return true;
    }

    // Time passes only where the simulator waits on it: each step first lets the
    // wait read the clock a few times, so it has taken in everything before.
    bool clock_step(std::string text) {
        if (text.rfind("wait ", 0) == 0) {
            text = text.substr(5);
            const int n = take_repeat(text);
            const double seconds = parse_duration(text);
            STEP_REQUIRE(seconds > 0, "not a duration");
            for (int i = 0; i < n; ++i) {
                STEP_REQUIRE(vt::WaitForTimerReads(reads_ + 3, 5000), "the simulator is not waiting on the clock");
                vt::AdvanceClock(seconds);
                STEP_REQUIRE(vt::WaitUntilClockSeen(5000), "the simulator did not look at the clock");
                mark_reads();
            }
        } else if (text == "no pause") {
            STEP_REQUIRE(vt::DelayCalls() == delay_calls_, "the download paused");
        } else if (text.rfind("paused ", 0) == 0) {
            text = text.substr(7);
            const int n = take_repeat(text);
            const double each = parse_duration(text);
            STEP_REQUIRE(each > 0, "not a duration");
            const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(2);
            while (vt::DelayCalls() - delay_calls_ < static_cast<unsigned long long>(n) &&
                   std::chrono::steady_clock::now() < deadline)
                std::this_thread::sleep_for(std::chrono::milliseconds(1));
            const unsigned long long calls = vt::DelayCalls() - delay_calls_;
            const double seconds = vt::DelayedSeconds() - delayed_;
            delay_calls_ = vt::DelayCalls();
            delayed_ = vt::DelayedSeconds();
            STEP_REQUIRE(calls == static_cast<unsigned long long>(n), "paused " << calls << " times");
            STEP_REQUIRE(std::fabs(seconds - n * each) < 1e-9, "paused " << seconds << " s in all");
        } else {
            STEP_REQUIRE(false, "unknown clock step");
        }
        return true;
    }

    static constexpr int kNoItem = -12345;

    static int ring_value(int control, const std::string& label) {
        return vt::OnUi([control, label] {
            for (const auto& [value, text] : cvi::ext::ringItems(panel(), control))
                if (text == label) return value;
            return kNoItem;
        });
    }

    std::optional<Client> client_;
    unsigned long long reads_ = 0;
    unsigned long long delay_calls_ = 0;
    double delayed_ = 0;
};

TEST_F(ProtocolDoc, EveryExampleMatchesTheSimulatorByteForByte) {
    const Doc& d = doc();
    ASSERT_TRUE(d.read) << "cannot read " << VANTIS_PROTOCOL_DOC;
    for (const std::string& e : d.errors) ADD_FAILURE() << "docs/protocol.md " << e;
    ASSERT_FALSE(d.examples.empty()) << "no example blocks in " << VANTIS_PROTOCOL_DOC;
    bool first = true;
    for (const Example& ex : d.examples) {
        EXPECT_FALSE(ex.steps.empty()) << "an empty example block at docs/protocol.md:" << ex.line;
        if (!first) {
            // Every block starts from a simulator just started.
            TearDown();
            SetUp();
        }
        first = false;
        run_example(ex);
    }
}

// The reference shows every command the simulator serves at work.
TEST_F(ProtocolDoc, ExamplesCoverEveryCommand) {
    const Doc& d = doc();
    ASSERT_FALSE(d.examples.empty()) << "no example blocks in " << VANTIS_PROTOCOL_DOC;
    // Request names as a line starts with them; E#, T#119 and D#103 are the
    // requests answered inside the waits of ERASE and ARM.
    const char* words[] = {
        "TRIGGERSET",  "MANARMENABLE", "GETTRIGGER",     "WHO_ARE_YOU",    "SERIAL_NUMBER",     "CAL_DATE",
        "CAL_LOC",     "FIRMWARE",     "HOW_MANY_LEDS",  "HOW_MANY_AXES",  "SAMPLE_RATE",       "CURRENT_POSITIONS",
        "LED_RIB",     "LED_POSN",     "SAVE",           "SHOW_LEDRIB",    "SHOW_LEDPOSN",      "SETTESTCOMMENT",
        "GETTESTCOMMENT", "DIRECTION", "SETTIME",        "S#",             "GETBATINFO",        "BATTSETFULL",
        "SENDCONFIG",  "ERASE",        "ARMTRIGGER",     "ARM#",           "DUMPINFO",          "TRIGGERCHECK",
        "DUMPBIN#",    "DUMPBINX#",    "DUMPBINA#",      "DUMPBINXA#",     "E#",                "T#119",
        "D#103"};
    for (const char* w : words) {
        bool found = false;
        for (const Example& ex : d.examples)
            for (const Step& s : ex.steps)
                if (s.kind == "->" && s.text.rfind(w, 0) == 0) found = true;
        EXPECT_TRUE(found) << "no example sends " << w;
    }
}
