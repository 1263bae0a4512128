// Line framing over a real connection: lines go into the receive ring through
// the TCP callback (no model is chosen, so nothing else reads the ring) and the
// test takes them out with get_command; replies are read by the client.
#include <climits>
#include <random>
#include <thread>

#include "harness.h"

namespace {

struct Taken {
    int result = -1;
    std::string name;
    int count = -1, a1 = 0, a2 = 0, a3 = 0;
};

// On the user-interface thread.
Taken take_now() {
    Taken t;
    char name[128] = "(unwritten)";
    t.result = get_command(name, &t.count, &t.a1, &t.a2, &t.a3);
    t.name = name;
    return t;
}

Taken take() { return vt::OnUi(take_now); }

std::uint8_t write_index() {
    return vt::OnUi([] { return rx_ring.write_index; });
}

std::uint8_t read_index() {
    return vt::OnUi([] { return rx_ring.read_index; });
}

}  // namespace

class Framing : public Sim {
protected:
    // Sends bytes and waits until the TCP callback has put them all in the ring.
    void feed(Client& c, const std::string& bytes) {
        const std::uint8_t target = static_cast<std::uint8_t>(write_index() + bytes.size());
        c.send(bytes);
        ASSERT_TRUE(wait_for([target] { return rx_ring.write_index == target; }));
    }
};

TEST_F(Framing, GoodLinesYieldTheNameAndUpToThreeArguments) {
    run([&] {
        Client c = connect_client();
        feed(c, "WHO_ARE_YOU#164\nWHO_ARE_YOU#164\r\nLED_RIB#3#138\nARM#100#200#108\n#35\n");
        for (int i = 0; i < 2; ++i) {
            const Taken t = take();
            EXPECT_EQ(t.result, 1);
            EXPECT_EQ(t.name, "WHO_ARE_YOU");
            EXPECT_EQ(t.count, 0);
            EXPECT_EQ(t.a1, -999);
            EXPECT_EQ(t.a2, -999);
            EXPECT_EQ(t.a3, -999);
        }
        Taken t = take();
        EXPECT_EQ(t.name, "LED_RIB");
        EXPECT_EQ(t.count, 1);
        EXPECT_EQ(t.a1, 3);
        EXPECT_EQ(t.a2, -999);
        t = take();
        EXPECT_EQ(t.name, "ARM");
        EXPECT_EQ(t.count, 2);
        EXPECT_EQ(t.a1, 100);
        EXPECT_EQ(t.a2, 200);
        EXPECT_EQ(t.a3, -999);
        t = take();
        EXPECT_EQ(t.result, 1);
        EXPECT_EQ(t.name, "");
        EXPECT_EQ(take().result, 0);
        EXPECT_TRUE(c.quiet()) << "good lines draw no reply from the framing";
    });
}

TEST_F(Framing, ArgumentsConvertByTheAtoiRulesAndSaturateBeyondInt) {
    run([&] {
        Client c = connect_client();
        feed(c, request("X#12abc#abc##") + request("X#-5# 7#+8#") + request("X#99999999999#-99999999999#") +
                    request("X#000000000000000000000042#"));
        Taken t = take();
        EXPECT_EQ(t.count, 3);
        EXPECT_EQ(t.a1, 12);
        EXPECT_EQ(t.a2, 0);
        EXPECT_EQ(t.a3, 0);
        t = take();
        EXPECT_EQ(t.a1, -5);
        EXPECT_EQ(t.a2, 7);
        EXPECT_EQ(t.a3, 8);
        t = take();
        EXPECT_EQ(t.a1, INT_MAX);
        EXPECT_EQ(t.a2, INT_MIN);
        EXPECT_EQ(take().a1, 42);
        EXPECT_TRUE(c.quiet()) << "three argument fields are accepted silently";
    });
}

TEST_F(Framing, FaultyLinesAreAnsweredAndConsumed) {
    run([&] {
        Client c = connect_client();
        feed(c, "WHO_ARE_YOU#165\n");
        Taken t = take();
        EXPECT_EQ(t.result, 0);
        EXPECT_EQ(t.name, "(unwritten)");
        EXPECT_EQ(t.a1, -999);
        EXPECT_EQ(c.line(), "?1 - should be 164\r\n");
        EXPECT_EQ(take().result, 0);
        EXPECT_EQ(read_index(), write_index());

        feed(c, "WHO_ARE_YOU\n");
        EXPECT_EQ(take().result, 0);
        EXPECT_EQ(c.line(), "?1 - should be 0\r\n");

        feed(c, "X#1#2#3#4#209\n");
        t = take();
        EXPECT_EQ(t.result, 0);
        EXPECT_EQ(t.count, 4);
        EXPECT_EQ(c.line(), "?2\r\n");

        // No command has a name this long; the line is not cut to fit.
        feed(c, request(std::string(130, 'S') + "#"));
        EXPECT_EQ(take().result, 0);
        EXPECT_EQ(c.line(), "?2\r\n");

        // Bytes above 127 count unsigned in the sum.
        feed(c, request("\xE9\xFF#"));
        t = take();
        EXPECT_EQ(t.result, 1);
        EXPECT_EQ(t.name, "\xE9\xFF");
        EXPECT_EQ(box(MAINPNL_TRANSMIT), "?1 - should be 164\n?1 - should be 0\n?2\n?2\n");
    });
}

TEST_F(Framing, IncompleteLinesWaitWholeAndLinesThatStraddleTheRingEndAreRead) {
    run([&] {
        Client c = connect_client();
        vt::OnUi([] { rx_ring.read_index = rx_ring.write_index = 250; });
        feed(c, "LED_RIB#3");
        EXPECT_EQ(take().result, 0);
        EXPECT_EQ(read_index(), 250);
        feed(c, "#138\nS#");
        Taken t = take();
        EXPECT_EQ(t.result, 1);
        EXPECT_EQ(t.name, "LED_RIB");
        EXPECT_EQ(t.a1, 3);
        EXPECT_EQ(read_index(), 8);
        vt::OnUi([] {
            // The consumed bytes, and only those, are zeroed; "S#" waits.
            for (int i = 250; i < 256; ++i) EXPECT_EQ(rx_ring.storage[i], 0) << i;
            for (int i = 0; i < 8; ++i) EXPECT_EQ(rx_ring.storage[i], 0) << i;
            EXPECT_EQ(rx_ring.storage[8], 'S');
            EXPECT_EQ(rx_ring.storage[9], '#');
        });
        feed(c, "118\n");
        EXPECT_EQ(take().name, "S");
    });
}

TEST_F(Framing, TextAfterAZeroByteIsIgnored) {
    run([&] {
        Client c = connect_client();
        feed(c, std::string("WHO_ARE_YOU#164\0junk#1\n", 23));
        const Taken t = take();
        EXPECT_EQ(t.result, 1);
        EXPECT_EQ(t.name, "WHO_ARE_YOU");
        EXPECT_EQ(t.count, 0);
    });
}

TEST_F(Framing, ALineTooLongForTheRingIsDroppedWholeAndTheNextLineIsIntact) {
    run([&] {
        Client c = connect_client();
        // 300 bytes without a line feed, then its end and a good line.
        const std::string longLine(300, 'A');
        c.send(longLine + "#BBB\n" + request("FIRMWARE#"));
        ASSERT_TRUE(wait_for([] { return static_cast<std::uint8_t>(rx_ring.write_index - rx_ring.read_index) == 255; }));
        EXPECT_EQ(take().result, 0);  // the ring is full of one line: it goes
        Taken t;
        EXPECT_TRUE(wait_for([&t] { return (t = take_now()).result == 1; }));
        EXPECT_EQ(t.name, "FIRMWARE");
        EXPECT_TRUE(c.quiet()) << "nothing of the long line is answered";
    });
}

TEST_F(Framing, RepliesCarryTheirByteSum) {
    run([&] {
        Client c = connect_client();
        vt::OnUi([] {
            send_command("S#1#");
            send_command("");
            send_command("?2 whatever follows");
            send_command("T#");
        });
        EXPECT_EQ(c.line(), "S#1#202\r\n");
        EXPECT_EQ(c.line(), "?2\r\n");
        EXPECT_EQ(c.line(), "T#119\r\n");
        // A text too long for the frame is cut, and the sum is that of what is sent.
        vt::OnUi([] { send_command(std::string(600, 'Z').c_str()); });
        const std::string framed = c.line();
        ASSERT_LT(framed.size(), 512u);
        const std::string body = framed.substr(0, framed.find_first_not_of('Z'));
        EXPECT_EQ(framed, reply(body));
    });
}

TEST_F(Framing, MixedTrafficYieldsExactlyTheGoodLinesThatFitInOrder) {
    std::mt19937 rng(12345);
    auto junk = [&](std::size_t n) {
        std::string s;
        while (s.size() < n) {
            const char ch = static_cast<char>(rng());
            if (ch != '\n') s += ch;
        }
        return s;
    };
    std::string traffic;
    std::vector<std::string> expected;
    for (int i = 0; i < 1500; ++i) {
        switch (rng() % 4) {
            case 0:  // too long for the ring: dropped whole
                traffic += junk(255 + rng() % 400) + "\n";
                break;
            case 1: {  // fits, but a wrong sum or none: answered, not handed on
                std::string line = junk(rng() % 40);
                traffic += line + "\n";
                break;
            }
            default: {  // good, of any length that fits, with bytes above 127 and zeros after the sum
                const std::string name = "N" + std::to_string(i) + junk(rng() % 60);
                std::string clean;
                for (char ch : name)
                    if (ch != '#' && ch != '\0') clean += ch;
                clean = clean.substr(0, 120);
                std::string line = with_sum(clean + "#");
                if (rng() % 2) line += std::string(1, '\0') + "tail";
                traffic += line + "\n";
                expected.push_back(clean);
            }
        }
    }
    run([&] {
        Client c = connect_client();
        std::thread writer([&] { c.send(traffic); });
        std::thread drain([&] {
            while (c.read(1 << 16, 500).size() > 0) {
            }
        });
        std::vector<std::string> taken;
        while (taken.size() < expected.size()) {
            Taken t;
            if (!wait_for([&t] { return (t = take_now()).result == 1; }, 10000)) break;
            taken.push_back(t.name);
        }
        writer.join();
        drain.join();
        EXPECT_EQ(taken, expected);
    });
}
