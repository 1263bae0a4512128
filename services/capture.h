// Capture: every byte of every client conversation, both directions, as it is
// received or leaves, written as a pcap file that Wireshark and tshark read.
//
// Each conversation becomes one TCP stream between its real addresses and
// ports (IPv4 or IPv6, raw IP link type), with sequence and acknowledgement
// numbers that follow the bytes, so that TCP analysis and reassembly work. Its
// connect shows as a handshake, its end as FINs (the client's or ours first)
// or as our RST. A conversation already open when a capture starts is shown
// with a handshake at that moment.
//
// A write error (a full disk) stops the capture, never the instrument: it is
// reported once on stderr and kept for the control channel's `state`.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <map>
#include <memory>
#include <string>

#include "extension.h"

struct pcap;
struct pcap_dumper;

namespace vantis::capture {

// One capture file and the TCP streams of the conversations it follows.
class Writer {
public:
    // Takes ownership of file (already open for writing); name is for messages.
    // Null, with *error, when the file header cannot be written.
    static std::unique_ptr<Writer> create(std::FILE* file, const std::string& name, std::string* error);
    ~Writer();
    Writer(const Writer&) = delete;
    Writer& operator=(const Writer&) = delete;

    void opened(unsigned handle, const cvi::ext::Endpoints& endpoints);
    void received(unsigned handle, const unsigned char* data, std::size_t length);
    void sent(unsigned handle, const unsigned char* data, std::size_t length);
    void ended(unsigned handle, cvi::ext::ConversationEnd how);
    // A conversation open before the capture began: shown from this moment.
    void joined(unsigned handle, const cvi::ext::Endpoints& endpoints);

    // Hands what is buffered to the system. False once a write has failed.
    bool flush();
    bool failed() const { return !m_error.empty(); }
    const std::string& error() const { return m_error; }  // why writing stopped
    long long packets() const { return m_packets; }

private:
    struct Stream {
        cvi::ext::Endpoints endpoints;
        bool v6 = false;
        unsigned char local[16] = {};
        unsigned char peer[16] = {};
        std::uint32_t clientSeq = 0;  // the next byte each side sends
        std::uint32_t serverSeq = 0;
        std::uint16_t ipId = 0;
    };
    enum Flag : unsigned char { kFin = 0x01, kSyn = 0x02, kRst = 0x04, kPsh = 0x08, kAck = 0x10 };

    Writer() = default;
    Stream* stream(unsigned handle);
    void handshake(Stream& s);
    // One segment from the client (fromClient) or from us; advances that side's number.
    void segment(Stream& s, bool fromClient, unsigned char flags, const unsigned char* data, std::size_t length);
    void fail(int err);

    pcap* m_pcap = nullptr;
    pcap_dumper* m_dumper = nullptr;
    std::FILE* m_file = nullptr;
    std::string m_name;
    std::string m_error;
    std::map<unsigned, Stream> m_streams;
    unsigned char m_packet[65536 + 64];
    long long m_packets = 0;
    bool m_dirty = false;
};

// ---- The program's capture ----
// Adds the traffic tap and the flush before every wait; call once, before the
// run-time starts.
void install();
// Starts capturing into path (created or emptied). False, and why (naming the
// file), when it cannot be written or a capture is already running.
bool start(const std::string& path, std::string* why);
// Stops and closes the file; nothing when none runs.
void stop();
// {"file": PATH or null, "error": TEXT or null}: the file being written, or the
// one whose write failed with why.
std::string describe();
// The control channel's `capture` verb (its argument as given); the reply line.
std::string verb(const std::string& args);

}  // namespace vantis::capture
