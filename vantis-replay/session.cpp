#include "session.h"

#include <arpa/inet.h>
#include <pcap/pcap.h>

#include <cstdint>
#include <cstring>
#include <map>
#include <memory>
#include <tuple>

namespace vantis::replay {
namespace {

struct Packet {
    double time = 0;
    std::string src, dst;  // addresses as text
    unsigned srcPort = 0, dstPort = 0;
    std::uint32_t seq = 0;
    bool syn = false, ack = false, fin = false, rst = false;
    std::string payload;
};

unsigned be16(const unsigned char* p) { return static_cast<unsigned>(p[0] << 8 | p[1]); }
std::uint32_t be32(const unsigned char* p) { return static_cast<std::uint32_t>(be16(p)) << 16 | be16(p + 2); }

std::string addressText(int family, const unsigned char* a) {
    char text[INET6_ADDRSTRLEN] = "";
    inet_ntop(family, a, text, sizeof text);
    return text;
}

std::string endpointText(const std::string& address, unsigned port) {
    return (address.find(':') != std::string::npos ? "[" + address + "]" : address) + ":" + std::to_string(port);
}

// Where the IP packet starts in a frame of this link type; -1 when it holds none.
// *version is 4 or 6 when the link says, 0 when the IP header must tell.
long ipOffset(int link, const unsigned char* p, std::size_t n, int* version) {
    *version = 0;
    switch (link) {
        case DLT_RAW:
        case DLT_IPV4:
        case DLT_IPV6:
            return 0;
        case DLT_NULL:
        case DLT_LOOP:
            return n >= 4 ? 4 : -1;
        case DLT_EN10MB: {
            std::size_t at = 12;
            if (n < at + 2) return -1;
            unsigned type = be16(p + at);
            while ((type == 0x8100 || type == 0x88a8) && n >= at + 6) {  // VLAN tags
                at += 4;
                type = be16(p + at);
            }
            if (type != 0x0800 && type != 0x86dd) return -1;
            return static_cast<long>(at + 2);
        }
        case DLT_LINUX_SLL: {
            if (n < 16) return -1;
            const unsigned type = be16(p + 14);
            return type == 0x0800 || type == 0x86dd ? 16 : -1;
        }
#ifdef DLT_LINUX_SLL2
        case DLT_LINUX_SLL2: {
            if (n < 20) return -1;
            const unsigned type = be16(p);
            return type == 0x0800 || type == 0x86dd ? 20 : -1;
        }
#endif
        default:
            return -1;
    }
}

bool knownLink(int link) {
    switch (link) {
        case DLT_RAW: case DLT_IPV4: case DLT_IPV6: case DLT_NULL: case DLT_LOOP: case DLT_EN10MB:
        case DLT_LINUX_SLL:
#ifdef DLT_LINUX_SLL2
        case DLT_LINUX_SLL2:
#endif
            return true;
        default:
            return false;
    }
}

// The TCP segment in a frame; 0 none, 1 one, -1 one whose payload the snap length cut.
int parseFrame(int link, const pcap_pkthdr& h, const unsigned char* p, Packet& out) {
    int version = 0;
    const std::size_t n = h.caplen;
    const long at = ipOffset(link, p, n, &version);
    if (at < 0 || static_cast<std::size_t>(at) >= n) return 0;
    const unsigned char* ip = p + at;
    std::size_t left = n - static_cast<std::size_t>(at);
    const std::size_t wireLeft = h.len - static_cast<std::size_t>(at);
    version = ip[0] >> 4;
    std::size_t ipHeader = 0, ipTotal = 0;
    if (version == 4) {
        if (left < 20) return 0;
        ipHeader = static_cast<std::size_t>(ip[0] & 0x0f) * 4;
        ipTotal = be16(ip + 2);
        if (ip[9] != 6 || ipHeader < 20 || (be16(ip + 6) & 0x3fff) != 0) return 0;  // TCP, unfragmented
        out.src = addressText(AF_INET, ip + 12);
        out.dst = addressText(AF_INET, ip + 16);
    } else if (version == 6) {
        if (left < 40 || ip[6] != 6) return 0;
        ipHeader = 40;
        ipTotal = 40 + be16(ip + 4);
        out.src = addressText(AF_INET6, ip + 8);
        out.dst = addressText(AF_INET6, ip + 24);
    } else {
        return 0;
    }
    if (ipTotal > wireLeft || ipTotal < ipHeader + 20) return 0;
    if (left < ipHeader + 20) return -1;
    const unsigned char* tcp = ip + ipHeader;
    const std::size_t tcpHeader = static_cast<std::size_t>(tcp[12] >> 4) * 4;
    if (tcpHeader < 20 || ipHeader + tcpHeader > ipTotal) return 0;
    out.srcPort = be16(tcp);
    out.dstPort = be16(tcp + 2);
    out.seq = be32(tcp + 4);
    const unsigned flags = tcp[13];
    out.fin = flags & 0x01;
    out.syn = flags & 0x02;
    out.rst = flags & 0x04;
    out.ack = flags & 0x10;
    const std::size_t payload = ipTotal - ipHeader - tcpHeader;
    if (left < ipHeader + tcpHeader + payload) return -1;
    out.payload.assign(reinterpret_cast<const char*>(tcp + tcpHeader), payload);
    return 1;
}

// One direction of a conversation, put back in sequence order.
struct Direction {
    bool started = false;
    std::uint32_t next = 0;
    std::map<std::uint32_t, std::string> ahead;  // segments beyond a gap, by sequence number
};

struct Building {
    Conversation conv;
    Direction host, instrument;
    bool carriesData = false;
};

void take(Building& b, Direction& d, bool fromHost, const Packet& pk, double time) {
    if (pk.syn) {
        d.started = true;
        d.next = pk.seq + 1;
        return;
    }
    if (!d.started) {  // begun before the capture: from the first byte seen
        d.started = true;
        d.next = pk.seq;
    }
    auto append = [&](std::uint32_t seq, const std::string& bytes) {
        const auto behind = static_cast<std::int32_t>(d.next - seq);
        if (behind < 0) {
            d.ahead.emplace(seq, bytes);
            return false;
        }
        if (static_cast<std::size_t>(behind) >= bytes.size()) return true;  // a retransmission
        const std::string fresh = bytes.substr(static_cast<std::size_t>(behind));
        d.next += static_cast<std::uint32_t>(fresh.size());
        b.conv.pieces.push_back({time, fromHost, fresh});
        b.carriesData = true;
        return true;
    };
    if (!pk.payload.empty() && append(pk.seq, pk.payload)) {
        for (auto it = d.ahead.begin(); it != d.ahead.end();) {
            if (static_cast<std::int32_t>(d.next - it->first) < 0) {
                ++it;
                continue;
            }
            const std::string bytes = it->second;
            const std::uint32_t seq = it->first;
            it = d.ahead.erase(it);
            append(seq, bytes);
            it = d.ahead.begin();
        }
    }
    if (fromHost && (pk.fin || pk.rst)) b.conv.hostClosed = true;
}

}  // namespace

bool readCapture(const std::string& path, unsigned port, Capture& out, std::string* why) {
    const auto fail = [&](const std::string& text) {
        if (why) *why = text;
        return false;
    };
    char error[PCAP_ERRBUF_SIZE] = "";
    std::unique_ptr<pcap_t, void (*)(pcap_t*)> pcap(pcap_open_offline(path.c_str(), error), pcap_close);
    if (!pcap) return fail(error);
    const int link = pcap_datalink(pcap.get());
    if (!knownLink(link)) {
        const char* name = pcap_datalink_val_to_name(link);
        return fail("link type " + std::string(name ? name : std::to_string(link)) + " is not one this program reads");
    }
    std::vector<Packet> packets;
    double first = -1;
    long long number = 0;
    for (;;) {
        pcap_pkthdr* h = nullptr;
        const unsigned char* data = nullptr;
        const int rc = pcap_next_ex(pcap.get(), &h, &data);
        if (rc == PCAP_ERROR_BREAK) break;
        if (rc < 0) return fail("after packet " + std::to_string(number) + ": " + pcap_geterr(pcap.get()));
        ++number;
        Packet pk;
        const int got = parseFrame(link, *h, data, pk);
        if (got < 0)
            return fail("packet " + std::to_string(number) + " was cut to " + std::to_string(h->caplen) + " of " +
                        std::to_string(h->len) + " bytes when captured (the snap length)");
        if (got == 0) continue;
        pk.time = static_cast<double>(h->ts.tv_sec) + static_cast<double>(h->ts.tv_usec) / 1e6;
        if (first < 0) first = pk.time;
        pk.time -= first;
        packets.push_back(std::move(pk));
    }
    if (port == 0) {
        port = 3000;
        for (const Packet& pk : packets)
            if (pk.syn && !pk.ack) {
                port = pk.dstPort;
                break;
            }
    }
    out.instrumentPort = port;
    // Conversations by the host's end and the instrument's, in the order they began.
    std::map<std::tuple<std::string, unsigned, std::string, unsigned>, std::size_t> index;
    std::vector<Building> building;
    for (const Packet& pk : packets) {
        const bool fromHost = pk.dstPort == port;
        if (!fromHost && pk.srcPort != port) continue;
        const auto key = fromHost ? std::make_tuple(pk.src, pk.srcPort, pk.dst, pk.dstPort)
                                  : std::make_tuple(pk.dst, pk.dstPort, pk.src, pk.srcPort);
        auto it = index.find(key);
        // A new connection on the same two ends starts a new conversation.
        if (it != index.end() && pk.syn && !pk.ack && fromHost && building[it->second].host.started) {
            index.erase(it);
            it = index.end();
        }
        if (it == index.end()) {
            Building b;
            b.conv.host = endpointText(std::get<0>(key), std::get<1>(key));
            b.conv.instrument = endpointText(std::get<2>(key), std::get<3>(key));
            b.conv.start = pk.time;
            building.push_back(std::move(b));
            it = index.emplace(key, building.size() - 1).first;
        }
        Building& b = building[it->second];
        take(b, fromHost ? b.host : b.instrument, fromHost, pk, pk.time);
    }
    for (Building& b : building) {
        if (!b.carriesData) continue;
        for (const Direction* d : {&b.host, &b.instrument})
            if (!d->ahead.empty())
                return fail("the capture misses bytes of the conversation " + b.conv.host + " - " + b.conv.instrument +
                            " (a gap in its " + (d == &b.host ? "host's" : "instrument's") + " stream)");
        out.conversations.push_back(std::move(b.conv));
    }
    if (out.conversations.empty())
        return fail("no conversation with port " + std::to_string(port) + " carries data in the capture");
    return true;
}

}  // namespace vantis::replay
