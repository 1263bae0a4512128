#include "capture.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <pcap/pcap.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <bit>
#include <cerrno>
#include <cstring>

#include "args.h"
#include "instrument_view.h"
#include "parts.h"

namespace vantis::capture {
namespace {

constexpr int kSnapLength = 262144;
// Small: a large segment then goes from our buffer to the system in one copy.
constexpr std::size_t kFileBuffer = 16 * 1024;
constexpr std::uint16_t kWindow = 65535;

void put16(unsigned char* p, unsigned v) {
    p[0] = static_cast<unsigned char>(v >> 8);
    p[1] = static_cast<unsigned char>(v);
}

void put32(unsigned char* p, std::uint32_t v) {
    put16(p, v >> 16);
    put16(p + 2, v & 0xffff);
}

// The Internet checksum's running sum of 16-bit big-endian words. The bulk is
// summed as native 32-bit words and swapped once at the end: the one's
// complement sum does not care in which order the bytes of every word are.
std::uint32_t sumWords(const unsigned char* p, std::size_t n, std::uint32_t sum = 0) {
    std::uint64_t wide = 0;
    for (; n >= 4; p += 4, n -= 4) {
        std::uint32_t v;
        std::memcpy(&v, p, 4);
        wide += v;
    }
    while (wide >> 16) wide = (wide & 0xffff) + (wide >> 16);
    auto native = static_cast<std::uint32_t>(wide);
    if constexpr (std::endian::native == std::endian::little) native = (native & 0xff) << 8 | native >> 8;
    sum += native;
    for (; n > 1; p += 2, n -= 2) sum += static_cast<std::uint32_t>(p[0] << 8 | p[1]);
    if (n) sum += static_cast<std::uint32_t>(p[0] << 8);
    return sum;
}

std::uint16_t folded(std::uint32_t sum) {
    while (sum >> 16) sum = (sum & 0xffff) + (sum >> 16);
    return static_cast<std::uint16_t>(~sum);
}

// Text to an address of 4 or 16 bytes; false when it is neither.
bool parseAddress(const std::string& text, unsigned char* out, bool* v6) {
    if (inet_pton(AF_INET, text.c_str(), out) == 1) {
        *v6 = false;
        return true;
    }
    if (inet_pton(AF_INET6, text.c_str(), out) == 1) {
        *v6 = true;
        return true;
    }
    return false;
}

// An IPv4 address as the IPv4-mapped IPv6 one, for a stream whose other end is IPv6.
void mapToV6(unsigned char* a) {
    unsigned char v4[4];
    std::memcpy(v4, a, 4);
    std::memset(a, 0, 16);
    a[10] = a[11] = 0xff;
    std::memcpy(a + 12, v4, 4);
}

}  // namespace

std::unique_ptr<Writer> Writer::create(std::FILE* file, const std::string& name, std::string* error) {
    std::unique_ptr<Writer> w(new Writer);
    w->m_pcap = pcap_open_dead(DLT_RAW, kSnapLength);
    if (!w->m_pcap) {
        std::fclose(file);
        if (error) *error = "cannot write " + name + ": libpcap refused the link type";
        return nullptr;
    }
    w->m_dumper = pcap_dump_fopen(w->m_pcap, file);
    if (!w->m_dumper) {
        if (error) *error = "cannot write " + name + ": " + pcap_geterr(w->m_pcap);
        std::fclose(file);
        return nullptr;
    }
    w->m_file = file;
    w->m_dirty = true;
    // The header goes out now, so that a file that takes nothing is found at once.
    if (!w->flush()) {
        if (error) *error = "cannot write " + name + ": " + w->m_error;
        return nullptr;
    }
    return w;
}

Writer::~Writer() {
    if (m_dumper) pcap_dump_close(m_dumper);
    if (m_pcap) pcap_close(m_pcap);
}

void Writer::giveUp(int err) {
    if (failed()) return;
    m_error = err ? std::strerror(err) : "write error";
    if (m_dumper) {
        pcap_dump_close(m_dumper);
        m_dumper = nullptr;
        m_file = nullptr;
    }
}

bool Writer::flush() {
    if (failed()) return false;
    if (!m_dirty) return true;
    errno = 0;
    if (pcap_dump_flush(m_dumper) != 0 || std::ferror(m_file)) {
        giveUp(errno);
        return false;
    }
    m_dirty = false;
    return true;
}

Writer::Stream* Writer::stream(unsigned handle) {
    const auto it = m_streams.find(handle);
    return it == m_streams.end() ? nullptr : &it->second;
}

void Writer::segment(Stream& s, bool fromClient, unsigned char flags, const unsigned char* data, std::size_t length,
                     const timespec& when) {
    if (failed()) return;
    const std::size_t ipLength = s.v6 ? 40 : 20;
    // The payload always stands at kPayloadAt, the headers just before it.
    unsigned char* payload = m_packet + kPayloadAt;
    unsigned char* tcp = payload - 20;
    unsigned char* ip = tcp - ipLength;
    const unsigned char* src = fromClient ? s.peer : s.local;
    const unsigned char* dst = fromClient ? s.local : s.peer;
    const unsigned srcPort = fromClient ? s.endpoints.peerPort : s.endpoints.localPort;
    const unsigned dstPort = fromClient ? s.endpoints.localPort : s.endpoints.peerPort;
    const std::size_t tcpLength = 20 + length;
    const std::size_t addrLength = s.v6 ? 16 : 4;

    if (s.v6) {
        put32(ip, 0x60000000u);
        put16(ip + 4, static_cast<unsigned>(tcpLength));
        ip[6] = 6;  // TCP
        ip[7] = 64;
        std::memcpy(ip + 8, src, 16);
        std::memcpy(ip + 24, dst, 16);
    } else {
        ip[0] = 0x45;
        ip[1] = 0;
        put16(ip + 2, static_cast<unsigned>(ipLength + tcpLength));
        put16(ip + 4, s.ipId++);
        put16(ip + 6, 0x4000);  // don't fragment
        ip[8] = 64;
        ip[9] = 6;
        put16(ip + 10, 0);
        std::memcpy(ip + 12, src, 4);
        std::memcpy(ip + 16, dst, 4);
        put16(ip + 10, folded(sumWords(ip, 20)));
    }
    std::uint32_t& seq = fromClient ? s.clientSeq : s.serverSeq;
    const std::uint32_t ack = fromClient ? s.serverSeq : s.clientSeq;
    put16(tcp, srcPort);
    put16(tcp + 2, dstPort);
    put32(tcp + 4, seq);
    put32(tcp + 8, (flags & kAck) ? ack : 0);
    tcp[12] = 5 << 4;
    tcp[13] = flags;
    put16(tcp + 14, kWindow);
    put16(tcp + 16, 0);
    put16(tcp + 18, 0);
    if (length) std::memcpy(payload, data, length);
    // The pseudo-header's sum: both addresses, the protocol and the TCP length.
    std::uint32_t sum = sumWords(src, addrLength);
    sum = sumWords(dst, addrLength, sum);
    sum += 6 + static_cast<std::uint32_t>(tcpLength);
    put16(tcp + 16, folded(sumWords(tcp, tcpLength, sum)));

    seq += static_cast<std::uint32_t>(length) + ((flags & (kSyn | kFin)) ? 1 : 0);

    pcap_pkthdr header{};
    header.ts.tv_sec = when.tv_sec;
    header.ts.tv_usec = static_cast<suseconds_t>(when.tv_nsec / 1000);
    header.caplen = header.len = static_cast<bpf_u_int32>(ipLength + tcpLength);
    pcap_dump(reinterpret_cast<u_char*>(m_dumper), &header, ip);
    m_dirty = true;
    if (std::ferror(m_file)) giveUp(errno);
}

void Writer::noteOpen(unsigned handle, const cvi::ext::Endpoints& endpoints, const timespec& when) {
    if (failed()) return;
    Stream s;
    s.endpoints = endpoints;
    bool localV6 = false, peerV6 = false;
    if (!parseAddress(endpoints.localAddress, s.local, &localV6)) localV6 = false;  // left at 0.0.0.0
    if (!parseAddress(endpoints.peerAddress, s.peer, &peerV6)) peerV6 = false;
    s.v6 = localV6 || peerV6;
    if (s.v6 && !localV6) mapToV6(s.local);
    if (s.v6 && !peerV6) mapToV6(s.peer);
    // Initial numbers apart for each conversation, as a real stack's are.
    s.clientSeq = 0x1000u + handle * 0x01010101u;
    s.serverSeq = 0x80000000u + handle * 0x02020202u;
    Stream& kept = m_streams[handle] = s;
    segment(kept, true, kSyn, nullptr, 0, when);
    segment(kept, false, kSyn | kAck, nullptr, 0, when);
    segment(kept, true, kAck, nullptr, 0, when);
}

void Writer::noteIn(unsigned handle, const unsigned char* data, std::size_t length, const timespec& when) {
    Stream* s = stream(handle);
    if (!s) return;
    for (std::size_t at = 0; at < length; at += kMaxSegment)
        segment(*s, true, kPsh | kAck, data + at, std::min(kMaxSegment, length - at), when);
}

void Writer::noteOut(unsigned handle, const unsigned char* data, std::size_t length, const timespec& when) {
    Stream* s = stream(handle);
    if (!s) return;
    for (std::size_t at = 0; at < length; at += kMaxSegment)
        segment(*s, false, kPsh | kAck, data + at, std::min(kMaxSegment, length - at), when);
}

void Writer::noteEnd(unsigned handle, cvi::ext::ConversationEnd how, const timespec& when) {
    Stream* s = stream(handle);
    if (!s) return;
    using End = cvi::ext::ConversationEnd;
    if (how == End::Reset) {
        segment(*s, false, kRst | kAck, nullptr, 0, when);
    } else {
        const bool clientFirst = how == End::PeerClosed;
        segment(*s, clientFirst, kFin | kAck, nullptr, 0, when);
        segment(*s, !clientFirst, kFin | kAck, nullptr, 0, when);
        segment(*s, clientFirst, kAck, nullptr, 0, when);
    }
    m_streams.erase(handle);
}

// ---- Recording on a thread of its own ----

namespace {

// Noted but not yet written beyond this, the disk cannot keep up: the capture
// stops rather than the program's memory grow without bound.
constexpr std::size_t kMaxBehind = 128u << 20;
constexpr std::size_t kBatchBytes = 1u << 20;  // handed over before a wait, or at this size

timespec wallClock() {
    timespec t{};
    clock_gettime(CLOCK_REALTIME, &t);
    return t;
}

// Opens path for writing without ever blocking, refusing anything but a file
// or a device such as /dev/null: a FIFO would hold the capture up whenever
// its reader lags.
std::FILE* openFile(const std::string& path, std::string* why) {
    const auto refuse = [&](const std::string& text) -> std::FILE* {
        if (why) *why = "cannot write " + path + ": " + text;
        return nullptr;
    };
    if (path.empty()) {
        if (why) *why = "capture needs a file";
        return nullptr;
    }
    if (struct stat st {}; ::stat(path.c_str(), &st) == 0 && !S_ISREG(st.st_mode) && !S_ISCHR(st.st_mode))
        return refuse(S_ISDIR(st.st_mode) ? "a folder" : "not a regular file");
    // Non-blocking all the same: a FIFO put there meanwhile must not block the open.
    const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_NONBLOCK | O_CLOEXEC, 0644);
    if (fd < 0) return refuse(std::strerror(errno));
    struct stat st {};
    if (::fstat(fd, &st) != 0 || !(S_ISREG(st.st_mode) || S_ISCHR(st.st_mode))) {
        ::close(fd);
        return refuse("not a regular file");
    }
    ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) & ~O_NONBLOCK);
    std::FILE* file = ::fdopen(fd, "wb");
    if (!file) {
        const int err = errno;
        ::close(fd);
        return refuse(std::strerror(err));
    }
    std::setvbuf(file, nullptr, _IOFBF, kFileBuffer);
    return file;
}

}  // namespace

std::unique_ptr<Recorder> Recorder::create(const std::string& path, std::string* why) {
    std::FILE* file = openFile(path, why);
    if (!file) return nullptr;
    auto writer = Writer::create(file, path, why);
    if (!writer) return nullptr;
    return std::unique_ptr<Recorder>(new Recorder(std::move(writer)));
}

Recorder::Recorder(std::unique_ptr<Writer> writer) : m_writer(std::move(writer)) {
    m_thread = std::thread([this] { run(); });
}

Recorder::~Recorder() {
    handOver();
    {
        std::lock_guard lock(m_mutex);
        m_stopping = true;
    }
    m_wake.notify_one();
    m_thread.join();
}

void Recorder::note(Event::Kind kind, unsigned handle, const unsigned char* data, std::size_t length) {
    Event e{kind, handle, wallClock(), {}, {}, {}};
    if (length) e.bytes.assign(reinterpret_cast<const char*>(data), length);
    m_batch.push_back(std::move(e));
    m_batchBytes += length + 64;
    if (m_batchBytes >= kBatchBytes) handOver();
}

void Recorder::noteOpen(unsigned handle, const cvi::ext::Endpoints& endpoints) {
    note(Event::Opened, handle, nullptr, 0);
    m_batch.back().endpoints = endpoints;
}

void Recorder::noteIn(unsigned handle, const unsigned char* data, std::size_t length) {
    note(Event::Received, handle, data, length);
}

void Recorder::noteEnd(unsigned handle, cvi::ext::ConversationEnd how) {
    note(Event::Ended, handle, nullptr, 0);
    m_batch.back().how = how;
    handOver();
}

void Recorder::handOver() {
    if (m_batch.empty()) return;
    {
        std::lock_guard lock(m_mutex);
        if (!m_failed && m_queueBytes + m_batchBytes > kMaxBehind) {
            m_error = "the disk did not keep up (more than " + std::to_string(kMaxBehind >> 20) +
                      " MB waiting to be written)";
            m_failed = true;
        }
        if (!m_failed) {
            if (m_queue.empty()) {
                m_queue.swap(m_batch);
            } else {
                for (Event& e : m_batch) m_queue.push_back(std::move(e));
            }
            m_queueBytes += m_batchBytes;
        }
    }
    m_batch.clear();
    m_batchBytes = 0;
    m_wake.notify_one();
}

std::string Recorder::error() const {
    std::lock_guard lock(m_mutex);
    return m_error;
}

void Recorder::run() {
    std::vector<Event> work;
    for (;;) {
        {
            std::unique_lock lock(m_mutex);
            m_wake.wait(lock, [this] { return m_stopping || !m_queue.empty(); });
            if (m_queue.empty()) return;  // stopping, and all is written
            work.swap(m_queue);
            m_queueBytes = 0;
        }
        for (const Event& e : work) {
            const auto* data = reinterpret_cast<const unsigned char*>(e.bytes.data());
            switch (e.kind) {
                case Event::Opened: m_writer->noteOpen(e.handle, e.endpoints, e.when); break;
                case Event::Received: m_writer->noteIn(e.handle, data, e.bytes.size(), e.when); break;
                case Event::Sent: m_writer->noteOut(e.handle, data, e.bytes.size(), e.when); break;
                case Event::Ended: m_writer->noteEnd(e.handle, e.how, e.when); break;
            }
        }
        work.clear();
        if (!m_writer->flush()) {
            std::lock_guard lock(m_mutex);
            if (!m_failed) {
                m_error = m_writer->error();
                m_failed = true;
            }
            m_queue.clear();
            m_queueBytes = 0;
        }
    }
}

// ---- The program's capture ----

class Program {
public:
    bool startFile(const std::string& path, std::string* why);
    void finish();
    std::string describe();
    void handOver();

    void noteOpen(unsigned handle, const cvi::ext::Endpoints& e) {
        m_open[handle] = e;
        if (m_recorder) m_recorder->noteOpen(handle, e);
    }
    void noteIn(unsigned handle, const unsigned char* data, std::size_t length) {
        if (m_recorder) m_recorder->noteIn(handle, data, length);
    }
    void noteOut(unsigned handle, const unsigned char* data, std::size_t length) {
        if (m_recorder) m_recorder->noteOut(handle, data, length);
    }
    void noteEnd(unsigned handle, cvi::ext::ConversationEnd how) {
        m_open.erase(handle);
        if (m_recorder) m_recorder->noteEnd(handle, how);
    }

private:
    // A capture that failed is reported once and dropped; the instrument goes on.
    void check();

    std::unique_ptr<Recorder> m_recorder;
    std::string m_path;
    std::string m_error;  // why the last capture stopped on its own
    std::map<unsigned, cvi::ext::Endpoints> m_open;
};

Program& program() { return services::partOf(services::parts().capture); }

bool Program::startFile(const std::string& path, std::string* why) {
    check();
    if (m_recorder) {
        if (why) *why = "a capture to " + m_path + " is already running; stop it first";
        return false;
    }
    m_recorder = Recorder::create(path, why);
    if (!m_recorder) return false;
    m_path = path;
    m_error.clear();
    for (const auto& [handle, e] : m_open) m_recorder->noteOpen(handle, e);
    return true;
}

void Program::finish() {
    m_recorder.reset();  // writes what was noted
    m_path.clear();
    m_error.clear();
}

void Program::handOver() {
    if (!m_recorder) return;
    m_recorder->handOver();
    check();
}

void Program::check() {
    if (!m_recorder || !m_recorder->failed()) return;
    m_error = m_recorder->error();
    std::fprintf(stderr, "vantis-sim: capture to %s stopped: %s\n", m_path.c_str(), m_error.c_str());
    std::fflush(stderr);
    m_recorder.reset();
}

std::string Program::describe() {
    check();  // a failure the writing thread has met shows at once
    const auto text = [](const std::string& s) { return s.empty() ? std::string("null") : cvi::args::jsonString(s); };
    return "{\"file\":" + text(m_path) + ",\"error\":" + text(m_error) + "}";
}


// Once, by the services object.
void install() {
    cvi::ext::TrafficTap tap;
    tap.opened = [](unsigned h, const cvi::ext::Endpoints& e) { program().noteOpen(h, e); };
    tap.received = [](unsigned h, const unsigned char* d, std::size_t n) { program().noteIn(h, d, n); };
    tap.sent = [](unsigned h, const unsigned char* d, std::size_t n) { program().noteOut(h, d, n); };
    tap.ended = [](unsigned h, cvi::ext::ConversationEnd how) { program().noteEnd(h, how); };
    cvi::ext::addTrafficTap(std::move(tap));
    // What was noted goes to the file whenever the program is about to wait;
    // the rest, with the conversations' ends at the close, when the program's
    // objects go at exit.
    cvi::ext::onBeforeWait([] { program().handOver(); });
}

bool startFile(const std::string& path, std::string* why) { return program().startFile(path, why); }

void stopCapturing() { program().finish(); }

std::string describe() { return program().describe(); }

std::string verb(const std::string& args) {
    const auto space = args.find(' ');
    std::string what = args.substr(0, space);
    for (char& c : what)
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    std::string rest = space == std::string::npos ? std::string() : args.substr(space + 1);
    rest.erase(0, rest.find_first_not_of(" \t"));
    if (what.empty()) return "ok " + describe();
    if (what == "start") {
        if (rest.empty()) return "error capture start needs a file";
        std::string why;
        return program().startFile(rest, &why) ? "ok" : "error " + why;
    }
    if (what == "stop" && rest.empty()) {
        program().finish();
        return "ok";
    }
    return "error bad value \"" + what.substr(0, 40) + "\" for capture: expected start FILE or stop";
}

}  // namespace vantis::capture
