// The interpreter exactly as it is, with its one call of get_command routed
// through the oracle (oracle.cpp), which checks what reaches the dispatch.
#define get_command fuzz_dispatch_get_command
#include "VAmain.cpp"
