// The DUMPBIN family: headers, synthetic frames byte for byte, refusals,
// pacing on the driven clock, and clients that are gone.
#include "harness.h"

namespace {

std::string bytes(std::initializer_list<int> values) {
    std::string s;
    for (int v : values) s += static_cast<char>(v);
    return s;
}

unsigned word_at(const std::string& frame, int word) {
    return static_cast<unsigned char>(frame[2 * word]) | static_cast<unsigned char>(frame[2 * word + 1]) << 8;
}

// Checks one frame against the synthetic pattern: LED l coordinate j, then the extra words.
void expect_pattern(const std::string& frame, int leds, int axes, int extras, bool after_trigger) {
    ASSERT_EQ(frame.size(), static_cast<std::size_t>(2 * (leds * axes + extras) + 1));
    int w = 0;
    for (int l = 1; l <= leds; ++l)
        for (int j = 1; j <= axes; ++j, ++w) {
            const unsigned expected = after_trigger ? 2010 + 1000 * (l - 1) + 10 * (j - 1)
                                                    : 1100 + 1000 * (l - 1) + 100 * (j - 1);
            EXPECT_EQ(word_at(frame, w), expected) << "LED " << l << " coordinate " << j;
        }
    for (int k = 1; k <= extras; ++k, ++w) EXPECT_EQ(word_at(frame, w), 500u * k) << "extra word " << k;
    unsigned sum = 0;
    for (std::size_t i = 0; i + 1 < frame.size(); ++i) sum += static_cast<unsigned char>(frame[i]);
    EXPECT_EQ(static_cast<unsigned char>(frame.back()), sum % 256) << "frame checksum";
}

}  // namespace

using Download = Sim;

TEST_F(Download, TheWorkedExampleArrivesByteForByte) {
    run([&] {
        Client c = serve(2);
        c.command("DUMPBINA#-1#1#");
        EXPECT_EQ(c.line(), "DUMPBINA#26#21#132\r\n");
        std::vector<std::string> frames;
        for (int i = 0; i < 21; ++i) frames.push_back(c.read(53));
        EXPECT_EQ(frames[0].substr(0, 8), bytes({0x4C, 0x04, 0xB0, 0x04, 0x34, 0x08, 0x98, 0x08}));
        EXPECT_EQ(frames[0].substr(44), bytes({0x44, 0x2F, 0xA8, 0x2F, 0xF4, 0x01, 0xE8, 0x03, 0xB4}));
        EXPECT_EQ(frames[10].substr(0, 8), bytes({0xDA, 0x07, 0xE4, 0x07, 0xC2, 0x0B, 0xCC, 0x0B}));
        EXPECT_EQ(frames[10].substr(44), bytes({0xD2, 0x32, 0xDC, 0x32, 0xF4, 0x01, 0xE8, 0x03, 0x1C}));
        for (int i = 0; i < 21; ++i) EXPECT_EQ(frames[i], frames[i < 10 ? 0 : 10]) << "frame " << i;
        EXPECT_EQ(ask(c, "S#"), "S#3#204\r\n") << "nothing follows the last frame";

        // Windows wholly before and wholly after the trigger.
        c.command("DUMPBINA#-2#-1#");
        EXPECT_EQ(c.line(), reply("DUMPBINA#26#11#"));
        for (int i = 0; i < 11; ++i) EXPECT_EQ(c.read(53), frames[0]);
        c.command("DUMPBINA#1#2#");
        EXPECT_EQ(c.line(), reply("DUMPBINA#26#11#"));
        for (int i = 0; i < 11; ++i) EXPECT_EQ(c.read(53), frames[10]);
        vt::OnUi([] { ResetTextBox(panel(), MAINPNL_TRANSMIT, ""); });

        c.command("DUMPBIN#-1#1#");
        EXPECT_EQ(c.line(), "DUMPBIN#24#21#65\r\n");
        std::string plain = c.read(21 * 49);
        EXPECT_EQ(static_cast<unsigned char>(plain[48]), 0xD4);
        EXPECT_EQ(static_cast<unsigned char>(plain[10 * 49 + 48]), 0x3C);
        c.command("DUMPBINX#-1#1#");
        EXPECT_EQ(c.line(), "DUMPBINX#24#21#153\r\n");
        EXPECT_EQ(c.read(21 * 49), plain);
        c.command("DUMPBINXA#-1#1#");
        EXPECT_EQ(c.line(), "DUMPBINXA#26#21#220\r\n");
        for (int i = 0; i < 21; ++i) EXPECT_EQ(c.read(53), frames[i]);
        EXPECT_EQ(box(MAINPNL_TRANSMIT), "DUMPBIN#24#21#65\nDUMPBINX#24#21#153\nDUMPBINXA#26#21#220\n")
            << "frames are not echoed";
    });
}

TEST_F(Download, EveryModelSendsFramesOfItsOwnShape) {
    struct Shape {
        int model, leds, axes, extras;
        std::size_t plain, with_extras;
    };
    const Shape shapes[] = {
        {1, 18, 3, 6, 109, 121}, {9, 18, 3, 6, 109, 121}, {10, 18, 3, 6, 109, 121}, {2, 12, 2, 2, 49, 53},
        {4, 12, 2, 2, 49, 53},   {8, 12, 2, 2, 49, 53},   {3, 6, 3, 3, 37, 43},     {5, 6, 3, 3, 37, 43},
        {6, 6, 2, 2, 25, 29},    {7, 3, 3, 3, 19, 25},
    };
    run([&] {
        Client c = connect_client();
        for (const Shape& s : shapes) {
            SCOPED_TRACE("model " + std::to_string(s.model));
            choose(s.model);
            const int words = s.leds * s.axes;
            c.command("DUMPBIN#-1#0#");
            EXPECT_EQ(c.line(), reply("DUMPBIN#" + std::to_string(words) + "#11#"));
            for (int i = 0; i < 11; ++i) {
                const std::string frame = c.read(s.plain);
                expect_pattern(frame, s.leds, s.axes, 0, i == 10);
            }
            c.command("DUMPBINA#0#0#");
            EXPECT_EQ(c.line(), reply("DUMPBINA#" + std::to_string(words + s.extras) + "#1#"));
            expect_pattern(c.read(s.with_extras), s.leds, s.axes, s.extras, true);
            EXPECT_EQ(ask(c, "S#"), "S#3#204\r\n");
        }
    });
}

TEST_F(Download, RequestsOutsideTheWindowAreRefusedUnderTheWordDumpbin) {
    run([&] {
        Client c = serve(2);  // window -500 to 1500
        EXPECT_EQ(ask(c, "DUMPBIN#2#1#"), reply("DUMPBIN#BAD#1#"));
        EXPECT_EQ(ask(c, "DUMPBIN#-600#0#"), reply("DUMPBIN#BAD#0#"));
        EXPECT_EQ(ask(c, "DUMPBIN#0#2000#"), reply("DUMPBIN#0#BAD#"));
        EXPECT_EQ(ask(c, "DUMPBIN#-600#2000#"), reply("DUMPBIN#BAD#BAD#"));
        EXPECT_EQ(ask(c, "DUMPBIN#"), reply("DUMPBIN#BAD#BAD#"));
        EXPECT_EQ(ask(c, "DUMPBIN#0#"), reply("DUMPBIN#0#BAD#"));
        EXPECT_EQ(ask(c, "DUMPBINA#2#1#"), reply("DUMPBIN#BAD#1#"));
        EXPECT_EQ(ask(c, "DUMPBINXA#-501#0#"), reply("DUMPBIN#BAD#0#"));
        EXPECT_EQ(ask(c, "DUMPBINX#0#1501#"), reply("DUMPBIN#0#BAD#"));
        // Both ends of the window are inside it.
        c.command("DUMPBIN#-500#1500#");
        EXPECT_EQ(c.line(), reply("DUMPBIN#24#20001#"));
        const std::string all = c.read(20001u * 49u, 20000);
        ASSERT_EQ(all.size(), 20001u * 49u);
        expect_pattern(all.substr(4999u * 49u, 49), 12, 2, 0, false);
        expect_pattern(all.substr(5000u * 49u, 49), 12, 2, 0, true);
        EXPECT_EQ(ask(c, "S#"), "S#3#204\r\n");
    });
}

TEST_F(Download, TheWindowFollowsTheRecordingCycle) {
    run([&] {
        Client c = serve(10);  // erases in two ticks
        erase(c);
        EXPECT_EQ(ask(c, "DUMPBIN#0#0#"), reply("DUMPBIN#BAD#BAD#"));
        choose(10);  // the model's window again, but the memory stays erased
        EXPECT_EQ(ask(c, "DUMPINFO#"), reply("DUMPINFO#-200#1500#"));
        EXPECT_EQ(ask(c, "DUMPBIN#0#0#"), reply("DUMPBIN#BAD#BAD#"));

        vt::SetClock(10.0);
        EXPECT_EQ(ask(c, "ARM#0#3#"), reply("ARM#0#3#"));
        EXPECT_TRUE(vt::WaitUntilClockSeen());
        vt::SetClock(10.25);
        c.send("T#119");
        EXPECT_EQ(c.line(), "T#119\r\n");
        EXPECT_TRUE(vt::WaitForTimerReads(vt::TimerReads() + 3));
        advance(0.0031);
        EXPECT_EQ(ask(c, "DUMPINFO#"), reply("DUMPINFO#-250#3#"));
        c.command("DUMPBIN#-2#3#");
        EXPECT_EQ(c.line(), reply("DUMPBIN#54#51#"));
        for (int i = 0; i < 51; ++i) expect_pattern(c.read(109), 18, 3, 0, i >= 20);
        // A recording can be downloaded again, in part.
        c.command("DUMPBINA#3#3#");
        EXPECT_EQ(c.line(), reply("DUMPBINA#60#1#"));
        expect_pattern(c.read(121), 18, 3, 6, true);
        EXPECT_EQ(ask(c, "S#"), "S#3#204\r\n");
    });
}

TEST_F(Download, NormalSpeedPausesNinetyMicrosecondsPerByteAfterEachFrame) {
    run([&] {
        Client c = serve(2);
        c.command("DUMPBINA#-1#1#");
        EXPECT_EQ(c.line(), "DUMPBINA#26#21#132\r\n");
        EXPECT_EQ(c.read(21 * 53).size(), 21u * 53u);
        EXPECT_EQ(vt::DelayCalls(), 0u) << "Fast sends back to back";

        flip(MAINPNL_DUMPSPEED);
        c.command("DUMPBINA#-1#1#");
        EXPECT_EQ(c.line(), "DUMPBINA#26#21#132\r\n");
        EXPECT_EQ(c.read(21 * 53).size(), 21u * 53u);
        EXPECT_EQ(ask(c, "S#"), "S#3#204\r\n");  // the pause after the last frame is over too
        EXPECT_EQ(vt::DelayCalls(), 21u);
        EXPECT_NEAR(vt::DelayedSeconds(), 21 * 0.00477, 1e-9);
    });
}

TEST_F(Download, WithoutAClientEveryFrameFailsAndTheDownloadStillEnds) {
    run([&] {
        {
            Client gone = connect_client();
            gone.command("DUMPBIN#-1#1#");  // waits in the ring: no model yet
            EXPECT_TRUE(wait_for([] { return rx_ring.write_index != 0; }));
        }
        EXPECT_TRUE(wait_for([] { return instrument.client_handle == 0; }));
        vt::OnUi([] { ResetTextBox(panel(), MAINPNL_TRANSMIT, ""); });
        flip(MAINPNL_DUMPSPEED);
        choose(2);
        EXPECT_TRUE(wait_for([] { return rx_ring.read_index == rx_ring.write_index; }));
        std::string expected = "DUMPBIN#24#21#65\nTransmit Error\n";
        for (int i = 0; i < 21; ++i) expected += "Transmit Error\n";
        EXPECT_EQ(box(MAINPNL_TRANSMIT), expected);
        EXPECT_EQ(vt::DelayCalls(), 21u) << "each failed frame keeps its pause";

        // A client that leaves in the middle of a long download: the next is served.
        flip(MAINPNL_DUMPSPEED);
        {
            Client leaving = connect_client();
            leaving.command("DUMPBINA#-200#1500#");
            EXPECT_EQ(leaving.line(), reply("DUMPBINA#26#17001#"));
            leaving.read(1000);
        }
        Client next = connect_client();
        EXPECT_EQ(ask(next, "WHO_ARE_YOU#"), reply("WHO_ARE_YOU#50th Male#"));
    });
}
