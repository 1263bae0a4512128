// The few calls the run-time makes to the operating system itself, one function
// each, all in one file per system (os_linux.cpp). Everything else goes through
// Qt or the standard library; docs/architecture.md lists what a port would use.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <string>

namespace cvi::os {

// Sleeps until the steady clock reaches the deadline (an absolute time, so that
// a sequence of short waits does not drift).
void sleepUntil(std::chrono::steady_clock::time_point deadline);
// Asks for timers as fine as the system gives (the paced download waits a few ms).
void requestFineTimers();

// Why the desktop's display cannot be opened, or empty when it can (or when the
// chosen platform is one this cannot judge, such as offscreen).
std::string displayProblem();

// Holds back (on) or releases (off) a socket's partial segments.
void setCork(std::intptr_t socket, bool on);
// Bytes the system holds for the socket that have not been sent yet.
long unsentBytes(std::intptr_t socket);
// Bytes handed to the system that the peer has not acknowledged yet.
long unackedBytes(std::intptr_t socket);
// Hands bytes to the system without waiting: the count taken (maybe 0), or -1
// with *error set on a failure other than a full buffer.
long sendNow(std::intptr_t socket, const void* data, std::size_t length, std::string* error);
// Waits up to timeoutMs for room in the socket's send buffer; true when there is
// room (or the socket has failed, which the next send reports).
bool waitWritable(std::intptr_t socket, int timeoutMs);
// The largest send buffer the system gives a TCP socket (net.ipv4.tcp_wmem's
// maximum), or fallback when it cannot be read.
long largestSendBuffer(long fallback);
// Ends both directions of the connection under the socket, leaving it open.
void shutdownBoth(std::intptr_t socket);
// Makes the socket's close send a reset (RST) at once instead of a FIN.
void setLingerZero(std::intptr_t socket);
// Turns SIGTERM, SIGINT and SIGHUP into a byte on a socket pair (the handler
// writes it and does nothing else) and returns the end to read, non-blocking;
// -1 when that cannot be set up. A second signal of a kind already caught ends
// the process as the signal's default would.
int catchCloseSignals();
// True when a signal has come since the last call; drains what waits on fd.
bool takeCloseSignals(int fd);
// The host name of an IPv4 address (host order), or empty when it has none.
std::string hostNameOf(std::uint32_t ipv4);

}  // namespace cvi::os
