// Link faults and the time scale, asked for through the control channel and
// seen by a client over a real connection and in the panel.
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>

#include "control_client.h"

namespace {

// What the TRANSMIT box shows for a text that went out (CR LF shows as a line break).
std::string shown(const std::string& text) {
    std::string out;
    for (char ch : text)
        if (ch != '\r') out += ch;
    return out;
}

unsigned sum_of(const std::string& frame) {
    unsigned sum = 0;
    for (std::size_t i = 0; i + 1 < frame.size(); ++i) sum += static_cast<unsigned char>(frame[i]);
    return sum % 256;
}

}  // namespace

using LinkFaults = Controlled;
using TimeScale = Controlled;

TEST_F(LinkFaults, DropAndCorruptTakeTheNextWritesInTurnAndTheBoxShowsWhatWentOut) {
    run([&] {
        Client c = connect_client();
        EXPECT_EQ(ctl("model polar"), "ok");
        settle();
        EXPECT_EQ(ctl("clear"), "ok");
        EXPECT_EQ(ctl("fault drop-next"), "ok");
        EXPECT_EQ(ctl("fault corrupt-next"), "ok");
        EXPECT_TRUE(has(ok("state"), "\"faults\":[\"drop-next\",\"corrupt-next\"]"));

        c.command("WHO_ARE_YOU#");  // its reply is lost
        const std::string intact = reply("FIRMWARE#P0000#");
        std::string corrupted = intact;
        corrupted[intact.rfind('#') - 1] ^= 1;  // "P0000" -> "P0001": the sum no longer holds
        EXPECT_EQ(ask(c, "FIRMWARE#"), corrupted);
        EXPECT_NE(with_sum(corrupted.substr(0, corrupted.rfind('#') + 1)) + "\r\n", corrupted);
        EXPECT_EQ(ask(c, "FIRMWARE#"), intact) << "each fault takes one write";
        EXPECT_TRUE(has(ok("state"), "\"faults\":[]"));
        EXPECT_EQ(box(MAINPNL_TRANSMIT), "[link fault: not sent] " + shown(reply("WHO_ARE_YOU#Polar#")) +
                                             "[link fault: corrupted] " + shown(corrupted) + shown(intact));

        // In a download: the header is lost and the first frame fails its checksum.
        EXPECT_EQ(ctl("clear"), "ok");
        EXPECT_EQ(ctl("fault drop-next"), "ok");
        EXPECT_EQ(ctl("fault corrupt-next"), "ok");
        c.command("DUMPBIN#-1#1#");
        const std::string first = c.read(25), second = c.read(25);
        EXPECT_NE(static_cast<unsigned char>(first.back()), sum_of(first));
        EXPECT_EQ(static_cast<unsigned char>(second.back()), sum_of(second));
        EXPECT_EQ(c.read(19 * 25).size(), 19u * 25u);
        EXPECT_EQ(ask(c, "S#"), "S#3#204\r\n");
        EXPECT_EQ(box(MAINPNL_TRANSMIT), "[link fault: not sent] " + shown(reply("DUMPBIN#12#21#")) +
                                             "[link fault: corrupted byte 0 of 25]\nS#3#204\n");

        // Cleared faults never happen; a fault waits while no client is there.
        EXPECT_EQ(ctl("fault corrupt-next"), "ok");
        EXPECT_EQ(ctl("fault clear"), "ok");
        EXPECT_EQ(ask(c, "FIRMWARE#"), intact);
        c.close();
        EXPECT_EQ(ctl("wait disconnected"), "ok");
        EXPECT_EQ(ctl("fault drop-next"), "ok");
        Client next = connect_client();
        next.command("WHO_ARE_YOU#");
        EXPECT_EQ(ask(next, "FIRMWARE#"), intact);
        for (int i = 0; i <= 16; ++i) EXPECT_EQ(ctl("fault drop-next"), i < 16 ? "ok" : "error too many faults are waiting; fault clear drops them");
    });
}

TEST_F(LinkFaults, DisconnectEndsTheConversationAsAPulledCableWould) {
    run([&] {
        EXPECT_EQ(ctl("fault disconnect"), "error no client is connected");
        Client c = connect_client();
        EXPECT_EQ(ctl("model 2"), "ok");
        settle();
        EXPECT_EQ(ask(c, "WHO_ARE_YOU#"), reply("WHO_ARE_YOU#50th Male#"));
        EXPECT_EQ(ctl("fault disconnect"), "ok");
        EXPECT_TRUE(c.closed()) << "the client sees its connection end";
        EXPECT_EQ(ctl("wait disconnected"), "ok");
        EXPECT_EQ(value(MAINPNL_CONNECTED), 0);
        EXPECT_EQ(text(MAINPNL_CLIENT_IP), "");
        EXPECT_EQ(attribute(MAINPNL_STRING, ATTR_DIMMED), 1);
        const std::string received = box(MAINPNL_RECEIVE);
        EXPECT_EQ(received.substr(received.size() - 26), "-- Client disconnected --\n");

        // Pulled during an ERASE: the erase runs on, and the next client is served.
        Client next = connect_client();
        start_command(next, "ERASE#");
        EXPECT_EQ(ctl("fault disconnect"), "ok");
        EXPECT_TRUE(next.closed());
        EXPECT_EQ(ctl("wait disconnected"), "ok");
        for (int i = 0; i <= 32; ++i) advance(0.301);
        EXPECT_EQ(ctl("wait idle"), "ok");
        Client third = connect_client();
        EXPECT_EQ(ask(third, "S#"), reply("S#0#"));
    });
}

TEST_F(TimeScale, TheClockRunsKTimesAsFastWithoutAJumpAndEachRunStartsAtOne) {
    run([&] {
        Client c = connect_client();
        EXPECT_EQ(ctl("model polar"), "ok");  // 18 ticks of 0.3 s
        settle();
        auto timer = [] { return vt::OnUi([] { return Timer(); }); };
        vt::SetClock(100.0);
        EXPECT_DOUBLE_EQ(timer(), 100.0);
        EXPECT_EQ(ctl("time-scale 10"), "ok");
        EXPECT_DOUBLE_EQ(timer(), 100.0) << "no jump at the change";
        vt::AdvanceClock(1.0);
        EXPECT_DOUBLE_EQ(timer(), 110.0);
        EXPECT_EQ(ctl("time-scale 0.5"), "ok");
        vt::AdvanceClock(2.0);
        EXPECT_DOUBLE_EQ(timer(), 111.0);
        EXPECT_EQ(ctl("time-scale 10"), "ok");
        EXPECT_EQ(ok("time-scale"), "10");
        EXPECT_TRUE(has(ok("state"), "\"time_scale\":10,"));

        // ERASE in a tenth of its time.
        start_command(c, "ERASE#");
        for (int i = 0; i < 18; ++i) advance(0.0301);
        EXPECT_EQ(ask(c, "E#"), reply("E#18#18#"));
        advance(0.0301);
        EXPECT_EQ(c.line(), "ERASE#0#230\r\n");

        // An arm limit of 1000 ms is over after a tenth of a second.
        vt::SetClock(200.0);
        const auto reads = vt::TimerReads();
        c.command("ARM#1000#100#");
        EXPECT_EQ(c.line(), reply("ARM#1000#100#"));
        EXPECT_TRUE(vt::WaitForTimerReads(reads + 2));
        vt::SetClock(200.0999);
        EXPECT_TRUE(vt::WaitUntilClockSeen());
        EXPECT_EQ(ask(c, "S#118"), "S#1#202\r\n") << "still armed";
        vt::SetClock(200.1001);
        EXPECT_TRUE(vt::WaitUntilClockSeen());
        EXPECT_EQ(ask(c, "DUMPINFO#"), reply("DUMPINFO#-29000#1000#"));

        // A paced download pauses a tenth as long.
        EXPECT_EQ(ctl("speed normal"), "ok");
        c.command("DUMPBIN#-1#1#");
        EXPECT_EQ(c.line(), reply("DUMPBIN#12#21#"));
        EXPECT_EQ(c.read(21 * 25).size(), 21u * 25u);
        EXPECT_EQ(ask(c, "S#"), "S#3#204\r\n");
        EXPECT_EQ(vt::DelayCalls(), 21u);
        EXPECT_NEAR(vt::DelayedSeconds(), 21 * 25 * 0.00009 / 10, 1e-12);
    });
    run([&] { EXPECT_TRUE(has(ok("state"), "\"time_scale\":1,")) << "a new simulator runs in real time"; });
}

namespace {

using SteadyClock = std::chrono::steady_clock;

double seconds_since(SteadyClock::time_point t0) {
    return std::chrono::duration<double>(SteadyClock::now() - t0).count();
}

// A client that counts its reads and tells a reset from a clean end.
struct RawClient {
    int fd = -1;
    int reads = 0;
    int error = 0;  // errno of a failed read
    bool ended = false;
    explicit RawClient(unsigned port) : fd(connect_loopback(port)) {}
    ~RawClient() {
        if (fd >= 0) ::close(fd);
    }
    void command(std::string_view text) {
        const std::string r = request(text);
        ASSERT_EQ(::send(fd, r.data(), r.size(), MSG_NOSIGNAL), static_cast<ssize_t>(r.size()));
    }
    // Up to n bytes, until the end, an error or timeoutMs of silence.
    std::string read(std::size_t n, int timeoutMs = 5000) {
        std::string out;
        while (out.size() < n && !ended && !error) {
            pollfd p{fd, POLLIN, 0};
            if (::poll(&p, 1, timeoutMs) <= 0) break;
            char buf[4096];
            const ssize_t got = ::recv(fd, buf, std::min(sizeof buf, n - out.size()), 0);
            if (got < 0) error = errno;
            else if (got == 0) ended = true;
            else out.append(buf, static_cast<std::size_t>(got)), ++reads;
        }
        return out;
    }
};

}  // namespace

TEST_F(LinkFaults, TimedFaultsShapeTheStreamAndKeepEveryByteInOrder) {
    run([&] {
        RawClient c(port());
        ASSERT_GE(c.fd, 0);
        EXPECT_EQ(ctl("wait connected"), "ok");
        EXPECT_EQ(ctl("model polar"), "ok");
        settle();
        EXPECT_EQ(ctl("clear"), "ok");
        const std::string firmware = reply("FIRMWARE#P0000#");

        // Latency: the reply comes no earlier than asked; the instrument is not held up meanwhile.
        EXPECT_EQ(ctl("fault latency 300 50"), "ok");
        auto t0 = SteadyClock::now();
        c.command("FIRMWARE#");
        EXPECT_EQ(ctl("wait idle"), "ok");
        EXPECT_EQ(c.read(firmware.size()), firmware);
        EXPECT_GE(seconds_since(t0), 0.250);
        EXPECT_EQ(ok("fault list"), "[\"latency 300 50\",\"seed 20240611\"]") << "the seed behind the jitter";
        EXPECT_EQ(ctl("fault clear"), "ok");

        // Slices: the same bytes in many small reads.
        EXPECT_EQ(ctl("fault slice 10 3"), "ok");
        c.command("DUMPBIN#0#2#");  // header and 21 frames of 25 bytes
        const std::string header = reply("DUMPBIN#12#21#");
        const std::string sliced = c.read(header.size() + 21 * 25);
        EXPECT_EQ(sliced.substr(0, header.size()), header);
        EXPECT_EQ(sliced.size(), header.size() + 21 * 25);
        EXPECT_GE(c.reads, 20) << "pieces of 10 bytes 3 ms apart";
        EXPECT_EQ(ctl("fault clear slice"), "ok");
        c.command("DUMPBIN#0#2#");
        EXPECT_EQ(c.read(sliced.size()), sliced) << "the same bytes without the fault";

        // Bandwidth: a download of 10,025 bytes at 20,000 bytes/s takes about half a second.
        EXPECT_EQ(ctl("fault bandwidth 20000"), "ok");
        t0 = SteadyClock::now();
        c.command("DUMPBIN#0#40#");
        const std::string slow = c.read(reply("DUMPBIN#12#401#").size() + 401 * 25, 10000);
        const double took = seconds_since(t0);
        EXPECT_EQ(slow.size(), reply("DUMPBIN#12#401#").size() + 401 * 25);
        EXPECT_GE(took, 0.45);
        EXPECT_LE(took, 3.0);
        EXPECT_EQ(ctl("fault clear"), "ok");
        EXPECT_EQ(box(MAINPNL_TRANSMIT), "[link fault: latency 300 ms +- 50 ms]\n" + shown(firmware) +
                                             "[link fault cleared: latency]\n[link fault: slices of 10 bytes, 3 ms apart]\n" +
                                             shown(header) + "[link fault cleared: slice]\n" + shown(header) +
                                             "[link fault: bandwidth 20000 bytes/s]\n" + shown(reply("DUMPBIN#12#401#")) +
                                             "[link fault cleared: bandwidth]\n");
        EXPECT_EQ(ctl("fault latency 5 9"), "error bad value \"9\" for fault latency: expected a jitter in milliseconds from 0 to 5");
        EXPECT_EQ(ok("fault list"), "[]");
    });
}

TEST_F(LinkFaults, StallResetAndCloseAfterEndOrHoldTheConversationAsTheySay) {
    run([&] {
        Client c = connect_client();
        EXPECT_EQ(ctl("model polar"), "ok");
        settle();

        // Stall: nothing is read or answered, the channel still answers, then all comes in order.
        EXPECT_EQ(ctl("fault stall"), "ok");
        c.command("WHO_ARE_YOU#");
        c.command("FIRMWARE#");
        EXPECT_TRUE(c.quiet(300));
        EXPECT_EQ(ctl("ping"), "ok");
        EXPECT_EQ(vt::OnUi([] { return vt::BytesRead(instrument.client_handle); }), 0u) << "nothing was read";
        EXPECT_EQ(ctl("fault clear"), "ok");
        EXPECT_EQ(c.line(), reply("WHO_ARE_YOU#Polar#"));
        EXPECT_EQ(c.line(), reply("FIRMWARE#P0000#"));

        // Close-after: exactly that many more bytes, then a clean end.
        EXPECT_EQ(ctl("fault close-after 30"), "ok");
        c.command("DUMPBIN#0#2#");
        const std::string header = reply("DUMPBIN#12#21#");
        const std::string got = c.read(1000, 2000);
        EXPECT_EQ(got.size(), 30u);
        EXPECT_EQ(got.substr(0, header.size()), header);
        EXPECT_TRUE(c.closed());
        EXPECT_EQ(ctl("wait disconnected"), "ok");
        EXPECT_EQ(ok("fault list"), "[]") << "the fault has done its work";

        // Reset: the client sees RST, not a clean end.
        RawClient r(port());
        EXPECT_EQ(ctl("wait connected"), "ok");
        EXPECT_EQ(ctl("fault reset"), "ok");
        EXPECT_EQ(r.read(1), "");
        EXPECT_EQ(r.error, ECONNRESET);
        EXPECT_FALSE(r.ended);
        EXPECT_EQ(ctl("wait disconnected"), "ok");
        EXPECT_EQ(ctl("fault reset"), "error no client is connected");
    });
}
