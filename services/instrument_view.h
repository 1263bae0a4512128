// The instrument as the services see it: the panel's controls that scripts work
// and read, and the instrument's own state, read only. The bottom of the
// services: every service reaches the instrument through this view, and it
// names no service. Defined beside the panel file (instrument_face.cpp).
#pragma once

#include <string>

namespace cvi::instrument {

struct Item {
    const char* word;  // as a script names it
    int value;         // the ring's value for it
};

struct NamedControl {
    const char* name;  // key in the state report
    int control;
};

// A model's frame as a recording must fit it.
struct ModelFrame {
    const char* name = "";  // the instrument's model id ("50th Male")
    int words = 0;          // coordinate words a frame carries; 0 for no model
};

struct View {
    int (*panel)();
    int modelRing;
    int triggerButton;
    int clearButton;
    int speedSwitch;  // positions named by their texts, left then right
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
    bool (*noWait)();              // no command waits (ERASE, ARM, the comment)
    bool (*requestWaiting)();      // a whole request line waits to be served
    std::string (*state)();        // the program's state as a JSON object
    int (*modelType)();            // 0 while no model is chosen
    const char* (*modelName)();
    int (*coordinateWords)();      // LEDs x coordinates of the chosen model
    ModelFrame (*frameOf)(int model);  // any model of the ring, 1..10
    int modelCount;
};

const View& view();

}  // namespace cvi::instrument
