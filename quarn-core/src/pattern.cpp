// The pattern-change search: the dominant cycle of a series by its
// autocorrelation, and the binary segmentation of its rows of blocks, each
// split kept by a permutation test and placed by the values around it.
#include "quarn/pattern.hpp"

#include <algorithm>
#include <cmath>
#include <complex>
#include <cstdint>
#include <utility>
#include <vector>

#include "pattern_internal.hpp"

namespace quarn {

using namespace pattern_detail;

namespace {

// The autocorrelation is the mean of that of 4 stretches, a quarter of the
// series each, of at most 16,384 values.
constexpr std::size_t period_chunks = 4;
constexpr std::size_t autocorrelation_stretch = 65536;
// A peak of the autocorrelation below 0.2, or below 6 standard errors of
// an autocorrelation of noise, is no cycle.
constexpr double period_peak = 0.2;
constexpr double chance_peak = 6.0;
// The blocks' means are features only when the quarters' own cycles hold
// at least this share of the squares.
constexpr double cycle_share = 0.5;
// Blocks hold one period, and at least 12 values.
constexpr std::size_t smallest_block = 12;
// Fewer blocks than this are not searched; more than `most_rows` are
// grouped into rows of several blocks, which bounds the permutations' cost.
constexpr std::size_t fewest_rows = 8;
constexpr std::size_t most_rows = 4096;
// A change is placed by the values of this many rows on each side.
constexpr std::size_t placement_rows = 3;

struct Cycle {
    std::optional<std::size_t> period;
    // The share of the quarters' squares around the overall mean that lies
    // around their own means.
    double within = 0.0;
};

Cycle autocorrelation_cycle(std::size_t n, const ValueAt& x) {
    Cycle cycle;
    if (n < 16) return cycle;
    // Each quarter is centred on its own mean, so that level shifts and a
    // slow wander do not pass for a long cycle.
    const std::size_t length = std::min(n / period_chunks, autocorrelation_stretch / period_chunks);
    if (length < 8) return cycle;
    std::size_t size = 1;
    while (size < 2 * length) size *= 2;
    // The autocovariances read: lags 0 .. length / 3.
    const std::size_t last = length / 3;
    const std::size_t lags_read = last + 1;
    std::vector<double> covariance(lags_read, 0.0);
    std::vector<std::complex<double>> data(size);
    const std::vector<std::complex<double>> twiddles = fourier_twiddles(size);
    std::vector<double> means(period_chunks);
    for (std::size_t chunk = 0; chunk < period_chunks; ++chunk) {
        const std::size_t start = chunk * (n / period_chunks) + (n / period_chunks - length) / 2;
        // Each value read once, held in the transform's input until centred.
        double mean = 0.0;
        for (std::size_t t = 0; t < length; ++t) {
            const double v = x(start + t);
            data[t] = {v, 0.0};
            mean += v;
        }
        mean /= static_cast<double>(length);
        means[chunk] = mean;
        for (std::size_t t = 0; t < length; ++t) data[t] = data[t].real() - mean;
        std::fill(data.begin() + static_cast<std::ptrdiff_t>(length), data.end(),
                  std::complex<double>());
        fourier_transform(data, twiddles);
        // The power is real and even: its forward transform is its inverse
        // times the size. Only the lags up to `last` (below) are read.
        for (auto& v : data) v = std::norm(v);
        fourier_transform_lowest(data, twiddles, lags_read);
        for (std::size_t h = 0; h < lags_read; ++h) covariance[h] += data[h].real();
    }
    const double c0 = covariance[0];
    if (!(c0 > 0.0)) return cycle;
    double overall = 0.0;
    for (const double m : means) overall += m;
    overall /= static_cast<double>(period_chunks);
    double between = 0.0;
    for (const double m : means) between += static_cast<double>(length) * (m - overall) * (m - overall);
    cycle.within = c0 / (c0 + between);
    std::size_t lag = 1;
    while (lag <= last && covariance[lag] >= 0.0) ++lag;
    if (lag > last) return cycle;
    std::size_t best = lag;
    for (std::size_t h = lag; h <= last; ++h) {
        if (covariance[h] > covariance[best]) best = h;
    }
    // Noise gives autocorrelations of about one standard error,
    // 1 / sqrt(values read), at every lag.
    const double chance = chance_peak / std::sqrt(static_cast<double>(period_chunks * length));
    if (covariance[best] / c0 < std::max(period_peak, chance)) return cycle;
    cycle.period = best;
    return cycle;
}

}  // namespace

std::optional<std::size_t> dominant_period(std::size_t n, const ValueAt& x) {
    return autocorrelation_cycle(n, x).period;
}

PatternSearch pattern_changes(std::size_t n, const ValueAt& x, const PatternArguments& arguments) {
    PatternSearch search;
    if (n < fewest_rows * 4 || !(arguments.alpha > 0.0)) return search;
    // A series without a cycle repeats no pattern to change.
    const Cycle cycle = autocorrelation_cycle(n, x);
    search.period = cycle.period;
    if (!search.period && arguments.period && *arguments.period >= 2.0) {
        search.period = static_cast<std::size_t>(std::llround(*arguments.period));
    }
    if (!search.period) return search;
    std::size_t block = std::max(*search.period, smallest_block);
    block = std::min(block, n / fewest_rows);
    if (block < 4) return search;
    const std::vector<std::size_t> lags = feature_lags(block);
    const std::size_t group = (n / block + most_rows - 1) / most_rows;
    // The blocks' means join the features only where the cycle, not the
    // differences of level between the quarters, holds most of the squares,
    // and where a block holds a whole cycle (so that its mean does not
    // follow the cycle's phase).
    search.with_level =
        arguments.with_level && cycle.within >= cycle_share && block >= *search.period;
    const Features features =
        row_features(n, x, block * group, lags, search.with_level, arguments.control);
    if (features.rows < 2 * side_rows) {
        search.with_level = false;
        return search;
    }
    search.block = features.length;
    const auto row_start = [&features](std::size_t r) { return r * features.length; };
    const auto row_end = [&features, n](std::size_t r) {
        return r + 1 == features.rows ? n : (r + 1) * features.length;
    };
    std::vector<std::pair<std::size_t, std::size_t>> pending{{0, features.rows}};
    while (!pending.empty()) {
        const auto [lo, hi] = pending.back();
        pending.pop_back();
        if (hi - lo < 2 * side_rows) continue;
        if (stop_asked(arguments.control)) break;
        const SplitTest test =
            test_rows(features, lo, hi, arguments.alpha, arguments.seed, search.with_level,
                      arguments.control);
        if (!(test.p_value <= arguments.alpha)) continue;
        const std::size_t r = lo + test.split;
        const std::size_t boundary = row_start(r);
        // The change is placed on the rows around the split only, which a
        // further change farther away does not pull.
        const std::size_t a = row_start(r - std::min(r - lo, placement_rows));
        const std::size_t b = row_end(std::min(hi, r + placement_rows) - 1);
        const std::size_t from = std::max(a + 1, boundary - std::min(boundary, features.length));
        const std::size_t to = std::min(b - 1, boundary + features.length);
        ChangeKind kind = ChangeKind::pattern;
        if (test.lead == 0) kind = ChangeKind::spread;
        if (search.with_level && test.lead + 1 == features.width) kind = ChangeKind::level;
        const std::size_t position = kind == ChangeKind::level
                                         ? place_level(x, a, b, from, to)
                                         : place_change(x, a, b, from, to, lags, block / 2);
        search.changes.push_back({position, test.p_value, kind});
        pending.emplace_back(lo, r);
        pending.emplace_back(r, hi);
    }
    std::sort(search.changes.begin(), search.changes.end(),
              [](const PatternChange& p, const PatternChange& q) { return p.position < q.position; });
    return search;
}

}  // namespace quarn
