// Defaults of the detector's options that several argument structs share.
#pragma once

#include <cstdint>

namespace quarn {

// Bootstrap replicates behind every threshold.
inline constexpr std::uint64_t default_n_perm = 300;

}  // namespace quarn
