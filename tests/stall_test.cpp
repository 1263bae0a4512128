// Clients that stop reading: a download to them ends promptly, the program
// stays responsive, nothing but whole frames and replies reaches the wire, and
// what waits for them is bounded.
#include "harness.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstring>

namespace {

// A client that can stop reading for as long as it likes, then take in
// everything at its own pace.
class Sluggard {
public:
    // A small receive buffer fills up sooner; the kernel may round it.
    explicit Sluggard(unsigned port) : fd_(connect_loopback(port, 4096)) {}
    ~Sluggard() {
        if (fd_ >= 0) ::close(fd_);
    }
    Sluggard(const Sluggard&) = delete;
    Sluggard& operator=(const Sluggard&) = delete;

    bool ok() const { return fd_ >= 0; }
    void command(std::string_view text) {
        const std::string r = request(text);
        ASSERT_EQ(::send(fd_, r.data(), r.size(), MSG_NOSIGNAL), static_cast<ssize_t>(r.size()));
    }
    // True once something has arrived, which is left unread.
    bool readable(int timeoutMs) {
        pollfd p{fd_, POLLIN, 0};
        return ::poll(&p, 1, timeoutMs) == 1;
    }
    // Reads until what arrived ends with the given text (or nothing comes for 10 s).
    std::string read_until(const std::string& end) {
        std::string got;
        std::vector<char> buf(1 << 16);
        while (got.size() < end.size() || got.compare(got.size() - end.size(), end.size(), end) != 0) {
            pollfd p{fd_, POLLIN, 0};
            if (::poll(&p, 1, 10000) <= 0) break;
            const ssize_t n = ::recv(fd_, buf.data(), buf.size(), 0);
            if (n <= 0) break;
            got.append(buf.data(), static_cast<std::size_t>(n));
        }
        return got;
    }

private:
    int fd_ = -1;
};

// The recording of issue: 2ndGen WorldSID erased, armed for 1000 ms with no
// trigger, which records its whole 180 s memory.
void record_whole_memory(Sluggard& c) {
    const auto reads = vt::TimerReads();
    c.command("ERASE#");
    ASSERT_TRUE(vt::WaitForTimerReads(reads + 1));
    vt::AdvanceClock(0.301);
    ASSERT_TRUE(vt::WaitUntilClockSeen());
    vt::AdvanceClock(0.301);
    ASSERT_TRUE(vt::WaitUntilClockSeen());
    EXPECT_EQ(c.read_until(reply("ERASE#0#")), reply("ERASE#0#"));
    vt::SetClock(10.0);
    c.command("ARM#1000#0#");
    EXPECT_EQ(c.read_until(reply("ARM#1000#0#")), reply("ARM#1000#0#"));
    ASSERT_TRUE(vt::WaitUntilClockSeen());  // the arm time is taken
    vt::AdvanceClock(1.001);
    ASSERT_TRUE(vt::WaitUntilClockSeen());
    c.command("DUMPINFO#");
    EXPECT_EQ(c.read_until(reply("DUMPINFO#-179000#1000#")), reply("DUMPINFO#-179000#1000#"));
}

constexpr std::size_t kFrame = 121;
constexpr long long kFrames = 1800001;

// Checks that the bytes are the download's header and then whole frames, all
// of the recording before the trigger; returns the number of frames.
std::size_t check_frames(const std::string& got, std::size_t header) {
    EXPECT_EQ((got.size() - header) % kFrame, 0u) << "a frame was cut";
    const std::size_t frames = (got.size() - header) / kFrame;
    for (std::size_t i = 1; i < frames; ++i)
        if (got.compare(header + i * kFrame, kFrame, got, header, kFrame) != 0) {
            ADD_FAILURE() << "frame " << i << " differs from the first";
            break;
        }
    return frames;
}

class Stall : public Sim {
protected:
    void TearDown() override {
        vt::SetWriteQueueLimit(-1);
        Sim::TearDown();
    }
};

}  // namespace

TEST_F(Stall, ADownloadToAClientThatStopsReadingEndsAsIfTheClientHadGone) {
    run([&] {
        Sluggard c(port());
        ASSERT_TRUE(c.ok());
        ASSERT_TRUE(wait_for([] { return instrument.client_handle != 0; }));
        choose(10);
        record_whole_memory(c);
        vt::OnUi([] { ResetTextBox(panel(), MAINPNL_TRANSMIT, ""); });

        // The client asks for everything and stops reading. One frame waits its
        // time-out; the other failures are immediate, so the download ends soon
        // and a second client is refused as usual.
        c.command("DUMPBINA#-179000#1000#");
        ASSERT_TRUE(c.readable(10000)) << "the download has begun";
        Client second(port());
        EXPECT_TRUE(second.closed(30000)) << "the program is still inside the download";

        const std::string shown = box(MAINPNL_TRANSMIT);
        EXPECT_LE(shown.size(), 400000u) << "the echo keeps its scrollback bound";
        EXPECT_TRUE(shown.ends_with("Transmit Error\nTransmit Error\n"));
        EXPECT_NE(box(MAINPNL_RECEIVE).find("-- Refusing"), std::string::npos);

        // Everything handed over arrives whole and in order, then the stream
        // carries on with the next reply.
        c.command("S#");
        const std::string header = reply("DUMPBINA#60#1800001#");
        const std::string status = "S#3#204\r\n";
        const std::string got = c.read_until(status);
        ASSERT_GE(got.size(), header.size() + status.size());
        EXPECT_EQ(got.substr(0, header.size()), header);
        const std::size_t frames = check_frames(got.substr(0, got.size() - status.size()), header.size());
        EXPECT_GT(frames, 0u);
        EXPECT_LT(static_cast<long long>(frames), kFrames) << "the client stopped reading early in the download";
    });
}

TEST_F(Stall, RepliesToAClientThatDoesNotReadWaitInABoundedQueue) {
    vt::SetWriteQueueLimit(0);  // room for one write beyond what the system has taken
    run([&] {
        Sluggard c(port());
        ASSERT_TRUE(c.ok());
        ASSERT_TRUE(wait_for([] { return instrument.client_handle != 0; }));
        choose(10);
        record_whole_memory(c);
        const auto failed = [] {
            return vt::TextBoxContents(panel(), MAINPNL_TRANSMIT).ends_with("Transmit Error\n");
        };

        // A frame of this download stays queued; once the download has ended a
        // reply finds no room, waits its time-out for some and fails whole.
        c.command("DUMPBINA#-179000#1000#");
        EXPECT_TRUE(wait_for(failed, 30000));
        vt::OnUi([] { ResetTextBox(panel(), MAINPNL_TRANSMIT, ""); });
        c.command("WHO_ARE_YOU#");
        EXPECT_TRUE(wait_for(failed, 30000));
        EXPECT_EQ(box(MAINPNL_TRANSMIT), with_sum("WHO_ARE_YOU#WorldSID Male#") + "\nTransmit Error\n");

        c.command("S#");
        const std::string header = reply("DUMPBINA#60#1800001#");
        const std::string status = "S#3#204\r\n";
        const std::string got = c.read_until(status);
        ASSERT_GE(got.size(), header.size() + status.size());
        EXPECT_EQ(got.substr(0, header.size()), header);
        EXPECT_EQ(got.find("WHO_ARE_YOU"), std::string::npos) << "the refused reply went out after all";
        EXPECT_GT(check_frames(got.substr(0, got.size() - status.size()), header.size()), 0u);
    });
}
