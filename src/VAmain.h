// The simulated instrument's command interpreter.
#pragma once

// Handles at most one command line from the receive ring and returns.
void VAmain();
