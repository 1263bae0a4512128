// The instrument view on this panel: the controls behind the channel's verbs,
// and the instrument's state read from InstrumentState (read only).
#include <cstdint>
#include <string>

#include "ZErov.h"
#include "ZErov_models.h"
#include "ZErov_uir.h"
#include "instrument.h"
#include "instrument_view.h"
#include "models.h"

namespace {

const cvi::instrument::NamedControl kReported[] = {
    {"model", MAINPNL_VATYPE},           {"trigger", MAINPNL_TRIGGERBUTTON},
    {"online", MAINPNL_ONLINE},          {"connected", MAINPNL_CONNECTED},
    {"server_ip", MAINPNL_SERVER_IP},    {"server_name", MAINPNL_SERVER_NAME},
    {"client_ip", MAINPNL_CLIENT_IP},    {"client_name", MAINPNL_CLIENT_NAME},
    {"speed", MAINPNL_DUMPSPEED},        {"direction", MAINPNL_DirectionSwitch},
    {"battery", MAINPNL_BATTERY},        {"clear", MAINPNL_CLEAR},
};

const char* waitName() {
    if (instrument.waits_in_service <= 0) return "none";
    switch (instrument.wait_kind) {
        case kWaitErase: return "erase";
        case kWaitArm: return "arm";
        case kWaitComment: return "comment";
        default: return "none";
    }
}

int panel() { return instrument.panel_handle; }
unsigned client() { return instrument.client_handle; }
bool noWait() { return instrument.waits_in_service <= 0; }

// A whole line among the unread bytes of the receive ring: the service loop
// takes that request at its next pass. (The first line feed only ends a line
// being dropped.)
bool requestWaiting() {
    int needed = rx_ring.dropping_long_line ? 2 : 1;
    for (std::uint8_t i = rx_ring.read_index; i != rx_ring.write_index; ++i)
        if (rx_ring.storage[i] == '\n' && --needed == 0) return true;
    return false;
}

std::string state() {
    std::string out = "{\"serving\":";
    out += instrument.running && instrument.service_depth > 0 ? "true" : "false";
    out += ",\"model_type\":" + std::to_string(instrument.model_type);
    out += ",\"model_name\":\"" + std::string(vantis::models::shortName(instrument.model_type)) + "\"";
    out += ",\"wait\":\"" + std::string(waitName()) + "\"";
    out += ",\"service_depth\":" + std::to_string(instrument.service_depth);
    out += ",\"record_state\":" + std::to_string(instrument.record_state);
    out += ",\"window\":[" + std::to_string(instrument.window_start_ms) + "," +
           std::to_string(instrument.window_end_ms) + "]";
    out += "}";
    return out;
}

int modelType() { return instrument.model_type; }
const char* modelName() { return instrument.model_id; }
int coordinateWords() { return instrument.num_leds * instrument.num_axes; }

constexpr int kModelCount = kModelRingItemCount - 1;  // the ring's first item is no model

// Every model's frame, read once from the instrument's own table: each profile
// applied to the state in turn, and the state put back as it was.
struct Frames {
    std::string names[kModelCount + 1];
    int words[kModelCount + 1] = {};
    Frames() {
        const InstrumentState saved = instrument;
        for (int m = 1; m <= kModelCount; ++m) {
            apply_model(m);
            names[m] = instrument.model_id;
            words[m] = instrument.num_leds * instrument.num_axes;
        }
        instrument = saved;
    }
};

cvi::instrument::ModelFrame frameOf(int model) {
    static const Frames frames;
    if (model < 1 || model > kModelCount) return {};
    return {frames.names[model].c_str(), frames.words[model]};
}

const cvi::instrument::View kView = {
    panel,
    MAINPNL_VATYPE,
    MAINPNL_TRIGGERBUTTON,
    MAINPNL_CLEAR,
    MAINPNL_DUMPSPEED,
    {"Fast", "Normal"},
    MAINPNL_DirectionSwitch,
    {"Left", "Right"},
    MAINPNL_BATTERY,
    {{"ok", kBatteryFull}, {"not-found", -1}, {"discharged", -2}},
    MAINPNL_RECEIVE,
    MAINPNL_TRANSMIT,
    kReported,
    static_cast<int>(sizeof kReported / sizeof kReported[0]),
    client,
    noWait,
    requestWaiting,
    state,
    modelType,
    modelName,
    coordinateWords,
    frameOf,
    kModelCount,
};

}  // namespace

const cvi::instrument::View& cvi::instrument::view() { return kView; }
