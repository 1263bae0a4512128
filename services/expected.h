// What a download of a stretch of the window holds, from the data in force (the
// built-in pattern or a loaded recording), without its frame sums and extra
// words: so that a host test compares against it instead of redoing the
// interpolation and rounding itself.
#pragma once

#include <string>

namespace vantis::expected {

// `data expected START END [--csv]`'s words after "expected"; the reply line:
// `ok ["time_ms,led1_x,...","-500.0,1100,...",...]`, one CSV text per row.
std::string verb(const std::string& args);

}  // namespace vantis::expected
