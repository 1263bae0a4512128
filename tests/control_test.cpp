// The control channel: scripts work the panel through the same widget events
// as a person, read back what it shows, and cannot upset the program or the
// client on port 3000 with bad input; the socket is private and never stolen.
#include <fcntl.h>
#include <sys/file.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <fstream>
#include <memory>
#include <sstream>
#include <thread>
#include <vector>

#include "args.h"
#include "control_client.h"

namespace {

// The state report's entry for a control, built from what the panel shows.
std::string shown(const char* name, int control, bool withValue, bool withText, const char* caption = nullptr) {
    return vt::OnUi([=] {
        const int panel = instrument.panel_handle;
        std::string out = "\"" + std::string(name) + "\":{";
        if (withValue) {
            int v = 0;
            GetCtrlVal(panel, control, &v);
            out += "\"value\":" + std::to_string(v) + ",";
        }
        if (withText) {
            char text[600] = "";
            GetCtrlAttribute(panel, control, ATTR_CTRL_VAL, text);
            out += "\"text\":\"" + std::string(text) + "\",";
        }
        if (caption) out += "\"text\":\"" + std::string(caption) + "\",";
        int visible = 0, dimmed = 0;
        GetCtrlAttribute(panel, control, ATTR_VISIBLE, &visible);
        GetCtrlAttribute(panel, control, ATTR_DIMMED, &dimmed);
        return out + "\"visible\":" + (visible ? "true" : "false") + ",\"dimmed\":" + (dimmed ? "true" : "false") + "}";
    });
}

// Binds a socket at path and, if listening, keeps it answering; else leaves it stale.
int bind_socket(const std::string& path, bool listening) {
    sockaddr_un a{};
    a.sun_family = AF_UNIX;
    std::snprintf(a.sun_path, sizeof a.sun_path, "%s", path.c_str());
    const int fd = ::socket(AF_UNIX, SOCK_STREAM, 0);
    EXPECT_EQ(::bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a), 0);
    if (listening) {
        EXPECT_EQ(::listen(fd, 4), 0);
        return fd;
    }
    ::close(fd);  // the file stays behind, as after a crash
    return -1;
}

struct CtlRun {
    int status;
    std::string out, err;
};

// Runs the built vantis-ctl against the given socket.
CtlRun vantis_ctl(const std::string& socket, const std::string& args) {
    char dir[] = "/tmp/vantis-ctl-run-XXXXXX";
    EXPECT_NE(::mkdtemp(dir), nullptr);
    const std::string out = std::string(dir) + "/out", err = std::string(dir) + "/err";
    const std::string command = "VANTIS_CONTROL_SOCKET='" + socket + "' '" VANTIS_CTL_PATH "' " + args + " >" + out +
                                " 2>" + err;
    const int rc = std::system(command.c_str());
    auto slurp = [](const std::string& p) {
        std::ifstream f(p, std::ios::binary);
        std::stringstream s;
        s << f.rdbuf();
        return s.str();
    };
    CtlRun r{WIFEXITED(rc) ? WEXITSTATUS(rc) : -1, slurp(out), slurp(err)};
    std::remove(out.c_str());
    std::remove(err.c_str());
    ::rmdir(dir);
    return r;
}

}  // namespace

using Control = Controlled;

TEST_F(Control, StateAndTrafficShowWhatThePanelShows) {
    auto check_state = [&] {
        const std::string state = ok("state");
        EXPECT_TRUE(has(state, shown("model", MAINPNL_VATYPE, true, true))) << state;
        EXPECT_TRUE(has(state, shown("trigger", MAINPNL_TRIGGERBUTTON, false, false, "TRIGGER")))
            << state;
        EXPECT_TRUE(has(state, shown("online", MAINPNL_ONLINE, true, false))) << state;
        EXPECT_TRUE(has(state, shown("connected", MAINPNL_CONNECTED, true, false))) << state;
        EXPECT_TRUE(has(state, shown("server_ip", MAINPNL_SERVER_IP, false, true))) << state;
        EXPECT_TRUE(has(state, shown("server_name", MAINPNL_SERVER_NAME, false, true))) << state;
        EXPECT_TRUE(has(state, shown("client_ip", MAINPNL_CLIENT_IP, false, true))) << state;
        EXPECT_TRUE(has(state, shown("client_name", MAINPNL_CLIENT_NAME, false, true))) << state;
        EXPECT_TRUE(has(state, shown("battery", MAINPNL_BATTERY, true, true))) << state;
        return state;
    };
    run([&] {
        EXPECT_EQ(ctl("wait ready"), "ok");
        std::string s = check_state();
        EXPECT_TRUE(has(s, "\"ready\":true,\"tcp_port\":" + std::to_string(port()) + ",\"time_scale\":1,")) << s;
        EXPECT_TRUE(has(s, "\"speed\":{\"value\":0,\"text\":\"Fast\",\"visible\":true,\"dimmed\":false}")) << s;
        EXPECT_TRUE(has(s, "\"direction\":{\"value\":\"LEFT\",\"text\":\"Left\",")) << s;
        EXPECT_TRUE(has(s, "\"instrument\":{\"serving\":false,\"model_type\":0,\"model_name\":\"none\",\"wait\":\"none\",\"service_depth\":0,"
                           "\"record_state\":3,\"window\":[0,0]},\"faults\":[],\"data\":{\"source\":\"pattern\"},"))
            << s;
        // An instance without a name, on all IPv4 interfaces, capturing nothing, with no download.
        EXPECT_TRUE(has(s, ",\"name\":\"\",\"listen\":\"0.0.0.0:" + std::to_string(port()) +
                               "\",\"capture\":{\"file\":null,\"error\":null},\"download\":null}"))
            << s;

        Client c = connect_client();
        EXPECT_EQ(ctl("model 2ndgen worldsid"), "ok");
        EXPECT_EQ(ask(c, "WHO_ARE_YOU#"), reply("WHO_ARE_YOU#WorldSID Male#"));
        EXPECT_EQ(ctl("speed normal"), "ok");
        EXPECT_EQ(ctl("direction right"), "ok");
        EXPECT_EQ(ctl("battery not-found"), "ok");
        settle();
        s = check_state();
        EXPECT_TRUE(has(s, "\"speed\":{\"value\":1,\"text\":\"Normal\",")) << s;
        EXPECT_TRUE(has(s, "\"direction\":{\"value\":\"RIGHT\",\"text\":\"Right\",")) << s;
        EXPECT_TRUE(has(s, "\"serving\":true,\"model_type\":10,\"model_name\":\"worldsid-2ndgen\",\"wait\":\"none\",\"service_depth\":1,")) << s;
        EXPECT_TRUE(has(s, "\"window\":[-200,1500]")) << s;

        EXPECT_EQ(json_text(ok("traffic receive")), box(MAINPNL_RECEIVE));
        EXPECT_EQ(json_text(ok("traffic transmit")), box(MAINPNL_TRANSMIT));
        EXPECT_EQ(ok("traffic"), "{\"receive\":" + ok("traffic receive") + ",\"transmit\":" + ok("traffic transmit") + "}");
        EXPECT_TRUE(has(box(MAINPNL_TRANSMIT), "WHO_ARE_YOU#WorldSID Male#"));

        EXPECT_EQ(ctl("clear"), "ok");
        settle();
        EXPECT_EQ(ok("traffic transmit"), "\"\"");
    });
}

TEST_F(Control, VerbsWorkThePanelLikeClicksAndRefuseWhatAPersonCouldNot) {
    run([&] {
        Client c = connect_client();
        EXPECT_EQ(ctl("trigger"), "error refused: TRIGGER is hidden or dimmed");
        EXPECT_EQ(ctl("battery ok"), "error refused: BATTERY is hidden or dimmed");
        EXPECT_EQ(ctl("model 1"), "ok");
        EXPECT_EQ(ask(c, "DIRECTION#"), reply("DIRECTION#LEFT#"));
        EXPECT_EQ(ctl("direction Right"), "ok");
        EXPECT_EQ(ctl("direction right"), "ok") << "already there: nothing to move";
        EXPECT_EQ(ask(c, "DIRECTION#"), reply("DIRECTION#RIGHT#"));
        EXPECT_EQ(ctl("model \"2ndGen WorldSID\""), "ok");
        settle();
        EXPECT_EQ(ctl("battery discharged"), "ok");
        EXPECT_EQ(ask(c, "GETBATINFO#"), reply("GETBATINFO#-2#0.0#"));
        EXPECT_EQ(ctl("model none"), "ok");
        settle();
        c.command("WHO_ARE_YOU#");
        EXPECT_TRUE(c.quiet()) << "value 0 stops the service";

        // A model chosen during an ERASE nests a service loop, as a click does.
        EXPECT_EQ(ctl("model 2"), "ok");
        EXPECT_EQ(c.line(), reply("WHO_ARE_YOU#50th Male#"));
        start_command(c, "ERASE#");
        EXPECT_TRUE(has(ok("state"), "\"wait\":\"erase\",\"service_depth\":1,")) << ok("state");
        EXPECT_EQ(ctl("wait idle 0"), "error timed out after 0 s waiting for idle");
        EXPECT_EQ(ctl("model 5"), "ok");
        settle();
        EXPECT_EQ(ask(c, "WHO_ARE_YOU#"), reply("WHO_ARE_YOU#SIDIIs#"));
        EXPECT_TRUE(has(ok("state"), "\"serving\":true,\"model_type\":5,\"model_name\":\"sid2s\",\"wait\":\"none\",\"service_depth\":2,"));
        EXPECT_EQ(ctl("model 0"), "ok");  // the inner loop ends and the erase goes on
        settle();
        EXPECT_TRUE(vt::WaitUntilClockSeen());
        for (int i = 0; i <= 26; ++i) advance(0.301);
        EXPECT_EQ(c.line(), "ERASE#0#230\r\n");
        EXPECT_EQ(ctl("wait idle"), "ok");

        // The trigger during an ARM, as the panel's button.
        EXPECT_EQ(ctl("model 4"), "ok");
        settle();
        vt::SetClock(200.0);
        c.command("ARM#0#100#");
        EXPECT_EQ(c.line(), reply("ARM#0#100#"));
        EXPECT_TRUE(has(ok("state"), "\"wait\":\"arm\""));
        EXPECT_TRUE(has(ok("state"), "\"trigger\":{\"text\":\"TRIGGER\",\"visible\":true,"));
        vt::SetClock(200.25);
        EXPECT_TRUE(vt::WaitUntilClockSeen());
        EXPECT_EQ(ctl("trigger"), "ok");
        EXPECT_TRUE(wait_for([] { return !instrument.trigger_seen ? false : true; }));
        EXPECT_TRUE(vt::WaitForTimerReads(vt::TimerReads() + 3));
        vt::SetClock(200.3501);
        EXPECT_TRUE(vt::WaitUntilClockSeen());
        EXPECT_EQ(ask(c, "DUMPINFO#"), reply("DUMPINFO#-250#100#"));
        EXPECT_EQ(ask(c, "TRIGGERCHECK#"), reply("TRIGGERCHECK#1#"));
        EXPECT_TRUE(has(ok("state"), "\"wait\":\"none\",\"service_depth\":1,\"record_state\":3,\"window\":[-250,100]"));
    });
}

TEST_F(Control, CloseEndsTheProgramAndTakesTheSocketAway) {
    const int status = run([&] {
        EXPECT_EQ(ctl("wait ready"), "ok");
        EXPECT_EQ(ctl("model 3"), "ok");
        ControlClient watcher(socket_path());
        EXPECT_EQ(watcher.ask("close"), "ok");
        EXPECT_TRUE(watcher.closed()) << "the channel ends with the program";
    });
    EXPECT_EQ(status, 0);
    struct stat st {};
    EXPECT_NE(::lstat(socket_path().c_str(), &st), 0);
    EXPECT_NE(::lstat((socket_path() + ".lock").c_str(), &st), 0);
}

TEST_F(Control, BadRequestsGetAClearAnswerAndDisturbNeitherThePanelNorTheClient) {
    run([&] {
        Client c = connect_client();
        EXPECT_EQ(ctl("model 2"), "ok");
        settle();
        ControlClient k(socket_path());
        const std::pair<std::string, std::string> cases[] = {
            {"", "error empty request"},
            {"model 11", "error bad value \"11\" for model: expected 0..10, none, a short name (h3-50) or an item's text"},
            {"model -1", "error bad value \"-1\" for model: expected 0..10, none, a short name (h3-50) or an item's text"},
            {"model", "error model needs a value: 0..10, none or an item's text"},
            {"speed warp", "error bad value \"warp\" for speed: expected fast or normal"},
            {"battery full", "error bad value \"full\" for battery: expected ok, not-found or discharged"},
            {"traffic both", "error bad value \"both\" for traffic: expected receive or transmit"},
            {"wait forever", "error bad value \"forever\" for wait: expected ready, connected, disconnected, idle, armed, erasing, "
                             "erased, triggered, recorded, downloading or downloaded"},
            {"wait idle soon", "error bad time-out \"soon\": expected seconds from 0 to 86400"},
            {"fault unplug", "error bad value \"unplug\" for fault: expected disconnect, drop-next, corrupt-next, latency, bandwidth, slice, stall, reset, close-after, seed, list or clear"},
            {"time-scale 0", "error bad value \"0\" for time-scale: expected a number from 0.1 to 100"},
            {"time-scale 1e400", "error bad value \"1e400\" for time-scale: expected a number from 0.1 to 100"},
            {"time-scale nan", "error bad value \"nan\" for time-scale: expected a number from 0.1 to 100"},
            // Decimal only, and the word at fault is the one named.
            {"time-scale 0x10", "error bad value \"0x10\" for time-scale: expected a number from 0.1 to 100"},
            {"wait idle 1e1", "error bad time-out \"1e1\": expected seconds from 0 to 86400"},
            {"fault clear latency extra", "error unexpected word \"extra\" after fault clear latency"},
            {"fault latency 10 2 3", "error unexpected word \"3\" after fault latency"},
            {"fault stall now", "error unexpected word \"now\" after fault stall"},
            {"speed fast now", "error unexpected word \"now\" after speed"},
            {"data pattern please", "error unexpected word \"please\" after data pattern"},
            {"ping twice", "error unexpected word \"twice\" after ping"},
        };
        for (const auto& [request, answer] : cases) EXPECT_EQ(k.ask(request), answer) << request;
        EXPECT_EQ(k.ask("frobnicate now").rfind("error unknown verb \"frobnicate\" (model, trigger,", 0), 0u);
        EXPECT_EQ(k.ask(std::string("\x01\xff\"x", 4)).rfind("error unknown verb \"\\x01\\xff\\\"x\"", 0), 0u);
        // Replies are plain ASCII whatever the request held: a file name of
        // Latin-1 and terminal escapes comes back escaped.
        const std::string echoed = k.ask(std::string("data load /no/such/caf\xe9\x1b[2J\x7f"));
        EXPECT_EQ(echoed.rfind("error ", 0), 0u) << echoed;
        EXPECT_TRUE(has(echoed, "caf\\xe9\\x1b[2J\\x7f")) << echoed;
        for (const char ch : echoed) EXPECT_TRUE(ch >= 0x20 && ch < 0x7f) << echoed;

        // An over-long request is answered once and dropped; the next is intact.
        k.send(std::string(3000, 'x') + "\nping\n" + std::string(1025, 'y') + "\nping " + std::string(1019, ' ') + "\n");
        EXPECT_EQ(k.line(), "error request longer than 1024 bytes; dropped");
        EXPECT_EQ(k.line(), "ok");
        EXPECT_EQ(k.line(), "error request longer than 1024 bytes; dropped");
        EXPECT_EQ(k.line(), "ok") << "1024 bytes are still a request";
        EXPECT_EQ(ask(c, "WHO_ARE_YOU#"), reply("WHO_ARE_YOU#50th Male#"));

        // A flood, sent faster than it is read: every request is answered, in
        // turn with the client on port 3000.
        constexpr int kFlood = 20000;
        std::thread flood([&] {
            std::string many;
            for (int i = 0; i < kFlood; ++i) many += "ping\n";
            k.send(many);
        });
        for (int i = 0; i < 20; ++i) EXPECT_EQ(ask(c, "HOW_MANY_LEDS#"), reply("HOW_MANY_LEDS#12#"));
        int answered = 0;
        while (answered < kFlood && k.line() == "ok") ++answered;
        flood.join();
        EXPECT_EQ(answered, kFlood);

        // Clients beyond the limit are told so and closed; the others are served.
        std::vector<std::unique_ptr<ControlClient>> many;
        for (int i = 0; i < 15; ++i) {
            many.push_back(std::make_unique<ControlClient>(socket_path()));
            EXPECT_EQ(many.back()->ask("ping"), "ok");
        }
        ControlClient over(socket_path());
        EXPECT_EQ(over.line(), "error too many control clients");
        EXPECT_TRUE(over.closed());
        many.clear();
        k.close();

        // Clients that vanish: half a request is dropped, whole ones are carried out,
        // and a wait that nobody will hear of ends quietly.
        {
            ControlClient half(socket_path());
            half.send("model 5");
        }
        {
            ControlClient waiter(socket_path());
            waiter.send("wait disconnected 30\n");
        }
        EXPECT_EQ(ctl("ping"), "ok");
        settle();
        EXPECT_EQ(ask(c, "WHO_ARE_YOU#"), reply("WHO_ARE_YOU#50th Male#"));
        {
            ControlClient gone(socket_path());
            gone.send("model 5\n");
        }
        EXPECT_TRUE(wait_for([] { return instrument.model_type == 5; }));
        settle();
        EXPECT_EQ(ask(c, "WHO_ARE_YOU#"), reply("WHO_ARE_YOU#SIDIIs#"));
        EXPECT_EQ(vt::OnUi([] { return instrument.service_depth; }), 1);
    });
}

TEST_F(Control, TheSocketIsPrivateAStaleOneIsTakenOverAndALiveOneNeverStolen) {
    const std::string path = socket_path();
    bind_socket(path, false);  // left by a simulator that crashed
    run([&] {
        EXPECT_EQ(ctl("ping"), "ok");
        struct stat st {};
        ASSERT_EQ(::lstat(path.c_str(), &st), 0);
        EXPECT_TRUE(S_ISSOCK(st.st_mode));
        EXPECT_EQ(st.st_mode & 077, 0u) << "owner only";
    });

    const int live = bind_socket(path, true);  // something answers there
    struct stat before {};
    ::lstat(path.c_str(), &before);
    run([&] { EXPECT_EQ(vt::OnUi([] { return vt::ControlSocketPath(); }), ""); });
    struct stat after {};
    ASSERT_EQ(::lstat(path.c_str(), &after), 0);
    EXPECT_EQ(after.st_ino, before.st_ino) << "the live socket is left alone";
    ::close(live);
    ::unlink(path.c_str());

    // A second simulator starting beside a running one holds the lock.
    const int lock = ::open((path + ".lock").c_str(), O_RDWR | O_CREAT, 0600);
    ASSERT_EQ(::flock(lock, LOCK_EX | LOCK_NB), 0);
    run([&] { EXPECT_EQ(vt::OnUi([] { return vt::ControlSocketPath(); }), ""); });
    ::close(lock);

    std::ofstream(path) << "not a socket";
    run([&] { EXPECT_EQ(vt::OnUi([] { return vt::ControlSocketPath(); }), ""); });
    std::ifstream kept(path);
    std::string content;
    std::getline(kept, content);
    EXPECT_EQ(content, "not a socket");
}

TEST_F(Control, VantisCtlDrivesTheSimulatorAndSaysWhyItFails) {
    const std::string path = socket_path();
    CtlRun r = vantis_ctl(path, "state");
    EXPECT_EQ(r.status, 3);
    EXPECT_EQ(r.err.rfind("vantis-ctl: no simulator running", 0), 0u) << r.err;
    EXPECT_EQ(vantis_ctl(path, "frobnicate").status, 2);
    run([&] {
        EXPECT_EQ(vantis_ctl(path, "wait ready --timeout 5").status, 0);
        Client c = connect_client();
        r = vantis_ctl(path, "model Polar");
        EXPECT_EQ(r.status, 0);
        EXPECT_EQ(r.out + r.err, "");
        settle();
        EXPECT_EQ(ask(c, "WHO_ARE_YOU#"), reply("WHO_ARE_YOU#Polar#"));
        r = vantis_ctl(path, "trigger");
        EXPECT_EQ(r.status, 1);
        EXPECT_EQ(r.err, "vantis-ctl: refused: TRIGGER is hidden or dimmed\n");
        r = vantis_ctl(path, "speed sideways");
        EXPECT_EQ(r.status, 1);
        EXPECT_EQ(r.err, "vantis-ctl: bad value \"sideways\" for speed: expected fast or normal\n");
        r = vantis_ctl(path, "state");
        EXPECT_EQ(r.status, 0);
        EXPECT_EQ(r.out.rfind("{\"ready\":true,", 0), 0u) << r.out;
        EXPECT_TRUE(has(r.out, "\"model\":{\"value\":6,\"text\":\"Polar\",")) << r.out;
        r = vantis_ctl(path, "traffic transmit");
        EXPECT_EQ(r.status, 0);
        EXPECT_EQ(r.out, box(MAINPNL_TRANSMIT));
        r = vantis_ctl(path, "--timeout 0.1 wait disconnected");
        EXPECT_EQ(r.status, 4);
        EXPECT_EQ(r.err, "vantis-ctl: timed out after 0.1 s waiting for disconnected\n");
        EXPECT_EQ(vantis_ctl(path, "PING").status, 0) << "verbs in any case";
        r = vantis_ctl(path, "time-scale 2.5");
        EXPECT_EQ(r.status, 0);
        EXPECT_EQ(vantis_ctl(path, "time-scale").out, "2.5\n");
    });
}

// Texts are Latin-1 bytes and replies plain ASCII: every byte outside printable
// ASCII is written \u00XX, where Qt's JSON writer alone gives UTF-8, \b and \f.
TEST(ControlJson, TextsAreWrittenAsAsciiWithEveryOtherByteEscaped) {
    const std::string text("a\x01\b\f\x7f\x80\xe9\xff\"\\/\t\n\r\0z", 16);
    EXPECT_EQ(cvi::args::jsonString(text),
              "\"a\\u0001\\u0008\\u000c\\u007f\\u0080\\u00e9\\u00ff\\\"\\\\/\\t\\n\\r\\u0000z\"");
}
