// The simulated instrument's command interpreter.
#pragma once

// Handles at most one command line from the receive ring and returns.
void VAmain();

// Frame layout of the DUMPBIN family, shared with tools that check downloads.
inline constexpr int kMaxFrameWords = 60;
inline constexpr double kPaceSecondsPerByte = 0.00009;
