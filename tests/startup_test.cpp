// Start-up, the panel as the operator first sees it, and shutdown.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include "ZErov_models.h"
#include "extension.h"
#include "harness.h"

namespace {

// Holds a port on all IPv4 interfaces, as another program would.
struct PortHolder {
    int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    unsigned port = 0;
    PortHolder() {
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_addr.s_addr = htonl(INADDR_ANY);
        ::bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a);
        ::listen(fd, 1);
        socklen_t len = sizeof a;
        ::getsockname(fd, reinterpret_cast<sockaddr*>(&a), &len);
        port = ntohs(a.sin_port);
    }
    ~PortHolder() { ::close(fd); }
};

}  // namespace

using Startup = Sim;

TEST_F(Startup, PortAlreadyTakenShowsOnlyThePopupAndEndsWithZero) {
    PortHolder other;
    vt::SetServerPort(static_cast<int>(other.port));
    const auto displayed = vt::PanelsDisplayed();
    EXPECT_EQ(run_alone(), 0);
    const auto popups = vt::Popups();
    ASSERT_EQ(popups.size(), 1u);
    EXPECT_EQ(popups[0].first, "TCP Server");
    EXPECT_EQ(popups[0].second, "Server registration failed!");
    EXPECT_EQ(vt::PanelsDisplayed(), displayed);
}

TEST_F(Startup, MissingPanelFileOrRunTimeEndsWithMinusOneAndShowsNothing) {
    vt::SetPanelFile("NoSuchPanel.uir");
    EXPECT_EQ(run_alone(), -1);
    vt::SetPanelFile("");
    vt::FailRuntimeInit(true);
    EXPECT_EQ(run_alone(), -1);
    vt::FailRuntimeInit(false);
    EXPECT_TRUE(vt::Popups().empty());
}

TEST_F(Startup, AControlWhoseWidgetIsNotOfItsKindFailsTheLoadNamingIt) {
    vt::SetPanelFile("WrongKind.uir");
    ::testing::internal::CaptureStderr();
    EXPECT_EQ(run_alone(), -1);
    const std::string said = ::testing::internal::GetCapturedStderr();
    EXPECT_NE(said.find("control ONLINE is of kind led but its widget is a QLabel"), std::string::npos) << said;
    EXPECT_EQ(vt::PanelsDisplayed(), 0u);
    vt::SetPanelFile("");
}

TEST_F(Startup, AHostNameThatCannotBeReadShowsTheTcpErrorAndEndsWithZero) {
    vt::FailHostName(true);
    const auto displayed = vt::PanelsDisplayed();
    EXPECT_EQ(run_alone(), 0);
    const auto popups = vt::Popups();
    ASSERT_EQ(popups.size(), 1u);
    EXPECT_EQ(popups[0].first, "Error");
    EXPECT_EQ(popups[0].second,
              "TCP library error message: Host lookup failed\nSystem error message: Name or service not known");
    EXPECT_EQ(vt::PanelsDisplayed(), displayed);
    // Everything was released: the next start is clean.
    vt::FailHostName(false);
    vt::CapturePopups(true);
    EXPECT_EQ(run([] {}), 0);
    EXPECT_TRUE(vt::Popups().empty());
}

TEST_F(Startup, PanelStartsInItsInitialStateAndClosesWithZero) {
    const int status = run([&] {
        EXPECT_EQ(vt::OnUi([] { return vt::WindowTitle(panel()); }), "Vantis Simulator Rev 3");
        EXPECT_EQ(vt::OnUi([] { return vt::PanelWidth(panel()); }), 446);
        EXPECT_EQ(vt::OnUi([] { return vt::PanelHeight(panel()); }), 534);
        EXPECT_EQ(value(MAINPNL_ONLINE), 1);
        EXPECT_EQ(value(MAINPNL_CONNECTED), 0);
        EXPECT_FALSE(text(MAINPNL_SERVER_IP).empty());
        EXPECT_FALSE(text(MAINPNL_SERVER_NAME).empty());
        EXPECT_EQ(text(MAINPNL_SERVER_IP).find(':'), std::string::npos) << "dotted IPv4 expected";
        EXPECT_EQ(value(MAINPNL_VATYPE), 0);
        EXPECT_EQ(text(MAINPNL_VATYPE), "Select Vantis Model");
        // The command line names the ring's items before the panel is loaded.
        const auto items = vt::OnUi([] { return cvi::ext::ringItems(panel(), MAINPNL_VATYPE); });
        ASSERT_EQ(items.size(), static_cast<std::size_t>(kModelRingItemCount));
        for (int i = 0; i < kModelRingItemCount; ++i) {
            EXPECT_EQ(items[i].first, i);
            EXPECT_EQ(items[i].second, kModelRingItems[i]);
        }
        EXPECT_EQ(attribute(MAINPNL_BATTERY, ATTR_VISIBLE), 0);
        EXPECT_EQ(value(MAINPNL_BATTERY), 75);
        EXPECT_EQ(attribute(MAINPNL_TRIGGERBUTTON, ATTR_VISIBLE), 0);
        EXPECT_EQ(attribute(MAINPNL_STRING, ATTR_VISIBLE), 0);
        EXPECT_EQ(attribute(MAINPNL_STRING, ATTR_DIMMED), 1);
        EXPECT_EQ(value(MAINPNL_DUMPSPEED), 0);
        EXPECT_EQ(text(MAINPNL_DirectionSwitch), "LEFT");
        EXPECT_EQ(box(MAINPNL_TRANSMIT), "");
        EXPECT_EQ(box(MAINPNL_RECEIVE), "");
        // The switches move when the operator flips them.
        flip(MAINPNL_DUMPSPEED);
        flip(MAINPNL_DirectionSwitch);
        EXPECT_EQ(value(MAINPNL_DUMPSPEED), 1);
        EXPECT_EQ(text(MAINPNL_DirectionSwitch), "RIGHT");
    });
    EXPECT_EQ(status, 0);
    EXPECT_TRUE(vt::Popups().empty());
}

TEST_F(Startup, ClosingWhileTheServiceRunsEndsTheProgram) {
    const int status = run([&] {
        Client c = serve(2);
        EXPECT_EQ(ask(c, "WHO_ARE_YOU#"), reply("WHO_ARE_YOU#50th Male#"));
        close_panel();
    });
    EXPECT_EQ(status, 0);
    EXPECT_EQ(instrument.running, 0);
}

TEST_F(Startup, ClearButtonEmptiesBothTrafficBoxes) {
    run([&] {
        Client c = serve(2);
        EXPECT_EQ(ask(c, "S#"), "S#3#204\r\n");
        EXPECT_NE(box(MAINPNL_RECEIVE), "");
        EXPECT_EQ(box(MAINPNL_TRANSMIT), "S#3#204\n");
        press(MAINPNL_CLEAR);
        EXPECT_EQ(box(MAINPNL_RECEIVE), "");
        EXPECT_EQ(box(MAINPNL_TRANSMIT), "");
        EXPECT_EQ(ask(c, "S#"), "S#3#204\r\n");
        EXPECT_EQ(box(MAINPNL_TRANSMIT), "S#3#204\n");
        EXPECT_EQ(box(MAINPNL_RECEIVE), "S#118\n");
    });
}

// The quit reaches a command that waits on its own conditions: each wait ends
// at once, says nothing more, and the client sees its connection end.
struct WaitCase {
    const char* what;
    bool erased_first;
    const char* command;
    const char* first_reply;  // framed as sent; empty: none before the wait
};

class ClosingDuring : public Sim, public ::testing::WithParamInterface<WaitCase> {};

TEST_P(ClosingDuring, TheWaitEndsAtOnceAndTheClientSeesTheEnd) {
    const WaitCase& k = GetParam();
    const int status = run([&] {
        Client c = serve(10);
        if (k.erased_first) erase(c);
        c.command(k.command);
        if (*k.first_reply) {
            EXPECT_EQ(c.line(), k.first_reply);
        }
        EXPECT_TRUE(wait_for([] { return instrument.waits_in_service > 0; }));
        close_panel();
        EXPECT_TRUE(c.closed());
        EXPECT_EQ(c.read(4096, 0), "") << "nothing after the close";
    });
    EXPECT_EQ(status, 0);
    EXPECT_EQ(instrument.waits_in_service, 0);
    EXPECT_EQ(instrument.service_depth, 0);
}

INSTANTIATE_TEST_SUITE_P(Waits, ClosingDuring,
                         ::testing::Values(WaitCase{"Erase", false, "ERASE#", ""},
                                           WaitCase{"ArmWithoutALimit", true, "ARM#0#0#", "ARM#0#0#169\r\n"},
                                           WaitCase{"ArmWithALimit", true, "ARM#100000#0#", "ARM#100000#0#154\r\n"},
                                           WaitCase{"TestComment", false, "SETTESTCOMMENT#", "COMMENT?\n"}),
                         [](const auto& info) { return std::string(info.param.what); });
