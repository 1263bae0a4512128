// The run-time services the simulator's modules are written against: panels and
// controls, the event loop, the TCP server, timing and popups. Plain functions
// with the names and the calling conventions the modules expect; a negative
// result is a failure. Everything runs on the one user-interface thread.
#pragma once

#include <cstddef>

// Control and panel events.
inline constexpr int EVENT_COMMIT = 1;
inline constexpr int EVENT_CLOSE = 11;

// TCP server events.
inline constexpr int TCP_CONNECT = 1;
inline constexpr int TCP_DISCONNECT = 2;
inline constexpr int TCP_DATAREADY = 3;

// Control attributes.
inline constexpr int ATTR_DIMMED = 500;
inline constexpr int ATTR_VISIBLE = 530;
inline constexpr int ATTR_CTRL_VAL = 630;

// Disconnect mode: the platform ends a conversation by itself when the peer goes.
inline constexpr int TCP_DISCONNECT_AUTO = 0;

// User-interface library errors.
inline constexpr int UIEGeneral = -1;
inline constexpr int UIEBadPanel = -2;
inline constexpr int UIEBadControl = -3;
inline constexpr int UIEFileNotFound = -4;
inline constexpr int UIEBadFile = -5;
inline constexpr int UIEBadAttribute = -6;
inline constexpr int UIEBadValue = -7;
inline constexpr int UIECallbackNotFound = -8;

// TCP library errors.
inline constexpr int kTCP_UnableToRegisterService = -1;
inline constexpr int kTCP_ServerNotRegistered = -5;
inline constexpr int kTCP_ReadFailed = -7;
inline constexpr int kTCP_WriteFailed = -8;
inline constexpr int kTCP_InvalidParameter = -9;
inline constexpr int kTCP_TimeOutErr = -11;
inline constexpr int kTCP_NoConnectionEstablished = -12;
inline constexpr int kTCP_ConnectionClosed = -14;
inline constexpr int kTCP_InvalidHandle = -15;
inline constexpr int kTCP_HostLookupFailed = -16;

using CtrlCallbackPtr = int (*)(int panel, int control, int event, void* callbackData, int eventData1,
                                int eventData2);
using PanelCallbackPtr = int (*)(int panel, int event, void* callbackData, int eventData1, int eventData2);
using tcpFuncPtr = int (*)(unsigned handle, int xType, int errCode, void* callbackData);

// Run-time start and end. InitCVIRTDll returns 0 when the run-time cannot start.
int InitCVIRTDll(int argc, char* argv[]);
void CloseCVIRTDll();
int DisableBreakOnLibraryErrors();

// Panels. LoadPanel returns the new panel's handle or a negative error.
int LoadPanel(int parentPanel, const char* panelFile, int panelResourceId);
int DisplayPanel(int panel);
int DiscardPanel(int panel);

// Control values. On a text box a text value is appended; elsewhere it replaces.
int SetCtrlVal(int panel, int control, int value);
int SetCtrlVal(int panel, int control, const char* text);
int GetCtrlVal(int panel, int control, int* value);
int GetCtrlVal(int panel, int control, char* buffer, std::size_t size);
template <std::size_t N>
int GetCtrlVal(int panel, int control, char (&buffer)[N]) {
    return GetCtrlVal(panel, control, buffer, N);
}
int ResetTextBox(int panel, int control, const char* text);

// Control attributes: ATTR_DIMMED and ATTR_VISIBLE (1 or 0), ATTR_CTRL_VAL.
int SetCtrlAttribute(int panel, int control, int attribute, int value);
int SetCtrlAttribute(int panel, int control, int attribute, const char* value);
int GetCtrlAttribute(int panel, int control, int attribute, int* value);
int GetCtrlAttribute(int panel, int control, int attribute, char* buffer, std::size_t size);
template <std::size_t N>
int GetCtrlAttribute(int panel, int control, int attribute, char (&buffer)[N]) {
    return GetCtrlAttribute(panel, control, attribute, buffer, N);
}
int SetActiveCtrl(int panel, int control);

// Popups and cursor. MessagePopup returns once the operator has dismissed the
// popup, or at once with UIEGeneral when nobody can see it (no display): its
// text then goes to the error output instead.
int MessagePopup(const char* title, const char* message);
int SetWaitCursor(int on);

// Event loop. RunUserInterface returns once QuitUserInterface has been called
// and control is back in it. ProcessSystemEvents runs pending callbacks and returns.
int RunUserInterface();
int QuitUserInterface(int code);
int ProcessSystemEvents();
// Nonzero once QuitUserInterface has been called: the program is closing. A loop
// that waits on conditions of its own (or writes without processing events)
// ends on it, since the quit takes effect only once control is back in the loop.
int QuitRequested();

// TCP server: one callback for connect, disconnect and data-ready events.
int RegisterTCPServer(unsigned port, tcpFuncPtr callback, void* callbackData);
int UnregisterTCPServer(unsigned port);
int ServerTCPRead(unsigned handle, void* buffer, std::size_t length, unsigned timeoutMs);
int ServerTCPWrite(unsigned handle, const void* data, std::size_t length, unsigned timeoutMs);
int GetTCPPeerAddr(unsigned handle, char* buffer, std::size_t size);
int GetTCPPeerName(unsigned handle, char* buffer, std::size_t size);
int GetTCPHostAddr(char* buffer, std::size_t size);
int GetTCPHostName(char* buffer, std::size_t size);
int DisconnectTCPClient(unsigned handle);
int SetTCPDisconnectMode(unsigned handle, int mode);
const char* GetTCPErrorString(int code);
const char* GetTCPSystemErrorString();

// Recorded data for the download: the coordinate words of the sample `tenths`
// tenths of a millisecond after the trigger (negative before it). Fills `count`
// words and returns 1, or returns 0 when no recording is there for that many
// words; the built-in pattern then serves.
int GetRecordedSample(long long tenths, int count, unsigned short* words);

// Timing: Timer gives seconds whose differences are elapsed time; Delay blocks.
double Timer();
void Delay(double seconds);
// A loop that polls ProcessSystemEvents for a time limit says when it next must
// look: the next ProcessSystemEvents waits for events no later than the moment
// Timer reaches `seconds` (the earliest of several calls counts). Without it, a
// pass with nothing to do may wait up to half a second for the next event.
void WakeAt(double seconds);
