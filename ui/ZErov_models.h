// The items of the panel's model ring, by value (0 is "no model"): what the
// command line and completions may name before any panel is loaded. The panel
// file is the source; a test holds the two together.
#pragma once

inline constexpr const char* kModelRingItems[] = {
    "Select Vantis Model",  "WorldSID",      "Hybrid III 50th Male",
    "Hybrid III 50th Male 3-axis", "Hybrid III 5th Female", "SIDIIs",
    "Polar",                "Ballistic",     "Hybrid III 50th Male Adjustable",
    "WorldSID 5th",         "2ndGen WorldSID",
};
inline constexpr int kModelRingItemCount = static_cast<int>(sizeof kModelRingItems / sizeof kModelRingItems[0]);
