// Line framing in both directions: checksummed command lines taken out of the
// receive ring, replies framed with their byte sum, and texts sent unchanged.
#pragma once

#include <cstddef>

inline constexpr int kAbsentArgument = -999;

// Takes one complete, checksum-verified line out of the receive ring. Returns 1
// with the name and up to three arguments (-999 where absent), or 0 when there
// is nothing to process (no complete line, or a rejected line already answered).
int get_command(char* name, std::size_t name_size, int* field_count, int* arg1, int* arg2, int* arg3);
template <std::size_t N>
int get_command(char (&name)[N], int* field_count, int* arg1, int* arg2, int* arg3) {
    return get_command(name, N, field_count, arg1, arg2, arg3);
}

// For a new client: discards the unfinished line an earlier client left in the
// ring (a line being dropped included), so that the newcomer's first line
// stands alone. Whole lines stay.
void end_unfinished_line();

// Sends text followed by its decimal byte sum and CR LF; "?2..." goes as "?2\r\n".
void send_command(const char* text);

// Echoes text in the TRANSMIT box and writes it to the client unchanged.
void Transmitter(const char* text);

// Answers one progress request (E or S) while an erase runs.
void status_check();

// Byte sum modulo 256 of text, bytes counted unsigned.
unsigned byte_sum(const char* text, std::size_t length);

// Decimal conversion by the atoi rules over [begin, end), saturating at the int range.
int parse_number(const char* begin, const char* end);
