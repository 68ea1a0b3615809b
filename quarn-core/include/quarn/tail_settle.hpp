// Whether a bootstrap threshold at a high level, of which only some of the
// replicates are drawn, already decides its statistics as all of them would.
//
// The threshold of n replicates at level L lies between its order
// statistics of ranks lo = floor((n - 1) L) and hi = ceil((n - 1) L). A
// statistic s is then below it (not significant) for certain once at least
// n - lo replicates are at or above s, and above it (significant) once at
// most n - 1 - hi are. Of r replicates drawn, k are at or above s; the
// n - r still to draw add a count whose distribution is predicted:
// - below: the share p of replicates at or above s is unknown; with Jeffreys'
//   prior and the k of r seen, the count the others add is beta-binomial;
//   s is settled below when the chance that they add too few is at most
//   `risk` (no model of the replicates needed);
// - above: the count above s is too small to estimate from r replicates, so
//   the upper tail is modelled: past the (m + 1)-th largest of the r, the
//   replicates are taken as exponential with the mean excess of the m
//   largest (m = r / 4, at most 32), widened by three of its relative
//   standard errors 1 / sqrt(m) (an exponential tail fitted so falls off no
//   faster than the light tails of the distances the sweeps compute); s is
//   settled above when the chance that the others add more than
//   n - 1 - hi - k is, with that tail and a Poisson count, at most `risk`.
// Statistics near the threshold are settled neither way, and then all
// replicates are drawn.
#pragma once

#include <cstdint>
#include <span>

#include "quarn/total_order.hpp"

namespace quarn {

struct TailDecision {
    bool settled = false;
    // A threshold that decides the statistics as the settle found: at least
    // the largest statistic settled below, under the one settled above.
    double threshold = 0.0;
};

// `sorted`: the keys of the r replicates drawn, ascending; `n`: all the
// replicates the threshold would draw; `estimate`: the threshold of the r;
// `ahead` as for threshold_settled (up to and including the first statistic
// above). Not settled for a NaN statistic, r >= n, r < 16, or a risk
// outside (0, 1).
TailDecision tail_settled(std::span<const OrderKey> sorted, std::uint64_t n, double level,
                          double risk, double estimate, std::span<const double> ahead);

}  // namespace quarn
