// A bootstrap threshold drawn in rounds of replicates, that stops drawing
// once the decisions it makes are settled.
#pragma once

#include <cstdint>
#include <span>
#include <vector>

#include "quarn/bootstrap.hpp"
#include "quarn/error.hpp"
#include "quarn/sequential_rule.hpp"
#include "quarn/stats.hpp"
#include "quarn/total_order.hpp"

namespace quarn {

// Whether a threshold `threshold`, the quantile at `level` of the replicates
// whose keys are `keys` (sorted here), decides `ahead` as a threshold of
// many more replicates would: `ahead` are the statistics from the
// threshold's own position on; the threshold decides them up to and
// including the first above it. Settled when none of them lies inside the
// interval between the order statistics of ranks (r - 1) level -+ z sqrt(r
// level (1 - level)) of the r replicates; never when that interval reaches
// past the smallest or the largest replicate, nor for a NaN statistic.
bool threshold_settled(std::span<OrderKey> keys, double level, double z, double threshold,
                       std::span<const double> ahead);

// The threshold of block_bootstrap_threshold at position `start`, drawn by
// `rule`: replicates are added round after round (each keeps the seed of its
// index, so any worker count draws the same ones) until the threshold is
// settled for `ahead` or all `settings.n_perm` are drawn. Then it is the
// threshold of block_bootstrap_threshold with n_perm all the replicates
// drawn. `sorted` is a buffer of the caller's.
Result<double> sequential_bootstrap_threshold(SeriesView series, const PrefixSums& prefix,
                                              std::uint64_t window_size, std::uint64_t start,
                                              std::uint64_t position_key,
                                              const BootstrapSettings& settings,
                                              BootstrapScratch& scratch, const SequentialRule& rule,
                                              std::span<const double> ahead,
                                              std::vector<OrderKey>& sorted);

}  // namespace quarn
