// The features of the pattern-change search: per row of blocks, the
// spread, the mean absolute differences at several lags and the level; and
// the placing of a change between rows by the same differences.
#include <algorithm>
#include <cmath>
#include <cstddef>
#include <span>
#include <vector>

#include "pattern_internal.hpp"

namespace quarn::pattern_detail {

namespace {

// Lags of the difference features: twice the block, halved up to 8 times.
constexpr std::size_t lag_count = 8;

// The first value of the lag-h pair centred on t, kept inside [0, n).
std::size_t pair_start(std::size_t t, std::size_t h, std::size_t n) {
    const std::size_t half = h / 2;
    const std::size_t first = t >= half ? t - half : 0;
    return std::min(first, n - 1 - h);
}

}  // namespace

// The lags of the difference features for blocks of w values.
std::vector<std::size_t> feature_lags(std::size_t w) {
    std::vector<std::size_t> lags;
    for (std::size_t k = 0; k < lag_count; ++k) {
        const std::size_t h = (2 * w) >> k;
        if (h == 0) break;
        if (lags.empty() || lags.back() != h) lags.push_back(h);
    }
    return lags;
}

Features row_features(std::size_t n, const ValueAt& x, std::size_t length,
                      std::span<const std::size_t> lags, bool with_level,
                      const RunControl* control) {
    Features features;
    features.length = length;
    features.rows = n / length;
    features.width = 2 + lags.size() + (with_level ? 1 : 0);
    features.values.resize(features.rows * features.width);
    const std::size_t reach = lags.empty() ? 0 : lags.front();
    const auto row_end = [&features, n, length](std::size_t r) {
        return r + 1 == features.rows ? n : (r + 1) * length;
    };
    std::vector<double> means(features.rows);
    for (std::size_t r = 0; r < features.rows; ++r) {
        double sum = 0.0;
        for (std::size_t t = r * length; t < row_end(r); ++t) sum += x(t);
        means[r] = sum / static_cast<double>(row_end(r) - r * length);
    }
    std::vector<double> buffer;
    for (std::size_t r = 0; r < features.rows; ++r) {
        if (r % 64 == 0 && stop_asked(control)) return Features{};
        const std::size_t s = r * length;
        const std::size_t e = row_end(r);
        // Every pair of the row lies inside [from, to).
        const std::size_t from = s > reach ? s - reach : 0;
        const std::size_t to = std::min(n, e + reach);
        buffer.resize(to - from);
        for (std::size_t t = from; t < to; ++t) buffer[t - from] = x(t);
        // The features are those of the values around the trend that the
        // neighbouring rows' means draw (rows of whole cycles have the same
        // mean), so that a trend, and a change of trend, is no change of
        // pattern.
        const double count = static_cast<double>(e - s);
        const double centre = static_cast<double>(e - s - 1) / 2.0;
        const double mean = means[r];
        const std::size_t before = r > 0 ? r - 1 : r;
        const std::size_t after = r + 1 < features.rows ? r + 1 : r;
        const double slope = after > before ? (means[after] - means[before]) /
                                                  static_cast<double>((after - before) * length)
                                            : 0.0;
        double m2 = 0.0, m3 = 0.0;
        for (std::size_t t = s; t < e; ++t) {
            const double d = buffer[t - from] - mean - slope * (static_cast<double>(t - s) - centre);
            m2 += d * d;
            m3 += d * d * d;
        }
        m2 /= count;
        m3 /= count;
        const double sd = std::sqrt(m2);
        double* row = &features.values[r * features.width];
        row[0] = sd;
        row[1] = sd > 0.0 ? m3 / (m2 * sd) : 0.0;
        for (std::size_t j = 0; j < lags.size(); ++j) {
            const std::size_t h = lags[j];
            const double rise = slope * static_cast<double>(h);
            double sum = 0.0;
            for (std::size_t t = s; t < e; ++t) {
                const std::size_t a = pair_start(t, h, n);
                sum += std::abs(buffer[a + h - from] - buffer[a - from] - rise);
            }
            row[2 + j] = sd > 0.0 ? sum / count / sd : 0.0;
        }
        if (with_level) row[features.width - 1] = mean;
    }
    return features;
}

// The value in [from, to] that best splits [a, b) by the lag differences:
// the largest sum over the lags of the squared standardised CUSUMs of
// |x(t + h) - x(t)| over the pairs centred on each value, and of the
// squares around the stretch's mean. Lags above `longest` are left out:
// their pairs reach far across the change and blur its place.
std::size_t place_change(const ValueAt& x, std::size_t a, std::size_t b, std::size_t from,
                         std::size_t to, std::span<const std::size_t> lags, std::size_t longest) {
    std::vector<double> segment(b - a);
    for (std::size_t t = a; t < b; ++t) segment[t - a] = x(t);
    const std::size_t m = b - a;
    const double md = static_cast<double>(m);
    std::vector<double> score(to - from + 1, 0.0);
    double centre = 0.0;
    for (const double v : segment) centre += v;
    centre /= md;
    std::vector<double> g(m);
    // Lag 0 stands for the squares around the stretch's mean.
    std::vector<std::size_t> all{0};
    all.insert(all.end(), lags.begin(), lags.end());
    for (const std::size_t h : all) {
        if (h + 1 >= m || h > longest) continue;
        double mean = 0.0;
        for (std::size_t t = 0; t < m; ++t) {
            if (h == 0) {
                g[t] = (segment[t] - centre) * (segment[t] - centre);
            } else {
                const std::size_t s = pair_start(t, h, m);
                g[t] = std::abs(segment[s + h] - segment[s]);
            }
            mean += g[t];
        }
        mean /= md;
        double squares = 0.0;
        for (const double v : g) squares += (v - mean) * (v - mean);
        const double variance = squares / md;
        if (!(variance > 0.0)) continue;
        double running = 0.0;
        for (std::size_t t = 0; t + a < to; ++t) {
            running += g[t] - mean;
            const std::size_t c = a + t + 1;
            if (c < from) continue;
            const double k = static_cast<double>(t + 1);
            score[c - from] += running * running / (variance * k * (md - k) / md);
        }
    }
    std::size_t best = from;
    for (std::size_t c = from; c <= to; ++c) {
        if (score[c - from] > score[best - from]) best = c;
    }
    return best;
}

// The value in [from, to] with the largest standardised CUSUM of x over [a, b).
std::size_t place_level(const ValueAt& x, std::size_t a, std::size_t b, std::size_t from,
                        std::size_t to) {
    const double md = static_cast<double>(b - a);
    double total = 0.0;
    for (std::size_t t = a; t < b; ++t) total += x(t);
    const double mean = total / md;
    double running = 0.0, best = -1.0;
    std::size_t arg = from;
    for (std::size_t t = a; t < to; ++t) {
        running += x(t) - mean;
        const std::size_t c = t + 1;
        if (c < from) continue;
        const double k = static_cast<double>(c - a);
        const double score = std::abs(running) / std::sqrt(k * (md - k) / md);
        if (score > best) {
            best = score;
            arg = c;
        }
    }
    return arg;
}

}  // namespace quarn::pattern_detail
