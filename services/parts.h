// The one services object: the state of every service, in one place. Each part
// is defined, made and worked on by its own file; this file knows only their
// names, so no service reaches another through it. The link's faults are made
// anew as a run starts (a fresh part).
#pragma once

#include <memory>

namespace vantis::capture { class Program; }
namespace vantis::events { struct Observer; }
namespace vantis::replyfaults { struct State; }
namespace cvi::recording { class Source; }
namespace cvi::linkfaults { class Link; }

namespace vantis::services {

class Services;

struct Parts {
    std::shared_ptr<Services> services;                  // services.cpp: the channel, the verbs, the hooks
    std::shared_ptr<vantis::capture::Program> capture;   // the traffic capture
    std::shared_ptr<vantis::events::Observer> events;    // the event stream
    std::shared_ptr<vantis::replyfaults::State> replies; // the instrument's reply faults, for one run
    std::shared_ptr<cvi::recording::Source> recording;   // the recorded data
    std::shared_ptr<cvi::linkfaults::Link> link;         // the link's faults, for one run
};

Parts& parts();

// A part, made on its first use.
template <class Part>
Part& partOf(std::shared_ptr<Part>& slot) {
    if (!slot) slot = std::make_shared<Part>();
    return *slot;
}

}  // namespace vantis::services
