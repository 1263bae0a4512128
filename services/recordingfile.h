// A recording file read with bounded cost: a header row; a first column time_ms
// (relative to the trigger, rising, decimals allowed); then one column per
// coordinate word of a frame, in frame order, integers 0..65535. Column names
// after the first are free: the file is matched to a model by its column count.
//
// Whatever the input, the reader keeps only what it parsed (2 bytes a value,
// 8 a row) plus a fixed working buffer: every size is checked against what
// the instrument can use before anything is reserved. Standard C++ and POSIX
// only, so that the fuzz target links it on its own.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace cvi::recording {

// The largest frame of any model: 18 LEDs of 3 coordinates.
inline constexpr int kMaxColumns = 54;
// The longest window of any model, 180 s at 10 kHz, has one sample per row at
// most (both ends counted).
inline constexpr std::size_t kMaxRows = 1'800'001;
// A longest valid line is a few hundred bytes; this leaves room for spaces.
inline constexpr std::size_t kMaxLineBytes = 4096;
// Error lines stay short enough to read, whatever the file held.
inline constexpr std::size_t kMaxErrorChars = 200;

// A parsed file: times in ms, and the values row by row (2 bytes each).
struct Recording {
    std::string file;
    int columns = 0;  // coordinate columns, time_ms not counted
    std::vector<double> times;
    std::vector<std::uint16_t> values;
    std::size_t rows() const { return times.size(); }
};

// Reads a file given in pieces, as they come; lines may be cut anywhere.
class Parser {
public:
    // file names the input in messages. sizeHint, when known, is the input's
    // size: storage for the rows it can hold is reserved once, not regrown.
    explicit Parser(std::string file, std::size_t sizeHint = 0);

    // The next piece; false once the input is refused (error() says why).
    bool feed(const char* data, std::size_t size);
    // The end of the input: the recording, or null with error() set.
    std::unique_ptr<Recording> finish();
    const std::string& error() const { return error_; }

private:
    bool takeLine(const char* begin, const char* end);
    bool header(const char* begin, const char* end);
    bool row(const char* begin, const char* end);
    bool fail(long column, const std::string& what);

    std::unique_ptr<Recording> r_;
    std::vector<std::string> names_;  // shown in messages: escaped, short
    std::string pending_;             // a line the last piece cut, at most kMaxLineBytes
    std::string error_;
    std::size_t sizeHint_;
    long line_ = 0;
    bool failed_ = false;
};

// Parses a whole file. Only a regular file is read (a FIFO, a device or a
// directory is refused at once, by name, without blocking); it is read as a
// stream, and a file that changes while it is read is refused. goOn, when
// given, is asked after each piece with the bytes read so far: false stops the
// load. The path's bytes are opened exactly as given. On failure returns null
// and sets *error to one short ASCII line.
std::unique_ptr<Recording> parse(const std::string& path, std::string* error,
                                 const std::function<bool(std::size_t)>& goOn = {});
// The same for text held in memory (file names the text in messages).
std::unique_ptr<Recording> parseText(const char* text, std::size_t size, const std::string& file, std::string* error);

// Coordinate words of the sample `tenths` tenths of a millisecond after the
// trigger: linear between rows, rounded to nearest, the first or last row
// beyond the ends. False when the recording has another column count.
bool sample(const Recording& r, long long tenths, int count, std::uint16_t* words, std::size_t* cursor);

// A file name fit for a message: printable ASCII kept, other bytes as \xNN,
// and a long name cut in its middle.
std::string shownName(const std::string& path);
// An excerpt of input in double quotes, escaped as JSON and at most about
// `limit` characters long.
std::string quotedExcerpt(const char* begin, const char* end, std::size_t limit = 24);

}  // namespace cvi::recording
