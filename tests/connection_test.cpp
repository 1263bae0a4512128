// The one-client TCP conversation: accepting, refusing, losing clients, what
// is received and where it goes, and clients that misbehave.
#include <atomic>
#include <chrono>
#include <random>
#include <thread>

#include "harness.h"

using Connection = Sim;

TEST_F(Connection, AcceptsOneClientRefusesOthersAndAcceptsTheNextAfterADisconnect) {
    run([&] {
        Client first = connect_client();
        EXPECT_EQ(value(MAINPNL_CONNECTED), 1);
        EXPECT_EQ(text(MAINPNL_CLIENT_IP), "127.0.0.1");
        EXPECT_FALSE(text(MAINPNL_CLIENT_NAME).empty());
        EXPECT_EQ(attribute(MAINPNL_STRING, ATTR_DIMMED), 0);
        EXPECT_EQ(box(MAINPNL_RECEIVE), "-- New connection from 127.0.0.1 --\n");

        Client second(port());
        EXPECT_TRUE(second.closed()) << "a second client is closed at once";
        EXPECT_TRUE(wait_for([] {
            return vt::TextBoxContents(panel(), MAINPNL_RECEIVE).find(
                       "-- Refusing conection request from 127.0.0.1 --\n") != std::string::npos;
        }));
        choose(2);
        EXPECT_EQ(ask(first, "WHO_ARE_YOU#"), reply("WHO_ARE_YOU#50th Male#"));
        EXPECT_EQ(value(MAINPNL_CONNECTED), 1);

        first.close();
        EXPECT_TRUE(wait_for([] { return instrument.client_handle == 0; }));
        EXPECT_EQ(value(MAINPNL_CONNECTED), 0);
        EXPECT_EQ(text(MAINPNL_CLIENT_IP), "");
        EXPECT_EQ(text(MAINPNL_CLIENT_NAME), "");
        EXPECT_EQ(attribute(MAINPNL_STRING, ATTR_DIMMED), 1);
        const std::string received = box(MAINPNL_RECEIVE);
        EXPECT_EQ(received.substr(received.size() - 26), "-- Client disconnected --\n");

        Client third = connect_client();
        EXPECT_EQ(ask(third, "FIRMWARE#"), reply("FIRMWARE#50S0005#"));
    });
    EXPECT_TRUE(vt::Popups().empty());
}

TEST_F(Connection, ZeroBytesEnterTheRingWhileTheBoxShowsTheTextBeforeThem) {
    run([&] {
        Client c = connect_client();
        c.send(std::string("AB\0CD", 5));
        EXPECT_TRUE(wait_for([] { return rx_ring.write_index == 5; }));
        vt::OnUi([] {
            EXPECT_EQ(std::string(reinterpret_cast<const char*>(rx_ring.storage), 5), std::string("AB\0CD", 5));
        });
        EXPECT_NE(box(MAINPNL_RECEIVE).find("--\nAB"), std::string::npos);
        EXPECT_EQ(box(MAINPNL_RECEIVE).find("CD"), std::string::npos);
        // The fragment stays in front of the next line, which then fails its sum.
        choose(2);
        c.send("\n");
        EXPECT_EQ(c.line(), "?1 - should be 0\r\n");
        EXPECT_EQ(ask(c, "S#"), "S#3#204\r\n");
    });
}

TEST_F(Connection, ReplyCaptureTakesOneBlockAndTheNextGoesToTheRing) {
    run([&] {
        Client c = serve(2);
        EXPECT_EQ(ask(c, "SETTESTCOMMENT#"), "COMMENT?\n");
        c.send("first piece");
        EXPECT_EQ(c.line(), reply("SETTESTCOMMENT#OK#"));
        EXPECT_EQ(ask(c, "GETTESTCOMMENT#"), reply("GETTESTCOMMENT#first piece#"));
        EXPECT_NE(box(MAINPNL_RECEIVE).find("first piece"), std::string::npos);
        // A comment longer than its field keeps its first 83 characters.
        EXPECT_EQ(ask(c, "SETTESTCOMMENT#"), "COMMENT?\n");
        c.send(std::string(99, 'x'));
        EXPECT_EQ(c.line(), reply("SETTESTCOMMENT#OK#"));
        EXPECT_EQ(ask(c, "GETTESTCOMMENT#"), reply("GETTESTCOMMENT#" + std::string(83, 'x') + "#"));

        // The wait outlives its client: the next client's first block is the comment.
        EXPECT_EQ(ask(c, "SETTESTCOMMENT#"), "COMMENT?\n");
        c.close();
        EXPECT_TRUE(wait_for([] { return instrument.client_handle == 0; }));
        Client next = connect_client();
        next.send("from the next client");
        EXPECT_EQ(next.line(), reply("SETTESTCOMMENT#OK#"));
        EXPECT_EQ(ask(next, "GETTESTCOMMENT#"), reply("GETTESTCOMMENT#from the next client#"));
    });
}

TEST_F(Connection, TextCommittedInTheStringControlGoesOutAsARawLine) {
    run([&] {
        Client c = connect_client();
        vt::OnUi([] { SetCtrlAttribute(panel(), MAINPNL_STRING, ATTR_VISIBLE, 1); });
        commit_text(MAINPNL_STRING, "S#1#202");
        EXPECT_EQ(c.line(), "S#1#202\n");
        EXPECT_EQ(box(MAINPNL_TRANSMIT), "S#1#202\n");
        EXPECT_EQ(text(MAINPNL_STRING), "");
    });
}

TEST_F(Connection, WritesWithoutAClientReportTransmitErrorAfterTheEcho) {
    run([&] {
        vt::OnUi([] { Transmitter("S#1#202\r\n"); });
        EXPECT_EQ(box(MAINPNL_TRANSMIT), "S#1#202\nTransmit Error\n");
    });
}

TEST_F(Connection, ShowTCPErrorIsSilentForResultsThatAreNotErrors) {
    run([&] {
        vt::OnUi([] {
            instrument.tcp_status = 0;
            ShowTCPError();
            instrument.tcp_status = kTCP_TimeOutErr;
            ShowTCPError();
        });
    });
    const auto popups = vt::Popups();
    ASSERT_EQ(popups.size(), 1u);
    EXPECT_EQ(popups[0].first, "Error");
    EXPECT_EQ(popups[0].second.rfind("TCP library error message: Timeout error\nSystem error message: ", 0), 0u);
}

TEST_F(Connection, AbusiveClientsNeitherCrashTheSimulatorNorDisturbTheGoodOne) {
    run([&] {
        Client good = serve(1);
        // Others connect and vanish in a tight loop while the good one is served.
        for (int i = 0; i < 200; ++i) {
            Client other(port());
            other.send("WHO_ARE_YOU#16");
        }
        EXPECT_EQ(ask(good, "WHO_ARE_YOU#"), reply("WHO_ARE_YOU#WorldSID#"));
        good.close();
        EXPECT_TRUE(wait_for([] { return instrument.client_handle == 0; }));

        // A megabyte of random bytes, then the client vanishes in mid-line.
        {
            Client noisy = connect_client();
            std::mt19937 rng(7);
            std::string junk(1 << 20, '\0');
            for (char& ch : junk) ch = static_cast<char>(rng());
            std::thread drain([&] {
                while (noisy.read(1 << 16, 200).size() > 0) {
                }
            });
            noisy.send(junk);
            noisy.send("WHO_ARE");
            drain.join();
        }
        EXPECT_TRUE(wait_for([] { return instrument.client_handle == 0; }, 20000));

        // Whatever was left in the ring ends at the next line feed; then all is well.
        Client next = connect_client();
        next.send("\n");
        next.command("FIRMWARE#");
        std::string line;
        do {
            line = next.line();
        } while (!line.empty() && (line.rfind("?1 - should be ", 0) == 0 || line == "?2\r\n"));
        EXPECT_EQ(line, reply("FIRMWARE#W50KQ0011#"));
        EXPECT_EQ(ask(next, "HOW_MANY_LEDS#"), reply("HOW_MANY_LEDS#18#"));
    });
    EXPECT_TRUE(vt::Popups().empty());
}

TEST_F(Connection, AClientThatLeavesAndComesStraightBackIsAcceptedAgain) {
    run([&] {
        Client first = serve(2);
        // Hold the program while the client leaves and connects again, so that
        // both reach it in the same event pass.
        std::atomic<bool> held{false}, release{false};
        vt::PostToUi([&] {
            held = true;
            const auto limit = std::chrono::steady_clock::now() + std::chrono::seconds(10);
            while (!release && std::chrono::steady_clock::now() < limit) std::this_thread::yield();
        });
        while (!held) std::this_thread::yield();
        first.close();
        Client again(port());
        release = true;
        EXPECT_EQ(ask(again, "WHO_ARE_YOU#"), reply("WHO_ARE_YOU#50th Male#"));
        EXPECT_EQ(box(MAINPNL_RECEIVE).find("Refusing"), std::string::npos);
    });
}

// A client floods and leaves at once: the ring keeps what it could read, which
// ends inside a line. The next client's first line must not be joined to it.
TEST_F(Connection, ANewClientsFirstLineStandsAloneAfterAFloodAndLeave) {
    run([&] {
        choose(2);
        for (int round = 0; round < 5; ++round) {
            SCOPED_TRACE(round);
            std::string burst = request("TRIGGERSET#0#");
            for (int i = 0; i < 200; ++i) burst += request("SETTIME#1#");
            burst += request("TRIGGERSET#3#");
            {
                Client flood = connect_client();
                flood.send(burst);
            }
            ASSERT_TRUE(wait_for([] { return instrument.client_handle == 0; }));
            Client next = connect_client();
            next.command("GETTRIGGER#");
            // Whole lines the first client left are still answered, to whoever is connected.
            std::string line;
            do {
                line = next.line();
                ASSERT_NE(line, "") << "no reply to GETTRIGGER";
                ASSERT_NE(line.substr(0, 2), "?1") << "a line was joined to the newcomer's";
            } while (line.rfind("GETTRIGGER#", 0) != 0);
            EXPECT_TRUE(line == reply("GETTRIGGER#0#") || line == reply("GETTRIGGER#3#")) << line;
        }
    });
}
