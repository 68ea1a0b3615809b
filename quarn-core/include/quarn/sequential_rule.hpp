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
// With a `tail_risk` (0: none), the first round is also judged by tail_settled
// (tail_settle.hpp), which may stop where the interval cannot yet be formed:
// at high levels, when each statistic decided is, at that risk, far from
// where the threshold of all the replicates will be.
// The tail's judgement costs a round of its own; on windows smaller than
// `tail_window` the replicates it may save cost less than that round.
struct SequentialRule {
    std::uint64_t round = 0;
    double z = 0.0;
    double tail_risk = 0.0;
    std::uint64_t tail_window = 0;
};

}  // namespace quarn
