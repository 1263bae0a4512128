#include "serialcom.h"

#include <algorithm>
#include <climits>
#include <cstdio>
#include <cstring>

#include "ZErov_uir.h"
#include "cvi.h"
#include "instrument.h"

namespace {

constexpr unsigned kWriteTimeoutMs = 1000;
constexpr std::size_t kFrameSize = 512;
constexpr std::size_t kMaxFields = 3;

bool is_space(char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r'; }

// Zeroes the consumed bytes [from, to) of the ring.
void clear_ring(std::uint8_t from, std::uint8_t to) {
    for (std::uint8_t i = from; i != to; ++i) rx_ring.storage[i] = 0;
}

// Drops the remainder of an over-long line, up to and including its line feed.
// Returns true once the line feed has been passed.
bool drop_rest_of_long_line() {
    RxRing& r = rx_ring;
    std::uint8_t i = r.read_index;
    while (i != r.write_index && r.storage[i] != '\n') ++i;
    const bool found = i != r.write_index;
    const std::uint8_t next = found ? static_cast<std::uint8_t>(i + 1) : i;
    clear_ring(r.read_index, next);
    r.read_index = next;
    if (found) r.dropping_long_line = false;
    return found;
}

// Checks and splits one line (its line feed removed). Returns the result of get_command.
int take_line(char* line, char* name, std::size_t name_size, int* field_count, int* args[kMaxFields]) {
    char* last_hash = std::strrchr(line, '#');
    if (!last_hash) {
        Transmitter("?1 - should be 0\r\n");
        return 0;
    }
    const unsigned sum = byte_sum(line, static_cast<std::size_t>(last_hash - line) + 1);
    const char* sum_text = last_hash + 1;
    if (parse_number(sum_text, sum_text + std::strlen(sum_text)) != static_cast<int>(sum)) {
        char reply[32];
        std::snprintf(reply, sizeof reply, "?1 - should be %u\r\n", sum);
        Transmitter(reply);
        return 0;
    }
    *last_hash = '\0';

    char* field_end = std::strchr(line, '#');
    const std::size_t name_length = field_end ? static_cast<std::size_t>(field_end - line) : std::strlen(line);
    if (name_length >= name_size) {
        // No command name is this long; answer it as the unknown command it is.
        Transmitter("?2\r\n");
        return 0;
    }
    std::memcpy(name, line, name_length);
    name[name_length] = '\0';

    while (field_end && static_cast<std::size_t>(*field_count) < kMaxFields) {
        char* field = field_end + 1;
        field_end = std::strchr(field, '#');
        const char* stop = field_end ? field_end : field + std::strlen(field);
        *args[*field_count] = parse_number(field, stop);
        ++*field_count;
    }
    if (field_end) {
        *field_count = 4;
        Transmitter("?2\r\n");
        return 0;
    }
    return 1;
}

}  // namespace

unsigned byte_sum(const char* text, std::size_t length) {
    unsigned sum = 0;
    for (std::size_t i = 0; i < length; ++i) sum += static_cast<unsigned char>(text[i]);
    return sum % 256;
}

int parse_number(const char* begin, const char* end) {
    const char* p = begin;
    while (p < end && is_space(*p)) ++p;
    bool negative = false;
    if (p < end && (*p == '+' || *p == '-')) negative = *p++ == '-';
    long long value = 0;
    for (; p < end && *p >= '0' && *p <= '9'; ++p) {
        value = value * 10 + (*p - '0');
        if (value > static_cast<long long>(INT_MAX) + 1) value = static_cast<long long>(INT_MAX) + 1;
    }
    if (negative) return static_cast<int>(-value < INT_MIN ? INT_MIN : -value);
    return static_cast<int>(value > INT_MAX ? INT_MAX : value);
}

int get_command(char* name, std::size_t name_size, int* field_count, int* arg1, int* arg2, int* arg3) {
    *field_count = 0;
    *arg1 = *arg2 = *arg3 = kAbsentArgument;
    RxRing& r = rx_ring;
    if (r.dropping_long_line && !drop_rest_of_long_line()) return 0;
    if (r.read_index == r.write_index) return 0;

    char line[256];
    std::size_t k = 0;
    std::uint8_t i = r.read_index;
    while (i != r.write_index && r.storage[i] != '\n') line[k++] = static_cast<char>(r.storage[i++]);
    line[k] = '\0';
    if (i == r.write_index) {
        if (k == kRingUnreadMax) {
            // The ring is full and holds no line end: this line can never fit.
            // Drop it whole, now and up to its line feed, rather than hand out a piece.
            clear_ring(r.read_index, r.write_index);
            r.read_index = r.write_index;
            r.dropping_long_line = true;
        }
        return 0;
    }
    const std::uint8_t old_read = r.read_index;
    r.read_index = static_cast<std::uint8_t>(i + 1);
    int* args[kMaxFields] = {arg1, arg2, arg3};
    const int result = take_line(line, name, name_size, field_count, args);
    clear_ring(old_read, r.read_index);
    return result;
}

void end_unfinished_line() {
    RxRing& r = rx_ring;
    // Whole lines stay for the service; what follows the last line feed was left
    // unfinished by a client that has gone (the rest of it never comes).
    std::uint8_t end = r.read_index;
    for (std::uint8_t i = r.read_index; i != r.write_index; ++i)
        if (r.storage[i] == '\n') end = static_cast<std::uint8_t>(i + 1);
    clear_ring(end, r.write_index);
    r.write_index = end;
    // A line being dropped ends with its sender, unless its line feed is still to be read.
    if (end == r.read_index) r.dropping_long_line = false;
}

void Transmitter(const char* text) {
    SetCtrlVal(instrument.panel_handle, MAINPNL_TRANSMIT, text);
    if (ServerTCPWrite(instrument.client_handle, text, std::strlen(text), kWriteTimeoutMs) < 0)
        SetCtrlVal(instrument.panel_handle, MAINPNL_TRANSMIT, "Transmit Error\n");
}

void send_command(const char* text) {
    if (text[0] == '?' && text[1] == '2') {
        Transmitter("?2\r\n");
        return;
    }
    if (text[0] == '\0') return;
    // The frame keeps room for the sum and CR LF; a longer text is cut, and its
    // sum is that of what is sent.
    constexpr std::size_t kMaxText = kFrameSize - 6;
    const std::size_t length = std::min(std::strlen(text), kMaxText);
    char frame[kFrameSize];
    std::snprintf(frame, sizeof frame, "%.*s%u\r\n", static_cast<int>(length), text, byte_sum(text, length));
    Transmitter(frame);
}

void status_check() {
    char name[20];
    int field_count = 0, a1 = 0, a2 = 0, a3 = 0;
    if (!get_command(name, &field_count, &a1, &a2, &a3)) return;
    if (std::strlen(name) == 1 && name[0] == 'E') {
        char text[64];
        std::snprintf(text, sizeof text, "E#%d#%d#", instrument.erase_count, instrument.erase_ticks);
        send_command(text);
    } else if (std::strlen(name) == 1 && name[0] == 'S') {
        Transmitter("S#2#203\r\n");
    } else {
        Transmitter("?2\r\n");
    }
}
