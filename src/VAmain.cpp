#include "VAmain.h"

#include <climits>
#include <cstdarg>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstring>

#include "ZErov.h"
#include "cvi.h"
#include "instrument.h"
#include "serialcom.h"

int pattern_coordinates(bool after_trigger, std::uint16_t* words) {
    int count = 0;
    for (int l = 1; l <= instrument.num_leds; ++l)
        for (int j = 1; j <= instrument.num_axes; ++j)
            words[count++] = static_cast<std::uint16_t>(after_trigger ? 2010 + 1000 * (l - 1) + 10 * (j - 1)
                                                                      : 1100 + 1000 * (l - 1) + 100 * (j - 1));
    return count;
}

namespace {

constexpr std::size_t kReplySize = 1024;
constexpr unsigned kWriteTimeoutMs = 1000;
constexpr int kMaxRib = 6;
constexpr int kMaxPosition = 3;
constexpr double kEraseTickSeconds = 0.3;
constexpr int kFramesPerMs = 10;
constexpr int kMaxFrameWords = 60;
constexpr double kPaceSecondsPerByte = 0.00009;

using Command = void (*)(const char* name, int a1, int a2, char* reply);

void reply_text(char* reply, const char* format, ...) __attribute__((format(printf, 2, 3)));
void reply_text(char* reply, const char* format, ...) {
    va_list args;
    va_start(args, format);
    std::vsnprintf(reply, kReplySize, format, args);
    va_end(args);
}

// Appends to a reply, never past its buffer.
void append(char* reply, const char* piece) {
    const std::size_t used = std::strlen(reply);
    std::snprintf(reply + used, kReplySize - used, "%s", piece);
}

// Milliseconds from seconds, truncated toward zero and kept within int.
int to_ms(double seconds) {
    const double ms = std::trunc(seconds * 1000.0);
    if (ms >= static_cast<double>(INT_MAX)) return INT_MAX;
    if (ms <= static_cast<double>(INT_MIN)) return INT_MIN;
    return static_cast<int>(ms);
}

// ---- Settings and identity ----

void cmd_triggerset(const char*, int a1, int, char* reply) {
    if (a1 < 0 || a1 > 3) return reply_text(reply, "TRIGGERSET#BAD#");
    instrument.trigger_setting = a1;
    reply_text(reply, "TRIGGERSET#%d#", a1);
}

void cmd_manarmenable(const char*, int a1, int, char* reply) { reply_text(reply, "MANARMENABLE#%d#", a1); }
void cmd_gettrigger(const char*, int, int, char* reply) {
    reply_text(reply, "GETTRIGGER#%d#", instrument.trigger_setting);
}
void cmd_who_are_you(const char*, int, int, char* reply) { reply_text(reply, "WHO_ARE_YOU#%s#", instrument.model_id); }
void cmd_serial_number(const char*, int, int, char* reply) {
    reply_text(reply, "SERIAL_NUMBER#%s#", instrument.serial_number);
}
void cmd_cal_date(const char*, int, int, char* reply) { reply_text(reply, "CAL_DATE#%s#", instrument.cal_date); }
void cmd_cal_loc(const char*, int, int, char* reply) { reply_text(reply, "CAL_LOC#%s#", instrument.cal_location); }
void cmd_firmware(const char*, int, int, char* reply) { reply_text(reply, "FIRMWARE#%s#", instrument.firmware_id); }
void cmd_how_many_leds(const char*, int, int, char* reply) {
    reply_text(reply, "HOW_MANY_LEDS#%d#", instrument.num_leds);
}
void cmd_how_many_axes(const char*, int, int, char* reply) {
    reply_text(reply, "HOW_MANY_AXES#%d#", instrument.num_axes);
}
void cmd_sample_rate(const char*, int, int, char* reply) {
    reply_text(reply, "SAMPLE_RATE#%d#", instrument.sample_rate);
}
void cmd_save(const char*, int, int, char* reply) { reply_text(reply, "SAVE#"); }
void cmd_settime(const char*, int a1, int, char* reply) { reply_text(reply, "SETTIME#%d#", a1); }
void cmd_status(const char*, int, int, char* reply) { reply_text(reply, "S#%d#", instrument.record_state); }

void cmd_current_positions(const char*, int, int, char* reply) {
    const int n = instrument.num_leds;
    reply_text(reply, "CURRENT_POSITIONS#%d#", instrument.num_axes * n);
    char piece[96];
    for (int k = 1; k <= n; ++k) {
        const char* end = k < n ? ", " : "#";
        if (instrument.num_axes == 2)
            std::snprintf(piece, sizeof piece, "%4.2f, %4.2f%s", k + 0.1, k + 0.2, end);
        else
            std::snprintf(piece, sizeof piece, "%4.2f, %4.2f, %4.2f%s", k + 0.1, k + 0.2, k + 0.3, end);
        append(reply, piece);
    }
}

// ---- LED configuration ----

void set_led_entry(const char* word, std::int16_t* table, int a1, int a2, int low, int high, char* reply) {
    const bool led_ok = a1 >= 1 && a1 <= instrument.num_leds;
    const bool value_ok = a2 >= low && a2 <= high;
    if (!led_ok && !value_ok) return reply_text(reply, "%s#BAD#BAD#", word);
    if (!led_ok) return reply_text(reply, "%s#BAD#%d#", word, a2);
    if (!value_ok) return reply_text(reply, "%s#%d#BAD#", word, a1);
    table[a1 - 1] = static_cast<std::int16_t>(a2);
    reply_text(reply, "%s#%d#%d#", word, a1, a2);
}

void cmd_led_rib(const char*, int a1, int a2, char* reply) {
    set_led_entry("LED_RIB", instrument.led_rib, a1, a2, 1, kMaxRib, reply);
}
void cmd_led_posn(const char*, int a1, int a2, char* reply) {
    set_led_entry("LED_POSN", instrument.led_position, a1, a2, 0, kMaxPosition, reply);
}

void show_led_table(const char* word, const std::int16_t* table, char* reply) {
    const int n = instrument.num_leds;
    reply_text(reply, "%s#%d#", word, n);
    char piece[16];
    for (int i = 0; i < n; ++i) {
        std::snprintf(piece, sizeof piece, i < n - 1 ? "%d," : "%d#", table[i]);
        append(reply, piece);
    }
}

void cmd_show_ledrib(const char*, int, int, char* reply) { show_led_table("SHOW_LEDRIB", instrument.led_rib, reply); }
void cmd_show_ledposn(const char*, int, int, char* reply) {
    show_led_table("SHOW_LEDPOSN", instrument.led_position, reply);
}

// ---- Test comment, direction, battery, configuration ----

void cmd_settestcomment(const char*, int, int, char* reply) {
    instrument.awaiting_reply = 1;
    Transmitter("COMMENT?\n");
    enter_wait(kWaitComment);
    while (instrument.awaiting_reply && !QuitRequested()) ProcessSystemEvents();
    leave_wait();
    if (instrument.awaiting_reply) {
        // The program is closing: no comment came, and nothing more is said.
        instrument.awaiting_reply = 0;
        reply[0] = '\0';
        return;
    }
    // A comment longer than the field keeps its first characters.
    const std::size_t kept = strnlen(instrument.reply_line, sizeof instrument.test_comment - 1);
    std::memcpy(instrument.test_comment, instrument.reply_line, kept);
    instrument.test_comment[kept] = '\0';
    reply_text(reply, "SETTESTCOMMENT#OK#");
}

void cmd_gettestcomment(const char*, int, int, char* reply) {
    reply_text(reply, "GETTESTCOMMENT#%s#", instrument.test_comment);
}

void cmd_direction(const char*, int, int, char* reply) {
    const int m = instrument.model_type;
    if (m != 1 && m != 5 && m != 6 && m != 9 && m != 10) return reply_text(reply, "?2");
    char direction[10] = "";
    GetCtrlAttribute(instrument.panel_handle, MAINPNL_DirectionSwitch, ATTR_CTRL_VAL, direction);
    reply_text(reply, "DIRECTION#%s#", direction);
}

void cmd_getbatinfo(const char*, int, int, char* reply) {
    int value = 0;
    GetCtrlAttribute(instrument.panel_handle, MAINPNL_BATTERY, ATTR_CTRL_VAL, &value);
    if (value == kBatteryFull) return reply_text(reply, "GETBATINFO#75#15.25#");
    reply_text(reply, "GETBATINFO#%d#0.0#", value);
}

void cmd_battsetfull(const char*, int, int, char* reply) {
    reply_text(reply, "BATTSETFULL#OK#");
    SetCtrlAttribute(instrument.panel_handle, MAINPNL_BATTERY, ATTR_CTRL_VAL, kBatteryFull);
}

void cmd_sendconfig(const char*, int, int, char* reply) {
    ServerTCPWrite(instrument.client_handle, instrument.config_record.bytes, sizeof instrument.config_record.bytes,
                   kWriteTimeoutMs);
    reply[0] = '\0';
}

// ---- Recording cycle ----

void cmd_erase(const char*, int, int, char* reply) {
    instrument.erase_count = 0;
    double last_tick = Timer();
    enter_wait(kWaitErase);
    while (instrument.erase_count <= instrument.erase_ticks && !QuitRequested()) {
        const double now = Timer();
        if (now - last_tick > kEraseTickSeconds) {
            ++instrument.erase_count;
            last_tick = now;
        }
        // After the last tick nothing more is awaited: the loop ends at once.
        WakeAt(instrument.erase_count <= instrument.erase_ticks ? last_tick + kEraseTickSeconds : now);
        ProcessSystemEvents();
        status_check();
    }
    leave_wait();
    if (instrument.erase_count <= instrument.erase_ticks) {
        reply[0] = '\0';  // cut short by the close: the memory is not erased
        return;
    }
    instrument.record_state = kRecordErased;
    instrument.window_start_ms = 0;
    instrument.window_end_ms = 0;
    reply_text(reply, "ERASE#%d#", 0);
}

void cmd_armtrigger(const char*, int, int, char* reply) {
    SetCtrlAttribute(instrument.panel_handle, MAINPNL_TRIGGERBUTTON, ATTR_VISIBLE, 1);
    instrument.trigger_seen = 0;
    reply_text(reply, "ARMTRIGGER#OK#");
}

void cmd_triggercheck(const char*, int, int, char* reply) {
    reply_text(reply, "TRIGGERCHECK#%d#", instrument.trigger_seen);
}

void cmd_dumpinfo(const char*, int, int, char* reply) {
    reply_text(reply, "DUMPINFO#%d#%d#", instrument.window_start_ms, instrument.window_end_ms);
}

// Why an armed wait ended.
enum class StopReason { None, Disarmed, PostTriggerTimeOver, ArmLimitOver };

struct ArmWait {
    bool triggered = false;
    bool disarmed = false;
    double arm_time = 0;
    double trigger_time = 0;
    double end_time = 0;  // the reading that ended the wait
    StopReason stop_reason = StopReason::None;
};

// Answers one raw block the client sent while armed.
void answer_armed_block(ArmWait& w) {
    const char* block = instrument.reply_line;
    if (std::strstr(block, "S#118")) {
        Transmitter(w.triggered ? "S#2#203\r\n" : "S#1#202\r\n");
    } else if (std::strstr(block, "T#119")) {
        Transmitter("T#119\r\n");
        w.triggered = true;
    } else if (std::strstr(block, "D#103")) {
        Transmitter("D#103\r\n");
        w.disarmed = true;
    } else {
        Transmitter("?2\r\n");
    }
}

// Waits armed until a disarm, the end of the post-trigger time, or the arm
// limit (0: none), both in milliseconds.
void wait_armed(ArmWait& w, double arm_limit_ms, double post_trigger_ms) {
    const int panel = instrument.panel_handle;
    bool trigger_time_taken = false;
    enter_wait(kWaitArm);
    do {
        if (arm_limit_ms > 0) WakeAt(w.arm_time + arm_limit_ms / 1000.0);
        if (trigger_time_taken) WakeAt(w.trigger_time + post_trigger_ms / 1000.0);
        instrument.awaiting_reply = 1;
        ProcessSystemEvents();
        if (!instrument.awaiting_reply) {
            instrument.awaiting_reply = 1;
            answer_armed_block(w);
        }
        if (instrument.trigger_seen) w.triggered = true;
        double now;
        if (w.triggered) {
            SetCtrlAttribute(panel, MAINPNL_TRIGGERBUTTON, ATTR_VISIBLE, 0);
            now = Timer();
            if (!trigger_time_taken) {
                // The trigger's own reading starts the post-trigger time; the one
                // after it is the first to be measured against it, as the
                // instrument's loop does.
                w.trigger_time = now;
                now = Timer();
                trigger_time_taken = true;
            }
            w.stop_reason = (now - w.trigger_time) * 1000.0 > post_trigger_ms ? StopReason::PostTriggerTimeOver
                            : w.disarmed                                      ? StopReason::Disarmed
                                                                              : StopReason::None;
        } else {
            w.stop_reason = w.disarmed ? StopReason::Disarmed : StopReason::None;
            now = Timer();
        }
        if (arm_limit_ms > 0 && (now - w.arm_time) * 1000.0 > arm_limit_ms) w.stop_reason = StopReason::ArmLimitOver;
        w.end_time = now;
    } while (w.stop_reason == StopReason::None && !QuitRequested());
    leave_wait();
    instrument.awaiting_reply = 0;
}

void record_window(const ArmWait& w, int arm_limit_ms, int post_trigger_ms) {
    const int max = instrument.max_record_ms;
    int start = 0, end = 0;
    if (w.disarmed) {
        instrument.window_start_ms = instrument.window_end_ms = 0;
        instrument.record_state = kRecordErased;
        return;
    }
    if (!w.triggered) {
        end = arm_limit_ms;
        start = arm_limit_ms - max;
    } else {
        start = to_ms(w.arm_time - w.trigger_time);
        // Cut short by the arm limit, the recording ends when the wait ended: the
        // memory holds what came in up to then, and never more than the
        // post-trigger time after the trigger.
        end = w.stop_reason == StopReason::PostTriggerTimeOver ? post_trigger_ms : to_ms(w.end_time - w.trigger_time);
        if (end > post_trigger_ms) end = post_trigger_ms;
        if (start < -max) start = end - max;
        if (static_cast<long long>(end) - start > max) start = end - max;
    }
    instrument.window_start_ms = start;
    instrument.window_end_ms = end;
    instrument.record_state = start != end ? kRecordHeld : kRecordErased;
}

void cmd_arm(const char*, int a1, int a2, char* reply) {
    if (instrument.record_state == kRecordHeld) return reply_text(reply, "ARM#ERROR-NOT_ERASED#");
    const bool a_ok = a1 >= 0;
    const bool b_ok = a2 >= 0 && a2 <= instrument.max_record_ms;
    if (!a_ok && !b_ok) return reply_text(reply, "ARM#BAD#BAD#");
    if (!a_ok) return reply_text(reply, "ARM#BAD#%d#", a2);
    if (!b_ok) return reply_text(reply, "ARM#%d#BAD#", a1);
    // The client hears at once that the instrument is armed; nothing follows the wait.
    reply_text(reply, "ARM#%d#%d#", a1, a2);
    send_command(reply);
    reply[0] = '\0';
    ArmWait w;
    w.arm_time = Timer();
    SetCtrlAttribute(instrument.panel_handle, MAINPNL_TRIGGERBUTTON, ATTR_VISIBLE, 1);
    instrument.trigger_seen = 0;
    wait_armed(w, a1, a2);
    if (w.stop_reason == StopReason::None) return;  // the program is closing
    record_window(w, a1, a2);
}

// ---- Data download ----

// Lays out one frame: the coordinate words given, then the extra words of the
// "A" variants, little-endian, and a final byte holding the sum of the others.
int lay_out_frame(const std::uint16_t* coordinates, int coordinate_count, int extra_count, unsigned char* bytes) {
    unsigned sum = 0;
    int n = 0;
    auto put = [&](std::uint16_t word) {
        bytes[n] = static_cast<unsigned char>(word & 0xFF);
        bytes[n + 1] = static_cast<unsigned char>(word >> 8);
        sum += bytes[n] + bytes[n + 1];
        n += 2;
    };
    for (int i = 0; i < coordinate_count; ++i) put(coordinates[i]);
    for (int k = 1; k <= extra_count; ++k) put(static_cast<std::uint16_t>(500 * k));
    bytes[n++] = static_cast<unsigned char>(sum % 256);
    return n;
}

// One frame of the synthetic record.
int build_frame(bool after_trigger, int extra_count, unsigned char* bytes) {
    std::uint16_t words[kMaxFrameWords];
    const int count = pattern_coordinates(after_trigger, words);
    return lay_out_frame(words, count, extra_count, bytes);
}

void cmd_dumpbin(const char* name, int start, int end, char* reply) {
    const int ws = instrument.window_start_ms, we = instrument.window_end_ms;
    const bool end_bad = end < ws || end > we;
    // A start after the end is the start's fault only when the end itself is a
    // time of the window: DUMPBIN#0# blames its missing end, not its start.
    const bool start_bad = start < ws || start > we || (!end_bad && start > end);
    // Refusals carry the word DUMPBIN whichever variant was asked for.
    if ((start_bad && end_bad) || instrument.record_state == kRecordErased) return reply_text(reply, "DUMPBIN#BAD#BAD#");
    if (start_bad) return reply_text(reply, "DUMPBIN#BAD#%d#", end);
    if (end_bad) return reply_text(reply, "DUMPBIN#%d#BAD#", start);

    const char* header = "DUMPBIN";
    bool extra = false;
    if (std::strstr(name, "DUMPBINXA")) header = "DUMPBINXA", extra = true;
    else if (std::strstr(name, "DUMPBINA")) header = "DUMPBINA", extra = true;
    else if (std::strstr(name, "DUMPBINX")) header = "DUMPBINX";

    const int m = instrument.model_type;
    const int extra_count = extra ? ((m == 1 || m == 9 || m == 10) ? 6 : instrument.num_axes) : 0;
    const int word_count = instrument.num_axes * instrument.num_leds + extra_count;
    const long long frame_count = (static_cast<long long>(end) - start) * kFramesPerMs + 1;
    reply_text(reply, "%s#%d#%lld#", header, word_count, frame_count);
    send_command(reply);

    int speed = 0;
    GetCtrlVal(instrument.panel_handle, MAINPNL_DUMPSPEED, &speed);
    const long long trigger_frame = start < 0 ? -static_cast<long long>(kFramesPerMs) * start : 0;

    // Two fixed frames: before the trigger and from it on.
    unsigned char before[2 * kMaxFrameWords + 1];
    unsigned char after[2 * kMaxFrameWords + 1];
    const int length = build_frame(false, extra_count, before);
    build_frame(true, extra_count, after);
    const double pause = length * kPaceSecondsPerByte;
    // A recording loaded by a script takes the pattern's place, sample by sample.
    const int coordinate_count = instrument.num_axes * instrument.num_leds;
    const long long first_tenth = static_cast<long long>(kFramesPerMs) * start;
    unsigned short sample[kMaxFrameWords];
    unsigned char recorded[2 * kMaxFrameWords + 1];
    const bool from_recording = GetRecordedSample(first_tenth, coordinate_count, sample) == 1;
    for (long long i = 0; i < frame_count && !QuitRequested(); ++i) {
        const unsigned char* frame = i < trigger_frame ? before : after;
        if (from_recording) {
            if (i > 0) GetRecordedSample(first_tenth + i, coordinate_count, sample);
            lay_out_frame(sample, coordinate_count, extra_count, recorded);
            frame = recorded;
        }
        if (ServerTCPWrite(instrument.client_handle, frame, static_cast<std::size_t>(length), kWriteTimeoutMs) < 0)
            SetCtrlVal(instrument.panel_handle, MAINPNL_TRANSMIT, "Transmit Error\n");
        if (speed != 0) Delay(pause);
    }
    reply[0] = '\0';
}

void cmd_unknown(const char*, int, int, char* reply) { reply_text(reply, "?2"); }

enum class Match { Contains, Equals, ContainsOnBatteryModel };

struct Entry {
    const char* word;
    Match match;
    Command run;
};

// Tested in this order; the first match selects the command.
const Entry kDispatch[] = {
    {"TRIGGERSET", Match::Contains, cmd_triggerset},
    {"MANARMENABLE", Match::Contains, cmd_manarmenable},
    {"GETTRIGGER", Match::Contains, cmd_gettrigger},
    {"WHO_ARE_YOU", Match::Contains, cmd_who_are_you},
    {"SERIAL_NUMBER", Match::Contains, cmd_serial_number},
    {"CAL_DATE", Match::Contains, cmd_cal_date},
    {"CAL_LOC", Match::Contains, cmd_cal_loc},
    {"FIRMWARE", Match::Contains, cmd_firmware},
    {"HOW_MANY_LEDS", Match::Contains, cmd_how_many_leds},
    {"HOW_MANY_AXES", Match::Contains, cmd_how_many_axes},
    {"SAMPLE_RATE", Match::Contains, cmd_sample_rate},
    {"CURRENT_POSITIONS", Match::Contains, cmd_current_positions},
    {"LED_RIB", Match::Contains, cmd_led_rib},
    {"LED_POSN", Match::Contains, cmd_led_posn},
    {"SAVE", Match::Contains, cmd_save},
    {"SHOW_LEDRIB", Match::Contains, cmd_show_ledrib},
    {"SHOW_LEDPOSN", Match::Contains, cmd_show_ledposn},
    {"ERASE", Match::Contains, cmd_erase},
    {"ARMTRIGGER", Match::Contains, cmd_armtrigger},
    {"ARM", Match::Contains, cmd_arm},
    {"DUMPINFO", Match::Contains, cmd_dumpinfo},
    {"DUMPBIN", Match::Contains, cmd_dumpbin},
    {"SETTESTCOMMENT", Match::Contains, cmd_settestcomment},
    {"GETTESTCOMMENT", Match::Contains, cmd_gettestcomment},
    {"TRIGGERCHECK", Match::Contains, cmd_triggercheck},
    {"DIRECTION", Match::Contains, cmd_direction},
    {"SETTIME", Match::Contains, cmd_settime},
    {"S", Match::Equals, cmd_status},
    {"GETBATINFO", Match::ContainsOnBatteryModel, cmd_getbatinfo},
    {"BATTSETFULL", Match::ContainsOnBatteryModel, cmd_battsetfull},
    {"SENDCONFIG", Match::ContainsOnBatteryModel, cmd_sendconfig},
};

bool matches(const Entry& e, const char* name) {
    switch (e.match) {
        case Match::Equals:
            return std::strcmp(name, e.word) == 0;
        case Match::ContainsOnBatteryModel:
            if (instrument.model_type != kModelWithBattery) return false;
            [[fallthrough]];
        case Match::Contains:
            return std::strstr(name, e.word) != nullptr;
    }
    return false;
}

// The download variant by the same rule as cmd_dumpbin's header.
const char* dumpbin_variant(const char* name) {
    if (std::strstr(name, "DUMPBINXA")) return "DUMPBINXA";
    if (std::strstr(name, "DUMPBINA")) return "DUMPBINA";
    if (std::strstr(name, "DUMPBINX")) return "DUMPBINX";
    return "DUMPBIN";
}

}  // namespace

const char* command_name(const char* name) {
    for (const Entry& e : kDispatch)
        if (matches(e, name)) return e.run == cmd_dumpbin ? dumpbin_variant(name) : e.word;
    return nullptr;
}

void VAmain() {
    char name[128];
    char reply[kReplySize];
    int field_count = 0, a1 = 0, a2 = 0, a3 = 0;
    if (!get_command(name, &field_count, &a1, &a2, &a3)) return;
    reply[0] = '\0';
    Command run = cmd_unknown;
    for (const Entry& e : kDispatch)
        if (matches(e, name)) {
            run = e.run;
            break;
        }
    run(name, a1, a2, reply);
    send_command(reply);
}
