// The command interpreter over a real connection: every model's identity,
// settings, LED tables, direction, battery, configuration record, the service
// loop's start, stop and nesting, and pipelined traffic.
#include <thread>

#include "harness.h"

using Commands = Sim;

namespace {

struct Expected {
    int value;
    const char* id;
    const char* firmware;
    const char* comment;
    int leds, axes, rate, start;
};

const Expected kModels[] = {
    {1, "WorldSID", "W50KQ0011", "WorldSID 50th", 18, 3, 10000, -200},
    {2, "50th Male", "50S0005", "HIII 50TH", 12, 2, 10000, -500},
    {3, "50th 3D", "50_3D_01", "HIII 50TH 3-AXIS", 6, 3, 10000, -500},
    {4, "5th Female", "5S0004", "HIII 5TH FEMALE", 12, 2, 10000, -500},
    {5, "SIDIIs", "S2S_003", "SIDIIs", 6, 3, 10000, -500},
    {6, "Polar", "P0000", "POLAR", 6, 2, 10000, -500},
    {7, "Ballistic", "KQ000", "3-rib Ballistic Test Stand ", 3, 3, 20000, -500},
    {8, "50th ADJ", "50S0005", "HIII 50TH", 12, 2, 10000, -500},
    {9, "WorldSID 5th", "WS5TH0001", "WORLDSID 5TH", 18, 3, 10000, -200},
    {10, "WorldSID Male", "VA2_R001.4", "WORLDSID 50TH", 18, 3, 10000, -200},
};

std::string num(int v) { return std::to_string(v); }

}  // namespace

TEST_F(Commands, EveryModelReportsItsOwnIdentityAndDimensions) {
    run([&] {
        Client c = connect_client();
        for (const Expected& m : kModels) {
            SCOPED_TRACE(m.id);
            choose(m.value);
            EXPECT_EQ(ask(c, "WHO_ARE_YOU#"), reply(std::string("WHO_ARE_YOU#") + m.id + "#"));
            EXPECT_EQ(ask(c, "FIRMWARE#"), reply(std::string("FIRMWARE#") + m.firmware + "#"));
            EXPECT_EQ(ask(c, "GETTESTCOMMENT#"), reply(std::string("GETTESTCOMMENT#") + m.comment + "#"));
            EXPECT_EQ(ask(c, "SERIAL_NUMBER#"), reply("SERIAL_NUMBER#75#"));
            EXPECT_EQ(ask(c, "CAL_DATE#"), reply("CAL_DATE#25 January 2010#"));
            EXPECT_EQ(ask(c, "CAL_LOC#"), reply("CAL_LOC#Marlowe Systems, Marlowe MA#"));
            EXPECT_EQ(ask(c, "HOW_MANY_LEDS#"), reply("HOW_MANY_LEDS#" + num(m.leds) + "#"));
            EXPECT_EQ(ask(c, "HOW_MANY_AXES#"), reply("HOW_MANY_AXES#" + num(m.axes) + "#"));
            EXPECT_EQ(ask(c, "SAMPLE_RATE#"), reply("SAMPLE_RATE#" + num(m.rate) + "#"));
            EXPECT_EQ(ask(c, "DUMPINFO#"), reply("DUMPINFO#" + num(m.start) + "#1500#"));
            EXPECT_EQ(ask(c, "S#"), "S#3#204\r\n");
            EXPECT_EQ(attribute(MAINPNL_BATTERY, ATTR_VISIBLE), m.value == 10 ? 1 : 0);
        }
        choose(0);
        EXPECT_EQ(attribute(MAINPNL_BATTERY, ATTR_VISIBLE), 0);
    });
}

TEST_F(Commands, SettingsCommandsCheckTheirRangeAndNamesMatchInTableOrder) {
    run([&] {
        Client c = serve(2);
        EXPECT_EQ(ask(c, "TRIGGERSET#3#"), reply("TRIGGERSET#3#"));
        EXPECT_EQ(ask(c, "TRIGGERSET#4#"), reply("TRIGGERSET#BAD#"));
        EXPECT_EQ(ask(c, "TRIGGERSET#-1#"), reply("TRIGGERSET#BAD#"));
        EXPECT_EQ(ask(c, "TRIGGERSET#"), reply("TRIGGERSET#BAD#"));
        EXPECT_EQ(ask(c, "GETTRIGGER#"), reply("GETTRIGGER#3#"));
        EXPECT_EQ(ask(c, "MANARMENABLE#"), reply("MANARMENABLE#-999#"));
        EXPECT_EQ(ask(c, "MANARMENABLE#12#"), reply("MANARMENABLE#12#"));
        EXPECT_EQ(ask(c, "SETTIME#1234#"), reply("SETTIME#1234#"));
        EXPECT_EQ(ask(c, "SAVE#"), reply("SAVE#"));
        EXPECT_EQ(ask(c, "S#7#"), "S#3#204\r\n");
        EXPECT_EQ(ask(c, "XTRIGGERSETX#2#"), reply("TRIGGERSET#2#"));
        EXPECT_EQ(ask(c, "GETTRIGGERSET#1#"), reply("TRIGGERSET#1#"));
        for (const char* unknown : {"SX#", "who_are_you#", "E#", "T#", "D#", "NOTHING#", "#"})
            EXPECT_EQ(ask(c, unknown), "?2\r\n") << unknown;
        // A choice of model resets the trigger setting.
        choose(2);
        EXPECT_EQ(ask(c, "GETTRIGGER#"), reply("GETTRIGGER#0#"));
    });
}

TEST_F(Commands, LedTablesCheckBothArgumentsAndSurviveAModelChange) {
    run([&] {
        Client c = serve(2);
        EXPECT_EQ(ask(c, "SHOW_LEDRIB#"), reply("SHOW_LEDRIB#12#1,2,3,4,5,6,1,2,3,4,5,6#"));
        EXPECT_EQ(ask(c, "SHOW_LEDPOSN#"), reply("SHOW_LEDPOSN#12#0,0,0,0,0,0,2,2,2,2,2,2#"));
        EXPECT_EQ(ask(c, "LED_RIB#0#7#"), reply("LED_RIB#BAD#BAD#"));
        EXPECT_EQ(ask(c, "LED_RIB#13#2#"), reply("LED_RIB#BAD#2#"));
        EXPECT_EQ(ask(c, "LED_RIB#3#0#"), reply("LED_RIB#3#BAD#"));
        EXPECT_EQ(ask(c, "LED_RIB#"), reply("LED_RIB#BAD#BAD#"));
        EXPECT_EQ(ask(c, "LED_POSN#1#4#"), reply("LED_POSN#1#BAD#"));
        EXPECT_EQ(ask(c, "LED_POSN#1#-1#"), reply("LED_POSN#1#BAD#"));
        EXPECT_EQ(ask(c, "SHOW_LEDRIB#"), reply("SHOW_LEDRIB#12#1,2,3,4,5,6,1,2,3,4,5,6#"));
        EXPECT_EQ(ask(c, "LED_RIB#3#6#"), reply("LED_RIB#3#6#"));
        EXPECT_EQ(ask(c, "LED_POSN#12#3#"), reply("LED_POSN#12#3#"));
        EXPECT_EQ(ask(c, "SHOW_LEDRIB#"), reply("SHOW_LEDRIB#12#1,2,6,4,5,6,1,2,3,4,5,6#"));
        EXPECT_EQ(ask(c, "SHOW_LEDPOSN#"), reply("SHOW_LEDPOSN#12#0,0,0,0,0,0,2,2,2,2,2,3#"));
        choose(6);  // 6 LEDs: entries beyond are neither shown nor changed
        EXPECT_EQ(ask(c, "SHOW_LEDRIB#"), reply("SHOW_LEDRIB#6#1,2,6,4,5,6#"));
        EXPECT_EQ(ask(c, "LED_RIB#7#1#"), reply("LED_RIB#BAD#1#"));
        choose(1);  // 18 LEDs, rib bound 6 whatever the model's rib count
        EXPECT_EQ(ask(c, "SHOW_LEDPOSN#"), reply("SHOW_LEDPOSN#18#0,0,0,0,0,0,2,2,2,2,2,3,1,1,1,1,1,1#"));
        EXPECT_EQ(ask(c, "LED_RIB#18#6#"), reply("LED_RIB#18#6#"));
        EXPECT_EQ(ask(c, "SHOW_LEDRIB#"), reply("SHOW_LEDRIB#18#1,2,6,4,5,6,1,2,3,4,5,6,1,2,3,4,5,6#"));
    });
}

TEST_F(Commands, CurrentPositionsAreMadeUpFromTheLedNumber) {
    run([&] {
        Client c = serve(6);
        EXPECT_EQ(ask(c, "CURRENT_POSITIONS#"),
                  reply("CURRENT_POSITIONS#12#1.10, 1.20, 2.10, 2.20, 3.10, 3.20, 4.10, 4.20, 5.10, 5.20, 6.10, 6.20#"));
        choose(7);
        EXPECT_EQ(ask(c, "CURRENT_POSITIONS#"),
                  "CURRENT_POSITIONS#9#1.10, 1.20, 1.30, 2.10, 2.20, 2.30, 3.10, 3.20, 3.30#30\r\n");
        choose(9);
        const std::string r = ask(c, "CURRENT_POSITIONS#");
        EXPECT_EQ(r.rfind("CURRENT_POSITIONS#54#1.10, 1.20, 1.30, 2.10, ", 0), 0u);
        EXPECT_NE(r.find(", 10.10, 10.20, 10.30, 11.10"), std::string::npos);
        const std::string tail = "18.10, 18.20, 18.30#";
        EXPECT_EQ(r, reply(r.substr(0, r.find(tail) + tail.size())));
    });
}

TEST_F(Commands, DirectionFollowsTheSwitchOnTheModelsThatHaveOne) {
    run([&] {
        Client c = serve(2);
        EXPECT_EQ(ask(c, "DIRECTION#"), "?2\r\n");
        for (int model : {1, 5, 6, 9, 10}) {
            choose(model);
            EXPECT_EQ(ask(c, "DIRECTION#"), reply("DIRECTION#LEFT#")) << model;
        }
        flip(MAINPNL_DirectionSwitch);
        EXPECT_EQ(ask(c, "DIRECTION#"), reply("DIRECTION#RIGHT#"));
        for (int model : {3, 4, 7, 8}) {
            choose(model);
            EXPECT_EQ(ask(c, "DIRECTION#"), "?2\r\n") << model;
        }
    });
}

TEST_F(Commands, BatteryCommandsServeOnlyTheSecondGenerationWorldSID) {
    run([&] {
        Client c = serve(2);
        for (const char* cmd : {"GETBATINFO#", "BATTSETFULL#", "SENDCONFIG#"}) EXPECT_EQ(ask(c, cmd), "?2\r\n");
        choose(10);
        EXPECT_EQ(ask(c, "GETBATINFO#"), "GETBATINFO#75#15.25#179\r\n");
        vt::PostToUi([] { EXPECT_EQ(vt::ChooseRingItem(panel(), MAINPNL_BATTERY, -2), 0); });
        settle();
        EXPECT_EQ(ask(c, "GETBATINFO#"), reply("GETBATINFO#-2#0.0#"));
        vt::PostToUi([] { EXPECT_EQ(vt::ChooseRingItem(panel(), MAINPNL_BATTERY, -1), 0); });
        settle();
        EXPECT_EQ(ask(c, "GETBATINFO#"), reply("GETBATINFO#-1#0.0#"));
        EXPECT_EQ(ask(c, "BATTSETFULL#"), reply("BATTSETFULL#OK#"));
        EXPECT_EQ(value(MAINPNL_BATTERY), 75);
        EXPECT_EQ(ask(c, "GETBATINFO#"), "GETBATINFO#75#15.25#179\r\n");
    });
}

TEST_F(Commands, SendConfigWritesTheRecordRawAndNothingElse) {
    std::string expected(256, '\0');
    auto u16 = [&](int at, int v) {
        expected[at] = static_cast<char>(v & 0xFF);
        expected[at + 1] = static_cast<char>(v >> 8);
    };
    expected[8] = 1;
    u16(16, 215);
    u16(18, 511);
    const char small[] = {1, 1, 1, 2, 4, 1, 5};
    expected.replace(20, 7, small, 7);
    for (int i = 0; i < 12; ++i) u16(32 + 2 * i, 900);
    u16(56, 510);
    expected.replace(64, 4, "9999");
    expected.replace(96, 14, "1 January 2023");
    expected.replace(128, 14, "2 January 2023");
    expected.replace(160, 5, "VAZID");
    expected.replace(192, 13, "WorldSID Male");
    run([&] {
        Client c = serve(10);
        c.command("SENDCONFIG#");
        EXPECT_EQ(c.read(256), expected);
        EXPECT_EQ(ask(c, "S#"), "S#3#204\r\n") << "nothing follows the record";
        EXPECT_EQ(box(MAINPNL_TRANSMIT), "S#3#204\n");
        // Kept when another model is chosen, rebuilt identically for model 10.
        choose(1);
        choose(10);
        c.command("SENDCONFIG#");
        EXPECT_EQ(c.read(256), expected);
    });
}

TEST_F(Commands, AChoiceReplacesTheCommentAndValueZeroPausesTheService) {
    run([&] {
        Client c = serve(2);
        EXPECT_EQ(ask(c, "SETTESTCOMMENT#"), "COMMENT?\n");
        c.send("ABC\n");
        EXPECT_EQ(c.line(), reply("SETTESTCOMMENT#OK#"));
        c.command("GETTESTCOMMENT#");
        EXPECT_EQ(c.read(24), "GETTESTCOMMENT#ABC\n#73\r\n");
        choose(2);
        EXPECT_EQ(ask(c, "GETTESTCOMMENT#"), reply("GETTESTCOMMENT#HIII 50TH#"));

        choose(0);
        c.command("WHO_ARE_YOU#");
        c.command("FIRMWARE#");
        EXPECT_TRUE(wait_for([] { return vt::TextBoxContents(panel(), MAINPNL_RECEIVE).find("FIRMWARE#") != std::string::npos; }));
        EXPECT_TRUE(c.quiet()) << "no model, no service";
        choose(8);
        EXPECT_EQ(c.line(), reply("WHO_ARE_YOU#50th ADJ#"));
        EXPECT_EQ(c.line(), reply("FIRMWARE#50S0005#"));
    });
}

TEST_F(Commands, TenThousandPipelinedCommandsSentBeforeAnyModelAreAllAnsweredInOrder) {
    constexpr int kCount = 10000;
    run([&] {
        Client c = connect_client();
        std::thread writer([&] {
            std::string batch;
            for (int i = 0; i < kCount; ++i) batch += request("SETTIME#" + std::to_string(i) + "#");
            c.send(batch);
        });
        EXPECT_TRUE(wait_for([] { return rx_ring.write_index != 0; }));
        choose(4);
        int in_order = 0;
        for (int i = 0; i < kCount; ++i) {
            if (c.line(10000) != reply("SETTIME#" + std::to_string(i) + "#")) break;
            ++in_order;
        }
        writer.join();
        EXPECT_EQ(in_order, kCount);
        EXPECT_TRUE(c.quiet());
    });
}

TEST_F(Commands, AThousandChoicesWhileServingKeepTheStackAndServeTheLastModel) {
    run([&] {
        Client c = serve(1);
        for (int i = 0; i < 1000; ++i) vt::PostToUi([i] { vt::ChooseRingItem(panel(), MAINPNL_VATYPE, 1 + i % 10); });
        settle();
        EXPECT_EQ(ask(c, "WHO_ARE_YOU#"), reply("WHO_ARE_YOU#WorldSID Male#"));
        EXPECT_LE(vt::OnUi([] { return instrument.service_depth; }), 1);
    });
}

TEST_F(Commands, AChoiceDuringAWaitServesOnWhileTheWaitingCommandStaysSuspended) {
    run([&] {
        Client c = serve(2);
        EXPECT_EQ(ask(c, "SETTESTCOMMENT#"), "COMMENT?\n");
        choose(5);  // nests a service loop inside the wait
        c.send("MY COMMENT");
        EXPECT_TRUE(wait_for([] { return instrument.awaiting_reply == 0; }));
        EXPECT_EQ(ask(c, "WHO_ARE_YOU#"), reply("WHO_ARE_YOU#SIDIIs#")) << "the nested loop serves";
        EXPECT_EQ(ask(c, "HOW_MANY_LEDS#"), reply("HOW_MANY_LEDS#6#"));
        EXPECT_EQ(vt::OnUi([] { return instrument.service_depth; }), 2);
        choose(0);  // stops every loop; then the comment command completes
        EXPECT_EQ(c.line(), reply("SETTESTCOMMENT#OK#"));
        EXPECT_TRUE(wait_for([] { return instrument.service_depth == 0; }));
        choose(5);
        EXPECT_EQ(ask(c, "GETTESTCOMMENT#"), reply("GETTESTCOMMENT#SIDIIs#"));
    });
}
