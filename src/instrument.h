// The simulated instrument's state: one program-wide record shared by the
// modules, and the receive ring that the TCP callback fills.
#pragma once

#include <cstdint>

inline constexpr int kMaxLeds = 18;       // largest LED count of any model
inline constexpr int kRingUnreadMax = 255;  // the receive ring holds this many unread bytes
inline constexpr int kModelWithBattery = 10;  // 2ndGen WorldSID: battery and configuration record
inline constexpr int kBatteryFull = 75;       // value of the BATTERY item "0K"
inline constexpr int kReplyLineSize = 100;
inline constexpr int kTestCommentSize = 84;
// States of the recording memory, as the status query S reports them.
inline constexpr int kRecordErased = 0;  // erased, nothing recorded
inline constexpr int kRecordHeld = 3;    // holds a recording (not erased)

// Fixed 256-byte answer to SENDCONFIG, little-endian, built for 2ndGen WorldSID.
struct ConfigRecord {
    unsigned char bytes[256];
};

// One row of the model table, selected by the value 1..10 of the model ring.
struct ModelProfile {
    const char* model_id;
    const char* firmware_id;
    const char* test_comment;
    int num_leds;
    int num_axes;
    int num_ribs;
    int sample_rate;
    int erase_ticks;
    int window_start_ms;
    int window_end_ms;
    int max_record_ms;
};

// Receive ring: unread bytes run from read_index up to write_index, so it holds
// at most 255. Only the data-ready handler writes it, only get_command reads it.
struct RxRing {
    unsigned char storage[256] = {};
    std::uint8_t read_index = 0;
    std::uint8_t write_index = 0;
    // Set while the rest of a line too long for the ring is being dropped.
    bool dropping_long_line = false;
};

struct InstrumentState {
    int record_state = kRecordHeld;
    std::int16_t led_rib[kMaxLeds] = {1, 2, 3, 4, 5, 6, 1, 2, 3, 4, 5, 6, 1, 2, 3, 4, 5, 6};
    // LEDs 13 to 18 exist on the 18-LED models only; they start on position 1.
    std::int16_t led_position[kMaxLeds] = {0, 0, 0, 0, 0, 0, 2, 2, 2, 2, 2, 2, 1, 1, 1, 1, 1, 1};
    int panel_handle = 0;
    int running = 0;  // the service loop runs while set
    int model_type = 0;
    int num_leds = 12;
    int num_axes = 2;
    int num_ribs = 6;
    int sample_rate = 10000;
    int erase_ticks = 10;
    int erase_count = 0;
    int max_record_ms = 30000;
    int window_start_ms = 0;
    int window_end_ms = 0;
    int trigger_setting = 0;
    int trigger_seen = 0;
    int awaiting_reply = 0;  // the next received block goes into reply_line
    char model_id[40] = "";
    char firmware_id[40] = "";
    char serial_number[12] = "";
    char cal_date[40] = "";
    char cal_location[40] = "";
    char test_comment[kTestCommentSize] = "";
    char reply_line[kReplyLineSize] = "";
    ConfigRecord config_record = {};
    unsigned client_handle = 0;  // 0: no client
    int tcp_status = 0;
    // Service loops active, and commands waiting inside the innermost one.
    int service_depth = 0;
    int waits_in_service = 0;
    // What the innermost loop's waiting command waits for; only shown to scripts
    // (the control channel's state), never read by the instrument itself.
    int wait_kind = 0;
};

enum WaitKind { kWaitNone = 0, kWaitErase = 1, kWaitArm = 2, kWaitComment = 3 };

extern InstrumentState instrument;
extern RxRing rx_ring;
