// The run-time's own rules, on its TCP server and clock alone: a test callback
// stands in for the instrument, and the test pumps events itself.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <functional>
#include <future>
#include <string>
#include <thread>

#include <sys/socket.h>
#include <unistd.h>

#include "cvi.h"
#include "extension.h"
#include "harness.h"
#include "linkfaults.h"

namespace {

// What the callback does with each event; the test sets it.
struct Receiver {
    std::function<void(unsigned)> connected = [](unsigned) {};
    std::function<void(unsigned)> dataReady = [](unsigned) {};
    std::function<void(unsigned)> gone = [](unsigned) {};
};
Receiver* receiver = nullptr;

int callback(unsigned handle, int event, int, void*) {
    if (event == TCP_CONNECT) receiver->connected(handle);
    if (event == TCP_DATAREADY) receiver->dataReady(handle);
    if (event == TCP_DISCONNECT) receiver->gone(handle);
    return 0;
}

class Runtime : public ::testing::Test {
protected:
    void SetUp() override {
        vt::SetServerPort(0);
        vt::SetControlSocket("");
        vt::UseManualClock(0.0);
        ASSERT_NE(InitCVIRTDll(0, nullptr), 0);
        receiver = &r;
        ASSERT_EQ(RegisterTCPServer(3000, callback, nullptr), 0);
        port = cvi::ext::listeningPort();
    }
    void TearDown() override {
        UnregisterTCPServer(3000);
        CloseCVIRTDll();
        receiver = nullptr;
        vt::SetServerPort(-1);
        vt::UseRealClock();
    }
    // Processes events until done() holds; false after 10 s.
    static bool pump(const std::function<bool()>& done) {
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
        while (!done()) {
            if (std::chrono::steady_clock::now() > deadline) return false;
            ProcessSystemEvents();
        }
        return true;
    }
    Receiver r;
    unsigned port = 0;
};

// Reads what one data-ready event offers, at most `most` bytes; -1 for a read
// that found nothing (it would have waited its time-out).
int take(unsigned handle, std::size_t most, std::string& into) {
    char buf[256];
    const int n = ServerTCPRead(handle, buf, most, 0);
    if (n > 0) into.append(buf, static_cast<std::size_t>(n));
    return n > 0 ? n : -1;
}

std::string pattern(std::size_t n) {
    std::string s(n, '\0');
    for (std::size_t i = 0; i < n; ++i) s[i] = static_cast<char>('a' + i % 26);
    return s;
}

}  // namespace

TEST_F(Runtime, DataReadyRepeatsWhileBytesRemainNeverComesEmptyAndWaitsForRoom) {
    const std::string sent = pattern(3000);
    std::string got;
    int emptyOffers = 0;
    int refusals = 5;  // the receiver has no room for the first offers
    r.dataReady = [&](unsigned h) {
        if (refusals > 0) {
            --refusals;
            return;
        }
        if (take(h, 7, got) < 0) ++emptyOffers;
    };
    const int fd = connect_loopback(port);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(::send(fd, sent.data(), sent.size(), 0), static_cast<ssize_t>(sent.size()));
    // Nothing more arrives: the rest must be offered again and again by itself.
    EXPECT_TRUE(pump([&] { return got.size() == sent.size(); }));
    EXPECT_EQ(got, sent);
    EXPECT_EQ(emptyOffers, 0);
    ::close(fd);
}

TEST_F(Runtime, WhatAClientSentBeforeItLeftIsDeliveredBeforeItsEnd) {
    const std::string sent = pattern(4000);
    std::string got;
    std::size_t atEnd = 0;
    bool ended = false;
    std::promise<void> clientDone;
    auto done = clientDone.get_future();
    // The connect is handled only once the client has sent everything and gone,
    // so its bytes and its end reach the run-time together.
    r.connected = [&](unsigned) { done.wait(); };
    r.dataReady = [&](unsigned h) { take(h, 255, got); };
    r.gone = [&](unsigned) {
        atEnd = got.size();
        ended = true;
    };
    std::thread client([&] {
        const int fd = connect_loopback(port);
        if (fd >= 0) {
            ::send(fd, sent.data(), sent.size(), 0);
            ::close(fd);
        }
        clientDone.set_value();
    });
    EXPECT_TRUE(pump([&] { return ended; }));
    client.join();
    EXPECT_EQ(atEnd, sent.size()) << "bytes still unread when the end was announced";
    EXPECT_EQ(got, sent);
}

TEST_F(Runtime, AnEndedConversationFailsWritesAtOnceAndItsPeerSeesTheEnd) {
    unsigned handle = 0;
    bool ended = false;
    r.connected = [&](unsigned h) { handle = h; };
    r.gone = [&](unsigned) { ended = true; };
    const int fd = connect_loopback(port);
    ASSERT_GE(fd, 0);
    ASSERT_TRUE(pump([&] { return handle != 0; }));
    EXPECT_EQ(ServerTCPWrite(handle, "ab", 2, 1000), 2);
    EXPECT_TRUE(cvi::ext::endConversation(handle));
    ASSERT_TRUE(pump([&] { return ended; }));
    EXPECT_LT(ServerTCPWrite(handle, "cd", 2, 1000), 0);
    EXPECT_FALSE(cvi::ext::endConversation(handle));
    char buf[8];
    EXPECT_EQ(::recv(fd, buf, sizeof buf, 0), 2);
    EXPECT_EQ(::recv(fd, buf, sizeof buf, 0), 0) << "the peer sees an orderly end";
    ::close(fd);
}

TEST_F(Runtime, TheWriteFilterSeesEveryWriteAndMayPassItOnChanged) {
    unsigned handle = 0;
    r.connected = [&](unsigned h) { handle = h; };
    const int fd = connect_loopback(port);
    ASSERT_GE(fd, 0);
    ASSERT_TRUE(pump([&] { return handle != 0; }));
    int seen = 0;
    cvi::ext::setWriteFilter([&](unsigned h, const unsigned char* data, std::size_t n, unsigned timeoutMs, int* result) {
        ++seen;
        if (n != 3 || std::memcmp(data, "abc", 3) != 0) return false;
        *result = cvi::ext::writeThrough(h, "ABC", 3, timeoutMs);
        return true;
    });
    EXPECT_EQ(ServerTCPWrite(handle, "abc", 3, 1000), 3);
    EXPECT_EQ(ServerTCPWrite(handle, "de", 2, 1000), 2);
    cvi::ext::setWriteFilter(cvi::linkfaults::intercept);  // the program's own again
    ProcessSystemEvents();  // as the program's next pass would: nothing stays held
    EXPECT_EQ(seen, 2);
    char buf[8] = {};
    std::string got;
    while (got.size() < 5) {
        const ssize_t n = ::recv(fd, buf, sizeof buf, 0);
        if (n <= 0) break;
        got.append(buf, static_cast<std::size_t>(n));
    }
    EXPECT_EQ(got, "ABCde");
    ::close(fd);
}

TEST_F(Runtime, TheTimeScaleSpeedsTimerAndShortensDelayWithoutAJump) {
    vt::SetClock(100.0);
    const double before = Timer();
    ASSERT_TRUE(cvi::ext::setTimeScale(10));
    EXPECT_DOUBLE_EQ(Timer(), before) << "no jump when the scale changes";
    vt::AdvanceClock(1.0);
    EXPECT_DOUBLE_EQ(Timer(), before + 10.0);
    const double clockBefore = vt::ClockNow();
    Delay(2.0);
    EXPECT_NEAR(vt::ClockNow() - clockBefore, 0.2, 1e-9);
    EXPECT_FALSE(cvi::ext::setTimeScale(0.05));
    EXPECT_FALSE(cvi::ext::setTimeScale(1000));
    EXPECT_DOUBLE_EQ(cvi::ext::timeScale(), 10);
}
