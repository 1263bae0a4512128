#include "options.h"

#include <QCommandLineParser>
#include <QHostAddress>
#include <QNetworkInterface>
#include <QStringList>

#include <cstdio>

#include "ZErov_models.h"
#include "controlpath.h"

namespace vantis::app {
namespace {

const char* const kUsage = "Usage: vantis-sim [--listen ADDRESS[:PORT]] [--name NAME] [--model N|NAME] [--data FILE] [--capture FILE] [--headless]";

const char* const kHelp =
    "Usage: vantis-sim [OPTION]...\n"
    "Simulate a Vantis rib-deflection instrument: one TCP client on port 3000,\n"
    "the operator panel, and a control channel for vantis-ctl.\n"
    "\n"
    "  --listen ADDRESS[:PORT]  listen on this IPv4 or IPv6 address (an IPv6 one\n"
    "                           with a port in brackets: [::1]:3000); default all\n"
    "                           IPv4 interfaces, port 3000\n"
    "  --name NAME              name this instance: its control socket gets a folder\n"
    "                           of its own (vantis-ctl --name NAME finds it) and the\n"
    "                           window title ends in the name\n"
    "  --model N|NAME           choose a model at start-up, as the operator would:\n"
    "                           0 to 10, none, a short name or the model ring's\n"
    "                           text (\"Polar\"), in any case (see Models below)\n"
    "  --data FILE              download this recording (CSV) in place of the\n"
    "                           built-in pattern (control.md, \"Recorded data\")\n"
    "  --capture FILE           write every conversation with a client, both\n"
    "                           directions, to FILE as a pcap capture (docs/capture.md)\n"
    "  --headless               run without a display (the offscreen platform); a\n"
    "                           popup then goes to stderr as one line\n"
    "  -h, --help               show this help and exit\n"
    "  --version                show the version and exit\n"
    "\n"
    "With no options the simulator listens on all IPv4 interfaces, port 3000, and\n"
    "waits for the operator to choose a model. SIGTERM, SIGINT and SIGHUP close it\n"
    "as the window's close button does, from the first moment.\n"
    "\n"
    "Models (value, short name, the model ring's text):\n"
    "%MODELS%"
    "\n"
    "Exit status: 0 after a normal close; 2 for a bad command line, a name another\n"
    "simulator holds, a control socket path too long, or a --data file that cannot\n"
    "serve; 255 when the run-time or the panel cannot start, or, headless, when the\n"
    "server cannot listen.\n"
    "\n"
    "Documents: /usr/share/doc/vantis-sim/ (README.md, protocol.md, control.md,\n"
    "examples/), or under /usr/local/share after cmake --install; man vantis-sim.\n";

// What the command line gave, fit for one line of the error output: printable
// ASCII kept, every other byte as \xNN, and not too long.
std::string printable(const std::string& text) {
    constexpr std::size_t kMax = 200;
    static const char digits[] = "0123456789abcdef";
    std::string out;
    for (unsigned char c : text) {
        if (c >= 0x20 && c < 0x7f) {
            out += static_cast<char>(c);
        } else {
            out += "\\x";
            out += digits[c >> 4];
            out += digits[c & 15];
        }
    }
    if (out.size() > kMax) out = out.substr(0, kMax - 3) + "...";
    return out;
}

int usageError(const std::string& why) {
    std::fprintf(stderr, "vantis-sim: %s\n%s\nTry 'vantis-sim --help' for more information.\n", printable(why).c_str(),
                 kUsage);
    return kUsageStatus;
}

// The bytes of an argument exactly as given: file names need not be UTF-8.
QString argument(const char* bytes) { return QString::fromLatin1(bytes); }
std::string bytesOf(const QString& value) { return value.toLatin1().toStdString(); }

bool parsePort(const std::string& text, int& port) {
    if (text.empty() || text.size() > 5 || text.find_first_not_of("0123456789") != std::string::npos) return false;
    port = std::stoi(text);
    return port >= 1 && port <= 65535;
}

}  // namespace

bool parseListen(const std::string& text, std::string& address, int& port, std::string* why) {
    port = -1;
    std::string host = text;
    if (!text.empty() && text.front() == '[') {
        const auto close = text.find(']');
        if (close == std::string::npos) return false;
        host = text.substr(1, close - 1);
        const std::string rest = text.substr(close + 1);
        if (!rest.empty() && (rest.front() != ':' || !parsePort(rest.substr(1), port))) return false;
        if (host.find(':') == std::string::npos) return false;  // brackets hold an IPv6 address
    } else if (const auto colon = text.find(':'); colon != std::string::npos && text.find(':', colon + 1) == std::string::npos) {
        host = text.substr(0, colon);
        if (!parsePort(text.substr(colon + 1), port)) return false;
    }
    QHostAddress a;
    if (host.empty() || !a.setAddress(QString::fromStdString(host))) return false;
    // Four decimal parts only: the resolver's shorthands ("1.2.3") would surprise.
    if (a.protocol() == QAbstractSocket::IPv4Protocol && a.toString().toStdString() != host) return false;
    // Sockets cannot listen on these: say so now rather than fail at the start.
    bool mapped = false;
    if (a.protocol() == QAbstractSocket::IPv6Protocol) a.toIPv4Address(&mapped);
    if (mapped) {
        const QString v4 = QHostAddress(a.toIPv4Address()).toString();
        if (why) *why = "an IPv4 address in IPv6 form; give the IPv4 address itself (" + v4.toStdString() + ")";
        return false;
    }
    if (const QString scope = a.scopeId(); !scope.isEmpty()) {
        bool numeric = false;
        const int index = scope.toInt(&numeric);
        const QNetworkInterface nic =
            numeric ? QNetworkInterface::interfaceFromIndex(index) : QNetworkInterface::interfaceFromName(scope);
        if (!nic.isValid()) {
            if (why) *why = "no network interface '" + scope.toStdString() + "' on this machine";
            return false;
        }
    }
    address = host;
    return true;
}

int parseModel(const std::string& text) { return vantis::models::find(text); }

// The help text with the table of models in its place.
std::string helpText() {
    std::string text = kHelp;
    const std::string mark = "%MODELS%";
    text.replace(text.find(mark), mark.size(), vantis::models::listing("  "));
    return text;
}

bool validName(const std::string& text) {
    if (text.empty() || text.size() > 64 || text.front() == '.' || text.front() == '-') return false;
    for (char c : text) {
        const bool ok = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '.' ||
                        c == '_' || c == '-';
        if (!ok) return false;
    }
    return true;
}

int parseCommandLine(int argc, char* argv[], services::Settings& settings, bool& headless) {
    QStringList args;
    for (int i = 0; i < argc; ++i) args << argument(argv[i]);
    if (args.isEmpty()) args << QStringLiteral("vantis-sim");
    // Parsed before any application object exists, so that --help and a bad
    // option need no display.
    QCommandLineParser parser;
    parser.setSingleDashWordOptionMode(QCommandLineParser::ParseAsLongOptions);
    const QCommandLineOption listen(QStringLiteral("listen"), {}, QStringLiteral("ADDRESS[:PORT]"));
    const QCommandLineOption name(QStringLiteral("name"), {}, QStringLiteral("NAME"));
    const QCommandLineOption model(QStringLiteral("model"), {}, QStringLiteral("N|NAME"));
    const QCommandLineOption data(QStringLiteral("data"), {}, QStringLiteral("FILE"));
    const QCommandLineOption capture(QStringLiteral("capture"), {}, QStringLiteral("FILE"));
    const QCommandLineOption headlessOption(QStringLiteral("headless"));
    const QCommandLineOption help(QStringList{QStringLiteral("h"), QStringLiteral("help")});
    const QCommandLineOption version(QStringLiteral("version"));
    parser.addOptions({listen, name, model, data, capture, headlessOption, help, version});
    if (!parser.parse(args)) return usageError(bytesOf(parser.errorText()));
    if (parser.isSet(help)) {
        std::fputs(helpText().c_str(), stdout);
        return 0;
    }
    if (parser.isSet(version)) {
        std::printf("vantis-sim %s\n", VANTIS_VERSION);
        return 0;
    }
    if (!parser.positionalArguments().isEmpty())
        return usageError("unexpected argument '" + bytesOf(parser.positionalArguments().first()) + "'");
    for (const auto* once : {&listen, &name, &model, &data, &capture})
        if (parser.values(*once).size() > 1)
            return usageError("--" + once->names().first().toStdString() + " given more than once");
    if (parser.isSet(listen)) {
        const std::string text = bytesOf(parser.value(listen));
        std::string why = "expected ADDRESS[:PORT] with an IPv4 or IPv6 address";
        if (!parseListen(text, settings.listenAddress, settings.listenPort, &why))
            return usageError("bad value '" + text + "' for --listen: " + why);
    }
    if (parser.isSet(name)) {
        settings.name = bytesOf(parser.value(name));
        if (!validName(settings.name))
            return usageError("bad value '" + settings.name +
                              "' for --name: expected 1 to 64 letters, digits, '.', '_' or '-', not starting with '.' or '-'");
        if (vantis::reservedName(settings.name))
            return usageError("bad value '" + settings.name +
                              "' for --name: control and names starting with control. are the unnamed instance's files");
    }
    if (parser.isSet(model)) {
        const std::string text = bytesOf(parser.value(model));
        settings.model = parseModel(text);
        if (settings.model < 0)
            return usageError("bad value '" + text + "' for --model: expected 0 to 10, none, a short name or a model's name");
    }
    if (parser.isSet(data)) {
        settings.dataFile = bytesOf(parser.value(data));
        if (settings.dataFile.empty()) return usageError("--data needs a file");
    }
    if (parser.isSet(capture)) {
        settings.captureFile = bytesOf(parser.value(capture));
        if (settings.captureFile.empty()) return usageError("--capture needs a file");
    }
    headless = parser.isSet(headlessOption);
    settings.closeOnSignals = true;
    return -1;
}

}  // namespace vantis::app
