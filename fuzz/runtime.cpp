// A scripted run-time for the modules: each event-processing call plays the
// input's next step (client bytes, connects and disconnects, operator actions,
// clock steps). Deterministic and allocation-light, so that inputs run fast.
//
// Input format, one step after another:
//   0x00-0x7F  the newest client sends the next (b + 1) input bytes (a client
//              connects first if none is open)
//   0x80       a client connects          0x81 / 0x82  the newest / oldest goes
//   0x83 m     the operator chooses model m % 11 in the model ring
//   0x84       TRIGGER pressed (when shown)
//   0x85       download-speed switch flipped    0x86  direction switch flipped
//   0x87 k     battery ring item k % 3 (when shown)
//   0x88       CLEAR pressed
//   0x89 n ... the operator commits n bytes of raw text (when enabled)
//   0x8A k     the clock jumps by kJumps[k % 16]
//   0x8B k     each clock reading advances by kTempos[k % 8] from now on
//   0x8C n     n passes with nothing new
//   0x8D k     the next TCP call of kind k % 6 fails once
//   0x8E       the panel's close button
//   0x8F n c   the newest client sends 4 n + 16 copies of byte c
//   0x90-0xFF  a pass with nothing new
// Pending client bytes are offered through the data-ready event at every pass,
// as the real run-time does while unread bytes remain. Once the input is spent,
// a running service must get through what it was sent; then the panel is closed and every wait is brought to its end: the clock races, a
// client answers the prompts, and TRIGGER is pressed.
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <utility>
#include <vector>

#include "ZErov.h"
#include "cvi.h"
#include "instrument.h"
#include "scripted.h"

namespace fuzz {
namespace {

constexpr unsigned long kMaxPasses = 20000;       // then the input counts as spent
constexpr unsigned long kMaxDrainPasses = 20000;  // a program that has not ended by then hangs
constexpr unsigned long kMaxStalledPasses = 50;     // passes without progress before a service counts as stuck
constexpr std::size_t kPeerReceiveLimit = 64 * 1024;  // a client leaves after taking this much
constexpr std::size_t kMaxOperatorText = 600;

constexpr double kJumps[16] = {0.0005, 0.001, 0.003, 0.01, 0.03, 0.1, 0.2, 0.3,
                               0.31,   0.5,   1,     3,    10,   100, 1000, 100000};
constexpr double kTempos[8] = {0, 0.0001, 0.001, 0.01, 0.1, 0.31, 1, 100};

enum Fault { kNone = 0, kPeerAddr, kPeerName, kDisconnectMode, kDisconnect, kRead, kWrite };

struct Conversation {
    unsigned handle = 0;
    std::string pending;      // sent by the client, not yet read
    std::size_t received = 0;  // bytes written to the client
    bool leaving = false;     // the client has gone; its end is announced at the next pass
};

struct Runtime {
    const std::uint8_t* in = nullptr;
    std::size_t size = 0, pos = 0;
    unsigned long passes = 0, drainPasses = 0, stalledPasses = 0;
    std::pair<std::uint8_t, std::size_t> settleProgress{0, 0};
    unsigned idle = 0;
    bool draining = false;
    double now = 1000.0, tempo = 0.31;
    bool quit = false;
    bool closing = false;  // QuitUserInterface was called
    int quitCode = 0;
    tcpFuncPtr callback = nullptr;
    void* callbackData = nullptr;
    std::vector<Conversation> conversations;
    unsigned nextHandle = 1;
    int fault = kNone;
    // Panel state.
    int values[MAINPNL_BATTERY + 1] = {};
    bool visible[MAINPNL_BATTERY + 1] = {};
    bool dimmed[MAINPNL_BATTERY + 1] = {};
    std::string stringText;
    std::size_t textBoxBytes = 0;
    // What the current data-ready callback read.
    std::string lastRead;
    bool readOk = false;
    std::vector<unsigned> scratch;
};

Runtime rt;

int takeByte() { return rt.pos < rt.size ? rt.in[rt.pos++] : 0; }

Conversation* find(unsigned handle) {
    for (auto& c : rt.conversations)
        if (c.handle == handle) return &c;
    return nullptr;
}

void forget(unsigned handle) {
    for (auto it = rt.conversations.begin(); it != rt.conversations.end(); ++it)
        if (it->handle == handle) {
            rt.conversations.erase(it);
            return;
        }
}

bool takeFault(int kind) {
    if (rt.fault != kind) return false;
    rt.fault = kNone;
    return true;
}

void deliverData(unsigned handle) {
    Conversation* c = find(handle);
    if (!c || c->pending.empty() || !rt.callback) return;
    const std::uint8_t writeBefore = rx_ring.write_index;
    const bool awaitingBefore = instrument.awaiting_reply != 0;
    oracle_observe();
    rt.lastRead.clear();
    rt.readOk = false;
    rt.callback(handle, TCP_DATAREADY, 0, rt.callbackData);
    oracle_after_data(writeBefore, awaitingBefore, rt.lastRead, rt.readOk);
}

void connect() {
    const unsigned handle = rt.nextHandle++;
    rt.conversations.push_back(Conversation{handle, {}, 0, false});
    if (rt.callback) rt.callback(handle, TCP_CONNECT, 0, rt.callbackData);
    if (instrument.client_handle == handle) oracle_client_accepted();
}

// The client has gone: what it sent is offered while the modules take it, then
// its end is announced, as the real run-time does.
void leave(unsigned handle) {
    for (;;) {
        Conversation* c = find(handle);
        if (!c) return;
        if (c->pending.empty()) break;
        const std::size_t before = c->pending.size();
        deliverData(handle);
        c = find(handle);
        if (!c || c->pending.size() == before) break;
    }
    if (!find(handle)) return;  // disconnected by the modules meanwhile
    forget(handle);
    if (rt.callback) rt.callback(handle, TCP_DISCONNECT, 0, rt.callbackData);
}

Conversation& newestClient() {
    if (rt.conversations.empty()) connect();
    if (rt.conversations.empty()) connect();  // refused at once: try once more
    if (rt.conversations.empty()) {
        static Conversation none;
        none = Conversation{};
        return none;
    }
    return rt.conversations.back();
}

void send(const char* bytes, std::size_t n) {
    Conversation& c = newestClient();
    if (c.handle == 0) return;
    c.pending.append(bytes, n);
    deliverData(c.handle);
}

void commitOperatorText(std::string text) {
    if (rt.dimmed[MAINPNL_STRING]) return;  // the operator cannot type into a dimmed control
    std::string clean;
    for (char ch : text)
        if (ch != '\0') clean += ch;
    rt.stringText = clean;
    oracle_expect_operator_text(clean.substr(0, 510) + "\n");
    TransmitCB(instrument.panel_handle, MAINPNL_STRING, EVENT_COMMIT, nullptr, 0, 0);
    oracle_expect_operator_text(std::string());
}

void step() {
    const int op = takeByte();
    if (op < 0x80) {
        const std::size_t n = std::min<std::size_t>(static_cast<std::size_t>(op) + 1, rt.size - rt.pos);
        send(reinterpret_cast<const char*>(rt.in + rt.pos), n);
        rt.pos += n;
        return;
    }
    const int panel = instrument.panel_handle;
    switch (op) {
        case 0x80:
            connect();
            break;
        case 0x81:
            if (!rt.conversations.empty()) rt.conversations.back().leaving = true;
            break;
        case 0x82:
            if (!rt.conversations.empty()) rt.conversations.front().leaving = true;
            break;
        case 0x83:
            rt.values[MAINPNL_VATYPE] = takeByte() % 11;
            VATYPE(panel, MAINPNL_VATYPE, EVENT_COMMIT, nullptr, 0, 0);
            break;
        case 0x84:
            if (rt.visible[MAINPNL_TRIGGERBUTTON])
                TRIGGERBUTTON(panel, MAINPNL_TRIGGERBUTTON, EVENT_COMMIT, nullptr, 0, 0);
            break;
        case 0x85:
            rt.values[MAINPNL_DUMPSPEED] ^= 1;
            break;
        case 0x86:
            rt.values[MAINPNL_DirectionSwitch] ^= 1;
            break;
        case 0x87: {
            const int items[3] = {kBatteryFull, -1, -2};
            const int k = takeByte() % 3;
            if (rt.visible[MAINPNL_BATTERY]) rt.values[MAINPNL_BATTERY] = items[k];
            break;
        }
        case 0x88:
            ClearScreenCB(panel, MAINPNL_CLEAR, EVENT_COMMIT, nullptr, 0, 0);
            break;
        case 0x89: {
            const std::size_t n = std::min<std::size_t>(static_cast<std::size_t>(takeByte()) * 3, rt.size - rt.pos);
            std::string text(reinterpret_cast<const char*>(rt.in + rt.pos), std::min(n, kMaxOperatorText));
            rt.pos += n;
            commitOperatorText(text);
            break;
        }
        case 0x8A:
            rt.now += kJumps[takeByte() % 16];
            break;
        case 0x8B:
            rt.tempo = kTempos[takeByte() % 8];
            break;
        case 0x8C:
            rt.idle = static_cast<unsigned>(takeByte());
            break;
        case 0x8D:
            rt.fault = 1 + takeByte() % 6;
            break;
        case 0x8E:
            MainPanelCB(panel, EVENT_CLOSE, nullptr, 0, 0);
            break;
        case 0x8F: {
            const std::size_t n = static_cast<std::size_t>(takeByte()) * 4 + 16;
            const std::string bytes(n, static_cast<char>(takeByte()));
            send(bytes.data(), bytes.size());
            break;
        }
        default:
            break;
    }
}

// After the input: close the panel, then end whatever waits.
void drain() {
    if (!rt.draining) {
        rt.draining = true;
        rt.tempo = 1000;
        rt.fault = kNone;
        MainPanelCB(instrument.panel_handle, EVENT_CLOSE, nullptr, 0, 0);
        return;
    }
    if (++rt.drainPasses > kMaxDrainPasses)
        fail("the program has not ended %lu passes after its input (service depth %d, waits %d)", kMaxDrainPasses,
             instrument.service_depth, instrument.waits_in_service);
    if (rt.visible[MAINPNL_TRIGGERBUTTON]) TRIGGERBUTTON(instrument.panel_handle, MAINPNL_TRIGGERBUTTON, EVENT_COMMIT, nullptr, 0, 0);
    if (instrument.awaiting_reply) {
        if (instrument.client_handle == 0 || !find(instrument.client_handle)) connect();
        Conversation* c = find(instrument.client_handle);
        if (c && c->pending.empty()) {
            c->pending = "D#103\n";
            deliverData(c->handle);
        }
    }
}

// Unread bytes in the ring, and whether a whole line is among them.
int ringUnread(bool& hasLine) {
    hasLine = false;
    for (std::uint8_t i = rx_ring.read_index; i != rx_ring.write_index; ++i)
        if (rx_ring.storage[i] == '\n') hasLine = true;
    return static_cast<std::uint8_t>(rx_ring.write_index - rx_ring.read_index);
}

// Once the input is spent, a service loop that is not inside a waiting command
// must get through what it has been sent: no whole line stays in the ring, and
// the ring is never left full (a line it cannot hold is dropped, not kept).
bool settle() {
    if (!instrument.running || instrument.service_depth == 0 || instrument.waits_in_service > 0) return true;
    bool hasLine = false;
    const int unread = ringUnread(hasLine);
    bool pending = false;
    if (const Conversation* c = find(instrument.client_handle)) pending = !c->pending.empty();
    if (!hasLine && unread < kRingUnreadMax && !pending) return true;
    // Still working through it is fine; passes that change nothing are not.
    const auto progress = std::make_pair(rx_ring.read_index, find(instrument.client_handle)
                                                                 ? find(instrument.client_handle)->pending.size()
                                                                 : 0);
    if (progress != rt.settleProgress) rt.stalledPasses = 0;
    rt.settleProgress = progress;
    if (++rt.stalledPasses <= kMaxStalledPasses) return false;
    const Conversation* c = find(instrument.client_handle);
    fail("the service is stuck: %d unread bytes in the ring%s, %zu more waiting to be read", unread,
         hasLine ? " with a whole line" : "", c ? c->pending.size() : 0);
}

void pass() {
    ++rt.passes;
    oracle_observe();
    // Clients that have gone, then data that waits, as the real run-time offers them.
    std::vector<unsigned> handles = std::move(rt.scratch);
    handles.clear();
    for (const auto& c : rt.conversations) handles.push_back(c.handle);
    for (unsigned h : handles) {
        Conversation* c = find(h);
        if (c && c->leaving) leave(h);
    }
    for (unsigned h : handles) deliverData(h);
    rt.scratch = std::move(handles);
    if (!rt.draining) {
        if (rt.idle > 0)
            --rt.idle;
        else if (rt.pos < rt.size && rt.passes < kMaxPasses)
            step();
        else if (settle())
            drain();
    } else {
        drain();
    }
    oracle_observe();
}

int badControl(int panel, int control) {
    if (panel != 1) return UIEBadPanel;
    if (control < 1 || control > MAINPNL_BATTERY) return UIEBadControl;
    return 0;
}

bool isTextBox(int control) { return control == MAINPNL_TRANSMIT || control == MAINPNL_RECEIVE; }

void copyOut(const std::string& text, char* buffer, std::size_t size) {
    if (!buffer || size == 0) return;
    const std::size_t n = std::min(text.size(), size - 1);
    std::memcpy(buffer, text.data(), n);
    buffer[n] = '\0';
}

}  // namespace

void run_input(const std::uint8_t* data, std::size_t size) {
    // Memory is kept from input to input: fresh allocations for every run would
    // cost more than the run itself under the address sanitizer.
    auto conversations = std::move(rt.conversations);
    auto scratch = std::move(rt.scratch);
    auto lastRead = std::move(rt.lastRead);
    conversations.clear();
    rt = Runtime{};
    rt.conversations = std::move(conversations);
    rt.scratch = std::move(scratch);
    rt.lastRead = std::move(lastRead);
    rt.in = data;
    rt.size = size;
    instrument = InstrumentState{};
    rx_ring = RxRing{};
    oracle_reset();
    char name[] = "vantis-fuzz";
    char* argv[] = {name, nullptr};
    if (ZErovMain(1, argv) != 0) fail("the program ended with a failure status");
    if (instrument.service_depth != 0 || instrument.waits_in_service != 0)
        fail("service loops or waits left over: depth %d, waits %d", instrument.service_depth,
             instrument.waits_in_service);
    oracle_end_of_run();
    if (std::getenv("VANTIS_FUZZ_TRACE"))
        std::fprintf(stderr, "  end: %lu passes, %lu after the input\n", rt.passes, rt.drainPasses);
}

void fail(const char* format, ...) {
    std::fprintf(stderr, "\nINVARIANT VIOLATED: ");
    va_list args;
    va_start(args, format);
    std::vfprintf(stderr, format, args);
    va_end(args);
    std::fprintf(stderr,
                 "\n  input position %zu of %zu, pass %lu, model %d, ring read %u write %u%s, service depth %d, waits %d,"
                 " awaiting reply %d\n",
                 rt.pos, rt.size, rt.passes, instrument.model_type, rx_ring.read_index, rx_ring.write_index,
                 rx_ring.dropping_long_line ? " (dropping)" : "", instrument.service_depth, instrument.waits_in_service,
                 instrument.awaiting_reply);
    std::fflush(stderr);
    std::abort();
}

}  // namespace fuzz

using namespace fuzz;

int InitCVIRTDll(int, char*[]) { return 1; }
void CloseCVIRTDll() {}
int DisableBreakOnLibraryErrors() { return 0; }

int LoadPanel(int, const char* panelFile, int panelResourceId) {
    if (!panelFile || std::strcmp(panelFile, "ZErov.uir") != 0 || panelResourceId != MAINPNL) return UIEFileNotFound;
    for (int c = 1; c <= MAINPNL_BATTERY; ++c) rt.visible[c] = true;
    rt.visible[MAINPNL_TRIGGERBUTTON] = false;
    rt.visible[MAINPNL_BATTERY] = false;
    rt.visible[MAINPNL_STRING] = false;
    rt.values[MAINPNL_BATTERY] = kBatteryFull;
    return 1;
}

int DisplayPanel(int panel) { return panel == 1 ? 0 : UIEBadPanel; }
int DiscardPanel(int panel) { return panel == 1 ? 0 : UIEBadPanel; }

int SetCtrlVal(int panel, int control, int value) {
    if (const int rc = badControl(panel, control)) return rc;
    rt.values[control] = value;
    return 0;
}

int SetCtrlVal(int panel, int control, const char* text) {
    if (const int rc = badControl(panel, control)) return rc;
    if (!text) return UIEBadValue;
    if (isTextBox(control))
        rt.textBoxBytes += std::strlen(text);
    else if (control == MAINPNL_STRING)
        rt.stringText = text;
    return 0;
}

int GetCtrlVal(int panel, int control, int* value) {
    if (const int rc = badControl(panel, control)) return rc;
    if (!value) return UIEBadValue;
    *value = rt.values[control];
    return 0;
}

int GetCtrlVal(int panel, int control, char* buffer, std::size_t size) {
    if (const int rc = badControl(panel, control)) return rc;
    copyOut(control == MAINPNL_STRING ? rt.stringText : std::string(), buffer, size);
    return 0;
}

int ResetTextBox(int panel, int control, const char*) {
    if (const int rc = badControl(panel, control)) return rc;
    return isTextBox(control) ? 0 : UIEBadControl;
}

int SetCtrlAttribute(int panel, int control, int attribute, int value) {
    if (const int rc = badControl(panel, control)) return rc;
    switch (attribute) {
        case ATTR_DIMMED:
            rt.dimmed[control] = value != 0;
            return 0;
        case ATTR_VISIBLE:
            rt.visible[control] = value != 0;
            return 0;
        case ATTR_CTRL_VAL:
            rt.values[control] = value;
            return 0;
        default:
            return UIEBadAttribute;
    }
}

int SetCtrlAttribute(int panel, int control, int attribute, const char* value) {
    if (const int rc = badControl(panel, control)) return rc;
    if (attribute != ATTR_CTRL_VAL) return UIEBadAttribute;
    return SetCtrlVal(panel, control, value);
}

int GetCtrlAttribute(int panel, int control, int attribute, int* value) {
    if (const int rc = badControl(panel, control)) return rc;
    if (!value) return UIEBadValue;
    switch (attribute) {
        case ATTR_DIMMED:
            *value = rt.dimmed[control];
            return 0;
        case ATTR_VISIBLE:
            *value = rt.visible[control];
            return 0;
        case ATTR_CTRL_VAL:
            *value = rt.values[control];
            return 0;
        default:
            return UIEBadAttribute;
    }
}

int GetCtrlAttribute(int panel, int control, int attribute, char* buffer, std::size_t size) {
    if (const int rc = badControl(panel, control)) return rc;
    if (attribute != ATTR_CTRL_VAL) return UIEBadAttribute;
    if (control == MAINPNL_DirectionSwitch)
        copyOut(rt.values[control] ? "RIGHT" : "LEFT", buffer, size);
    else
        return GetCtrlVal(panel, control, buffer, size);
    return 0;
}

int SetActiveCtrl(int panel, int control) { return badControl(panel, control); }

int MessagePopup(const char*, const char*) { return 0; }
int SetWaitCursor(int) { return 0; }

int RunUserInterface() {
    while (!rt.quit) pass();
    rt.quit = false;
    return rt.quitCode;
}

int QuitUserInterface(int code) {
    rt.quit = true;
    rt.closing = true;
    rt.quitCode = code;
    return 0;
}

int ProcessSystemEvents() {
    pass();
    return 0;
}

int QuitRequested() { return rt.closing ? 1 : 0; }

int RegisterTCPServer(unsigned, tcpFuncPtr callback, void* callbackData) {
    if (rt.callback) return kTCP_UnableToRegisterService;
    rt.callback = callback;
    rt.callbackData = callbackData;
    return 0;
}

int UnregisterTCPServer(unsigned) {
    if (!rt.callback) return kTCP_ServerNotRegistered;
    rt.callback = nullptr;
    rt.conversations.clear();
    return 0;
}

int ServerTCPRead(unsigned handle, void* buffer, std::size_t length, unsigned) {
    Conversation* c = find(handle);
    if (!c) return kTCP_InvalidHandle;
    if (!buffer) return kTCP_InvalidParameter;
    if (takeFault(kRead)) return kTCP_ReadFailed;
    // The real run-time never raises data-ready with nothing to read: such a read
    // would wait its whole time-out with the panel frozen.
    if (c->pending.empty()) fail("a read found nothing to read");
    const std::size_t n = std::min(length, c->pending.size());
    std::memcpy(buffer, c->pending.data(), n);
    rt.lastRead.append(c->pending, 0, n);
    rt.readOk = true;
    c->pending.erase(0, n);
    return static_cast<int>(n);
}

int ServerTCPWrite(unsigned handle, const void* data, std::size_t length, unsigned) {
    if (!data && length > 0) return kTCP_InvalidParameter;
    const auto* bytes = static_cast<const unsigned char*>(data);
    Conversation* c = find(handle);
    if (!c || c->leaving || takeFault(kWrite)) {
        oracle_write(bytes, length, false);
        return !c ? kTCP_InvalidHandle : c->leaving ? kTCP_ConnectionClosed : kTCP_TimeOutErr;
    }
    oracle_write(bytes, length, true);
    c->received += length;
    // A client that has taken a lot goes away, so that long downloads end quickly.
    if (c->received > kPeerReceiveLimit) c->leaving = true;
    return static_cast<int>(length);
}

int GetTCPPeerAddr(unsigned handle, char* buffer, std::size_t size) {
    if (!find(handle) || takeFault(kPeerAddr)) return kTCP_InvalidHandle;
    copyOut("127.0.0.1", buffer, size);
    return 0;
}

int GetTCPPeerName(unsigned handle, char* buffer, std::size_t size) {
    if (!find(handle) || takeFault(kPeerName)) return kTCP_InvalidHandle;
    copyOut("localhost", buffer, size);
    return 0;
}

int GetTCPHostAddr(char* buffer, std::size_t size) {
    copyOut("192.0.2.1", buffer, size);
    return 0;
}

int GetTCPHostName(char* buffer, std::size_t size) {
    copyOut("fuzzhost", buffer, size);
    return 0;
}

int DisconnectTCPClient(unsigned handle) {
    if (!find(handle) || takeFault(kDisconnect)) return kTCP_InvalidHandle;
    forget(handle);
    return 0;
}

int SetTCPDisconnectMode(unsigned handle, int mode) {
    if (!find(handle) || takeFault(kDisconnectMode)) return kTCP_InvalidHandle;
    return mode == TCP_DISCONNECT_AUTO ? 0 : kTCP_InvalidParameter;
}

const char* GetTCPErrorString(int code) { return code < 0 ? "Scripted failure" : "No error"; }
const char* GetTCPSystemErrorString() { return "No error"; }

double Timer() {
    rt.now += rt.tempo;
    return rt.now;
}

void Delay(double seconds) {
    if (seconds > 0) rt.now += seconds;
}

// Every pass of the scripted run-time delivers the input's next step at once.
void WakeAt(double) {}

// Nothing recorded here: the download serves its built-in pattern.
int GetRecordedSample(long long, int, unsigned short*) { return 0; }
