#include "recording.h"

#include <QCoreApplication>
#include <QFile>
#include <QTimer>

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <cmath>
#include <cctype>
#include <cstring>

#include "args.h"
#include "instrument_view.h"
#include "cvi.h"
#include "extension.h"

namespace cvi::recording {
namespace {

constexpr int kWatchMs = 100;

struct Loaded {
    std::unique_ptr<Recording> recording;
    std::unique_ptr<QTimer> watch;  // while loaded: notes a model choice on the panel
    std::size_t cursor = 0;  // the row the last sample lay after: downloads run forward
    int seenModel = 0;       // the model the last note was about
};

Loaded& loaded() {
    static Loaded l;
    return l;
}

const char* trimStart(const char* p, const char* end) {
    while (p < end && (*p == ' ' || *p == '\t')) ++p;
    return p;
}

const char* trimEnd(const char* begin, const char* e) {
    while (e > begin && (e[-1] == ' ' || e[-1] == '\t' || e[-1] == '\r')) --e;
    return e;
}

std::string shown(const char* b, const char* e) {
    std::string s(b, static_cast<std::size_t>(std::min<std::ptrdiff_t>(e - b, 24)));
    if (e - b > 24) s += "...";
    return args::jsonString(s);
}

std::string number(double v) {
    char buf[32];
    const auto r = std::to_chars(buf, buf + sizeof buf, v);
    return std::string(buf, r.ptr);
}

void note(const std::string& text) {
    const auto& f = instrument::view();
    if (f.panel() > 0) SetCtrlVal(f.panel(), f.transmitBox, text.c_str());
}

std::string fitNote(const Recording& r) {
    const auto& f = instrument::view();
    const int words = f.coordinateWords();
    if (words == r.columns) return "[data: " + r.file + " serves the download]\n";
    return "[data: " + r.file + " has " + std::to_string(r.columns) + " coordinate columns, " + f.modelName() +
           " frames " + std::to_string(words) + ": pattern data]\n";
}

// A new model choice says whether the loaded file still fits.
void watchModel() {
    auto& l = loaded();
    if (!l.recording) return;
    const int model = instrument::view().modelType();
    if (model == l.seenModel) return;
    l.seenModel = model;
    if (model > 0) note(fitNote(*l.recording));
}

// A model is chosen inside the ring's callback, which then runs the service
// loop and returns only when the next choice ends it: so the choice is looked
// for, a few times a second, rather than heard of.
void startWatch() {
    auto& l = loaded();
    if (l.watch || !l.recording || !QCoreApplication::instance()) return;
    l.watch = std::make_unique<QTimer>();
    QObject::connect(l.watch.get(), &QTimer::timeout, watchModel);
    l.watch->start(kWatchMs);
}

}  // namespace

std::unique_ptr<Recording> parseText(const char* text, std::size_t size, const std::string& file, std::string* error) {
    const char* p = text;
    const char* const end = text + size;
    if (size >= 3 && std::memcmp(p, "\xEF\xBB\xBF", 3) == 0) p += 3;
    std::vector<std::string> names;
    auto fail = [&](long line, long column, const std::string& what) {
        std::string where = file + ": line " + std::to_string(line);
        if (column > 0) where += ", column " + std::to_string(column);
        if (column > 1 && column <= static_cast<long>(names.size())) where += " (" + names[static_cast<std::size_t>(column - 1)] + ")";
        *error = where + ": " + what;
        return nullptr;
    };
    auto lineEnd = [&](const char* from) {
        const void* nl = std::memchr(from, '\n', static_cast<std::size_t>(end - from));
        return nl ? static_cast<const char*>(nl) : end;
    };

    // Header: time_ms, then a free name per coordinate column.
    const char* le = lineEnd(p);
    for (const char* f = p;;) {
        const char* fe = std::find(f, le, ',');
        const char* b = trimStart(f, fe);
        names.emplace_back(b, trimEnd(b, fe));
        if (fe == le) break;
        f = fe + 1;
    }
    if (names[0] != "time_ms")
        return fail(1, 1, "the first column must be time_ms, not " + args::jsonString(names[0]));
    if (names.size() < 2) return fail(1, 2, "no coordinate columns after time_ms");

    auto r = std::make_unique<Recording>();
    r->file = file;
    r->columns = static_cast<int>(names.size()) - 1;
    const std::size_t lines = static_cast<std::size_t>(std::count(le, end, '\n')) + 1;
    r->times.reserve(lines);
    r->values.reserve(lines * static_cast<std::size_t>(r->columns));

    long line = 1;
    while (le < end) {
        p = le + 1;
        le = lineEnd(p);
        ++line;
        if (trimStart(p, trimEnd(p, le)) == trimEnd(p, le)) continue;  // a blank line
        long column = 0;
        for (const char* f = p;;) {
            const char* fe = static_cast<const char*>(std::memchr(f, ',', static_cast<std::size_t>(le - f)));
            if (!fe) fe = le;
            ++column;
            const char* b = trimStart(f, fe);
            const char* e = trimEnd(b, fe);
            if (column > static_cast<long>(names.size()))
                return fail(line, column, "one column too many: the header has " + std::to_string(names.size()));
            if (column == 1) {
                double t = 0;
                const auto [at, ec] = std::from_chars(b, e, t);
                if (ec != std::errc() || at != e || b == e || !std::isfinite(t))
                    return fail(line, column, "bad time " + shown(b, e) + ": expected milliseconds such as -1.5");
                if (!r->times.empty() && t <= r->times.back())
                    return fail(line, column,
                                "time " + number(t) + " does not rise (the row before has " + number(r->times.back()) + ")");
                r->times.push_back(t);
            } else {
                unsigned long long v = 0;
                const auto [at, ec] = std::from_chars(b, e, v);
                const char* digits = b < e && *b == '-' ? b + 1 : b;
                const bool integer = digits < e && std::all_of(digits, e, [](char ch) { return ch >= '0' && ch <= '9'; });
                if (integer && (digits != b || ec == std::errc::result_out_of_range || v > 65535))
                    return fail(line, column, "value " + shown(b, e) + " is out of range 0 to 65535");
                if (!integer || ec != std::errc() || at != e)
                    return fail(line, column, "bad number " + shown(b, e) +
                                                  ": expected an integer from 0 to 65535");
                r->values.push_back(static_cast<std::uint16_t>(v));
            }
            if (fe == le) break;
            f = fe + 1;
        }
        if (column < static_cast<long>(names.size()))
            return fail(line, column + 1,
                        "missing: the header has " + std::to_string(names.size()) + " columns");
    }
    if (r->times.empty()) return fail(2, 0, "no data rows after the header");
    r->times.shrink_to_fit();
    r->values.shrink_to_fit();
    return r;
}

std::unique_ptr<Recording> parse(const std::string& path, std::string* error) {
    // Opened by its bytes: a name need not be valid in any encoding, and a
    // conversion to text and back would change it.
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        *error = "cannot open " + path + ": " + std::strerror(errno);
        return nullptr;
    }
    QFile f;
    if (!f.open(fd, QIODevice::ReadOnly, QFileDevice::AutoCloseHandle)) {
        ::close(fd);
        *error = "cannot open " + path + ": " + f.errorString().toStdString();
        return nullptr;
    }
    if (f.size() == 0) {
        *error = path + ": the file is empty";
        return nullptr;
    }
    // Mapped, not read: a window's file is hundreds of megabytes of text.
    if (uchar* text = f.map(0, f.size())) {
        auto r = parseText(reinterpret_cast<const char*>(text), static_cast<std::size_t>(f.size()), path, error);
        f.unmap(text);
        return r;
    }
    const QByteArray all = f.readAll();
    return parseText(all.constData(), static_cast<std::size_t>(all.size()), path, error);
}

bool sample(const Recording& r, long long tenths, int count, std::uint16_t* words, std::size_t* cursor) {
    const std::size_t n = r.rows();
    if (count != r.columns || n == 0) return false;
    const auto columns = static_cast<std::size_t>(count);
    const double t = static_cast<double>(tenths) / 10.0;
    const std::vector<double>& times = r.times;
    const std::uint16_t* v = r.values.data();
    if (t <= times.front() || t >= times.back()) {
        std::memcpy(words, t <= times.front() ? v : v + (n - 1) * columns, columns * sizeof *words);
        return true;
    }
    std::size_t k = *cursor;
    if (k + 1 >= n || times[k] > t)
        k = static_cast<std::size_t>(std::upper_bound(times.begin(), times.end(), t) - times.begin()) - 1;
    else
        while (times[k + 1] <= t) ++k;
    *cursor = k;
    const std::uint16_t* a = v + k * columns;
    const double f = (t - times[k]) / (times[k + 1] - times[k]);
    if (f == 0.0) {
        std::memcpy(words, a, columns * sizeof *words);
        return true;
    }
    const std::uint16_t* b = a + columns;
    // Between two values of 0..65535, so never negative: truncating x + 0.5 rounds to nearest.
    for (std::size_t j = 0; j < columns; ++j)
        words[j] = static_cast<std::uint16_t>(a[j] + (static_cast<double>(b[j]) - a[j]) * f + 0.5);
    return true;
}

std::string load(const std::string& path) {
    std::string error;
    auto r = parse(path, &error);
    if (!r) return error;
    const auto& f = instrument::view();
    const int model = f.modelType();
    if (model > 0 && f.coordinateWords() != r->columns) {
        const int words = f.coordinateWords();
        const std::string needs = std::string(f.modelName()) + " frames have " + std::to_string(words) +
                                  " coordinate words: time_ms and " + std::to_string(words) + " columns";
        if (r->columns > words) return path + ": line 1, column " + std::to_string(words + 2) + ": one column too many; " + needs;
        return path + ": line 1, column " + std::to_string(r->columns + 2) + ": missing; " + needs;
    }
    auto& l = loaded();
    l.recording = std::move(r);
    l.cursor = 0;
    l.seenModel = model;
    startWatch();
    return {};
}

void usePattern() { loaded() = Loaded{}; }

std::string describe() {
    const auto& l = loaded();
    if (!l.recording) return "{\"source\":\"pattern\"}";
    const Recording& r = *l.recording;
    const auto& f = instrument::view();
    const bool fits = f.modelType() == 0 || f.coordinateWords() == r.columns;
    std::string out = std::string("{\"source\":\"") + (fits ? "recording" : "pattern") + "\"";
    out += ",\"file\":" + args::jsonString(r.file);
    out += ",\"rows\":" + std::to_string(r.rows()) + ",\"columns\":" + std::to_string(r.columns);
    out += ",\"time_ms\":[" + number(r.times.front()) + "," + number(r.times.back()) + "]";
    if (!fits)
        out += ",\"note\":" + args::jsonString("the file has " + std::to_string(r.columns) + " coordinate columns, " +
                                                  f.modelName() + " frames " + std::to_string(f.coordinateWords()));
    return out + "}";
}

std::string verb(const std::string& args) {
    const auto space = args.find(' ');
    std::string word = args.substr(0, space);
    for (char& ch : word) ch = static_cast<char>(std::tolower(static_cast<unsigned char>(ch)));
    std::string rest = space == std::string::npos ? std::string() : args.substr(space + 1);
    rest.erase(0, rest.find_first_not_of(' '));
    if (word.empty()) return "ok " + describe();
    if (word == "pattern") {
        if (!rest.empty()) return args::extraWord(args::firstWord(rest).first, "data pattern");
        usePattern();
        return "ok";
    }
    if (word == "load") {
        if (rest.empty()) return "error data load needs a file";
        const std::string error = load(rest);
        return error.empty() ? "ok " + describe() : "error " + error;
    }
    return args::badValue(word, "data", "load FILE or pattern");
}

void install() {
    static bool installed = false;
    if (installed) return;
    installed = true;
    ext::setSampleProvider([](long long tenths, int count, std::uint16_t* words) {
        auto& l = loaded();
        return l.recording && sample(*l.recording, tenths, count, words, &l.cursor);
    });
    // Loaded data lasts one run of the simulator.
    ext::onStart(startWatch);  // for a file given at start-up
    ext::onStop(usePattern);
}

}  // namespace cvi::recording
