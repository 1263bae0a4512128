// Faults on the link to the client, provoked by scripts through the control
// channel: the client dropped as by a pulled cable, a write that never leaves,
// a write with one byte changed. They sit on the run-time's write filter, so
// that the program sees them exactly as it would see real ones.
#pragma once

#include <cstddef>
#include <string>
#include <vector>

namespace cvi::linkfaults {

enum class Fault { DropNext, CorruptNext };

// Faults for the next writes to the client, applied one per write in the order
// they were asked for. False when too many are already waiting.
bool arm(Fault fault);
// Clears every fault, one-shot and timed; what waits in the queue still leaves.
void clear();
// The same without a word on the panel, dropping what waits: a run starts or ends.
void restart();
std::vector<Fault> pending();
const char* name(Fault fault);

// Faults of a slow or broken link, kept until cleared, acting on the writes to
// the client as they leave a queue of the services' own: delayed, held to a
// rate, cut into slices, or held back entirely (and nothing read) by a stall;
// or the connection ended after so many more bytes. A write under them returns
// at once; it waits, up to its time-out, only when that queue is full. Bytes
// keep their order, and cleared faults let what waits leave at once.
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
// Bytes waiting in the services' queue.
std::size_t queued();
// What is active, one word per fault with its numbers ("latency 200 20").
std::vector<std::string> active();
// Resets the client's connection (RST). False when no client is connected.
bool reset();

// The `fault` verb of the control channel, its argument lowered or not; the reply line.
std::string verb(const std::string& args);

// Ends the conversation with the client the program serves, as a pulled cable
// would: the client sees the connection end, the program gets its disconnect
// event the usual way. False when no client is connected.
bool disconnect();

// The write filter: true when a fault took the write, with *result what the
// write returns to the program.
bool intercept(unsigned handle, const unsigned char* data, std::size_t length, unsigned timeoutMs, int* result);

// Byte index a corruption changes and its new value, for a write of these bytes:
// in a checksummed line the last byte before the final '#' (so the sum no
// longer holds while the line keeps its shape), else the first byte.
std::size_t corruptionIndex(const unsigned char* bytes, std::size_t length);
unsigned char corrupted(unsigned char byte);

}  // namespace cvi::linkfaults
