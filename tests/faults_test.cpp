// Link faults and the time scale, asked for through the control channel and
// seen by a client over a real connection and in the panel.
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
