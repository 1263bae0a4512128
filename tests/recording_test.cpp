// The recording cycle on the driven clock: ERASE with its progress exchange,
// ARM with its raw exchange, triggers from the client and the panel, the time
// limits and the recorded window they leave.
#include <cmath>

#include "harness.h"

class Recording : public Sim {
protected:
    // Arms with ARM#a#b#, expecting the immediate reply. The clock is first set to
    // a whole second, so that times relative to arming are exact in binary.
    static void arm(Client& c, int a, int b) {
        vt::SetClock(std::ceil(vt::ClockNow()) + 1.0);
        const std::string text = "ARM#" + std::to_string(a) + "#" + std::to_string(b) + "#";
        start_command(c, text);
        EXPECT_EQ(c.line(), reply(text));
    }

    // Moves the clock to t seconds after the given origin and lets the wait see it.
    static void at(double origin, double t) {
        vt::SetClock(origin + t);
        EXPECT_TRUE(vt::WaitUntilClockSeen());
    }

    static std::string raw(Client& c, std::string_view text) {
        c.send(text);
        return c.line();
    }

    // A trigger's time is read just after its answer has gone out: let the wait
    // take a few more readings before the test moves the clock on.
    static void let_wait_read_clock() { EXPECT_TRUE(vt::WaitForTimerReads(vt::TimerReads() + 3)); }

    static void trigger(Client& c) {
        EXPECT_EQ(raw(c, "T#119"), "T#119\r\n");
        let_wait_read_clock();
    }

    static std::string window(Client& c) { return ask(c, "DUMPINFO#"); }

    // Erases, arms with ARM#a#b#, triggers from the client at trigger_at and lets
    // the clock reach end_at (both seconds from arming); returns DUMPINFO's reply.
    std::string record(Client& c, int a, int b, double trigger_at, double end_at) {
        erase(c);
        arm(c, a, b);
        const double t0 = vt::ClockNow();
        at(t0, trigger_at);
        trigger(c);
        at(t0, end_at);
        return window(c);
    }
};

TEST_F(Recording, EraseCountsItsTicksAndAnswersOnlyProgressRequests) {
    run([&] {
        Client c = serve(6);  // Polar: 18 ticks
        EXPECT_EQ(ask(c, "ARM#0#200#"), "ARM#ERROR-NOT_ERASED#225\r\n");
        EXPECT_EQ(ask(c, "S#"), "S#3#204\r\n");
        const double t0 = vt::ClockNow();
        c.send(request("ERASE#") + request("WHO_ARE_YOU#"));  // the second line waits behind ERASE
        EXPECT_EQ(c.line(), "?2\r\n") << "taken from the ring during the erase and dropped";
        EXPECT_EQ(ask(c, "E#"), reply("E#0#18#"));
        for (int tick = 1; tick <= 18; ++tick) {
            advance(0.301);
            if (tick == 3) {
                EXPECT_EQ(ask(c, "E#"), "E#3#18#74\r\n");
            }
        }
        EXPECT_EQ(ask(c, "E#"), reply("E#18#18#"));
        EXPECT_EQ(ask(c, "S#"), "S#2#203\r\n");
        EXPECT_EQ(ask(c, "SX#"), "?2\r\n");
        EXPECT_EQ(ask(c, "X#"), "?2\r\n");
        EXPECT_EQ(raw(c, "E#1\n"), "?1 - should be 104\r\n");
        advance(0.300);  // not more than 0.3 s: no tick
        EXPECT_EQ(ask(c, "E#"), reply("E#18#18#"));
        advance(0.002);
        EXPECT_EQ(c.line(), "ERASE#0#230\r\n");
        EXPECT_GT(vt::ClockNow() - t0, 5.7);
        EXPECT_EQ(window(c), "DUMPINFO#0#0#43\r\n");
        EXPECT_EQ(ask(c, "S#"), "S#0#201\r\n");
        EXPECT_EQ(ask(c, "WHO_ARE_YOU#"), reply("WHO_ARE_YOU#Polar#")) << "nothing left over from the erase";
    });
}

TEST_F(Recording, TheSecondGenerationWorldSIDErasesInTwoTicks) {
    run([&] {
        Client c = serve(10);
        start_command(c, "ERASEARM#");  // ERASE comes before ARM in the command table
        advance(0.301);
        EXPECT_EQ(ask(c, "E#"), reply("E#1#1#"));
        advance(0.301);
        EXPECT_EQ(c.line(), "ERASE#0#230\r\n");
    });
}

TEST_F(Recording, ArmWithATriggerFromTheClientRecordsAroundIt) {
    run([&] {
        Client c = serve(2);
        erase(c);
        vt::SetClock(100.0);
        const double t0 = vt::ClockNow();
        start_command(c, "ARM#0#200#");
        EXPECT_EQ(c.line(), "ARM#0#200#11\r\n");
        EXPECT_EQ(attribute(MAINPNL_TRIGGERBUTTON, ATTR_VISIBLE), 1);
        EXPECT_EQ(raw(c, "S#118"), "S#1#202\r\n");
        EXPECT_EQ(raw(c, "X"), "?2\r\n");
        at(t0, 0.0504);
        trigger(c);
        EXPECT_EQ(raw(c, "S#118\r\n"), "S#2#203\r\n");
        at(t0, 0.2503);
        EXPECT_EQ(raw(c, "S#118"), "S#2#203\r\n") << "200 ms have not passed since the trigger";
        at(t0, 0.2505);
        EXPECT_EQ(window(c), "DUMPINFO#-50#200#239\r\n");
        EXPECT_EQ(ask(c, "S#"), "S#3#204\r\n");
        EXPECT_EQ(attribute(MAINPNL_TRIGGERBUTTON, ATTR_VISIBLE), 0);
        EXPECT_EQ(ask(c, "TRIGGERCHECK#"), reply("TRIGGERCHECK#0#")) << "a client trigger is not the button";
        EXPECT_EQ(ask(c, "ARM#0#200#"), "ARM#ERROR-NOT_ERASED#225\r\n");
    });
}

TEST_F(Recording, ArmLimitWithoutATriggerRecordsTheLongestWindowBeforeIt) {
    run([&] {
        Client c = serve(2);
        erase(c);
        arm(c, 1000, 200);
        const double t0 = vt::ClockNow();
        at(t0, 1.0);
        EXPECT_EQ(raw(c, "S#118"), "S#1#202\r\n") << "reaching the limit exactly does not end the wait";
        at(t0, 1.0001);
        EXPECT_EQ(window(c), reply("DUMPINFO#-29000#1000#"));
        EXPECT_EQ(ask(c, "S#"), "S#3#204\r\n");
        EXPECT_EQ(attribute(MAINPNL_TRIGGERBUTTON, ATTR_VISIBLE), 1) << "no trigger: the button stays";
    });
}

TEST_F(Recording, LongPreTriggerTimesAreClampedToTheLongestRecording) {
    run([&] {
        Client c = serve(2);
        EXPECT_EQ(record(c, 0, 1000, 40.0, 41.0001), reply("DUMPINFO#-29000#1000#"));
        EXPECT_EQ(record(c, 0, 20000, 15.0, 35.0001), reply("DUMPINFO#-10000#20000#"));
        EXPECT_EQ(ask(c, "S#"), "S#3#204\r\n");
    });
}

TEST_F(Recording, DisarmAndEmptyWindowsLeaveTheMemoryErased) {
    run([&] {
        Client c = serve(2);
        erase(c);
        arm(c, 0, 0);
        EXPECT_EQ(raw(c, "D#103"), "D#103\r\n");
        EXPECT_EQ(window(c), "DUMPINFO#0#0#43\r\n");
        EXPECT_EQ(ask(c, "S#"), "S#0#201\r\n");
        EXPECT_EQ(attribute(MAINPNL_TRIGGERBUTTON, ATTR_VISIBLE), 1) << "a disarm before a trigger keeps the button";

        // A second ARM after a disarmed one is accepted; a disarm after the trigger still empties.
        arm(c, 0, 5000);
        double t0 = vt::ClockNow();
        at(t0, 0.5);
        trigger(c);
        EXPECT_EQ(raw(c, "D#103"), "D#103\r\n");
        EXPECT_EQ(window(c), "DUMPINFO#0#0#43\r\n");
        EXPECT_EQ(ask(c, "S#"), "S#0#201\r\n");

        // A trigger within the first millisecond with b = 0 gives the empty window (0, 0).
        arm(c, 0, 0);
        t0 = vt::ClockNow();
        at(t0, 0.0005);
        trigger(c);
        at(t0, 0.0006);
        EXPECT_EQ(window(c), "DUMPINFO#0#0#43\r\n");
        EXPECT_EQ(ask(c, "S#"), "S#0#201\r\n");
    });
}

TEST_F(Recording, TheArmLimitCutsARecordingShortAfterTheTrigger) {
    run([&] {
        Client c = serve(2);
        // The recording ends where the wait ended, 50 ms after the trigger.
        EXPECT_EQ(record(c, 100, 200, 0.050, 0.1001), reply("DUMPINFO#-50#50#"));
        EXPECT_EQ(ask(c, "S#"), "S#3#204\r\n");
        // Both limits running out in one pass: the arm limit wins, and the
        // recording still holds no more than b after the trigger.
        EXPECT_EQ(record(c, 100, 20, 0.050, 0.1001), reply("DUMPINFO#-50#20#"));
    });
}

TEST_F(Recording, ThePanelTriggerEndsTheWaitAfterTheGivenTimeAndHidesTheButton) {
    run([&] {
        Client c = serve(4);
        erase(c);
        arm(c, 0, 100);
        const double t0 = vt::ClockNow();
        at(t0, 0.250);
        press(MAINPNL_TRIGGERBUTTON);
        let_wait_read_clock();
        EXPECT_TRUE(wait_for([] {
            int v = 1;
            GetCtrlAttribute(panel(), MAINPNL_TRIGGERBUTTON, ATTR_VISIBLE, &v);
            return v == 0;
        }));
        EXPECT_EQ(raw(c, "S#118"), "S#2#203\r\n");
        at(t0, 0.3501);
        EXPECT_EQ(window(c), reply("DUMPINFO#-250#100#"));
        EXPECT_EQ(ask(c, "TRIGGERCHECK#"), reply("TRIGGERCHECK#1#"));
    });
}

TEST_F(Recording, AStatusRequestAnsweredInTheTriggersPassStillSaysArmed) {
    run([&] {
        Client c = serve(2);
        erase(c);
        arm(c, 0, 100);
        // Press the button and hold the program until the request has reached it,
        // so that the wait's next pass handles both.
        vt::PostToUi([] {
            EXPECT_EQ(vt::PressButton(panel(), MAINPNL_TRIGGERBUTTON), 0);
            vt::WaitForIncomingData(instrument.client_handle);
        });
        c.send("S#118");
        EXPECT_EQ(c.line(), "S#1#202\r\n");
        EXPECT_EQ(raw(c, "S#118"), "S#2#203\r\n");
        advance(0.2);
        EXPECT_EQ(ask(c, "S#"), "S#3#204\r\n");
    });
}

TEST_F(Recording, ArmRefusesBadArgumentsWithoutWaiting) {
    run([&] {
        Client c = serve(2);
        erase(c);
        EXPECT_EQ(ask(c, "ARM#-1#200#"), reply("ARM#BAD#200#"));
        EXPECT_EQ(ask(c, "ARM#100#30001#"), reply("ARM#100#BAD#"));
        EXPECT_EQ(ask(c, "ARM#-1#-1#"), reply("ARM#BAD#BAD#"));
        EXPECT_EQ(ask(c, "ARM#"), reply("ARM#BAD#BAD#"));
        EXPECT_EQ(ask(c, "S#"), "S#0#201\r\n");
        arm(c, 0, 30000);
        EXPECT_EQ(raw(c, "D#103"), "D#103\r\n");
        arm(c, 99999999, 0);
        EXPECT_EQ(raw(c, "D#103"), "D#103\r\n");
        EXPECT_EQ(ask(c, "S#"), "S#0#201\r\n");
    });
}

TEST_F(Recording, ArmTriggerPreparesTheButtonWithoutTouchingTheState) {
    run([&] {
        Client c = serve(2);
        EXPECT_EQ(ask(c, "ARMTRIGGER#"), reply("ARMTRIGGER#OK#"));
        EXPECT_EQ(attribute(MAINPNL_TRIGGERBUTTON, ATTR_VISIBLE), 1);
        EXPECT_EQ(ask(c, "TRIGGERCHECK#"), reply("TRIGGERCHECK#0#"));
        press(MAINPNL_TRIGGERBUTTON);
        EXPECT_EQ(ask(c, "TRIGGERCHECK#"), reply("TRIGGERCHECK#1#"));
        EXPECT_EQ(attribute(MAINPNL_TRIGGERBUTTON, ATTR_VISIBLE), 1);
        EXPECT_EQ(ask(c, "S#"), "S#3#204\r\n");
        EXPECT_EQ(ask(c, "ARMTRIGGER#"), reply("ARMTRIGGER#OK#"));
        EXPECT_EQ(ask(c, "TRIGGERCHECK#"), reply("TRIGGERCHECK#0#"));
    });
}

TEST_F(Recording, BothWaitsOutliveTheClientAndServeTheNextOne) {
    run([&] {
        Client first = serve(10);
        start_command(first, "ERASE#");
        first.close();
        EXPECT_TRUE(wait_for([] { return instrument.client_handle == 0; }));
        Client second = connect_client();
        EXPECT_EQ(ask(second, "E#"), reply("E#0#1#"));
        advance(0.301);
        advance(0.301);
        EXPECT_EQ(second.line(), "ERASE#0#230\r\n");

        arm(second, 0, 100);
        const double t0 = vt::ClockNow();
        second.close();
        EXPECT_TRUE(wait_for([] { return instrument.client_handle == 0; }));
        Client third = connect_client();
        at(t0, 1.0);
        trigger(third);
        at(t0, 1.1001);
        EXPECT_EQ(window(third), reply("DUMPINFO#-1000#100#"));
    });
}

TEST_F(Recording, AModelChosenDuringAWaitIsServedWhileTheWaitStaysSuspended) {
    run([&] {
        Client c = serve(2);
        // During ERASE: the new loop serves ordinary commands; the erase stands still.
        start_command(c, "ERASE#");
        choose(5);
        EXPECT_EQ(ask(c, "WHO_ARE_YOU#"), reply("WHO_ARE_YOU#SIDIIs#"));
        EXPECT_EQ(ask(c, "E#"), "?2\r\n");
        vt::AdvanceClock(1.0);
        EXPECT_EQ(vt::OnUi([] { return instrument.erase_count; }), 0) << "the erase stands still";
        choose(0);  // the service stops and the erase goes on: one tick for the second gone by
        EXPECT_TRUE(vt::WaitUntilClockSeen());
        for (int i = 0; i < 26; ++i) advance(0.301);  // SIDIIs: 26 ticks, 27 counted
        EXPECT_EQ(c.line(), "ERASE#0#230\r\n");

        choose(2);
        // During ARM: the first block after the choice is the armed wait's own.
        arm(c, 0, 100);
        const double t0 = vt::ClockNow();
        choose(7);
        c.send("T#119");
        EXPECT_TRUE(wait_for([] { return instrument.awaiting_reply == 0; }));
        EXPECT_EQ(ask(c, "WHO_ARE_YOU#"), reply("WHO_ARE_YOU#Ballistic#"));
        choose(0);
        EXPECT_EQ(c.line(), "T#119\r\n");
        let_wait_read_clock();
        at(t0, 0.1001);
        choose(2);
        EXPECT_EQ(ask(c, "S#"), "S#3#204\r\n");
    });
}
