// The control channel's verbs (common/verbs.h lists them): each request's
// handler, and the state report. The server and its sessions are in
// control_server.h; what the verbs work is the instrument view.
#pragma once

#include <string>

#include "control_server.h"

namespace vantis {
class DownloadWatch;
}

namespace cvi::control {

class ChannelVerbs final : public Verbs {
public:
    // The download watch says whether, and how far, a download runs; name is
    // the instance's (empty when it has none).
    ChannelVerbs(const vantis::DownloadWatch& download, const std::string& name);

    bool actsOnInstrument(const std::string& verb, const std::string& arg) const override;
    std::string run(Session& session, const std::string& verb, const std::string& arg) override;

    // No command waits, no download runs, and the program is not busy.
    bool idle() const;
    // The state report: one JSON object.
    std::string state() const;

private:
    const vantis::DownloadWatch& m_download;
    const std::string& m_name;
};

}  // namespace cvi::control
