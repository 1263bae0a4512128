// A script's side of the control channel: a blocking local-socket client, and a
// fixture that gives each test a control socket of its own.
#pragma once

#include <string>

#include "harness.h"

class ControlClient {
public:
    explicit ControlClient(const std::string& path);
    ~ControlClient();
    ControlClient(const ControlClient&) = delete;
    ControlClient& operator=(const ControlClient&) = delete;

    bool ok() const { return fd_ >= 0; }
    void send(const std::string& bytes);
    // One reply line without its line feed; empty on a time-out or the end.
    std::string line(int timeoutMs = 5000);
    std::string ask(const std::string& request) {
        send(request + "\n");
        return line();
    }
    bool closed(int timeoutMs = 5000);
    void close();

private:
    int fd_ = -1;
    std::string pending_;
    bool eof_ = false;
};

class Controlled : public Sim {
protected:
    void SetUp() override;
    void TearDown() override;

    const std::string& socket_path() const { return path_; }
    // One request on a connection of its own; returns the reply line.
    std::string ctl(const std::string& request) const;
    // The reply's data after "ok ", failing the test on anything else.
    std::string ok(const std::string& request) const;

private:
    std::string dir_;
    std::string path_;
};

inline bool has(const std::string& text, const std::string& piece) { return text.find(piece) != std::string::npos; }

// The text of a JSON string value, as the channel encodes the traffic boxes.
std::string json_text(const std::string& json);
