// The host team's test bench: the event stream, the sync points of `wait`, a
// trigger that lands a set time after arming, faults of the instrument's
// replies, the data a download will hold, and one set of model names across
// the tools. Over real connections, on the test's own clock.
#include <sys/wait.h>

#include <cstdio>
#include <fstream>
#include <sstream>
#include <thread>
#include <vector>

#include "control_client.h"
#include "models.h"
#include "options.h"

namespace {

struct Event {
    double t;
    std::string name;
    std::string words;  // the rest of the line
};

Event parse_event(const std::string& line) {
    Event e{};
    std::istringstream in(line);
    in >> e.t >> e.name;
    std::getline(in, e.words);
    if (!e.words.empty() && e.words[0] == ' ') e.words.erase(0, 1);
    return e;
}

// A script's event stream: a control client that asked for `events`.
class Listener {
public:
    Listener(const std::string& path, bool json = false) : c_(path), json_(json) {
        c_.send(json ? "events --json\n" : "events\n");
        EXPECT_EQ(c_.line(), "ok");
    }
    // Lines up to and including the first whose event is `last`.
    std::vector<std::string> until(const std::string& last, int timeoutMs = 5000) {
        std::vector<std::string> out;
        for (;;) {
            const std::string l = c_.line(timeoutMs);
            if (l.empty()) {
                ADD_FAILURE() << "no " << last << " event; had " << out.size() << " lines";
                return out;
            }
            out.push_back(l);
            if (l.find(" " + last) != std::string::npos || l.find("\"event\": \"" + last + "\"") != std::string::npos) {
                if (json_ || parse_event(l).name == last) return out;
            }
        }
    }
    std::string line(int timeoutMs = 5000) { return c_.line(timeoutMs); }

private:
    ControlClient c_;
    bool json_ = false;
};

// Little-endian words of a binary frame.
std::vector<int> words_of(const std::string& frame, int count) {
    std::vector<int> out;
    for (int k = 0; k < count; ++k)
        out.push_back(static_cast<unsigned char>(frame[2 * k]) | static_cast<unsigned char>(frame[2 * k + 1]) << 8);
    return out;
}

std::string run_command(const std::string& command, int* status) {
    std::string out;
    FILE* p = ::popen(command.c_str(), "r");
    if (!p) return out;
    char buf[4096];
    for (std::size_t n; (n = std::fread(buf, 1, sizeof buf, p)) > 0;) out.append(buf, n);
    const int rc = ::pclose(p);
    *status = WIFEXITED(rc) ? WEXITSTATUS(rc) : -1;
    return out;
}

class Bench : public Controlled {
protected:
    // Erase, arm with ARM#0#200#, TRIGGER pressed by a script 50 ms after arming:
    // the window -50 to 200.
    void record(Client& c) {
        erase(c);
        vt::SetClock(100.0);
        start_command(c, "ARM#0#200#");
        EXPECT_EQ(c.line(), reply("ARM#0#200#"));
        vt::SetClock(100.0504);
        EXPECT_TRUE(vt::WaitUntilClockSeen());
        EXPECT_EQ(ctl("trigger"), "ok");
        EXPECT_TRUE(wait_for([] { return instrument.trigger_seen != 0; }));
        EXPECT_TRUE(vt::WaitForTimerReads(vt::TimerReads() + 3));
        vt::SetClock(100.2505);
        EXPECT_TRUE(vt::WaitUntilClockSeen());
        EXPECT_EQ(ask(c, "DUMPINFO#"), reply("DUMPINFO#-50#200#"));
    }

    // The header and `frames` frames of `size` bytes.
    static std::vector<std::string> download(Client& c, const std::string& request, std::size_t frames, std::size_t size) {
        c.command(request);
        std::vector<std::string> out{c.line()};
        const std::string body = c.read(frames * size);
        for (std::size_t i = 0; i + size <= body.size(); i += size) out.push_back(body.substr(i, size));
        return out;
    }

    // `data expected`'s rows, split into numbers (the header row dropped).
    std::vector<std::vector<double>> expected(const std::string& args) {
        const std::string data = ok("data expected " + args);
        std::vector<std::vector<double>> rows;
        std::size_t at = data.find("\",\"");  // past the header row
        EXPECT_TRUE(has(data, "[\"time_ms,led1_x,led1_y,led2_x")) << data.substr(0, 80);
        while (at != std::string::npos) {
            const std::size_t begin = at + 3, end = data.find('"', begin);
            std::vector<double> row;
            std::istringstream in(data.substr(begin, end - begin));
            for (std::string cell; std::getline(in, cell, ',');) row.push_back(std::stod(cell));
            rows.push_back(row);
            at = data.find("\",\"", end - 1);
        }
        return rows;
    }
};

}  // namespace

TEST_F(Bench, TheEventStreamTellsAWholeCycleInOrderToEveryListener) {
    run([&] {
        Listener text(socket_path());
        Listener json(socket_path(), true);
        EXPECT_EQ(ctl("model h3-50"), "ok");
        settle();
        Client c = connect_client();
        record(c);
        const auto frames = download(c, "DUMPBINA#-1#2#", 31, 53);
        ASSERT_EQ(frames.size(), 32u);
        EXPECT_EQ(frames[0], reply("DUMPBINA#26#31#"));
        c.close();

        const auto lines = text.until("disconnected");
        // The cycle's events in their order, with their words; requests and
        // replies come in pairs around what the command does.
        const std::vector<std::string> want = {
            "model 2 h3-50",       "connected 127.0.0.1", "request ERASE",        "erase-started",
            "erase-done",          "reply ERASE",         "request ARM",          "reply ARM",
            "armed",               "triggered script",    "recorded -50 200",     "request DUMPINFO",
            "reply DUMPINFO",      "request DUMPBINA",    "reply DUMPBINA",       "download-started DUMPBINA 31",
            "download-done 31",    "disconnected"};
        std::vector<std::string> got;
        double last = -1;
        for (const std::string& l : lines) {
            const Event e = parse_event(l);
            EXPECT_GE(e.t, last) << l;
            last = e.t;
            got.push_back(e.words.empty() ? e.name : e.name + " " + e.words);
        }
        EXPECT_EQ(got, want);
        EXPECT_GT(parse_event(lines.back()).t, parse_event(lines.front()).t + 200.0) << "times are the clock's, in ms";

        // The JSON listener heard the same, one object each, words under their keys.
        const auto objects = json.until("disconnected");
        ASSERT_EQ(objects.size(), want.size());
        EXPECT_TRUE(has(objects[0], "\"event\": \"model\", \"model\": 2, \"name\": \"h3-50\"}")) << objects[0];
        EXPECT_TRUE(has(objects[10], "\"event\": \"recorded\", \"start\": -50, \"end\": 200}")) << objects[10];
        EXPECT_TRUE(has(objects[15], "\"command\": \"DUMPBINA\", \"frames\": 31}")) << objects[15];
        EXPECT_EQ(objects[2].rfind("{\"t_ms\": ", 0), 0u) << objects[2];
    });
}

TEST_F(Bench, WaitArmedAnswersOnceArmHasBeenAnsweredAndAtOnceWhileArmed) {
    run([&] {
        Client c = serve(6);
        erase(c);
        ControlClient waiter(socket_path());
        waiter.send("wait armed 20\n");
        EXPECT_EQ(waiter.line(300), "") << "not armed yet";
        EXPECT_EQ(ask(c, "SAMPLE_RATE#"), reply("SAMPLE_RATE#10000#"));
        EXPECT_EQ(waiter.line(100), "") << "another command does not arm";
        c.command("ARM#0#100#");
        EXPECT_EQ(c.line(), reply("ARM#0#100#"));
        EXPECT_EQ(waiter.line(), "ok");
        EXPECT_EQ(ctl("wait armed 0"), "ok") << "armed now: at once";
        EXPECT_EQ(ctl("wait erased 0"), "error timed out after 0 s waiting for erased") << "a past erase does not count";
        EXPECT_TRUE(has(ctl("wait bogus"), "expected ready, connected, disconnected, idle, armed, erasing"));

        // The client's own trigger is a sync point too, and the stream says whose it was.
        Listener events(socket_path());
        ControlClient triggered(socket_path());
        triggered.send("wait triggered 20\n");
        EXPECT_EQ(triggered.line(100), "");
        c.send("T#119");
        EXPECT_EQ(c.line(), "T#119\r\n");
        EXPECT_EQ(triggered.line(), "ok");
        advance(0.101);
        EXPECT_EQ(ask(c, "DUMPINFO#"), reply("DUMPINFO#0#100#"));
        // And the panel's button, in the next cycle.
        erase(c);
        start_command(c, "ARM#0#100#");
        EXPECT_EQ(c.line(), reply("ARM#0#100#"));
        press(MAINPNL_TRIGGERBUTTON);
        std::vector<std::string> sources;
        for (const auto& l : events.until("triggered")) sources.push_back(l);
        for (const auto& l : events.until("triggered")) sources.push_back(l);
        std::vector<std::string> triggers;
        for (const auto& l : sources)
            if (parse_event(l).name == "triggered") triggers.push_back(parse_event(l).words);
        EXPECT_EQ(triggers, (std::vector<std::string>{"client", "panel"}));
    });
}

TEST_F(Bench, TriggerAfterGivesTheSameWindowInEveryRunAtTimeScaleOneAndTwenty) {
    run([&] {
        Client c = serve(2);
        EXPECT_EQ(ctl("trigger --after x"), "error bad value \"x\" for trigger --after: expected milliseconds from 0 to 99999999");
        for (const double k : {1.0, 20.0}) {
            EXPECT_EQ(ctl("time-scale " + std::to_string(static_cast<int>(k))), "ok");
            for (int run = 0; run < 3; ++run) {
                SCOPED_TRACE("time-scale " + std::to_string(k) + ", run " + std::to_string(run));
                erase(c);
                // Set before the arming; the time counts from the ARM's answer.
                EXPECT_EQ(ctl("trigger --after 300"), "ok");
                EXPECT_TRUE(has(ok("state"), "\"trigger_after_ms\":300"));
                vt::AdvanceClock(0.7 / k);  // time before the arming does not count
                start_command(c, "ARM#0#500#");
                EXPECT_EQ(c.line(), reply("ARM#0#500#"));
                advance(0.299 / k);
                EXPECT_FALSE(wait_for([] { return instrument.trigger_seen != 0; }, 60)) << "pressed early";
                advance(0.0015 / k);
                EXPECT_TRUE(wait_for([] { return instrument.trigger_seen != 0; }));
                EXPECT_TRUE(vt::WaitForTimerReads(vt::TimerReads() + 3));
                advance(0.501 / k);
                EXPECT_EQ(ask(c, "DUMPINFO#"), reply("DUMPINFO#-300#500#"));
                EXPECT_TRUE(has(ok("state"), "\"trigger_after_ms\":null"));
            }
        }
        // Withdrawn before it lands, it does not press.
        erase(c);
        EXPECT_EQ(ctl("trigger --after 100"), "ok");
        start_command(c, "ARM#0#50#");
        EXPECT_EQ(c.line(), reply("ARM#0#50#"));
        EXPECT_EQ(ctl("trigger --cancel"), "ok");
        advance(0.2 / 20);
        EXPECT_FALSE(wait_for([] { return instrument.trigger_seen != 0; }, 60));
        EXPECT_TRUE(has(ok("state"), "\"trigger_after_ms\":null"));
    });
}

TEST_F(Bench, EachReplyFaultActsOnItsCountOfRepliesToItsCommand) {
    run([&] {
        Client c = serve(6);
        Listener events(socket_path());
        const std::string who = reply("WHO_ARE_YOU#Polar#"), rate = reply("SAMPLE_RATE#10000#");

        EXPECT_EQ(ctl("fault reply bad-checksum --count 2 --command who_are_you"), "ok");
        EXPECT_EQ(ok("fault list"), "[\"reply bad-checksum 2 WHO_ARE_YOU\"]");
        EXPECT_EQ(ask(c, "SAMPLE_RATE#"), rate) << "another command's reply is left alone";
        std::string high = who;
        high.replace(high.rfind('#') + 1, std::string::npos, std::to_string(std::stoi(who.substr(who.rfind('#') + 1)) + 1) + "\r\n");
        EXPECT_EQ(ask(c, "WHO_ARE_YOU#"), high);
        EXPECT_EQ(ok("fault list"), "[\"reply bad-checksum 1 WHO_ARE_YOU\"]") << "the count left";
        EXPECT_EQ(ask(c, "WHO_ARE_YOU#"), high);
        EXPECT_EQ(ask(c, "WHO_ARE_YOU#"), who) << "spent after two";
        EXPECT_EQ(ok("fault list"), "[]");

        EXPECT_EQ(ctl("fault reply error"), "ok");
        EXPECT_EQ(ask(c, "SAMPLE_RATE#"), "?2\r\n");
        EXPECT_EQ(ctl("fault reply empty --command SAMPLE_RATE"), "ok");
        EXPECT_EQ(ask(c, "WHO_ARE_YOU#"), who);
        EXPECT_EQ(ask(c, "SAMPLE_RATE#"), "\r\n");
        EXPECT_EQ(ctl("fault reply garbage --count 2"), "ok");
        for (int i = 0; i < 2; ++i) {
            const std::string g = ask(c, "WHO_ARE_YOU#");
            ASSERT_EQ(g.size(), who.size());
            EXPECT_NE(g, who);
            EXPECT_EQ(g.substr(g.size() - 2), "\r\n");
            for (std::size_t k = 0; k + 2 < g.size(); ++k) EXPECT_TRUE(g[k] >= 0x20 && g[k] < 0x7f) << "byte " << k;
        }
        EXPECT_EQ(ask(c, "WHO_ARE_YOU#"), who);
        EXPECT_EQ(ctl("fault reply stray --command SAMPLE_RATE"), "ok");
        c.command("SAMPLE_RATE#");
        EXPECT_EQ(c.line(), who) << "an unasked copy of the last reply first";
        EXPECT_EQ(c.line(), rate);
        EXPECT_EQ(ctl("fault reply drop"), "ok");
        c.command("WHO_ARE_YOU#");
        EXPECT_TRUE(c.quiet(200)) << "no reply at all";
        EXPECT_EQ(ask(c, "SAMPLE_RATE#"), rate) << "the instrument serves on";
        // TRANSMIT shows what went out in place of the reply (its lines end in a line feed).
        const std::string shown = box(MAINPNL_TRANSMIT);
        EXPECT_TRUE(has(shown, "[reply fault: not sent] " + who.substr(0, who.size() - 2) + "\n")) << shown;
        EXPECT_TRUE(has(shown, "[reply fault: error] ?2\n")) << shown;

        EXPECT_TRUE(has(ctl("fault reply late"), "error bad value \"late\" for fault reply"));
        EXPECT_TRUE(has(ctl("fault reply drop --count 0"), "error"));
        const auto lines = events.until("fault-cleared");
        EXPECT_EQ(parse_event(lines.front()).name + " " + parse_event(lines.front()).words,
                  "fault-set reply bad-checksum 2 WHO_ARE_YOU");
        int fired = 0;
        for (const auto& l : lines) fired += parse_event(l).name == "fault-fired";
        EXPECT_EQ(fired, 2);
        EXPECT_EQ(parse_event(lines.back()).words, "reply bad-checksum");
    });
}

TEST_F(Bench, ADelayedReplyIsHeldWhileTheNextIsServedOnTime) {
    run([&] {
        Client c = serve(6);
        EXPECT_EQ(ctl("fault delay 500 --command FIRMWARE"), "ok");
        EXPECT_EQ(ok("fault list"), "[\"delay 500 1 FIRMWARE\"]");
        c.command("FIRMWARE#");
        c.command("SAMPLE_RATE#");
        EXPECT_EQ(c.line(), reply("SAMPLE_RATE#10000#")) << "the next reply is not held";
        vt::AdvanceClock(0.45);
        EXPECT_TRUE(c.quiet(100)) << "held for its time on the instrument's clock";
        vt::AdvanceClock(0.06);
        EXPECT_EQ(c.line(), reply("FIRMWARE#P0000#"));
        EXPECT_EQ(ask(c, "FIRMWARE#"), reply("FIRMWARE#P0000#")) << "once only";
        EXPECT_TRUE(has(box(MAINPNL_TRANSMIT), "[reply fault: delayed 500 ms] FIRMWARE#P0000#"));
    });
}

TEST_F(Bench, ExpectedDataEqualsTheDownloadFromThePatternAndFromARecording) {
    run([&] {
        Client c = serve(2);
        record(c);
        const auto compare = [&](const char* what) {
            SCOPED_TRACE(what);
            const auto frames = download(c, "DUMPBINA#-3#4#", 71, 53);
            const auto rows = expected("-3 4");
            ASSERT_EQ(frames.size(), 72u);
            ASSERT_EQ(rows.size(), 71u);
            for (std::size_t i = 0; i < rows.size(); ++i) {
                EXPECT_NEAR(rows[i][0], -3.0 + 0.1 * static_cast<double>(i), 1e-9) << "row " << i;
                const auto w = words_of(frames[i + 1], 24);
                ASSERT_EQ(rows[i].size(), 25u);
                for (int k = 0; k < 24; ++k) ASSERT_EQ(rows[i][k + 1], w[k]) << "row " << i << " word " << k;
            }
        };
        compare("pattern");
        // A recording whose rows fall between frames: interpolated and rounded.
        char dir[] = "/tmp/vantis-bench-XXXXXX";
        ASSERT_NE(::mkdtemp(dir), nullptr);
        const std::string file = std::string(dir) + "/h3.csv";
        int status = -1;
        run_command("python3 '" VANTIS_MAKE_RECORDING "' h3-50 --start -5 --end 5 --step 0.37 --width 3 -o '" + file + "'",
                    &status);
        ASSERT_EQ(status, 0);
        EXPECT_TRUE(has(ctl("data load " + file), "ok {\"source\":\"recording\""));
        compare("recording");
        EXPECT_EQ(ctl("data expected 4 -3"), "error data expected: END -3 is before START 4");
        EXPECT_TRUE(has(ctl("data expected 0 100000"), "error data expected: at most 60001 frames"));
        std::remove(file.c_str());
        ::rmdir(dir);
    });
}

TEST_F(Bench, EveryShortNameWorksInEveryTool) {
    run([&] {
        for (const auto& m : vantis::models::kAll) {
            if (m.value == 0) continue;
            SCOPED_TRACE(m.shortName);
            // The simulator's --model.
            EXPECT_EQ(vantis::app::parseModel(m.shortName), m.value);
            std::string shouted = m.ring;
            for (char& ch : shouted) ch = static_cast<char>(std::toupper(static_cast<unsigned char>(ch)));
            EXPECT_EQ(vantis::app::parseModel(shouted), m.value);
            // vantis-ctl model NAME, and the state names the model beside its number.
            int status = -1;
            const std::string env = "VANTIS_CONTROL_SOCKET='" + socket_path() + "' '" VANTIS_CTL_PATH "' ";
            run_command(env + "model " + m.shortName, &status);
            EXPECT_EQ(status, 0);
            settle();
            EXPECT_TRUE(has(run_command(env + "state", &status), "\"model_type\":" + std::to_string(m.value) +
                                                                  ",\"model_name\":\"" + m.shortName + "\""));
            // The table agrees with the instrument's frames.
            EXPECT_EQ(value(MAINPNL_VATYPE), m.value);
            EXPECT_EQ(vt::OnUi([] { return instrument.num_leds * 10 + instrument.num_axes; }), m.leds * 10 + m.axes);
            // make-recording.py: a header of 1 + LEDs x coordinates columns.
            const std::string header =
                run_command("python3 '" VANTIS_MAKE_RECORDING "' " + std::string(m.shortName) + " --end -9.9 | sed -n 1p", &status);
            EXPECT_EQ(static_cast<int>(std::count(header.begin(), header.end(), ',')), m.leds * m.axes);
        }
        EXPECT_EQ(vantis::app::parseModel("h3-51"), -1);
        int status = -1;
        const std::string help = run_command("'" VANTIS_CTL_PATH "' --help", &status);
        EXPECT_TRUE(has(help, "10  worldsid-2ndgen")) << help;
        EXPECT_TRUE(has(run_command("'" VANTIS_SIM_PATH "' --help", &status), " 3  h3-50-3axis"));
    });
}

TEST_F(Bench, AListenerThatStopsReadingLosesEventsCountedAndNeverHoldsTheInstrumentUp) {
    run([&] {
        Client c = serve(6);
        Listener stalled(socket_path());  // reads nothing until the flood is over
        Listener reading(socket_path());
        constexpr int kCommands = 5000;
        long long heard = 0;
        std::thread reader([&] {
            while (heard < 2LL * (kCommands + 1) && !reading.line(3000).empty()) ++heard;
        });
        std::string all;
        for (int i = 0; i < kCommands; ++i) all += request("WHO_ARE_YOU#");
        std::thread sender([&] { c.send(all); });
        int answered = 0;
        for (; answered < kCommands; ++answered)
            if (c.line() != reply("WHO_ARE_YOU#Polar#")) break;
        sender.join();
        EXPECT_EQ(answered, kCommands) << "the instrument served on while a listener stalled";
        EXPECT_EQ(ask(c, "SAMPLE_RATE#"), reply("SAMPLE_RATE#10000#"));

        // The stalled listener: what it got, then how many it lost, then the stream goes on.
        long long told = 0, lost = 0;
        for (;;) {
            const std::string l = stalled.line();
            ASSERT_FALSE(l.empty()) << "no lost line after " << told << " events";
            const Event e = parse_event(l);
            if (e.name == "lost") {
                lost = std::stoll(e.words);
                break;
            }
            EXPECT_TRUE(e.name == "request" || e.name == "reply") << l;
            ++told;
        }
        EXPECT_GT(lost, 0);
        // Every event of the flood and of SAMPLE_RATE is either told or counted lost.
        std::vector<std::string> after;
        for (std::string l; after.size() < 2 && !(l = stalled.line(2000)).empty();) after.push_back(l);
        long long rest = 0;
        for (const auto& l : after) rest += parse_event(l).name == "request" || parse_event(l).name == "reply";
        EXPECT_EQ(told + lost + rest, 2LL * (kCommands + 1)) << told << " told, " << lost << " lost";
        // The listener that kept reading missed nothing.
        reader.join();
        EXPECT_EQ(heard, 2LL * (kCommands + 1));
    });
}
