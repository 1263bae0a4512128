#include "ZErov.h"

#include <cstdio>
#include <cstring>

#include "VAmain.h"
#include "cvi.h"
#include "instrument.h"
#include "serialcom.h"

InstrumentState instrument;
RxRing rx_ring;

namespace {

constexpr unsigned kServerPort = 3000;
constexpr unsigned kTimeoutMs = 1000;
constexpr std::size_t kReadMax = 255;

const ModelProfile kModels[] = {
    // model_id, firmware_id, test_comment, leds, axes, ribs, rate, erase ticks, window start, end, max
    {"WorldSID", "W50KQ0011", "WorldSID 50th", 18, 3, 6, 10000, 32, -200, 1500, 25000},
    {"50th Male", "50S0005", "HIII 50TH", 12, 2, 6, 10000, 32, -500, 1500, 30000},
    {"50th 3D", "50_3D_01", "HIII 50TH 3-AXIS", 6, 3, 6, 10000, 26, -500, 1500, 30000},
    {"5th Female", "5S0004", "HIII 5TH FEMALE", 12, 2, 6, 10000, 32, -500, 1500, 30000},
    {"SIDIIs", "S2S_003", "SIDIIs", 6, 3, 6, 10000, 26, -500, 1500, 30000},
    {"Polar", "P0000", "POLAR", 6, 2, 6, 10000, 18, -500, 1500, 30000},
    {"Ballistic", "KQ000", "3-rib Ballistic Test Stand ", 3, 3, 3, 20000, 30, -500, 1500, 30000},
    {"50th ADJ", "50S0005", "HIII 50TH", 12, 2, 6, 10000, 32, -500, 1500, 30000},
    {"WorldSID 5th", "WS5TH0001", "WORLDSID 5TH", 18, 3, 6, 10000, 32, -200, 1500, 25000},
    {"WorldSID Male", "VA2_R001.4", "WORLDSID 50TH", 18, 3, 6, 10000, 1, -200, 1500, 180000},
};
constexpr int kModelCount = static_cast<int>(sizeof kModels / sizeof kModels[0]);

template <std::size_t N>
void copy_text(char (&to)[N], const char* from) {
    std::snprintf(to, N, "%s", from);
}

void put_u16(unsigned char* at, unsigned v) {
    at[0] = static_cast<unsigned char>(v);
    at[1] = static_cast<unsigned char>(v >> 8);
}

void put_u32(unsigned char* at, unsigned long v) {
    for (int i = 0; i < 4; ++i) at[i] = static_cast<unsigned char>(v >> (8 * i));
}

void put_text(unsigned char* at, std::size_t field_size, const char* text) {
    std::strncpy(reinterpret_cast<char*>(at), text, field_size);
}

void build_config_record(ConfigRecord& rec) {
    unsigned char* b = rec.bytes;
    std::memset(b, 0, sizeof rec.bytes);
    put_u32(b + 8, 1);
    put_u16(b + 16, 215);
    put_u16(b + 18, 511);
    const unsigned char small[] = {1, 1, 1, 2, 4, 1, 5};
    std::memcpy(b + 20, small, sizeof small);
    for (int i = 0; i < 12; ++i) put_u16(b + 32 + 2 * i, 900);
    put_u32(b + 56, 510);
    put_text(b + 64, 32, "9999");
    put_text(b + 96, 32, "1 January 2023");
    put_text(b + 128, 32, "2 January 2023");
    put_text(b + 160, 32, "VAZID");
    put_text(b + 192, 64, kModels[kModelWithBattery - 1].model_id);
}

// Runs the service until running is cleared: one command, then pending events.
void service_loop() {
    const int outer_waits = instrument.waits_in_service;
    const int outer_kind = instrument.wait_kind;
    instrument.waits_in_service = 0;
    instrument.wait_kind = kWaitNone;
    ++instrument.service_depth;
    while (instrument.running) {
        VAmain();
        ProcessSystemEvents();
    }
    --instrument.service_depth;
    instrument.waits_in_service = outer_waits;
    instrument.wait_kind = outer_kind;
}

// A choice made while a service loop sits in its own event processing is served
// by that loop from its next pass, which behaves exactly as a nested loop would.
// Only a choice made while a command waits needs a loop of its own, so that the
// waiting command stays suspended until the service stops.
bool needs_own_service_loop() {
    if (instrument.service_depth == 0) return true;
    return instrument.waits_in_service > 0 && instrument.service_depth < kMaxServiceDepth;
}

void accept_client(unsigned handle) {
    char text[256] = {0};
    char address[31] = {0};
    const int panel = instrument.panel_handle;
    instrument.client_handle = handle;
    end_unfinished_line();
    SetCtrlVal(panel, MAINPNL_CONNECTED, 1);
    if ((instrument.tcp_status = GetTCPPeerAddr(handle, address, sizeof address)) < 0) return ShowTCPError();
    SetCtrlVal(panel, MAINPNL_CLIENT_IP, address);
    if ((instrument.tcp_status = GetTCPPeerName(handle, text, sizeof text)) < 0) return ShowTCPError();
    SetCtrlVal(panel, MAINPNL_CLIENT_NAME, text);
    std::snprintf(text, sizeof text, "-- New connection from %s --\n", address);
    SetCtrlVal(panel, MAINPNL_RECEIVE, text);
    SetCtrlAttribute(panel, MAINPNL_STRING, ATTR_DIMMED, 0);
    if ((instrument.tcp_status = SetTCPDisconnectMode(handle, TCP_DISCONNECT_AUTO)) < 0) return ShowTCPError();
}

void refuse_client(unsigned handle) {
    char text[256] = {0};
    char address[31] = {0};
    if ((instrument.tcp_status = GetTCPPeerAddr(handle, address, sizeof address)) < 0) return ShowTCPError();
    std::snprintf(text, sizeof text, "-- Refusing conection request from %s --\n", address);
    SetCtrlVal(instrument.panel_handle, MAINPNL_RECEIVE, text);
    if ((instrument.tcp_status = DisconnectTCPClient(handle)) < 0) return ShowTCPError();
}

void client_gone(unsigned handle) {
    if (handle != instrument.client_handle) return;  // a refused conversation ending
    const int panel = instrument.panel_handle;
    SetCtrlVal(panel, MAINPNL_CONNECTED, 0);
    instrument.client_handle = 0;
    SetCtrlVal(panel, MAINPNL_CLIENT_IP, "");
    SetCtrlVal(panel, MAINPNL_CLIENT_NAME, "");
    SetCtrlVal(panel, MAINPNL_RECEIVE, "-- Client disconnected --\n");
    SetCtrlAttribute(panel, MAINPNL_STRING, ATTR_DIMMED, 1);
}

void receive_data(unsigned handle) {
    // Only the client's own data is taken; a refused conversation is closed anyway.
    if (handle != instrument.client_handle) return;
    std::size_t room = kReadMax;
    if (!instrument.awaiting_reply) {
        // Take only what fits in the ring; the rest waits with the socket until
        // the interpreter has made room, so no unread byte is ever overwritten.
        const unsigned unread = static_cast<std::uint8_t>(rx_ring.write_index - rx_ring.read_index);
        room = kRingUnreadMax - unread;
        if (room == 0) return;
    }
    char text[256] = {0};
    const int n = ServerTCPRead(instrument.client_handle, text, room, kTimeoutMs);
    if (n < 0) {
        SetCtrlVal(instrument.panel_handle, MAINPNL_RECEIVE, "Receive Error\n");
        return;
    }
    text[n] = '\0';
    if (instrument.awaiting_reply) {
        copy_text(instrument.reply_line, text);
        instrument.awaiting_reply = 0;
    } else {
        for (int i = 0; i < n; ++i) rx_ring.storage[rx_ring.write_index++] = static_cast<unsigned char>(text[i]);
    }
    SetCtrlVal(instrument.panel_handle, MAINPNL_RECEIVE, text);
}

// Shows the host's address and then its name, read through the one buffer.
bool show_host_identity(int panel, char* host, std::size_t size) {
    if ((instrument.tcp_status = GetTCPHostAddr(host, size)) < 0) return false;
    SetCtrlVal(panel, MAINPNL_SERVER_IP, host);
    if ((instrument.tcp_status = GetTCPHostName(host, size)) < 0) return false;
    SetCtrlVal(panel, MAINPNL_SERVER_NAME, host);
    return true;
}

}  // namespace

void apply_model(int model_type) {
    if (model_type < 1 || model_type > kModelCount) return;
    const ModelProfile& m = kModels[model_type - 1];
    copy_text(instrument.model_id, m.model_id);
    copy_text(instrument.firmware_id, m.firmware_id);
    copy_text(instrument.test_comment, m.test_comment);
    instrument.num_leds = m.num_leds;
    instrument.num_axes = m.num_axes;
    instrument.num_ribs = m.num_ribs;
    instrument.sample_rate = m.sample_rate;
    instrument.erase_ticks = m.erase_ticks;
    instrument.window_start_ms = m.window_start_ms;
    instrument.window_end_ms = m.window_end_ms;
    instrument.max_record_ms = m.max_record_ms;
    if (model_type == kModelWithBattery) build_config_record(instrument.config_record);
}

void enter_wait(int wait_kind) {
    ++instrument.waits_in_service;
    instrument.wait_kind = wait_kind;
}

void leave_wait() {
    if (--instrument.waits_in_service == 0) instrument.wait_kind = kWaitNone;
}

int VATYPE(int panel, int control, int event, void*, int, int) {
    if (event != EVENT_COMMIT) return 0;
    GetCtrlAttribute(panel, control, ATTR_CTRL_VAL, &instrument.model_type);
    instrument.running = instrument.model_type > 0 ? 1 : 0;
    SetCtrlAttribute(panel, MAINPNL_BATTERY, ATTR_VISIBLE, 0);
    if (instrument.model_type == kModelWithBattery) SetCtrlAttribute(panel, MAINPNL_BATTERY, ATTR_VISIBLE, 1);
    apply_model(instrument.model_type);
    copy_text(instrument.serial_number, "75");
    copy_text(instrument.cal_date, "25 January 2010");
    copy_text(instrument.cal_location, "Marlowe Systems, Marlowe MA");
    instrument.trigger_setting = 0;
    if (instrument.running && needs_own_service_loop()) service_loop();
    return 0;
}

int TRIGGERBUTTON(int, int, int event, void*, int, int) {
    if (event == EVENT_COMMIT) instrument.trigger_seen = 1;
    return 0;
}

int MainPanelCB(int, int event, void*, int, int) {
    if (event == EVENT_CLOSE) {
        instrument.running = 0;
        QuitUserInterface(0);
    }
    return 0;
}

int ClearScreenCB(int panel, int, int event, void*, int, int) {
    if (event == EVENT_COMMIT) {
        ResetTextBox(panel, MAINPNL_RECEIVE, "");
        ResetTextBox(panel, MAINPNL_TRANSMIT, "");
    }
    return 0;
}

int TransmitCB(int panel, int, int event, void*, int, int) {
    if (event != EVENT_COMMIT) return 0;
    char text[512] = {0};
    GetCtrlVal(panel, MAINPNL_STRING, text, sizeof text - 1);  // room for the line feed
    std::strcat(text, "\n");
    SetCtrlVal(panel, MAINPNL_TRANSMIT, text);
    SetCtrlVal(panel, MAINPNL_STRING, "");
    if (ServerTCPWrite(instrument.client_handle, text, std::strlen(text), kTimeoutMs) < 0)
        SetCtrlVal(panel, MAINPNL_TRANSMIT, "Transmit Error\n");
    return 0;
}

int ServerTCPCB(unsigned handle, int event, int, void*) {
    switch (event) {
        case TCP_CONNECT:
            if (instrument.client_handle == 0)
                accept_client(handle);
            else
                refuse_client(handle);
            break;
        case TCP_DISCONNECT:
            client_gone(handle);
            break;
        case TCP_DATAREADY:
            receive_data(handle);
            break;
        default:
            break;
    }
    return 0;
}

void ShowTCPError() {
    if (instrument.tcp_status >= 0) return;
    char message[1024];
    std::snprintf(message, sizeof message, "TCP library error message: %s\nSystem error message: %s",
                  GetTCPErrorString(instrument.tcp_status), GetTCPSystemErrorString());
    MessagePopup("Error", message);
}

int ZErovMain(int argc, char* argv[]) {
    char host[256];
    std::memset(host, 0, sizeof host);
    if (InitCVIRTDll(argc, argv) == 0) return -1;
    instrument.panel_handle = LoadPanel(0, "ZErov.uir", MAINPNL);
    if (instrument.panel_handle < 0) return -1;
    const int panel = instrument.panel_handle;
    int status = 0;
    DisableBreakOnLibraryErrors();
    SetWaitCursor(1);
    if (RegisterTCPServer(kServerPort, ServerTCPCB, nullptr) < 0) {
        SetWaitCursor(0);  // the operator is asked to act: no busy cursor over the popup
        // A popup nobody could see (no display) leaves the failure to the exit status.
        if (MessagePopup("TCP Server", "Server registration failed!") < 0) status = -1;
    } else {
        SetWaitCursor(0);
        SetCtrlVal(panel, MAINPNL_ONLINE, 1);
        if (!show_host_identity(panel, host, sizeof host)) {
            ShowTCPError();
        } else {
            SetCtrlAttribute(panel, MAINPNL_STRING, ATTR_DIMMED, 1);
            SetCtrlVal(panel, MAINPNL_CONNECTED, 0);
            DisplayPanel(panel);
            SetActiveCtrl(panel, MAINPNL_STRING);
            RunUserInterface();
        }
        UnregisterTCPServer(kServerPort);
    }
    DiscardPanel(panel);
    CloseCVIRTDll();
    return status;
}
