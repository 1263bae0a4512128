#include "recording.h"

#include <QComboBox>
#include <QCoreApplication>
#include <QObject>
#include <QTimer>

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cctype>
#include <charconv>
#include <memory>
#include <set>
#include <system_error>
#include <thread>

#include "args.h"
#include "instrument_view.h"
#include "cvi.h"
#include "extension.h"
#include "parts.h"

namespace cvi::recording {
namespace {

std::string number(double v) {
    char buf[32];
    const auto r = std::to_chars(buf, buf + sizeof buf, v);
    return std::string(buf, r.ptr);
}

// A load that reads its file on a thread of its own. The worker writes the
// result, then posts its end to the user-interface thread, which alone reads
// it and applies it, so the data changes in one step between event passes.
struct Job {
    std::string path;
    std::atomic<bool> stop{false};
    std::unique_ptr<Recording> result;  // the worker's until it has posted its end
    std::string error;
    std::shared_ptr<std::optional<std::string>> reply = std::make_shared<std::optional<std::string>>();
    std::thread worker;
};

}  // namespace

// The data in force, the load under way and the model last noted.
class Source {
public:
    ~Source() { stopLoad(); }

    void stopLoad() {
        if (!job) return;
        job->stop = true;
        if (job->worker.joinable()) job->worker.join();  // it stops within one piece of the file
        job.reset();
    }

    std::unique_ptr<Recording> recording;
    std::size_t cursor = 0;  // the row the last sample lay after: downloads run forward
    int seenModel = 0;       // the model the last note was about
    std::unique_ptr<Job> job;
    std::unique_ptr<QObject> context = std::make_unique<QObject>();  // where the worker posts its end
};

namespace {

Source& source() { return vantis::services::partOf(vantis::services::parts().recording); }

void note(const std::string& text) {
    const auto& f = instrument::view();
    if (f.panel() > 0) SetCtrlVal(f.panel(), f.transmitBox, text.c_str());
}

std::string fitNote(const Recording& r) {
    const auto& f = instrument::view();
    const int words = f.coordinateWords();
    const std::string file = shownName(r.file);
    if (words == r.columns) return "[data: " + file + " serves the download]\n";
    return "[data: " + file + " has " + std::to_string(r.columns) + " coordinate columns, " + f.modelName() +
           " frames " + std::to_string(words) + ": pattern data]\n";
}

// A model was chosen: says whether the loaded file still fits.
void noteModel() {
    auto& s = source();
    if (!s.recording) return;
    const int model = instrument::view().modelType();
    if (model == s.seenModel) return;
    s.seenModel = model;
    if (model > 0) note(fitNote(*s.recording));
}

// The ring's commit runs the model's service loop before it returns: the note
// is queued, and comes at that loop's first event pass, once the model is in.
void listenToRing() {
    const auto& f = instrument::view();
    if (auto* ring = qobject_cast<QComboBox*>(ext::widgetOf(f.panel(), f.modelRing)))
        QObject::connect(ring, &QComboBox::activated, source().context.get(), [] { noteModel(); },
                         Qt::QueuedConnection);
    noteModel();
}

void apply(std::unique_ptr<Recording> r) {
    auto& s = source();
    s.recording = std::move(r);
    s.cursor = 0;
    s.seenModel = instrument::view().modelType();
}

// On the user-interface thread, once the worker has ended.
void finishLoad() {
    auto& s = source();
    if (!s.job) return;
    const std::unique_ptr<Job> job = std::move(s.job);  // the load is over: describe() no longer shows it
    job->worker.join();
    std::string error = job->error;
    if (job->result) error = fitError(*job->result, instrument::view().modelType());
    if (error.empty()) apply(std::move(job->result));
    *job->reply = error.empty() ? "ok " + describe() : "error " + error;
}

std::string startLoad(const std::string& path, LaterReply* later) {
    auto& s = source();
    auto job = std::make_unique<Job>();
    job->path = path;
    Job* j = job.get();
    QObject* context = s.context.get();
    try {
        j->worker = std::thread([j, context] {
            j->result = parse(j->path, &j->error, [j](std::size_t) { return !j->stop.load(); });
            QMetaObject::invokeMethod(context, [] { finishLoad(); }, Qt::QueuedConnection);
        });
    } catch (const std::system_error&) {  // no thread to be had: read it here
        const std::string error = loadFile(path);
        return error.empty() ? "ok " + describe() : "error " + error;
    }
    *later = [reply = j->reply] { return *reply; };
    s.job = std::move(job);
    return {};
}

}  // namespace

namespace {

std::string fitErrorOf(const Recording& r, int model) {
    const auto& f = instrument::view();
    const std::string file = shownName(r.file);
    if (model > 0) {
        const instrument::ModelFrame m = f.frameOf(model);
        if (m.words == r.columns) return {};
        const std::string needs = std::string(m.name) + " frames have " + std::to_string(m.words) +
                                  " coordinate words: time_ms and " + std::to_string(m.words) + " columns";
        if (r.columns > m.words)
            return file + ": line 1, column " + std::to_string(m.words + 2) + ": one column too many; " + needs;
        return file + ": line 1, column " + std::to_string(r.columns + 2) + ": missing; " + needs;
    }
    std::set<int> words;
    for (int i = 1; i <= f.modelCount; ++i) words.insert(f.frameOf(i).words);
    if (words.count(r.columns)) return {};
    std::string list;
    for (auto it = words.begin(); it != words.end(); ++it)
        list += (it == words.begin() ? "" : std::next(it) == words.end() ? " or " : ", ") + std::to_string(*it);
    return file + ": " + std::to_string(r.columns) + " coordinate columns fit no model: frames have " + list +
           " coordinate words";
}

}  // namespace

std::string fitError(const Recording& r, int model) {
    std::string error = fitErrorOf(r, model);
    if (error.size() > kMaxErrorChars) error = error.substr(0, kMaxErrorChars - 3) + "...";
    return error;
}

std::string loadFile(const std::string& path, int model, const std::function<bool(std::size_t)>& goOn) {
    std::string error;
    auto r = parse(path, &error, goOn);
    if (!r) return error;
    if (std::string unfit = fitError(*r, model < 0 ? instrument::view().modelType() : model); !unfit.empty()) return unfit;
    apply(std::move(r));
    return {};
}

void usePattern() {
    auto& s = source();
    s.recording.reset();
    s.cursor = 0;
    s.seenModel = 0;
}

std::string describe() {
    const auto& s = source();
    const std::string loading = s.job ? ",\"loading\":" + args::jsonString(s.job->path) : std::string();
    if (!s.recording) return "{\"source\":\"pattern\"" + loading + "}";
    const Recording& r = *s.recording;
    const auto& f = instrument::view();
    const bool fits = f.modelType() == 0 || f.coordinateWords() == r.columns;
    std::string out = std::string("{\"source\":\"") + (fits ? "recording" : "pattern") + "\"";
    out += ",\"file\":" + args::jsonString(r.file);
    out += ",\"rows\":" + std::to_string(r.rows()) + ",\"columns\":" + std::to_string(r.columns);
    out += ",\"time_ms\":[" + number(r.times.front()) + "," + number(r.times.back()) + "]";
    if (!fits)
        out += ",\"note\":" + args::jsonString("the file has " + std::to_string(r.columns) + " coordinate columns, " +
                                                  f.modelName() + " frames " + std::to_string(f.coordinateWords()));
    return out + loading + "}";
}

std::string verb(const std::string& args, LaterReply* later) {
    const auto space = args.find(' ');
    std::string word = args.substr(0, space);
    for (char& ch : word) ch = static_cast<char>(std::tolower(static_cast<unsigned char>(ch)));
    std::string rest = space == std::string::npos ? std::string() : args.substr(space + 1);
    rest.erase(0, rest.find_first_not_of(' '));
    if (word.empty()) return "ok " + describe();
    const auto& s = source();
    if ((word == "pattern" && rest.empty()) || word == "load") {
        // One change of the data at a time: the file being read decides.
        if (s.job) return "error data " + word + ": " + shownName(s.job->path) + " is still loading";
    }
    if (word == "pattern") {
        if (!rest.empty()) return args::extraWord(args::firstWord(rest).first, "data pattern");
        usePattern();
        return "ok";
    }
    if (word == "load") {
        if (rest.empty()) return "error data load needs a file";
        if (later && QCoreApplication::instance()) return startLoad(rest, later);
        const std::string error = loadFile(rest);
        return error.empty() ? "ok " + describe() : "error " + error;
    }
    return args::badValue(word, "data", "load FILE or pattern");
}

// Once, by the services object.
void install() {
    ext::setSampleProvider([](long long tenths, int count, std::uint16_t* words) {
        auto& s = source();
        return s.recording && sample(*s.recording, tenths, count, words, &s.cursor);
    });
    // Once the panel is up: the first event pass after the start.
    ext::onStart([] { QTimer::singleShot(0, source().context.get(), listenToRing); });
    // Loaded data lasts one run of the simulator; a load under way ends with it.
    ext::onStop([] {
        source().stopLoad();
        usePattern();
    });
}

}  // namespace cvi::recording
