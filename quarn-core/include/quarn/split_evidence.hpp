// The evidence for a change at one split c of a stretch [a, b) of a series:
// two-sample tests of the values before and after c, each turned into a
// p-value that allows for the search over stretches and splits.
//
// Flat stretches are tested on rank scores for a change of level (mean
// rank), of spread (second central moment of the ranks) and of shape (mean
// of the fourth Legendre polynomial of the ranks). A stretch whose ranks
// follow a trend is instead tested for two separate lines against one line
// on the (winsorized) values, since a level test would see a change between
// any two parts of a trend.
#pragma once

#include <cmath>
#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "quarn/scores.hpp"

namespace quarn {

// The test that gave a split its p-value.
enum class TestKind : std::uint8_t { none, level, spread, shape, trend };

// Long-run variance over variance of the scores each test sums, so that
// autocorrelated noise does not pass for changes. 1 for independent noise.
struct DependenceFactors {
    double level = 1.0;
    double spread = 1.0;
    double shape = 1.0;
    double trend = 1.0;
    // Lag-1 autocorrelation of the rank scores behind `level` (0 for
    // independent noise): how much less a short stretch of persistent noise
    // varies about its own mean than the series does.
    double persistence = 0.0;
};

// Expected variance of m consecutive values about their own mean, as a share
// of the same for independent values, when the values follow an AR(1)
// process with lag-1 autocorrelation r in [0, 1). Exactly 1 for r = 0; it
// falls towards 0 as m shrinks and r grows.
double within_variance_share(std::size_t m, double r);

struct SplitEvidence {
    double p_value = 1.0;
    TestKind kind = TestKind::none;
};

// Upper-tail probability that the largest standardised two-sample difference
// over the stretches and splits the selection can visit in a series of n
// values exceeds z, for a split with n1 and n2 values on its sides: the
// pointwise tail, the search over splits inside a stretch of m = n1 + n2
// values (an Ornstein-Uhlenbeck excursion rate of z phi(z) per unit of
// log-time, over the n / m places such a stretch can take) and the scan over
// short sides of about n1 n2 / m values anywhere in the series (n z^3 phi(z)
// per unit of that length). At most 1.
double scan_tail(double z, std::size_t n1, std::size_t n2, std::size_t n);

// z with P(Z > z) = p for a standard normal Z (Wichura's AS 241); 0 for
// p >= 1/2 and +infinity for p <= 0.
double normal_upper_quantile(double p);

// Student-t quantile with `dof` degrees of freedom at the level of the
// normal quantile z (Cornish-Fisher expansion); +infinity for dof 0.
double student_quantile(double z, std::size_t dof);

// A running sum with a compensation term (Neumaier's summation), so that
// the difference of two running sums is accurate even deep into a long series.
struct RunningSum {
    double sum = 0.0;
    double compensation = 0.0;

    void add(double term) {
        const double next = sum + term;
        if (std::abs(sum) >= std::abs(term)) {
            compensation += (sum - next) + term;
        } else {
            compensation += (term - next) + sum;
        }
        sum = next;
    }
    // The sum of the terms added after `before` was taken.
    double since(const RunningSum& before) const {
        return (sum - before.sum) + (compensation - before.compensation);
    }
};

// Least-squares line over a stretch: slope, the sum of squared centred
// times, and the residual sum of squares.
struct LineFit {
    double slope = 0.0;
    double time_squares = 0.0;
    double residual_squares = 0.0;
};

// Tests of splits of one series. The running sums of the scores the tests
// use are kept every `rank_stride` values only; the sums at any other index
// continue from the checkpoint below, adding the same terms in the same
// order, so they equal the sums of one pass over the whole series bit for
// bit, whatever the stride. A test costs O(rank_stride) after O(n) set-up.
// The sums of the values, which only the trend test and value_line read, are
// kept every 2 * rank_stride values. The stride is checkpoint_stride (about
// 1.4 bytes per value in all) up to 2^22 values; longer series keep at most
// most_checkpoints of each, some 6 MB.
class SplitTester {
  public:
    static constexpr std::size_t checkpoint_stride = 64;
    static constexpr std::size_t value_checkpoint_stride = 2 * checkpoint_stride;
    static constexpr std::size_t most_checkpoints = std::size_t{1} << 16;

    // The stride of the rank sums' checkpoints for a series of n values: a
    // power of two from checkpoint_stride up.
    static std::size_t stride_for(std::size_t n);

    // The series must outlive the tester. `rank_stride`, a power of two of
    // at least checkpoint_stride, changes the memory and the time a test
    // takes, never a result.
    SplitTester(const ScoredSeries& series, const DependenceFactors& factors)
        : SplitTester(series, factors, stride_for(series.size())) {}
    SplitTester(const ScoredSeries& series, const DependenceFactors& factors,
                std::size_t rank_stride);

    std::size_t size() const { return n_; }
    const DependenceFactors& factors() const { return factors_; }
    // Other factors for the same series: the running sums are the series'
    // alone, so the tester then tests as one built with these factors.
    void set_factors(const DependenceFactors& factors) { factors_ = factors; }

    // Keeps the running sums at `indices` (ascending, each at most size()),
    // for the tests that split there to read in one step rather than
    // continue from a checkpoint: 120 bytes an index. The sums are the same
    // bits either way; indices given before are forgotten.
    void remember(std::span<const std::uint64_t> indices);
    // remember() at the points a selection among `points` (ascending,
    // below size()) splits at: the points themselves and the series' end.
    void remember_splits(std::span<const std::uint64_t> points);
    // Keeps only the checkpoints of a stride of `rank_stride` (a power of
    // two, rounded up, used only where above the present stride), for a
    // tester whose tests now read remembered sums almost alone: less
    // memory, the same sums, tests elsewhere slower.
    void coarsen_checkpoints(std::size_t rank_stride);

    // Whether the shape test asks each side for as many effectively
    // independent values as on independent noise: its least side times the
    // level factor (off by default, when it asks for two long-run
    // correlation lengths, twice the level factor).
    void require_effective_shape_sides(bool on) { effective_shape_sides_ = on; }

    // The smallest Bonferroni-adjusted p-value of the tests that apply to
    // split c of [a, b) (a < c < b <= size()), and which test gave it.
    SplitEvidence evidence(std::size_t a, std::size_t c, std::size_t b) const;

    // The single tests' p-values (before the adjustment for their number).
    double level(std::size_t a, std::size_t c, std::size_t b) const;
    double spread(std::size_t a, std::size_t c, std::size_t b) const;
    double shape(std::size_t a, std::size_t c, std::size_t b) const;
    double trend(std::size_t a, std::size_t c, std::size_t b) const;
    // Whether the ranks of [a, b), or of either side, follow a clear line.
    bool trending(std::size_t a, std::size_t c, std::size_t b) const;

    LineFit rank_line(std::size_t begin, std::size_t end) const;
    LineFit value_line(std::size_t begin, std::size_t end) const;

  private:
    // Running sums of the rank scores u: u, u^2, u^3, u^4, P4(u), P4(u)^2
    // and t u.
    struct RankSums {
        double u = 0.0, u2 = 0.0, u3 = 0.0, u4 = 0.0, shape = 0.0, shape2 = 0.0;
        RunningSum time;
        void add(std::size_t t, double score);
    };
    // Running sums of the values v: v, v^2 and t v.
    struct ValueSums {
        RunningSum value, square, time;
        void add(std::size_t t, double v);
    };
    // The sums at the three indices of a split.
    struct RankSplit {
        RankSums a, c, b;
    };
    struct ValueSplit {
        ValueSums a, c, b;
    };

    // Sums of the terms before `index`.
    RankSums rank_sums(std::size_t index) const;
    ValueSums value_sums(std::size_t index) const;
    RankSplit rank_split(std::size_t a, std::size_t c, std::size_t b) const {
        return {rank_sums(a), rank_sums(c), rank_sums(b)};
    }

    double level(const RankSplit& s, std::size_t a, std::size_t c, std::size_t b) const;
    double spread(const RankSplit& s, std::size_t a, std::size_t c, std::size_t b) const;
    double shape(const RankSplit& s, std::size_t a, std::size_t c, std::size_t b) const;
    bool trending(const RankSplit& s, std::size_t a, std::size_t c, std::size_t b) const;
    double two_sample(double difference, double variance, std::size_t n1, std::size_t n2) const;
    bool clear_slope(const LineFit& fit, std::size_t count, double factor) const;

    const ScoredSeries* series_;
    std::size_t n_;
    DependenceFactors factors_;
    bool effective_shape_sides_ = false;
    std::size_t rank_stride_;
    std::size_t value_stride_;
    // Entry k holds the sums of the terms before index k * rank_stride_
    // (k * value_stride_ for the values).
    std::vector<RankSums> rank_checkpoints_;
    // The indices remember() was given, and the sums at each.
    std::vector<std::uint64_t> known_;
    std::vector<RankSums> known_rank_sums_;
    std::vector<ValueSums> known_value_sums_;
    // Position of `index` among known_, or known_.size().
    std::size_t known_position(std::size_t index) const;
    std::vector<ValueSums> value_checkpoints_;
};

}  // namespace quarn
