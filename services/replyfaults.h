// Faults of the instrument itself rather than of the link: a reply with a bad
// sum, an error, garbage, nothing, a stray copy of the last reply, no reply at
// all, or a reply that comes late while the ones after it do not. Each is
// counted and may be aimed at the replies to one command. They act on the
// instrument's writes before the link faults, so a slow link still slows them.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

namespace vantis::replyfaults {

// The rest of the write path after these faults (the link faults, then the
// system): returns what the write returns to the program.
using Send = std::function<int(unsigned handle, const unsigned char* data, std::size_t length, unsigned timeoutMs)>;

// A reply line on its way to the client, answering `command` ("" when none).
// True when a fault took it, with *result what the write returns to the program.
bool intercept(unsigned handle, const unsigned char* data, std::size_t length, unsigned timeoutMs,
               std::string_view command, const Send& next, int* result);

// `fault reply KIND [--count N] [--command NAME]` and `fault delay MS [...]`:
// the words after `fault`, lowered; the reply line.
std::string verb(const std::vector<std::string>& words);
// "reply error 2 ARM", "delay 500 1": kind, numbers, the command aimed at.
std::vector<std::string> active();
// Clears them all, or the kind named ("reply", "delay"); false for another word.
bool clearFaults(const std::string& what = {});
// A run starts or ends: nothing set, nothing held.
void restart();
// Drives `garbage`; the same seed gives the same bytes.
void setSeed(std::uint64_t seed);
// Told of each fault as it acts ("reply error", "delay 500"), and whether that
// was its last reply (it is then gone from the list).
void onFired(std::function<void(const std::string& what, bool spent)> fn);

}  // namespace vantis::replyfaults
