// The simulated instrument's command interpreter.
#pragma once

#include <cstdint>

// Handles at most one command line from the receive ring and returns.
void VAmain();

// Read only, for observers of the instrument; neither changes any state.
// The command a line whose name field is `name` runs, as the interpreter would
// pick it now (a download by its variant, DUMPBINA say); null for an unknown one.
const char* command_name(const char* name);
// The built-in pattern's coordinate words of one frame, before or from the
// trigger, for the current model; returns how many.
int pattern_coordinates(bool after_trigger, std::uint16_t* words);
