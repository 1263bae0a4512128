// Replies to requests that came back to back are held for full segments only
// while more requests are waiting: a reply is never kept from a client that
// has nothing more queued, and what is held goes out before any wait.
#include <atomic>
#include <string>

#include "extension.h"

#include "harness.h"

using Bursts = Sim;

namespace {

bool held() { return vt::OnUi([] { return vt::WritesHeld(); }); }

// Times the run-time was about to wait, and of those, the times some bytes
// were still held back then (after the run-time's own release).
std::atomic<int> waits{0}, waitsWithHeldBytes{0};

void countWaits() {
    static bool installed = false;
    if (installed) return;
    installed = true;
    cvi::ext::onBeforeWait([] {
        ++waits;
        if (vt::WritesHeld()) ++waitsWithHeldBytes;
    });
}

}  // namespace

TEST_F(Bursts, RepliesHeldForAPipelinedBurstAreReleasedWhenNothingMoreWaits) {
    run([&] {
        Client c = serve(2);
        // A burst that ends in half a request: the bytes left in the ring are
        // no request, so the last reply must not wait for them.
        const char* const mix[] = {"WHO_ARE_YOU#", "FIRMWARE#", "S#", "HOW_MANY_LEDS#"};
        const std::string answers[] = {reply("WHO_ARE_YOU#50th Male#"), reply("FIRMWARE#50S0005#"),
                                       std::string("S#3#204\r\n"), reply("HOW_MANY_LEDS#12#")};
        std::string burst;
        for (int i = 0; i < 400; ++i) burst += request(mix[i % 4]);
        c.send(burst + "WHO_ARE");
        int in_order = 0;
        for (int i = 0; i < 400; ++i) {
            if (c.line() != answers[i % 4]) break;
            ++in_order;
        }
        EXPECT_EQ(in_order, 400);
        EXPECT_FALSE(held()) << "the last reply is out, nothing more is queued";
        c.send(request("WHO_ARE_YOU#").substr(7));  // completes the half request
        EXPECT_EQ(c.line(), answers[0]);
        EXPECT_FALSE(held());
    });
}

TEST_F(Bursts, APromptIsNotHeldWhileTheProgramWaitsForItsAnswer) {
    countWaits();
    run([&] {
        Client c = serve(2);
        // The request behind the prompt is in the ring, but the program waits
        // for the comment, not for it: the prompt goes out.
        c.send(request("WHO_ARE_YOU#") + request("SETTESTCOMMENT#") + request("S#"));
        EXPECT_EQ(c.line(), reply("WHO_ARE_YOU#50th Male#"));
        EXPECT_EQ(c.line(), "COMMENT?\n");
        EXPECT_FALSE(held());
        // The wait for the answer goes through the before-wait point, and nothing
        // is held there.
        const int before = waits;
        EXPECT_TRUE(wait_for([before] { return waits > before; }));
        EXPECT_EQ(waitsWithHeldBytes, 0);
        c.send("ABC\n");
        EXPECT_EQ(c.line(), reply("SETTESTCOMMENT#OK#"));
        EXPECT_EQ(c.line(), std::string("S#3#204\r\n"));
        EXPECT_FALSE(held());
    });
}

TEST_F(Bursts, EachPacedFrameLeavesBeforeItsPause) {
    run([&] {
        Client c = serve(2);
        flip(MAINPNL_DUMPSPEED);  // Normal: a pause after every frame
        c.command("DUMPBIN#-1#1#");
        EXPECT_EQ(c.line(), reply("DUMPBIN#24#21#"));
        EXPECT_EQ(c.read(21 * 49).size(), 21u * 49u);
        settle();  // the last pause follows the last frame
        EXPECT_EQ(vt::DelayCalls(), 21u);
        EXPECT_EQ(vt::DelaysWithWritesHeld(), 0u) << "a frame was still held back during its pause";
    });
}
