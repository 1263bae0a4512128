// Capture: every byte of every client conversation, both directions, as it is
// received or leaves, written as a pcap file that Wireshark and tshark read.
//
// Each conversation becomes one TCP stream between its real addresses and
// ports (IPv4 or IPv6, raw IP link type), with sequence and acknowledgement
// numbers that follow the bytes, so that TCP analysis and reassembly work. Its
// connect shows as a handshake, its end as FINs (the client's or ours first)
// or as our RST. A conversation already open when a capture starts is shown
// with a handshake at that moment. Bytes sent one after another with no wait
// between them (a fast download's frames) go in one segment, as the corked
// socket sends them, stamped with the time of their first byte: a packet per
// frame would cost more than the download itself.
//
// A write error (a full disk) stops the capture, never the instrument: it is
// reported once on stderr and kept for the control channel's `state`.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <ctime>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "extension.h"

struct pcap;
struct pcap_dumper;

namespace vantis::capture {

// One capture file and the TCP streams of the conversations it follows. Each
// call writes at the moment it is given (when).
class Writer {
public:
    // Takes ownership of file (already open for writing); name is for messages.
    // Null, with *error, when the file header cannot be written.
    static std::unique_ptr<Writer> create(std::FILE* file, const std::string& name, std::string* error);
    ~Writer();
    Writer(const Writer&) = delete;
    Writer& operator=(const Writer&) = delete;

    // Also for a conversation open before the capture began: shown from then.
    void noteOpen(unsigned handle, const cvi::ext::Endpoints& endpoints, const timespec& when);
    void noteIn(unsigned handle, const unsigned char* data, std::size_t length, const timespec& when);
    void noteOut(unsigned handle, const unsigned char* data, std::size_t length, const timespec& when);
    void noteEnd(unsigned handle, cvi::ext::ConversationEnd how, const timespec& when);

    // Hands what is buffered to the system. False once a write has failed.
    bool flush();
    bool failed() const { return !m_error.empty(); }
    const std::string& error() const { return m_error; }  // why writing stopped

    static constexpr std::size_t kMaxSegment = 65000;  // payload per packet: fits an IPv4 length

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
    static constexpr std::size_t kPayloadAt = 60;  // room for IPv6 and TCP headers before it

    Writer() = default;
    Stream* stream(unsigned handle);
    // One segment from the client (fromClient) or from us; advances that side's number.
    void segment(Stream& s, bool fromClient, unsigned char flags, const unsigned char* data, std::size_t length,
                 const timespec& when);
    void giveUp(int err);

    pcap* m_pcap = nullptr;
    pcap_dumper* m_dumper = nullptr;
    std::FILE* m_file = nullptr;
    std::string m_error;
    std::map<unsigned, Stream> m_streams;
    unsigned char m_packet[kPayloadAt + kMaxSegment];
    bool m_dirty = false;
};

// A capture as the program runs it: the tap's calls are noted on the
// instrument's thread (a copy and, for a new piece, the time) and written by a
// thread of the capture's own, so that neither building packets nor a slow
// disk holds the instrument up. Bytes sent one after another with no wait
// between them (a fast download's frames) go in one segment, as the corked
// socket sends them, stamped with the time of their first byte.
class Recorder {
public:
    // Opens path (created or emptied) and starts writing. Null, and why
    // (naming the file), when it cannot be written.
    static std::unique_ptr<Recorder> create(const std::string& path, std::string* why);
    // Writes everything noted, then closes the file.
    ~Recorder();
    Recorder(const Recorder&) = delete;
    Recorder& operator=(const Recorder&) = delete;

    void noteOpen(unsigned handle, const cvi::ext::Endpoints& endpoints);
    void noteIn(unsigned handle, const unsigned char* data, std::size_t length);
    void noteOut(unsigned handle, const unsigned char* data, std::size_t length) {
        // The frames of a download come here one by one: the common case is cheap.
        if (!m_batch.empty() && m_batch.back().kind == Event::Sent && m_batch.back().handle == handle &&
            m_batch.back().bytes.size() + length <= Writer::kMaxSegment) {
            m_batch.back().bytes.append(reinterpret_cast<const char*>(data), length);
            m_batchBytes += length;
            return;
        }
        note(Event::Sent, handle, data, length);
    }
    void noteEnd(unsigned handle, cvi::ext::ConversationEnd how);
    // The program is about to wait: what was noted goes to the writing thread.
    void handOver();
    // True once writing has stopped on an error (or fell too far behind).
    bool failed() const { return m_failed.load(); }
    std::string error() const;

private:
    struct Event {
        enum Kind { Opened, Received, Sent, Ended } kind;
        unsigned handle = 0;
        timespec when{};
        cvi::ext::Endpoints endpoints;
        cvi::ext::ConversationEnd how{};
        std::string bytes;
    };

    explicit Recorder(std::unique_ptr<Writer> writer);
    void note(Event::Kind kind, unsigned handle, const unsigned char* data, std::size_t length);
    void run();  // the writing thread

    std::vector<Event> m_batch;  // the instrument's thread: noted since the last pass
    std::size_t m_batchBytes = 0;

    mutable std::mutex m_mutex;  // guards what follows, up to the thread
    std::condition_variable m_wake;
    std::vector<Event> m_queue;
    std::size_t m_queueBytes = 0;
    bool m_stopping = false;
    std::string m_error;
    std::atomic<bool> m_failed{false};
    std::unique_ptr<Writer> m_writer;  // the thread's alone
    std::thread m_thread;
};

// ---- The program's capture ----
// Adds the traffic tap and the flush before every wait; call once, before the
// run-time starts.
void install();
// Starts capturing into path (created or emptied). False, and why (naming the
// file), when it cannot be written or a capture is already running.
bool startFile(const std::string& path, std::string* why);
// Stops and closes the file; nothing when none runs.
void stopCapturing();
// {"file": PATH or null, "error": TEXT or null}: the file being written, or the
// one whose write failed with why.
std::string describe();
// The control channel's `capture` verb (its argument as given); the reply line.
std::string verb(const std::string& args);

}  // namespace vantis::capture
