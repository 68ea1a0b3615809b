// How a sweep draws its bootstrap thresholds: all replicates at once, or in
// rounds that stop once their decisions are settled. Apart from the drawing
// itself (sequential_threshold.hpp), so that the sweep's arguments do not
// bring the bootstrap's thread-local storage headers along.
#pragma once

#include <cstdint>

namespace quarn {

// Rounds of `round` replicates (none: all n_perm at once). After each round
// the threshold's order-statistic interval of `z` standard errors is formed;
// the drawing stops when no statistic the threshold decides lies inside it.
struct SequentialRule {
    std::uint64_t round = 0;
    double z = 0.0;
};

}  // namespace quarn
