// A host's sessions with an instrument, read from a pcap or pcapng capture:
// each TCP conversation with the instrument's port, both directions
// reassembled in sequence order, with the time each piece was captured.
#pragma once

#include <cstddef>
#include <string>
#include <vector>

namespace vantis::replay {

// One piece of one direction, as it was captured (retransmitted bytes once).
struct Piece {
    double time = 0;  // seconds since the capture's first packet
    bool fromHost = false;
    std::string bytes;
};

struct Conversation {
    std::string host;        // "ADDRESS:PORT"
    std::string instrument;  // "ADDRESS:PORT"
    double start = 0;
    std::vector<Piece> pieces;  // both directions, in capture order
    bool hostClosed = false;    // the host's FIN or RST is in the capture
};

struct Capture {
    std::vector<Conversation> conversations;  // those that carry data, in the order they began
    unsigned instrumentPort = 0;
};

// Reads path. False, with a reason, for a file that is not a capture, is cut
// short, uses a link type it does not know, or leaves a gap in a stream.
// port 0: the instrument's port is the one the first connection went to
// (3000 when no connection's start is in the capture).
bool readCapture(const std::string& path, unsigned port, Capture& out, std::string* why);

}  // namespace vantis::replay
