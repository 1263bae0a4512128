// The link faults as a real link: what they delay arrives whole, they act at
// their place in the stream, the same seed gives the same jitter, and what the
// conversation's one queue holds under them is bounded by the system's own
// buffering. Over real connections, on the real clock.
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <thread>
#include <mutex>

#include "control_client.h"
#include "extension.h"
#include "linkfaults.h"

namespace {

using SteadyClock = std::chrono::steady_clock;

double seconds_since(SteadyClock::time_point t0) {
    return std::chrono::duration<double>(SteadyClock::now() - t0).count();
}

// A client that tells a reset from a clean end.
struct Wire {
    int fd = -1;
    int error = 0;  // errno of a failed read
    bool ended = false;
    explicit Wire(unsigned port, int receiveBuffer = 0) : fd(connect_loopback(port, receiveBuffer)) {}
    ~Wire() {
        if (fd >= 0) ::close(fd);
    }
    void send(const std::string& bytes) {
        ASSERT_EQ(::send(fd, bytes.data(), bytes.size(), MSG_NOSIGNAL), static_cast<ssize_t>(bytes.size()));
    }
    void command(std::string_view text) { send(request(text)); }
    // Up to n bytes, until the end, an error or timeoutMs of silence.
    std::string read(std::size_t n, int timeoutMs = 5000) {
        std::string out;
        std::vector<char> buf(1 << 16);
        while (out.size() < n && !ended && !error) {
            pollfd p{fd, POLLIN, 0};
            if (::poll(&p, 1, timeoutMs) <= 0) break;
            const ssize_t got = ::recv(fd, buf.data(), std::min(buf.size(), n - out.size()), 0);
            if (got < 0) error = errno;
            else if (got == 0) ended = true;
            else out.append(buf.data(), static_cast<std::size_t>(got));
        }
        return out;
    }
};

// What a traffic tap saw, kept for the test thread to read.
struct Seen {
    std::mutex mutex;
    bool on = false;
    std::string in, out;
    int opened = 0;
    std::vector<cvi::ext::ConversationEnd> ends;
};

Seen& seen() {
    static Seen s;
    return s;
}

void tapOnce() {
    static bool added = false;
    if (added) return;
    added = true;
    cvi::ext::TrafficTap tap;
    tap.opened = [](unsigned, const cvi::ext::Endpoints& e) {
        std::lock_guard lock(seen().mutex);
        if (seen().on && e.peerAddress == "127.0.0.1" && e.localAddress == "127.0.0.1" && e.peerPort) ++seen().opened;
    };
    tap.received = [](unsigned, const unsigned char* d, std::size_t n) {
        std::lock_guard lock(seen().mutex);
        if (seen().on) seen().in.append(reinterpret_cast<const char*>(d), n);
    };
    tap.sent = [](unsigned, const unsigned char* d, std::size_t n) {
        std::lock_guard lock(seen().mutex);
        if (seen().on) seen().out.append(reinterpret_cast<const char*>(d), n);
    };
    tap.ended = [](unsigned, cvi::ext::ConversationEnd how) {
        std::lock_guard lock(seen().mutex);
        if (seen().on) seen().ends.push_back(how);
    };
    cvi::ext::addTrafficTap(std::move(tap));
}

std::string tapped() {
    std::lock_guard lock(seen().mutex);
    return seen().out;
}

class Link : public Controlled {
protected:
    void SetUp() override {
        Controlled::SetUp();
        tapOnce();
        std::lock_guard lock(seen().mutex);
        seen().on = false;
        seen().in.clear(), seen().out.clear(), seen().ends.clear();
        seen().opened = 0;
    }
    // On the UI thread.
    static bool transmitErrors() { return has(vt::TextBoxContents(panel(), MAINPNL_TRANSMIT), "Transmit Error"); }
};

}  // namespace

TEST_F(Link, ADownloadUnderLatencyArrivesWholeAndLateAndAClearedLatencyLetsGoAtOnce) {
    run([&] {
        Client c = serve(2);  // 20,001 frames of 53 bytes in DUMPBINA#-500#1500#
        EXPECT_EQ(ctl("fault latency 3000"), "ok");
        const auto t0 = SteadyClock::now();
        c.command("DUMPBINA#-500#1500#");
        EXPECT_EQ(ctl("wait idle"), "ok") << "the instrument is done long before the bytes arrive";
        EXPECT_TRUE(c.quiet(2000));
        const std::string header = reply("DUMPBINA#26#20001#");
        EXPECT_EQ(c.line(10000), header);
        EXPECT_GE(seconds_since(t0), 2.95);
        const std::string frames = c.read(20001u * 53u, 20000);
        EXPECT_EQ(frames.size(), 20001u * 53u) << "latency lost bytes";
        EXPECT_EQ(frames.substr(20000u * 53u), frames.substr(10000u * 53u, 53)) << "the last frame is whole";
        EXPECT_FALSE(has(box(MAINPNL_TRANSMIT), "Transmit Error"));

        // What a latency holds leaves as soon as it is cleared.
        EXPECT_EQ(ctl("fault latency 60000"), "ok");
        c.command("FIRMWARE#");
        EXPECT_TRUE(c.quiet(300));
        const auto t1 = SteadyClock::now();
        EXPECT_EQ(ctl("fault clear latency"), "ok");
        EXPECT_EQ(c.line(3000), reply("FIRMWARE#50S0005#"));
        EXPECT_LT(seconds_since(t1), 2.0);
    });
}

TEST_F(Link, FaultsActAtTheirPlaceInTheStreamAndTheTapSeesWhatReallyLeft) {
    run([&] {
        EXPECT_EQ(ctl("model polar"), "ok");  // 21 frames of 25 bytes in DUMPBIN#0#2#
        {
            std::lock_guard lock(seen().mutex);
            seen().on = true;
        }
        const std::string header = reply("DUMPBIN#12#21#");
        {
            // A reset at frame 5: exactly five whole frames, then the reset.
            Wire w(port());
            EXPECT_EQ(ctl("wait connected"), "ok");
            EXPECT_EQ(ctl("fault reset --at-frame 5"), "ok");
            EXPECT_EQ(ok("fault list"), "[\"reset --at-frame 5\"]");
            w.command("DUMPBIN#0#2#");
            const std::string got = w.read(10000);
            EXPECT_EQ(got.size(), header.size() + 5 * 25);
            EXPECT_EQ(got.substr(0, header.size()), header);
            EXPECT_EQ(w.error, ECONNRESET);
            EXPECT_FALSE(w.ended) << "a reset, not a clean end";
            EXPECT_EQ(ctl("wait disconnected"), "ok");
            EXPECT_EQ(ok("fault list"), "[]");
            // The tap hears of bytes as the system takes them: the client may be quicker.
            EXPECT_TRUE(wait_for([&] { return tapped() == got; })) << "the tap saw the bytes that left, and only those";
            std::lock_guard lock(seen().mutex);
            EXPECT_EQ(seen().in, request("DUMPBIN#0#2#"));
            EXPECT_EQ(seen().ends, std::vector<cvi::ext::ConversationEnd>{cvi::ext::ConversationEnd::Reset});
            seen().out.clear(), seen().in.clear();
            seen().on = false;
        }
        {
            // A reader too slow for the stream: what the system still held when
            // the place was reached arrives before the reset, all of it.
            EXPECT_EQ(ctl("model h3-50"), "ok");  // 20,001 frames of 53 bytes
            Wire w(port(), 4096);
            EXPECT_EQ(ctl("wait connected"), "ok");
            EXPECT_EQ(ctl("fault reset --at-frame 15000"), "ok");
            w.command("DUMPBINA#-500#1500#");
            std::this_thread::sleep_for(std::chrono::milliseconds(200));  // the system's queue fills
            const std::string got = w.read(2'000'000, 10000);
            const std::size_t headerEnd = got.find('\n') + 1;
            EXPECT_EQ(got.size() - headerEnd, 15000u * 53) << "frames lost at the reset";
            EXPECT_EQ(w.error, ECONNRESET);
            EXPECT_EQ(ctl("wait disconnected"), "ok");
            EXPECT_EQ(ctl("model polar"), "ok");
            std::lock_guard lock(seen().mutex);
            seen().on = true;
        }
        Wire w(port());
        EXPECT_EQ(ctl("wait connected"), "ok");
        const std::string who = reply("WHO_ARE_YOU#Polar#"), firmware = reply("FIRMWARE#P0000#");

        // The byte at a position is spoiled, whichever write holds it.
        EXPECT_EQ(ctl("fault corrupt-next --after-bytes " + std::to_string(who.size() + 3)), "ok");
        w.command("WHO_ARE_YOU#");
        EXPECT_EQ(w.read(who.size()), who);
        w.command("FIRMWARE#");
        std::string spoiled = firmware;
        spoiled[3] = static_cast<char>(cvi::linkfaults::corrupted(static_cast<unsigned char>(firmware[3])));
        EXPECT_EQ(w.read(firmware.size()), spoiled);
        EXPECT_TRUE(wait_for([&] { return tapped() == who + spoiled; }));

        // Slices keep their gaps: 22 pieces of 25 bytes, 20 ms apart.
        EXPECT_EQ(ctl("fault slice 25 20"), "ok");
        auto t0 = SteadyClock::now();
        w.command("DUMPBIN#0#2#");
        EXPECT_EQ(w.read(header.size() + 21 * 25, 10000).size(), header.size() + 21 * 25);
        EXPECT_GE(seconds_since(t0), 21 * 0.020);
        EXPECT_EQ(ctl("fault clear"), "ok");

        // A bandwidth from frame 10 on: the first ten frames at once, the rest at 100 bytes/s.
        EXPECT_EQ(ctl("fault bandwidth 100 --at-frame 10"), "ok");
        t0 = SteadyClock::now();
        w.command("DUMPBIN#0#2#");
        EXPECT_EQ(w.read(header.size() + 10 * 25).size(), header.size() + 10 * 25);
        EXPECT_LT(seconds_since(t0), 1.0);
        EXPECT_EQ(w.read(100, 5000).size(), 100u);
        EXPECT_GE(seconds_since(t0), 0.9);
        EXPECT_EQ(ctl("fault clear"), "ok");
        EXPECT_EQ(w.read(11 * 25 - 100).size(), 11u * 25 - 100) << "cleared, the rest comes at once";

        // Close-after on a write's very edge: the header, then a clean end.
        EXPECT_EQ(ctl("fault close-after " + std::to_string(header.size())), "ok");
        w.command("DUMPBIN#0#2#");
        EXPECT_EQ(w.read(1000, 3000), header);
        EXPECT_TRUE(w.ended);
        EXPECT_EQ(w.error, 0);
        EXPECT_EQ(ctl("wait disconnected"), "ok");
        std::lock_guard lock(seen().mutex);
        EXPECT_EQ(seen().opened, 2);
        EXPECT_EQ(seen().ends.back(), cvi::ext::ConversationEnd::Closed);
    });
}

TEST_F(Link, TheSameSeedGivesTheSameJitter) {
    run([&] {
        Client c = serve(2);
        const std::string firmware = reply("FIRMWARE#50S0005#");
        auto delays = [&] {
            std::vector<double> out;
            for (int i = 0; i < 5; ++i) {
                const auto t0 = SteadyClock::now();
                c.command("FIRMWARE#");
                EXPECT_EQ(c.line(3000), firmware);
                out.push_back(seconds_since(t0));
            }
            return out;
        };
        EXPECT_EQ(ctl("fault seed 7"), "ok");
        EXPECT_EQ(ctl("fault latency 300 300"), "ok");
        EXPECT_EQ(ok("fault list"), "[\"latency 300 300\",\"seed 7\"]");
        const std::vector<double> first = delays();
        EXPECT_EQ(ctl("fault seed 7"), "ok");
        const std::vector<double> second = delays();
        for (std::size_t i = 0; i < first.size(); ++i) EXPECT_NEAR(first[i], second[i], 0.08) << "reply " << i;
        EXPECT_GT(*std::max_element(first.begin(), first.end()) - *std::min_element(first.begin(), first.end()), 0.1)
            << "the delays vary";
        EXPECT_EQ(ctl("fault seed x"), "error bad value \"x\" for fault seed: expected a whole number from 0 to 4294967295");
        EXPECT_EQ(ctl("fault list --at-frame 2"), "error fault list takes no position");
        EXPECT_EQ(ctl("fault reset --after-bytes -1"), "error bad value \"-1\" for --after-bytes: expected a count of bytes");
    });
}

TEST_F(Link, UnderFaultsTheQueueHoldsTheSystemsLargestSendBufferAndNoMore) {
    run([&] {
        Client c = serve(2);
        EXPECT_EQ(ctl("fault latency 60000"), "ok");
        const std::size_t bound = vt::OnUi([] { return cvi::ext::pacedQueueBytes(); });
        EXPECT_GE(bound, 4u << 20) << "at least what the system would buffer";
        const std::size_t download = reply("DUMPBINA#26#20001#").size() + 20001u * 53u;
        const std::size_t rounds = bound / download + 1;
        for (std::size_t i = 0; i < rounds; ++i) c.command("DUMPBINA#-500#1500#");
        EXPECT_TRUE(wait_for([] { return transmitErrors(); }, 30000)) << "a full queue fails writes";
        const std::size_t held = vt::OnUi([] { return cvi::ext::bytesQueued(instrument.client_handle); });
        EXPECT_LE(held, bound);
        EXPECT_GT(held, bound - 1000);
        EXPECT_TRUE(c.quiet(100));
        EXPECT_EQ(ctl("wait idle"), "ok");
        EXPECT_EQ(ctl("fault clear"), "ok");
        const std::string got = c.read(held, 20000);
        EXPECT_EQ(got.size(), held) << "everything held arrives";
        EXPECT_EQ(got.substr(0, download), got.substr(download, download)) << "whole downloads, in order";
        EXPECT_EQ((held - (rounds - 1) * download - reply("DUMPBINA#26#20001#").size()) % 53, 0u) << "whole frames";
        EXPECT_EQ(ask(c, "S#"), "S#3#204\r\n");
    });
}
