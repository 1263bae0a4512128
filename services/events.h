// What happens in the simulator, as a stream of events for scripts: the model
// chosen, the client, each request and reply, the recording cycle, downloads,
// faults, data and the close (docs/control.md, "Events"). Read from the
// instrument's state and from the bytes it reads and writes; nothing here
// changes what the instrument does. Also the sync points of `wait` and the
// trigger that a script sets to land a time after arming.
#pragma once

#include <cstddef>
#include <functional>
#include <initializer_list>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

class QLocalSocket;

namespace vantis {
class DownloadWatch;
}

namespace vantis::events {

// One word of an event: its key in the JSON form, its text, and whether JSON
// writes it as a number.
struct Word {
    const char* key;
    std::string value;
    bool number = false;
};

// Installs the observers on the run-time (once, before it starts, after the
// control channel: the listeners hear of the close before the channel stops).
void install();
// The simulator is closing: told once, before the listeners go.
void closing();

// Tells every listener of an event now, and counts it.
void tell(const char* name, std::initializer_list<Word> words = {});
// Events of this name so far in this run.
unsigned long long count(const std::string& name);

// Looks at the instrument's state and tells what changed. Cheap: a few numbers.
void observe();

// ---- The write path (services/services.cpp) ----
struct WriteSeen {
    bool reply = false;      // a reply line (not a download frame or a binary record)
    std::string_view command;  // the command being answered ("" when none was taken yet); valid until the next write
};
// Every write to the client as the instrument makes it, before any fault.
WriteSeen beforeWrite(unsigned handle, const unsigned char* data, std::size_t length);
// The same write once it has been handed on.
void afterWrite();
DownloadWatch& downloads();

// ---- The control channel ----
// The `wait` words of the sync points: a test that holds once the next such
// event has come or, for armed, erasing and downloading, while it holds now.
// Empty for a word that is not one of them.
std::function<bool()> syncPoint(const std::string& word);
// A session that asked for `events` hands its socket over; the listener lives
// as long as the returned handle.
std::shared_ptr<void> openStream(QLocalSocket* socket, bool json);
// The `trigger` verb's words after it: "" (press now), "--after MS", "--cancel".
std::string triggerVerb(const std::string& args);
// The pending trigger's delay in ms, if one is set.
std::optional<long long> triggerAfterMs();
// The data source may have changed (a data verb ran).
void dataMayHaveChanged();
// The faults before and after a fault verb: what was set or cleared.
void faultsChanged(const std::vector<std::string>& before, const std::vector<std::string>& after);

}  // namespace vantis::events
