// A seasonal cycle of a known period fitted by its harmonics, and the
// checks on a fitted cycle: whether it holds over the whole series, whether
// it is two alternating regimes, and whether its period is a harmonic of a
// longer one.
#include "quarn/structure.hpp"

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <limits>
#include <numbers>
#include <optional>
#include <span>
#include <utility>
#include <vector>

#include "structure_internal.hpp"

namespace quarn {

using namespace structure_detail;

namespace {

// A series folded on its period is measured in at most this many phase bins,
// and two plateaus must leave at most this share of the folded profile's
// squares for the cycle to count as two alternating regimes.
constexpr std::size_t max_phase_bins = 256;
constexpr double max_regime_residue = 0.1;

// Residual squares of x around its mean and its own cycle of `period`.
double cycle_residual_squares(std::span<const double> x, double period, HarmonicTables* tables) {
    const std::vector<double> z = centred(x);
    const SeasonalCycle cycle = fit_cycle_on(x, period, tables);
    double squares = 0.0;
    for (std::size_t t = 0; t < z.size(); ++t) {
        const double r = z[t] - cycle.values[t];
        squares += r * r;
    }
    return squares;
}

}  // namespace

namespace structure_detail {

// Harmonics a cycle of this period is fitted with.
int harmonic_count(double period) {
    int harmonics = 1;
    while (harmonics < max_harmonics && (harmonics + 1) * 2.0 < period) ++harmonics;
    return harmonics;
}

std::vector<double> centred(std::span<const double> x) {
    double mean = 0.0;
    for (const double v : x) mean += v;
    mean /= static_cast<double>(x.size());
    std::vector<double> z(x.size());
    for (std::size_t t = 0; t < x.size(); ++t) z[t] = x[t] - mean;
    return z;
}

}  // namespace structure_detail

namespace structure_detail {

SeasonalCycle fit_cycle_on(std::span<const double> x, double period, HarmonicTables* tables) {
    const std::size_t n = x.size();
    SeasonalCycle cycle;
    cycle.period = period;
    cycle.values.assign(n, 0.0);
    if (n < 4 || !(period >= min_period)) return cycle;
    const std::vector<double> z = centred(x);
    const double nd = static_cast<double>(n);
    const double omega = 2.0 * std::numbers::pi / period;
    const int harmonics = harmonic_count(period);
    struct Harmonic {
        double a = 0.0, b = 0.0, cos_mean = 0.0, sin_mean = 0.0, gain = 0.0;
    };
    std::vector<Harmonic> fits(static_cast<std::size_t>(harmonics));
    double total = 0.0;
    for (const double v : z) total += v * v;
    double explained = 0.0;
    // Each harmonic's cosine and sine are computed once and read by every
    // pass over the series (or read from the tables).
    std::vector<double> own_cosines, own_sines;
    std::span<const double> cosines, sines;
    const auto tabulate = [&](int k) {
        if (tables != nullptr && tables->get(k, cosines, sines)) return;
        const double w = omega * k;
        own_cosines.resize(n);
        own_sines.resize(n);
        for (std::size_t t = 0; t < n; ++t) {
            own_cosines[t] = std::cos(w * static_cast<double>(t));
            own_sines[t] = std::sin(w * static_cast<double>(t));
        }
        cosines = own_cosines;
        sines = own_sines;
    };
    for (int k = 1; k <= harmonics; ++k) {
        tabulate(k);
        double cs = 0.0, ss = 0.0;
        for (std::size_t t = 0; t < n; ++t) {
            cs += cosines[t];
            ss += sines[t];
        }
        Harmonic& h = fits[static_cast<std::size_t>(k - 1)];
        h.cos_mean = cs / nd;
        h.sin_mean = ss / nd;
        double cc = 0.0, sn = 0.0, cx = 0.0, zc = 0.0, zs = 0.0;
        for (std::size_t t = 0; t < n; ++t) {
            const double c = cosines[t] - h.cos_mean;
            const double s = sines[t] - h.sin_mean;
            cc += c * c;
            sn += s * s;
            cx += c * s;
            zc += z[t] * c;
            zs += z[t] * s;
        }
        const double det = cc * sn - cx * cx;
        if (!(det > 1e-12 * cc * sn)) continue;
        h.a = (zc * sn - zs * cx) / det;
        h.b = (zs * cc - zc * cx) / det;
        h.gain = h.a * zc + h.b * zs;
        explained += h.gain;
    }
    const double dof = nd - 2.0 * harmonics - 1.0;
    const double residual = dof > 0.0 ? std::max(total - explained, 0.0) / dof : 0.0;
    for (int k = 1; k <= harmonics; ++k) {
        const Harmonic& h = fits[static_cast<std::size_t>(k - 1)];
        if (k > 1 && !(h.gain > harmonic_gain * residual)) continue;
        tabulate(k);
        for (std::size_t t = 0; t < n; ++t) {
            cycle.values[t] += h.a * (cosines[t] - h.cos_mean) + h.b * (sines[t] - h.sin_mean);
        }
    }
    return cycle;
}

}  // namespace structure_detail

SeasonalCycle fit_cycle(std::span<const double> x, double period) {
    return fit_cycle_on(x, period, nullptr);
}

bool cycle_holds(std::span<const double> x, const SeasonalCycle& whole) {
    const std::size_t n = x.size();
    const double period = whole.period;
    if (n < min_length || !(period >= min_period) || whole.values.size() != n) return true;
    double energy = 0.0;
    for (const double v : whole.values) energy += v * v;
    if (!(energy > 0.0)) return true;
    // Coefficients a side's own cycle has beyond the shared one: two per
    // harmonic, as many harmonics as fit_cycle may keep.
    int harmonics = 1;
    while (harmonics < max_harmonics && (harmonics + 1) * 2.0 < period) ++harmonics;
    const double dof = 2.0 * harmonics;
    // Upper 1e-3 / 7 point of a chi-square variable with `dof` degrees of
    // freedom (Wilson and Hilferty's cube), seven cuts being tried.
    const double z_point = 3.7;
    const double cube = 1.0 - 2.0 / (9.0 * dof) + z_point * std::sqrt(2.0 / (9.0 * dof));
    const double chance_gain = dof * cube * cube * cube;
    const double shortest = min_cycles * period;
    std::vector<double> levelled(n);
    // Every fit below is of the same period, on values from place 0.
    HarmonicTables tables(period, n);
    for (const int quarter : {4, 2, 6, 1, 3, 5, 7}) {
        const std::size_t cut = n * static_cast<std::size_t>(quarter) / 8;
        if (static_cast<double>(cut) < shortest || static_cast<double>(n - cut) < shortest) {
            continue;
        }
        const std::span<const double> left = x.first(cut), right = x.subspan(cut);
        // The shared cycle is fitted around each side's own mean, so that a
        // shift of level at the cut does not leak into it.
        const std::vector<double> left_z = centred(left), right_z = centred(right);
        std::copy(left_z.begin(), left_z.end(), levelled.begin());
        std::copy(right_z.begin(), right_z.end(),
                  levelled.begin() + static_cast<std::ptrdiff_t>(cut));
        const double shared = cycle_residual_squares(levelled, period, &tables);
        const double own = cycle_residual_squares(left, period, &tables) +
                           cycle_residual_squares(right, period, &tables);
        const double residual = own / std::max(1.0, static_cast<double>(n) - 2.0 * dof - 2.0);
        if (!(residual > 0.0)) continue;
        const double gain = shared - own;
        if (gain > chance_gain * residual && gain > energy / 20.0) return false;
    }
    return true;
}

bool cycle_is_regimes(std::span<const double> x, double period, double shortest_regime) {
    const std::size_t n = x.size();
    if (n < min_length || !(period >= min_period) ||
        !(period * min_cycles <= static_cast<double>(n))) {
        return false;
    }
    // Two plateaus each of at least shortest_regime values need a period of
    // twice that.
    if (!(period >= 2.0 * shortest_regime)) return false;
    const std::size_t bins = std::min(max_phase_bins, static_cast<std::size_t>(period));
    if (bins < 4) return false;
    std::vector<double> sum(bins, 0.0);
    std::vector<double> count(bins, 0.0);
    for (std::size_t t = 0; t < n; ++t) {
        const double phase = std::fmod(static_cast<double>(t) / period, 1.0);
        const auto bin =
            std::min(bins - 1, static_cast<std::size_t>(phase * static_cast<double>(bins)));
        sum[bin] += x[t];
        count[bin] += 1.0;
    }
    // The folded profile: the mean per bin, each bin weighing its count.
    std::vector<double> profile(bins);
    double total = 0.0, weights = 0.0;
    for (std::size_t b = 0; b < bins; ++b) {
        if (!(count[b] > 0.0)) return false;
        profile[b] = sum[b] / count[b];
        total += sum[b];
        weights += count[b];
    }
    const double mean = total / weights;
    double squares = 0.0;
    for (std::size_t b = 0; b < bins; ++b) {
        squares += count[b] * (profile[b] - mean) * (profile[b] - mean);
    }
    if (!(squares > 0.0)) return false;
    // Circular prefix sums (the profile twice over) of counts, sums and
    // squares, so that an arc [i, j) with j up to 2 bins is a difference.
    std::vector<double> c(2 * bins + 1, 0.0), s(2 * bins + 1, 0.0), q(2 * bins + 1, 0.0);
    for (std::size_t k = 0; k < 2 * bins; ++k) {
        const std::size_t b = k % bins;
        c[k + 1] = c[k] + count[b];
        s[k + 1] = s[k] + count[b] * profile[b];
        q[k + 1] = q[k] + count[b] * profile[b] * profile[b];
    }
    const auto arc_squares = [&](std::size_t i, std::size_t j) {
        const double w = c[j] - c[i], v = s[j] - s[i];
        return std::max(q[j] - q[i] - v * v / w, 0.0);
    };
    // The shortest arc a plateau may take, in bins.
    const auto shortest_bins = static_cast<std::size_t>(
        std::ceil(shortest_regime / period * static_cast<double>(bins)));
    const std::size_t low = std::max<std::size_t>(1, shortest_bins);
    if (2 * low > bins) return false;
    double best = std::numeric_limits<double>::infinity();
    for (std::size_t i = 0; i < bins; ++i) {
        for (std::size_t length = low; length + low <= bins; ++length) {
            const std::size_t j = i + length;
            best = std::min(best, arc_squares(i, j) + arc_squares(j, i + bins));
        }
    }
    return best <= max_regime_residue * squares;
}

namespace {

// The squares by which the cycle of `longer` fitted to x explains more of x
// than `found` (the cycle of the shorter period fitted to x), when that
// gain is the stronger part of the longer cycle and stands far above
// chance; 0 otherwise.
double longer_cycle_gain(std::span<const double> x, const SeasonalCycle& found, double longer) {
    const std::size_t n = x.size();
    const SeasonalCycle cycle = fit_cycle(x, longer);
    double found_energy = 0.0;
    for (const double v : found.values) found_energy += v * v;
    const std::vector<double> z = centred(x);
    const double dof = std::max(1.0, static_cast<double>(n) - 4.0 * max_harmonics);
    double energy = 0.0, squares = 0.0;
    for (std::size_t t = 0; t < n; ++t) {
        energy += cycle.values[t] * cycle.values[t];
        const double r = z[t] - cycle.values[t];
        squares += r * r;
    }
    const double residual = squares / dof;
    const double gain = energy - found_energy;
    // The part of the longer cycle that the shorter one lacks must be the
    // stronger part and stand far above chance.
    return gain > found_energy && gain > 30.0 * residual ? gain : 0.0;
}

}  // namespace

double fundamental_period(std::span<const double> x, double period) {
    const std::size_t n = x.size();
    if (n < min_length || !(period >= min_period)) return period;
    const SeasonalCycle found = fit_cycle(x, period);
    double best = period, best_gain = 0.0;
    for (const int k : {2, 3}) {
        const double longer = period * k;
        if (longer * min_cycles > static_cast<double>(n)) break;
        double gain = longer_cycle_gain(x, found, longer);
        if (!(gain > best_gain)) continue;
        // A large level shift that the longer cycle's slow harmonics take up
        // in part passes for its gain: the gain must hold on x less the
        // shifts that the longer cycle leaves (none when it is the series'
        // own), each side of at least a quarter of the longer period.
        const std::vector<double> levelled = less_shifts_around(
            x, longer, std::max<std::size_t>(min_length, static_cast<std::size_t>(longer / 4.0)));
        if (!levelled.empty()) gain = longer_cycle_gain(levelled, fit_cycle(levelled, period), longer);
        if (gain > best_gain) {
            best = longer;
            best_gain = gain;
        }
    }
    return best;
}

std::optional<SeasonalCycle> find_cycle(std::span<const double> x) {
    const std::optional<double> period = seasonal_period(x);
    if (!period) return std::nullopt;
    return fit_cycle(x, *period);
}

}  // namespace quarn
