#include "services.h"

#include <QCoreApplication>
#include <QEventLoop>
#include <QFile>
#include <QTimer>

#include <atomic>
#include <memory>
#include <mutex>
#include <optional>

#include "control.h"
#include "control_server.h"
#include "controlpath.h"
#include "downloadwatch.h"
#include "extension.h"
#include "instrument_view.h"
#include "linkfaults.h"
#include "operator.h"
#include "recording.h"

namespace vantis::services {
namespace {

constexpr int kIdleClientMs = 5000;  // a control client silent this long is closed

QString fileName(const std::string& path) { return QFile::decodeName(QByteArray::fromStdString(path)); }

// The services' own state, from install() to the end of the process.
class Services {
public:
    Services();

    bool configure(const Settings& settings, std::string* why);
    const std::string& name() const { return m_name; }
    void setSocketForTests(bool set, const std::string& path);
    std::string socketPath() const;
    void setIdleTimeout(int ms) { m_idleMs = ms; }

private:
    void startChannel();
    std::optional<QString> chosenPath();
    void busyPass();
    void watchForEventPass();

    std::string m_name;
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
        startChannel();
    });
    cvi::ext::onStop([this] {
        m_server.reset();
        m_passWatch.reset();
        m_download.onEventPass();
        cvi::linkfaults::restart();
    });
    // The download watch sees what the program writes; the link faults then
    // decide what goes on the wire.
    cvi::ext::setWriteFilter([this](unsigned handle, const unsigned char* data, std::size_t length, unsigned timeoutMs,
                                    int* result) {
        m_download.onWrite(handle, data, length);
        return cvi::linkfaults::intercept(handle, data, length, timeoutMs, result);
    });
    m_download.started = [this](const DownloadWatch::Download&) { watchForEventPass(); };
    m_download.finished = [this](const DownloadWatch::Download&) {
        if (m_passWatch) m_passWatch->stop();
    };
    cvi::ext::onBusy([this] { busyPass(); });
    cvi::recording::install();
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

bool Services::configure(const Settings& settings, std::string* why) {
    if (!settings.listenAddress.empty() && !cvi::ext::setListenAddress(settings.listenAddress, settings.listenPort)) {
        if (why) *why = "cannot listen on \"" + settings.listenAddress + "\"";
        return false;
    }
    if (!settings.dataFile.empty()) {
        if (const std::string error = cvi::recording::load(settings.dataFile); !error.empty()) {
            if (why) *why = error;
            return false;
        }
    }
    m_name = settings.name;
    if (!settings.name.empty()) cvi::ext::setPanelTitleSuffix(" - " + settings.name);
    if (settings.closeOnSignals) cvi::ext::closeOnSignals();
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

// The one services object of the process.
std::unique_ptr<Services>& services() {
    static std::unique_ptr<Services> s;
    return s;
}

Services& built() {
    install();
    return *services();
}

}  // namespace

void install() {
    if (!services()) services() = std::make_unique<Services>();
}

bool configure(const Settings& settings, std::string* why) { return built().configure(settings, why); }

const std::string& instanceName() { return built().name(); }

void setControlSocketForTests(bool set, const std::string& path) { built().setSocketForTests(set, path); }

std::string controlSocketPath() { return built().socketPath(); }

void setControlIdleTimeout(int ms) { built().setIdleTimeout(ms); }

}  // namespace vantis::services
