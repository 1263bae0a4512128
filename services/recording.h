// Recorded data of a script's own: a CSV file whose rows the download samples
// in place of the built-in pattern (docs/control.md, "Recorded data"). The
// file's form and the reader are in recordingfile.h.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>

#include "recordingfile.h"

namespace cvi::recording {


// "" when the recording can serve `model` (1..10), or, for 0, some model; else
// one line saying why not.
std::string fitError(const Recording& r, int model);

// ---- The loaded recording (UI thread) ----
// Loads a file at once, for `model` (-1: the model chosen now): "" when done,
// else the error; on an error what was loaded stays. goOn as for parse().
std::string loadFile(const std::string& path, int model = -1, const std::function<bool(std::size_t)>& goOn = {});
// Back to the built-in pattern.
void usePattern();
// The data source as a JSON object.
std::string describe();

// The reply to a request that comes later: empty until it is there.
using LaterReply = std::function<std::optional<std::string>()>;
// The `data` verb of the control channel: "", "load FILE" or "pattern". Returns
// the reply line; for a load, which reads the file off the user-interface
// thread, returns "" and sets *later (when later is null, loads at once).
std::string verb(const std::string& args, LaterReply* later = nullptr);

// Puts the sampler on the run-time and listens to model choices; once, before
// the run-time starts. A start-up file (--data) is loaded before that.
void install();

}  // namespace cvi::recording
