#include "parts.h"

namespace vantis::services {

Parts& parts() {
    static Parts p;
    return p;
}

}  // namespace vantis::services
