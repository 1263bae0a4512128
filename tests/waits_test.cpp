// The instrument's timed waits on the real clock: the idle wait wakes by itself
// at the earliest time asked for (seen as the program reading the clock while
// nothing else happens), under a time scale too, and once a wait is over the
// idle program costs next to nothing.
#include <time.h>

#include <chrono>
#include <thread>

#include "control_client.h"

namespace {

double cpu_seconds() {
    timespec ts{};
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &ts);
    return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) / 1e9;
}

void sleep_ms(int ms) { std::this_thread::sleep_for(std::chrono::milliseconds(ms)); }

class Waits : public Controlled {
protected:
    void SetUp() override {
        Controlled::SetUp();
        vt::UseRealClock();
    }
};

}  // namespace

TEST_F(Waits, AnIdleWaitEndsAtTheEarliestTimeAskedForAndIsForgottenOnceOver) {
    run([&] {
        Client c = serve(2);
        EXPECT_EQ(ctl("time-scale 100"), "ok");
        c.command("ERASE#");
        EXPECT_EQ(c.line(10000), reply("ERASE#0#"));
        EXPECT_EQ(ctl("time-scale 1"), "ok");

        // Two wake times, the arm limit (5 s) and the end of the post-trigger
        // time (0.3 s after the trigger): the wait ends at the earlier. Were it
        // still armed, the request would be answered "?2".
        EXPECT_EQ(ask(c, "ARM#5000#300#"), reply("ARM#5000#300#"));
        c.send("T#119");
        EXPECT_EQ(c.line(), "T#119\r\n");
        sleep_ms(150);  // what the answer stirred up has settled
        auto reads = vt::TimerReads();
        sleep_ms(450);
        EXPECT_GT(vt::TimerReads(), reads) << "the wait did not wake at its earlier time";
        const std::string after = ask(c, "DUMPINFO#");
        EXPECT_EQ(after.rfind("DUMPINFO#", 0), 0u) << after << ": the wait outlived its end";
        EXPECT_TRUE(has(after, "#300#")) << after;

        // Under a time scale of 10, an arm limit of 500 ms is over after 50 ms
        // of real time: the wait wakes by itself then.
        EXPECT_EQ(ctl("time-scale 10"), "ok");
        c.command("ERASE#");
        EXPECT_EQ(c.line(10000), reply("ERASE#0#"));
        EXPECT_EQ(ask(c, "ARM#500#0#"), reply("ARM#500#0#"));
        sleep_ms(25);
        reads = vt::TimerReads();
        sleep_ms(275);
        EXPECT_GT(vt::TimerReads(), reads) << "the limit is waited for on the unscaled clock";
        const std::string scaled = ask(c, "DUMPINFO#");
        EXPECT_EQ(scaled.rfind("DUMPINFO#", 0), 0u) << scaled << ": the limit waited on the unscaled clock";

        // Once the waits are over, the idle program does not spin.
        sleep_ms(50);
        const double before = cpu_seconds();
        sleep_ms(600);
        EXPECT_LT(cpu_seconds() - before, 0.2) << "an idle program keeps a core busy";
    });
}
