// Follows what the instrument writes to its client: a download's header
// (NAME#words#frames#SUM\r\n after a DUMPBIN-family request) and the frames
// after it (one write each).
#pragma once

#include <cstddef>
#include <functional>
#include <optional>
#include <string>

namespace vantis {

class DownloadWatch {
public:
    struct Download {
        std::string command;
        long long frames = 0;
        int frameBytes = 0;
        long long sent = 0;
    };
    void onWrite(unsigned handle, const unsigned char* data, std::size_t length);  // each write, before it leaves
    void onEventPass();  // the instrument is back in its loop: a download still open has ended
    const std::optional<Download>& current() const { return current_; }
    std::function<void(const Download&)> started, finished;

private:
    void finish();
    std::optional<Download> current_;
    unsigned handle_ = 0;
};

}  // namespace vantis
