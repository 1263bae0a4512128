#include "linkfaults.h"

#include <deque>

#include "control.h"
#include "cvi.h"
#include "extension.h"

namespace cvi::linkfaults {
namespace {

constexpr std::size_t kMaxPending = 16;

std::deque<Fault>& queue() {
    static std::deque<Fault> q;
    return q;
}

bool printable(const unsigned char* bytes, std::size_t length) {
    for (std::size_t i = 0; i < length; ++i)
        if ((bytes[i] < 0x20 && bytes[i] != '\r' && bytes[i] != '\n' && bytes[i] != '\t') || bytes[i] >= 0x7f)
            return false;
    return true;
}

// Shows in the TRANSMIT box what really went out. The program echoes a text just
// before writing it; that echo, still waiting to be shown, is replaced by the note.
void note(const unsigned char* intended, std::size_t length, const std::string& replacement) {
    const auto& f = control::face();
    if (length > 0)
        ext::withdrawAppendedText(f.panel(), f.transmitBox, std::string_view(reinterpret_cast<const char*>(intended), length));
    SetCtrlVal(f.panel(), f.transmitBox, replacement.c_str());
}

std::string ending(const std::string& text) {
    return !text.empty() && text.back() == '\n' ? text : text + "\n";
}

}  // namespace

bool arm(Fault fault) {
    if (queue().size() >= kMaxPending) return false;
    queue().push_back(fault);
    return true;
}

void clear() { queue().clear(); }

std::vector<Fault> pending() { return {queue().begin(), queue().end()}; }

const char* name(Fault fault) { return fault == Fault::DropNext ? "drop-next" : "corrupt-next"; }

bool disconnect() {
    const unsigned handle = control::face().client();
    return handle && ext::endConversation(handle);
}

std::size_t corruptionIndex(const unsigned char* bytes, std::size_t length) {
    if (length == 0 || !printable(bytes, length)) return 0;
    std::size_t hash = length;
    for (std::size_t i = length; i-- > 0;)
        if (bytes[i] == '#') {
            hash = i;
            break;
        }
    std::size_t i = hash;
    while (i > 0 && i < length && bytes[i] == '#') --i;  // "S#1#" -> the '1'
    return (hash < length && bytes[i] != '#') ? i : 0;
}

unsigned char corrupted(unsigned char byte) {
    // Flip the lowest bit, unless that would make a character the framing reads.
    const unsigned char flipped = byte ^ 0x01;
    if (flipped == '#' || flipped == '\n' || flipped == '\r' || flipped == 0) return byte ^ 0x02;
    return flipped;
}

bool intercept(unsigned handle, const unsigned char* data, std::size_t length, unsigned timeoutMs, int* result) {
    auto& q = queue();
    if (q.empty() || length == 0 || !data) return false;
    // Only a write that would really go out is faulted; others fail as they are.
    if (!ext::conversationOpen(handle)) return false;
    const Fault fault = q.front();
    q.pop_front();
    const auto* bytes = data;
    const bool text = printable(bytes, length);
    if (fault == Fault::DropNext) {
        note(bytes, text ? length : 0,
             text ? ending("[link fault: not sent] " + std::string(reinterpret_cast<const char*>(bytes), length))
                  : "[link fault: not sent: " + std::to_string(length) + " bytes]\n");
        *result = static_cast<int>(length);  // the program believes it went
        return true;
    }
    std::string copy(reinterpret_cast<const char*>(bytes), length);
    const std::size_t at = corruptionIndex(bytes, length);
    copy[at] = static_cast<char>(corrupted(bytes[at]));
    note(bytes, text ? length : 0,
         text ? ending("[link fault: corrupted] " + copy)
              : "[link fault: corrupted byte " + std::to_string(at) + " of " + std::to_string(length) + "]\n");
    *result = ext::writeThrough(handle, copy.data(), copy.size(), timeoutMs);
    return true;
}

}  // namespace cvi::linkfaults
