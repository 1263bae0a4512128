// Recorded data of a script's own: a CSV file whose rows the download samples
// in place of the built-in pattern (docs/control.md, "Recorded data").
//
// The file: a header row; a first column time_ms (relative to the trigger,
// rising, decimals allowed); then one column per coordinate word of a frame,
// in frame order, integers 0..65535. Column names after the first are free:
// the file is matched to a model by its column count.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace cvi::recording {


// A parsed file: times in ms, and the values row by row (2 bytes each).
struct Recording {
    std::string file;
    int columns = 0;  // coordinate columns, time_ms not counted
    std::vector<double> times;
    std::vector<std::uint16_t> values;
    std::size_t rows() const { return times.size(); }
};

// Parses a whole file. On failure returns null and sets *error to one line
// naming the line and column at fault.
std::unique_ptr<Recording> parse(const std::string& path, std::string* error);
// The same for text held in memory (file names the text in messages).
std::unique_ptr<Recording> parseText(const char* text, std::size_t size, const std::string& file, std::string* error);

// Coordinate words of the sample `tenths` tenths of a millisecond after the
// trigger: linear between rows, rounded to nearest, the first or last row
// beyond the ends. False when the recording has another column count.
bool sample(const Recording& r, long long tenths, int count, std::uint16_t* words, std::size_t* cursor);

// ---- The loaded recording (UI thread) ----
// Loads a file for the current model: "" when done, else the error; on an
// error what was loaded stays. With no model chosen yet, the file is checked
// against the model when one is chosen.
std::string load(const std::string& path);
// Back to the built-in pattern.
void usePattern();
// The data source as a JSON object.
std::string describe();
// The `data` verb of the control channel: "", "load FILE" or "pattern"; the reply line.
std::string verb(const std::string& args);

// Puts the sampler on the run-time and watches model choices; once, before
// the run-time starts. A start-up file (--data) is parsed before that.
void install();

}  // namespace cvi::recording
