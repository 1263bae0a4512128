// The fuzz target's own run-time: every function of cvi.h, without Qt, sockets
// or a real clock, driven by one input at a time; and the oracle that checks
// what the modules do against what the scripted client and operator did.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace fuzz {

// Runs the whole program once over one input. Aborts on a violated invariant.
void run_input(const std::uint8_t* data, std::size_t size);

// Prints what went wrong and aborts.
[[noreturn]] void fail(const char* format, ...) __attribute__((format(printf, 1, 2)));

// ---- Oracle, called by the run-time ----
void oracle_reset();
// At points where no get_command call is in progress: the ring matches every
// byte that entered it, and what the reader consumed ends on line boundaries.
void oracle_observe();
// Around one data-ready callback: the ring write index and the reply flag before
// it, and the bytes the callback read (ok false: the read failed or none was made).
void oracle_after_data(std::uint8_t write_before, bool awaiting_before, const std::string& read, bool ok);
// Every write the modules attempt; delivered: it reached a client.
void oracle_write(const unsigned char* data, std::size_t length, bool delivered);
// A connect event was accepted by the modules.
void oracle_client_accepted();
// The next write must be exactly this text (the operator's transmit string).
void oracle_expect_operator_text(const std::string& text);
void oracle_end_of_run();

}  // namespace fuzz
