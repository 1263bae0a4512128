// Recorded data from a CSV file in place of the built-in pattern: every frame of
// a download sampled from the file, refusals of bad files, a model that does
// not fit, and the pattern byte for byte once the data goes.
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <vector>

#include "control_client.h"

namespace {

struct Table {
    std::vector<double> times;
    std::vector<std::vector<unsigned>> rows;
};

// The file read back independently of the simulator's own loader.
Table read_csv(const std::string& path) {
    Table t;
    std::ifstream in(path);
    std::string line;
    std::getline(in, line);  // header
    while (std::getline(in, line)) {
        std::stringstream fields(line);
        std::string f;
        std::getline(fields, f, ',');
        t.times.push_back(std::stod(f));
        t.rows.emplace_back();
        while (std::getline(fields, f, ',')) t.rows.back().push_back(static_cast<unsigned>(std::stoul(f)));
    }
    return t;
}

// Linear between the rows around t, rounded to nearest; the end rows beyond the ends.
std::vector<unsigned> expected_at(const Table& t, double ms) {
    if (ms <= t.times.front()) return t.rows.front();
    if (ms >= t.times.back()) return t.rows.back();
    std::size_t k = 0;
    while (t.times[k + 1] <= ms) ++k;
    const double f = (ms - t.times[k]) / (t.times[k + 1] - t.times[k]);
    std::vector<unsigned> out;
    for (std::size_t j = 0; j < t.rows[k].size(); ++j) {
        const double a = t.rows[k][j], b = t.rows[k + 1][j];
        out.push_back(static_cast<unsigned>(a + (b - a) * f + 0.5));
    }
    return out;
}

unsigned word_at(const std::string& frame, std::size_t word) {
    return static_cast<unsigned char>(frame[2 * word]) | static_cast<unsigned char>(frame[2 * word + 1]) << 8;
}

void write_file(const std::string& path, const std::string& text) {
    std::ofstream(path, std::ios::binary) << text;
}

class Data : public Controlled {
protected:
    void SetUp() override {
        Controlled::SetUp();
        char dir[] = "/tmp/vantis-data-test-XXXXXX";
        ASSERT_NE(::mkdtemp(dir), nullptr);
        dir_ = dir;
    }
    void TearDown() override {
        std::error_code ignored;
        std::filesystem::remove_all(dir_, ignored);
        Controlled::TearDown();
    }

    // An example file from tools/make-recording.py.
    std::string make_recording(const std::string& model, const std::string& options, const std::string& name) {
        const std::string path = dir_ + "/" + name;
        const std::string cmd = "python3 '" VANTIS_MAKE_RECORDING "' " + model + " " + options + " -o '" + path + "'";
        EXPECT_EQ(std::system(cmd.c_str()), 0) << cmd;
        return path;
    }
    std::string path(const std::string& name) const { return dir_ + "/" + name; }

    // Erase, arm with ARM#0#200# and trigger: the window -50 to 200.
    void record(Client& c) {
        erase(c);
        vt::SetClock(100.0);
        start_command(c, "ARM#0#200#");
        EXPECT_EQ(c.line(), reply("ARM#0#200#"));
        vt::SetClock(100.0504);
        EXPECT_TRUE(vt::WaitUntilClockSeen());
        c.send("T#119");
        EXPECT_EQ(c.line(), "T#119\r\n");
        EXPECT_TRUE(vt::WaitForTimerReads(vt::TimerReads() + 3));
        vt::SetClock(100.2505);
        EXPECT_TRUE(vt::WaitUntilClockSeen());
        EXPECT_EQ(ask(c, "DUMPINFO#"), reply("DUMPINFO#-50#200#"));
    }

    static std::string download(Client& c, const std::string& request, std::size_t frames, std::size_t size) {
        c.command(request);
        std::string out = c.line();
        out += c.read(frames * size);
        return out;
    }

private:
    std::string dir_;
};

}  // namespace

TEST_F(Data, EveryFrameIsSampledFromTheFileAndThePatternComesBackByteForByte) {
    run([&] {
        // Rows 0.37 ms apart from -3 to 5 ms, so that most frames fall between rows.
        const std::string file = make_recording("2", "--start -3 --end 5 --step 0.37 --width 4", "h3.csv");
        const Table table = read_csv(file);
        ASSERT_EQ(table.rows.front().size(), 24u);
        Client c = connect_client();
        EXPECT_EQ(ctl("model 2"), "ok");
        settle();
        record(c);
        const std::string request = "DUMPBINA#-4#6#";  // both ends beyond the file's rows
        const std::string pattern = download(c, request, 101, 53);
        ASSERT_EQ(pattern.size(), std::string("DUMPBINA#26#101#181\r\n").size() + 101 * 53);

        EXPECT_TRUE(has(ctl("data load " + file), "ok {\"source\":\"recording\""));
        EXPECT_TRUE(has(ok("state"), "\"data\":{\"source\":\"recording\",\"file\":\"" + file + "\",\"rows\":" +
                                         std::to_string(table.rows.size()) + ",\"columns\":24,"));
        c.command(request);
        EXPECT_EQ(c.line(), pattern.substr(0, pattern.find('\n') + 1)) << "the header does not change";
        int between = 0;
        for (int i = 0; i < 101; ++i) {
            const std::string frame = c.read(53);
            ASSERT_EQ(frame.size(), 53u);
            const double ms = (-40 + i) / 10.0;
            const std::vector<unsigned> want = expected_at(table, ms);
            for (std::size_t w = 0; w < 24; ++w) EXPECT_EQ(word_at(frame, w), want[w]) << "frame " << i << " word " << w;
            EXPECT_EQ(word_at(frame, 24), 500u);
            EXPECT_EQ(word_at(frame, 25), 1000u);
            unsigned sum = 0;
            for (std::size_t b = 0; b + 1 < frame.size(); ++b) sum += static_cast<unsigned char>(frame[b]);
            EXPECT_EQ(static_cast<unsigned char>(frame.back()), sum % 256) << "frame " << i;
            between += want != expected_at(table, ms - 0.1) && ms > -3 && ms < 5;
        }
        EXPECT_GT(between, 30) << "the file should move within the window";
        EXPECT_EQ(ask(c, "S#"), "S#3#204\r\n") << "nothing follows the last frame";

        EXPECT_EQ(ctl("data pattern"), "ok");
        EXPECT_EQ(ok("data"), "{\"source\":\"pattern\"}");
        EXPECT_EQ(download(c, request, 101, 53), pattern);
    });
}

TEST_F(Data, BadFilesAndModelsThatDoNotFitLeaveTheDataAsItWas) {
    run([&] {
        const std::string good = make_recording("2", "--start -2 --end 2 --step 0.5", "good.csv");
        const std::string polar = make_recording("polar", "", "polar.csv");
        Client c = connect_client();
        EXPECT_EQ(ctl("model 2"), "ok");
        settle();
        EXPECT_EQ(ctl("data load " + good).substr(0, 3), "ok ");
        const std::string loaded = ok("data");

        std::string header = "time_ms";
        for (int l = 1; l <= 12; ++l) header += ",l" + std::to_string(l) + "x,l" + std::to_string(l) + "y";
        std::string row = "0";
        for (int w = 0; w < 24; ++w) row += "," + std::to_string(1000 + w);
        const struct {
            std::string name, text, error;
        } bad[] = {
            {"number.csv", header + "\n" + row + "\n1,12a" + row.substr(row.find(',', 2)) + "\n",
             "line 3, column 2 (l1x): bad number \"12a\""},
            {"range.csv", header + "\n" + row + "\n1,1,2,3,65536" + row.substr(row.find(",1004")) + "\n",
             "line 3, column 5 (l2y): value \"65536\" is out of range 0 to 65535"},
            {"falling.csv", header + "\n" + row + "\n" + row + "\n", "line 3, column 1: time 0 does not rise"},
            {"short.csv", header + "\r\n" + row.substr(0, row.rfind(',')) + "\r\n", "line 2, column 25 (l12y): missing"},
            {"first.csv", "t," + header.substr(8) + "\n" + row + "\n", "line 1, column 1: the first column must be time_ms"},
            {"polar.csv", "", "line 1, column 14: missing; 50th Male frames have 24 coordinate words"},
        };
        for (const auto& b : bad) {
            const std::string file = b.name == "polar.csv" ? polar : path(b.name);
            if (!b.text.empty()) write_file(file, b.text);
            const std::string answer = ctl("data load " + file);
            EXPECT_EQ(answer.substr(0, 6 + file.size() + 2), "error " + file + ": ") << answer;
            EXPECT_TRUE(has(answer, b.error)) << answer;
            EXPECT_EQ(ok("data"), loaded) << "after " << b.name;
        }
        EXPECT_TRUE(has(ctl("data load " + path("none.csv")), "error cannot open " + path("none.csv")));

        // The good file still serves: at time 0 its row for 0 ms.
        const Table table = read_csv(good);
        c.command("DUMPBIN#0#0#");
        EXPECT_EQ(c.line(), reply("DUMPBIN#24#1#"));
        const std::string frame = c.read(49);
        for (std::size_t w = 0; w < 24; ++w) EXPECT_EQ(word_at(frame, w), expected_at(table, 0.0)[w]);

        // A model with other frames falls back to the pattern, and says so.
        vt::OnUi([] { ResetTextBox(panel(), MAINPNL_TRANSMIT, ""); });
        EXPECT_EQ(ctl("model polar"), "ok");
        settle();
        EXPECT_TRUE(has(ok("data"), "{\"source\":\"pattern\",\"file\":\"" + good + "\""));
        const std::string note = "[data: " + good + " has 24 coordinate columns, Polar frames 12: pattern data]\n";
        EXPECT_TRUE(wait_for([&] { return vt::TextBoxContents(panel(), MAINPNL_TRANSMIT) == note; }));
        c.command("DUMPBIN#0#0#");
        EXPECT_EQ(c.line(), reply("DUMPBIN#12#1#"));
        const std::string polar_frame = c.read(25);
        for (std::size_t w = 0; w < 12; ++w) EXPECT_EQ(word_at(polar_frame, w), 2010 + 1000 * (w / 2) + 10 * (w % 2));
        std::string echoed = reply("DUMPBIN#12#1#");
        echoed.erase(echoed.find('\r'), 1);
        EXPECT_EQ(box(MAINPNL_TRANSMIT), note + echoed);
        EXPECT_EQ(ctl("model 2"), "ok");
        settle();
        EXPECT_TRUE(has(ok("data"), "{\"source\":\"recording\""));
    });
}
