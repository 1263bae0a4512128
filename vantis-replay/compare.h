// The instrument's side of a conversation cut into the protocol's messages,
// and two such sides compared message by message.
#pragma once

#include <cstddef>
#include <string>
#include <vector>

namespace vantis::replay {

struct Message {
    enum Kind { Line, Config, Download, Leftover, Incomplete } kind = Line;
    std::size_t offset = 0;  // of its first byte in the side's stream
    std::string bytes;       // the whole message: a download's header and all its frames
    std::size_t headerLength = 0;  // Download: the header line's bytes
    std::size_t frameSize = 0;     // Download
    long long frames = 0;          // Download: as the header says
};

// Cuts an instrument's stream. configRecords: how many SENDCONFIG requests the
// host sent (their records are the only raw bytes outside downloads).
std::vector<Message> splitReplies(const std::string& stream, int configRecords);

// Counts the complete replies of a growing stream, cut as splitReplies cuts
// it, without going over what it has counted again.
class ReplyCounter {
public:
    std::size_t count(const std::string& stream, int configRecords);

private:
    std::size_t m_offset = 0;
    std::size_t m_complete = 0;
    int m_configsUsed = 0;
};

// "WORD#f1#f2#" and the checksum: the parts between the '#'s, the last being the checksum.
std::vector<std::string> fieldsOf(const std::string& line);
bool checksumHolds(const std::string& line);

// A field a check leaves out: the reply word, and the field from 1 (0: the whole reply).
struct Ignore {
    std::string command;
    int field = 0;
};
bool parseIgnore(const std::string& text, Ignore& out);

// The first difference between an expected and a received message, in words
// ("field 2", "frame 10 word 3: expected 2010, got 4000"); empty when they
// match under the ignores.
std::string difference(const Message& expected, const Message& got, const std::vector<Ignore>& ignores,
                       int* differingFrames);

// The text of a line for a report: printable, escapes for the rest, without its line end.
std::string shown(const std::string& bytes, std::size_t limit = 120);

}  // namespace vantis::replay
