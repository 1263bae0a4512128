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
void clear();
std::vector<Fault> pending();
const char* name(Fault fault);

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
