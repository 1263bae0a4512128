// Faults on the link to the client, provoked by scripts through the control
// channel. The one-shot faults (a write that never leaves, a write with one
// byte changed) sit on the run-time's write filter; the faults of a slow or
// broken link (latency, a rate, slices, a stall, an end after so many bytes, a
// reset) are a pacer on the conversation's one queue: they decide when its
// bytes leave and how many, and keep none of their own. Every fault can wait
// for a position in the stream: after so many more bytes, or at a frame of the
// next download.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace cvi::linkfaults {

enum class Fault { DropNext, CorruptNext };

// Puts the faults on the run-time's write filter, its pacer and its event
// passes; once, before the run-time starts.
void install();

// Faults for the next writes to the client, applied one per write in the order
// they were asked for. False when too many are already waiting.
bool arm(Fault fault);
// Clears every fault, one-shot, timed and waiting; what the queue holds leaves
// at once.
void clearFaults();
// The state of a new run: no faults, the default seed, nothing on the panel.
void restart();
// Ends the run's state (the run-time is ending).
void endRun();
std::vector<Fault> pending();
const char* name(Fault fault);

// Faults of a slow or broken link, kept until cleared.
struct Timed {
    int latencyMs = -1;  // -1: off
    int jitterMs = 0;
    long long bytesPerSecond = 0;  // 0: off
    int sliceBytes = 0;            // 0: off
    int sliceGapMs = 0;
    bool stall = false;
    long long closeAfter = -1;  // bytes still to leave before the end; -1: off
};
Timed timed();
// What is active or armed, one entry per fault with its numbers
// ("latency 200 20", "reset --at-frame 5").
std::vector<std::string> active();
// Resets the client's connection (RST). False when no client is connected.
bool resetLink();

// The `fault` verb of the control channel, its argument lowered or not; the reply line.
std::string verb(const std::string& args);

// Ends the conversation with the client the program serves, as a pulled cable
// would. False when no client is connected.
bool pullCable();

// The write filter: true when a fault took the write, with *result what the
// write returns to the program.
bool intercept(unsigned handle, const unsigned char* data, std::size_t length, unsigned timeoutMs, int* result);

// Byte index a corruption changes and its new value, for a write of these bytes:
// in a checksummed line the last byte before the final '#' (so the sum no
// longer holds while the line keeps its shape), else the first byte.
std::size_t corruptionIndex(const unsigned char* bytes, std::size_t length);
unsigned char corrupted(unsigned char byte);

}  // namespace cvi::linkfaults
