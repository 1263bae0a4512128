// The control channel's verbs, each in one place: its name, the words it takes
// and one line of help. The simulator dispatches on this list (and names it in
// its "unknown verb" error) and vantis-ctl makes its usage text from it, so the
// two never drift apart (docs/control.md).
//
// Adding a verb: one X(...) line here, in the order the lists should show it,
// and in services/control.cpp a handler function named by its first field,
//     std::string handler(Request& r);
// The first field is the handler's name; the second is the verb as sent.
#pragma once

#include <string>
#include <string_view>

// X(handler, "verb", "arguments", "help")
#define VANTIS_CONTROL_VERBS(X)                                                                              \
    X(verbModel, "model", "N|NAME", "choose in the model ring (0..10, none, a short name or the item's text)") \
    X(verbTrigger, "trigger", "[--after MS|--cancel]", "press TRIGGER, now or MS after the next arming")     \
    X(verbSpeed, "speed", "fast|normal", "set the download-speed switch")                                     \
    X(verbDirection, "direction", "left|right", "set the direction switch")                                   \
    X(verbBattery, "battery", "ok|not-found|discharged", "choose in the battery ring (2ndGen WorldSID only)") \
    X(verbClear, "clear", "", "press CLEAR")                                                                  \
    X(verbClose, "close", "", "close the window (the simulator ends)")                                        \
    X(verbState, "state", "", "the panel and the instrument as one JSON object")                              \
    X(verbTraffic, "traffic", "[receive|transmit]", "both text boxes as JSON, or one box's text")             \
    X(verbWait, "wait", "COND", "answer once COND holds: ready, connected, disconnected, idle, armed, erasing, " \
      "erased, triggered, recorded, downloading, downloaded")                                                  \
    X(verbFault, "fault", "WHAT [VALUES]|list|clear [WHAT]",                                                 \
      "a fault on the link to the client: disconnect, drop-next, corrupt-next, latency MS [JITTER_MS], "      \
      "bandwidth BYTES_PER_S, slice BYTES [GAP_MS], stall, reset, close-after BYTES; and of the instrument: "  \
      "reply KIND [--count N] [--command NAME] (bad-checksum, error, garbage, empty, stray, drop), "            \
      "delay MS [--count N] [--command NAME]")                                                                 \
    X(verbData, "data", "[load FILE|pattern|expected START END [--csv]]",                                     \
      "the download's data: show it, load a CSV recording, the pattern, or the words a download would hold") \
    X(verbEvents, "events", "[--json] [--until EVENT] [--count N] [--timeout S]",                             \
      "print each event as it happens (vantis-ctl ends it by --until, --count or --timeout)")                \
    X(verbCapture, "capture", "start FILE|stop", "write every conversation's bytes to a pcap file, or stop")  \
    X(verbTimeScale, "time-scale", "[K]", "run the simulator's clock K times as fast (0.1 to 100)")           \
    X(verbPing, "ping", "", "nothing: checks that the simulator answers")

namespace vantis::verbs {

// The events the `events` stream tells (docs/control.md, "Events"), for the
// words of vantis-ctl events --until.
inline constexpr std::string_view kEventNames[] = {
    "model",      "connected",        "disconnected",  "request",   "reply",       "erase-started",
    "erase-done", "armed",            "triggered",     "recorded",  "download-started", "download-done",
    "fault-set",  "fault-fired",      "fault-cleared", "data",      "closing",     "lost",
};

struct Verb {
    std::string_view name;  // as sent, in lower case (requests match it in any case)
    std::string_view args;  // synopsis of the rest of the line
    std::string_view help;
};

#define VANTIS_VERB_ENTRY(handler, name, args, help) Verb{name, args, help},
inline constexpr Verb kAll[] = {VANTIS_CONTROL_VERBS(VANTIS_VERB_ENTRY)};
#undef VANTIS_VERB_ENTRY

inline const Verb* find(std::string_view name) {
    for (const Verb& v : kAll)
        if (v.name == name) return &v;
    return nullptr;
}

// "model, trigger, ..., ping": the names in the table's order.
inline std::string names() {
    std::string out;
    for (const Verb& v : kAll) {
        if (!out.empty()) out += ", ";
        out += v.name;
    }
    return out;
}

// One line per verb, "  verb args" with its help from column 27 (on a line of
// its own when the synopsis reaches that far).
inline std::string usage() {
    constexpr std::size_t kHelpColumn = 26;
    std::string out;
    for (const Verb& v : kAll) {
        std::string line = "  " + std::string(v.name);
        if (!v.args.empty()) line += " " + std::string(v.args);
        if (line.size() + 2 > kHelpColumn) {
            out += line + "\n";
            line.clear();
        }
        line.resize(kHelpColumn, ' ');
        out += line + std::string(v.help) + "\n";
    }
    return out;
}

}  // namespace vantis::verbs
