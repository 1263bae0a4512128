// Start-up and shutdown, the panel and TCP callbacks, and model selection with
// the service loop it runs.
#pragma once

#include "ZErov_uir.h"

// The program: start-up, the user-interface loop, teardown. Returns the exit status.
int ZErovMain(int argc, char* argv[]);

int ServerTCPCB(unsigned handle, int event, int error, void* callbackData);
void ShowTCPError();

// Applies model profile value (1..10) to the instrument state; 0 leaves it.
void apply_model(int model_type);

// Bookkeeping of a command that processes events while it waits, so that a
// model chosen during the wait runs a service loop of its own.
void enter_wait(int wait_kind);
void leave_wait();

// Service loops nest at most this deep; a choice beyond it only changes the profile.
inline constexpr int kMaxServiceDepth = 32;
