// The program's command line.
#pragma once

#include <string>

#include "services.h"

namespace vantis::app {

inline constexpr int kUsageStatus = 2;

// Reads the options into settings. Returns -1 to go on and run, or the status
// to end with at once: 0 after --help or --version (printed on stdout), 2 after
// an unknown option or a bad value (the reason and the usage line on stderr).
int parseCommandLine(int argc, char* argv[], services::Settings& settings, bool& headless);

// "ADDRESS[:PORT]" with an IPv4 or IPv6 literal ("[::1]:3001", "::1", "127.0.0.2:3001").
// Refused, with *why set when the reason is more than the form: an IPv4
// address in IPv6 form, a scope naming no interface of this machine.
bool parseListen(const std::string& text, std::string& address, int& port, std::string* why = nullptr);
// 0..10, "none", or an item of the model ring (any case); -1 when it is none of these.
int parseModel(const std::string& text);
// A name fit for a folder: letters, digits, '.', '_' and '-', 1 to 64 of them, not starting with '.' or '-'.
// (Names kept for the unnamed instance, vantis::reservedName, are refused apart.)
bool validName(const std::string& text);

}  // namespace vantis::app
