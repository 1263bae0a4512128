// The items of the panel's model ring, by value (0 is "no model"): what the
// command line and completions may name before any panel is loaded. The panel
// file is the source; a test holds the two together. The texts come from the
// one table of models (common/models.h).
#pragma once

#include <array>

#include "../common/models.h"

namespace vantis::models {
inline constexpr std::array<const char*, kCount> ringTexts() {
    std::array<const char*, kCount> out{};
    for (int i = 0; i < kCount; ++i) out[i] = kAll[i].ring;
    return out;
}
}  // namespace vantis::models

inline constexpr auto kModelRingItems = vantis::models::ringTexts();
inline constexpr int kModelRingItemCount = vantis::models::kCount;
