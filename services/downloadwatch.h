// Follows what the instrument writes to its client: a download's header
// (NAME#words#frames#SUM\r\n after a DUMPBIN-family request) and the frames
// after it (one write each), so that a fault can wait for a frame.
#pragma once

#include <cstddef>
#include <functional>
#include <optional>
#include <string>

namespace vantis {

class DownloadWatch {
public:
    struct Download {
        std::string command;  // the header's name: DUMPBIN, DUMPBINA, ...
        long long frames = 0;
        int frameBytes = 0;
        long long sent = 0;  // frames written so far
    };
    // Each write, before it leaves.
    void onWrite(unsigned handle, const unsigned char* data, std::size_t length);
    // The instrument is back in its loop: a download still open has ended.
    void onEventPass();
    const std::optional<Download>& current() const { return current_; }
    // The index the write would have in the download under way (its next frame),
    // or -1 when it is no frame of one.
    long long frameIndexOf(unsigned handle, std::size_t length) const;
    std::function<void(const Download&)> started, finished;

private:
    void end();
    std::optional<Download> current_;
    unsigned handle_ = 0;
};

// A download's header, or nothing for any other text.
std::optional<DownloadWatch::Download> parseDownloadHeader(const unsigned char* data, std::size_t length);

}  // namespace vantis
