// The control channel: a local socket beside the device protocol through which
// scripts work the panel as an operator would and read what it shows. One
// request per line, one reply per line (docs/control.md).
#pragma once

#include <string>

namespace cvi::control {

// What the channel needs to know of the program: which controls its verbs
// work, and the program's own state. Defined beside the panel file.
struct Item {
    const char* word;  // as a script names it
    int value;         // the ring's value for it
};

struct NamedControl {
    const char* name;  // key in the state report
    int control;
};

struct Face {
    int (*panel)();
    int modelRing;
    int triggerButton;
    int clearButton;
    int speedSwitch;            // positions named by their texts, left then right
    const char* speedTexts[2];
    int directionSwitch;
    const char* directionTexts[2];
    int batteryRing;
    Item batteryItems[3];
    int receiveBox;
    int transmitBox;
    const NamedControl* reported;  // the controls `state` describes
    int reportedCount;
    unsigned (*client)();          // the conversation being served; 0 none
    bool (*idle)();                // no command waiting, no download under way
    bool (*requestWaiting)();      // a whole request line waits to be served
    std::string (*instrument)();   // the program's state as a JSON object
};

const Face& face();

// Started as the run-time starts, stopped as it ends (services::install). The
// socket's path: the test's, else VANTIS_CONTROL_SOCKET, else the user's
// runtime folder.
void start();
void stop();
std::string socketPath();  // empty while the channel is off
// For tests: set, a path of the test's own for the next start, or empty for no
// channel; not set, the program's own.
void setSocketForTests(bool set, const std::string& path);

// JSON text for a string (Latin-1 bytes), quotes included.
std::string jsonString(const std::string& text);

}  // namespace cvi::control
