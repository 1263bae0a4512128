#include "services.h"

#include <QCoreApplication>
#include <QEventLoop>
#include <QFile>
#include <QTimer>

#include <atomic>
#include <cstdio>
#include <memory>
#include <mutex>
#include <optional>

#include "capture.h"
#include "closesignals.h"
#include "control.h"
#include "control_server.h"
#include "controlpath.h"
#include "downloadwatch.h"
#include "events.h"
#include "extension.h"
#include "instrument_view.h"
#include "linkfaults.h"
#include "operator.h"
#include "recording.h"
#include "replyfaults.h"
#include "parts.h"

namespace vantis::services {
namespace {

constexpr int kIdleClientMs = 5000;  // a control client silent this long is closed

QString fileName(const std::string& path) { return QFile::decodeName(QByteArray::fromStdString(path)); }

}  // namespace

// The services' own state, from install() to the end of the process.
class Services {
public:
    Services();

    bool configure(const Settings& settings, NamedFolder& folder, std::string* why, const std::function<bool()>& goOn);
    const std::string& name() const { return m_name; }
    bool refused() const { return m_refused; }
    void setSocketForTests(bool set, const std::string& path);
    std::string socketPath() const;
    void setIdleTimeout(int ms) { m_idleMs = ms; }

private:
    void startChannel();
    std::optional<QString> chosenPath();
    void busyPass();
    void watchForEventPass();
    void afterStart(const NamedFolder& folder);

    std::string m_name;
    bool m_refused = false;  // the start was refused after the run-time started
    DownloadWatch m_download;
    cvi::control::ChannelVerbs m_verbs{m_download, m_name};
    std::unique_ptr<cvi::control::ControlServer> m_server;
    std::unique_ptr<QTimer> m_passWatch;  // while a download runs: finds the program's next event pass
    std::atomic<int> m_idleMs{kIdleClientMs};
    // A socket path a test chose for the next start (set from the test's thread).
    mutable std::mutex m_testMutex;
    bool m_testSet = false;
    std::string m_testPath;
};

Services::Services() {
    cvi::ext::onStart([this] {
        cvi::linkfaults::restart();
        vantis::replyfaults::restart();
        startChannel();
    });
    cvi::ext::onStop([this] {
        m_server.reset();
        m_passWatch.reset();
        m_download.onEventPass();
        vantis::replyfaults::restart();
        cvi::linkfaults::endRun();
    });
    // The write path: the download watch and the event stream look first, then
    // the instrument's own faults act on its replies, then the link's faults
    // decide what goes on the wire.
    cvi::ext::setWriteFilter([this](unsigned handle, const unsigned char* data, std::size_t length, unsigned timeoutMs,
                                    int* result) {
        m_download.onWrite(handle, data, length);
        const auto linkThenSystem = [](unsigned h, const unsigned char* d, std::size_t n, unsigned t) {
            const auto waiting = cvi::linkfaults::pending();
            int r = 0;
            if (!cvi::linkfaults::intercept(h, d, n, t, &r)) r = cvi::ext::writeThrough(h, d, n, t);
            if (!waiting.empty() && cvi::linkfaults::pending().size() < waiting.size())
                vantis::events::tell("fault-fired", {{"what", cvi::linkfaults::name(waiting.front())}});
            return r;
        };
        const vantis::events::WriteSeen seen = vantis::events::beforeWrite(handle, data, length);
        if (!seen.reply ||
            !vantis::replyfaults::intercept(handle, data, length, timeoutMs, seen.command, linkThenSystem, result))
            *result = linkThenSystem(handle, data, length, timeoutMs);
        vantis::events::afterWrite();
        return true;
    });
    vantis::replyfaults::onFired([](const std::string& what, bool spent) {
        vantis::events::tell("fault-fired", {{"what", what}});
        if (spent) vantis::events::tell("fault-cleared", {{"what", what}});
    });
    vantis::events::install();
    cvi::linkfaults::install();
    m_download.started = [this](const DownloadWatch::Download&) { watchForEventPass(); };
    m_download.finished = [this](const DownloadWatch::Download&) {
        if (m_passWatch) m_passWatch->stop();
    };
    cvi::ext::onBusy([this] { busyPass(); });
    cvi::recording::install();
    vantis::capture::install();
    cvi::ext::setInputWaiting([](unsigned handle) {
        const auto& v = cvi::instrument::view();
        return v.client && v.client() == handle && v.requestWaiting && v.requestWaiting();
    });
}

// Between the frames of a download: the control channel's requests are read
// and answered, its timers run, and nothing of the program's: the run-time
// holds its deliveries, and the operator's input waits in the queue.
void Services::busyPass() {
    // Posted events explicitly: nested in the delivery of one (the service loop
    // runs inside a callback), the dispatcher would not deliver them.
    QCoreApplication::sendPostedEvents();
    QCoreApplication::processEvents(QEventLoop::ExcludeUserInputEvents);
}

// A download has begun: the first event pass of the program's own ends it.
void Services::watchForEventPass() {
    if (!QCoreApplication::instance()) return;
    if (!m_passWatch) {
        m_passWatch = std::make_unique<QTimer>();
        m_passWatch->setInterval(0);
        QObject::connect(m_passWatch.get(), &QTimer::timeout, [this] {
            if (cvi::ext::busy()) return;
            m_passWatch->stop();
            m_download.onEventPass();
        });
    }
    m_passWatch->start();
}

void Services::startChannel() {
    if (m_server) return;
    const std::optional<QString> path = chosenPath();
    if (!path) return;
    auto candidate = std::make_unique<cvi::control::ControlServer>(*path, m_verbs, m_idleMs.load());
    if (candidate->open()) m_server = std::move(candidate);
}

// The test's path, else VANTIS_CONTROL_SOCKET, else the default in a folder
// that must be the user's alone; none when the channel is to stay off.
std::optional<QString> Services::chosenPath() {
    {
        std::lock_guard lock(m_testMutex);
        if (m_testSet) {
            if (m_testPath.empty()) return std::nullopt;  // a test that wants no channel
            return fileName(m_testPath);
        }
    }
    const std::string path = vantis::controlSocketPath(m_name);
    const bool inOwnFolder = !m_name.empty() || path == vantis::controlDirectory() + "/control";
    if (inOwnFolder && !cvi::control::ownFolder(fileName(vantis::controlDirectory()))) return std::nullopt;
    if (!m_name.empty() && !cvi::control::ownFolder(fileName(vantis::controlDirectory() + "/" + m_name)))
        return std::nullopt;
    return fileName(path);
}

void Services::setSocketForTests(bool set, const std::string& path) {
    std::lock_guard lock(m_testMutex);
    m_testSet = set;
    m_testPath = path;
}

std::string Services::socketPath() const {
    return m_server ? QFile::encodeName(m_server->path()).toStdString() : std::string();
}

// Once the run-time and the channel have started: a named instance without its
// channel would leave scripts driving another one, so it ends; a second close
// signal then removes the channel's files.
void Services::afterStart(const NamedFolder& folder) {
    const std::string socket = socketPath();
    if (!m_name.empty() && socket.empty()) {
        std::fprintf(stderr, "vantis-sim: the instance %s cannot run without its control channel\n", m_name.c_str());
        std::fflush(stderr);
        m_refused = true;
        QuitUserInterface(0);
        return;
    }
    removeOnAbruptEnd({socket, socket.empty() ? std::string() : socket + ".lock", folder.path()});
    handCloseSignalsOver();
}

bool Services::configure(const Settings& settings, NamedFolder& folder, std::string* why,
                         const std::function<bool()>& goOn) {
    std::string reason;
    const auto refuse = [&](const std::string& text) {
        if (why) *why = text;
        return false;
    };
    if (!settings.listenAddress.empty() && !cvi::ext::setListenAddress(settings.listenAddress, settings.listenPort))
        return refuse("cannot listen on \"" + settings.listenAddress + "\"");
    // The channel's socket must be one the system can bind, and a name one no
    // live simulator holds: checked before anything slow.
    const std::string socket = vantis::controlSocketPath(settings.name);
    if (socket.size() > vantis::kMaxSocketPathBytes)
        return refuse("the control socket path " + cvi::recording::shownName(socket) + " is " +
                      std::to_string(socket.size()) + " bytes long; the system allows at most " +
                      std::to_string(vantis::kMaxSocketPathBytes) + ": choose a shorter --name or XDG_RUNTIME_DIR");
    if (!settings.name.empty()) {
        if (!folder.claim(settings.name, &reason)) return refuse(reason);
        removeOnAbruptEnd({folder.path()});
    }
    if (!settings.dataFile.empty()) {
        const int model = settings.model > 0 ? settings.model : 0;
        const auto going = [&goOn](std::size_t) { return !goOn || goOn(); };
        if (std::string error = cvi::recording::loadFile(settings.dataFile, model, going); !error.empty())
            return refuse(error);
    }
    if (!settings.captureFile.empty() && !vantis::capture::startFile(settings.captureFile, why)) return false;
    m_name = settings.name;
    if (!settings.name.empty()) cvi::ext::setPanelTitleSuffix(" - " + settings.name);
    if (settings.closeOnSignals) cvi::ext::closeOnSignals();
    cvi::ext::onStart([this, &folder] { afterStart(folder); });
    // Before the channel's files go (hooks stop in reverse order): from then on
    // the path may be another simulator's.
    cvi::ext::onStop([&folder] { removeOnAbruptEnd({folder.path()}); });
    if (settings.model >= 0) {
        const int model = settings.model;
        // As an operator would, once the panel is up: the first event pass of the
        // user-interface loop. (A start that fails never shows the ring.)
        cvi::ext::onStart([model] {
            QTimer::singleShot(0, [model] {
                const auto& v = cvi::instrument::view();
                cvi::op::ChooseRingItem(v.panel(), v.modelRing, model);
            });
        });
    }
    return true;
}

namespace {

std::shared_ptr<Services>& services() { return parts().services; }

Services& built() {
    install();
    return *services();
}

}  // namespace

void install() {
    if (!services()) services() = std::make_shared<Services>();
}

bool configure(const Settings& settings, NamedFolder& folder, std::string* why, const std::function<bool()>& goOn) {
    return built().configure(settings, folder, why, goOn);
}

bool startRefused() { return built().refused(); }

const std::string& instanceName() { return built().name(); }

void setControlSocketForTests(bool set, const std::string& path) { built().setSocketForTests(set, path); }

std::string controlSocketPath() { return built().socketPath(); }

void setControlIdleTimeout(int ms) { built().setIdleTimeout(ms); }

}  // namespace vantis::services
