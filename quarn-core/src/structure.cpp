#include "quarn/structure.hpp"

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstdint>
#include <limits>
#include <numbers>
#include <utility>
#include <vector>

namespace quarn {

namespace {

// Shortest series searched for a cycle, shortest period and fewest cycles.
constexpr std::size_t min_length = 16;
constexpr double min_period = 2.0;
constexpr double min_cycles = 3.0;
// Chance that a series with a smooth spectrum shows a peak this strong
// somewhere (before allowing for the noise of the local level).
constexpr double chance = 1e-3;
// The local level of the periodogram around a frequency rests on the
// ordinates within this many Fourier frequencies on either side (fewer near
// the low end), leaving out the peak's own neighbourhood.
constexpr double level_half_width = 64.0;
constexpr double peak_half_width = 3.0;
// Fewest (effective) Fourier frequencies a local level rests on, the fewest
// cycles for which its window may widen, and how many of the periodogram's
// highest local maxima are measured against their levels.
constexpr double min_level_count = 8.0;
constexpr double widen_cycles = 8.0;
// Below widen_cycles cycles the window still widens, but the peak must stand
// this many times higher: the few lowest ordinates of a random walk or of
// strongly persistent noise vary too much for the usual threshold (their
// highest peaks there reach about twice it), while a seasonal cycle of a few
// periods stands out far more.
constexpr double few_cycles_margin = 3.0;
constexpr std::size_t shortlist = 32;
// Whole fractions of the strongest frequency that may be the fundamental.
constexpr int max_fraction = 6;
// Harmonics fitted at most, and the reduction of the residual squares (in
// residual variances) that a harmonic beyond the first must bring.
constexpr int max_harmonics = 12;
constexpr double harmonic_gain = 10.0;
// Refinement of the peak frequency between its Fourier neighbours.
constexpr int refine_steps = 30;
// The rotating phasor of a Fourier sum is recomputed exactly this often.
constexpr std::size_t resync = 256;
// Longest stretch of values one Fourier transform takes: longer series
// average the periodograms of their stretches, which bounds the memory
// (16 bytes per value of a stretch) and the longest period looked for.
constexpr std::size_t max_stretch = std::size_t{1} << 16;
// At most this many stretches are transformed, spread evenly over the series.
constexpr std::size_t max_stretches = 16;
// A series folded on its period is measured in at most this many phase bins,
// and two plateaus must leave at most this share of the folded profile's
// squares for the cycle to count as two alternating regimes.
constexpr std::size_t max_phase_bins = 256;
// The search for a cycle of fewer than widen_cycles periods, when the
// search above finds none: the series less a cubic is tapered, and its peak
// must stand this many times above the chance level, against a level read
// from the ordinates from 3 to 3 c + 3 frequencies (c the peak's) scaled to
// the peak's frequency as the steepest smooth spectrum falls (as 1 / f^2).
constexpr double few_cycles_strength = 3.0;
constexpr double few_cycles_gap = 3.0;
// Below this many cycles (the peak placed between its grid neighbours) a
// cycle cannot be told from the main lobe of a slower swing.
constexpr double few_cycles_least = 3.5;
// The share of its threshold a peak must reach for a second look once the
// level shifts around its cycle are taken out.
constexpr double few_cycles_second_look = 0.25;
// Half the width of the tapered peak's main lobe, in Fourier frequencies.
constexpr double taper_lobe = 2.0;
constexpr int trend_degree = 3;
constexpr double max_regime_residue = 0.1;

// Squared modulus of sum_t z(t) exp(-i omega t), t < count.
double fourier_power(std::size_t count, const ValueAt& z, double omega) {
    double re = 0.0, im = 0.0;
    const std::complex<double> step(std::cos(omega), -std::sin(omega));
    std::complex<double> phasor(1.0, 0.0);
    for (std::size_t t = 0; t < count; ++t) {
        if (t % resync == 0) {
            const double angle = omega * static_cast<double>(t);
            phasor = {std::cos(angle), -std::sin(angle)};
        }
        const double v = z(t);
        re += v * phasor.real();
        im += v * phasor.imag();
        phasor *= step;
    }
    return re * re + im * im;
}

// Periodogram of z: of the whole series zero-padded to a power of two, or,
// on a long series, the mean periodogram of stretches of max_stretch values
// (as many as fit, at most max_stretches, spread evenly over the series).
// The control is polled between stretches; a stop leaves it empty.
struct Periodogram {
    std::size_t padded = 0;   // transform length
    std::size_t length = 0;   // values per transform
    std::vector<double> power;  // ordinates 0 .. padded / 2
};

Periodogram periodogram(std::size_t n, const ValueAt& z, const RunControl* control) {
    Periodogram p;
    p.length = std::min(n, max_stretch);
    p.padded = std::bit_ceil(p.length);
    const std::size_t stretches = std::min(n / p.length, max_stretches);
    const std::size_t half = p.padded / 2;
    std::vector<std::complex<double>> data(p.padded);
    std::vector<double> sum(half + 1, 0.0);
    for (std::size_t k = 0; k < stretches; ++k) {
        if (control != nullptr && control->stop_requested()) return {};
        // Stretches spread evenly over the series, the first at its start
        // and the last at its end.
        const std::size_t start =
            stretches == 1 ? 0 : k * (n - p.length) / (stretches - 1);
        std::fill(data.begin(), data.end(), std::complex<double>());
        for (std::size_t t = 0; t < p.length; ++t) data[t] = {z(start + t), 0.0};
        fourier_transform(data);
        for (std::size_t j = 0; j <= half; ++j) sum[j] += std::norm(data[j]);
    }
    for (double& v : sum) v /= static_cast<double>(stretches);
    p.power = std::move(sum);
    return p;
}

// Harmonics a cycle of this period is fitted with.
int harmonic_count(double period) {
    int harmonics = 1;
    while (harmonics < max_harmonics && (harmonics + 1) * 2.0 < period) ++harmonics;
    return harmonics;
}

// Squares of the centred z(0) .. z(count - 1) that the harmonics of a cycle
// of this period explain, each harmonic fitted on its own (as fit_cycle
// does).
double cycle_squares(std::size_t count, const ValueAt& z, double period,
                     int most = max_harmonics) {
    const double omega = 2.0 * std::numbers::pi / period;
    const double nd = static_cast<double>(count);
    double mean = 0.0, explained = 0.0;
    for (std::size_t t = 0; t < count; ++t) mean += z(t);
    mean /= nd;
    for (int k = 1; k <= std::min(most, harmonic_count(period)); ++k) {
        const double w = omega * k;
        double cs = 0.0, ss = 0.0;
        for (std::size_t t = 0; t < count; ++t) {
            cs += std::cos(w * static_cast<double>(t));
            ss += std::sin(w * static_cast<double>(t));
        }
        double cc = 0.0, sn = 0.0, cx = 0.0, zc = 0.0, zs = 0.0;
        for (std::size_t t = 0; t < count; ++t) {
            const double c = std::cos(w * static_cast<double>(t)) - cs / nd;
            const double s = std::sin(w * static_cast<double>(t)) - ss / nd;
            const double v = z(t) - mean;
            cc += c * c;
            sn += s * s;
            cx += c * s;
            zc += v * c;
            zs += v * s;
        }
        const double det = cc * sn - cx * cx;
        if (!(det > 1e-12 * cc * sn)) continue;
        const double a = (zc * sn - zs * cx) / det;
        const double b = (zs * cc - zc * cx) / det;
        explained += a * zc + b * zs;
    }
    return explained;
}

// z(t) less its least-squares polynomial of degree trend_degree, fitted on
// Legendre polynomials of the position scaled to [-1, 1] (nearly orthogonal
// on an even grid, so the normal equations are well conditioned).
std::vector<double> polynomial_residuals(std::size_t n, const ValueAt& z) {
    constexpr int terms = trend_degree + 1;
    const auto basis = [n](std::size_t t, double (&out)[terms]) {
        const double u = n > 1 ? 2.0 * static_cast<double>(t) / static_cast<double>(n - 1) - 1.0 : 0.0;
        out[0] = 1.0;
        out[1] = u;
        for (int k = 2; k < terms; ++k) {
            out[k] = ((2.0 * k - 1.0) * u * out[k - 1] - (k - 1.0) * out[k - 2]) / k;
        }
    };
    double gram[terms][terms + 1] = {};
    std::vector<double> residuals(n);
    for (std::size_t t = 0; t < n; ++t) {
        double b[terms];
        basis(t, b);
        residuals[t] = z(t);
        for (int i = 0; i < terms; ++i) {
            for (int k = 0; k < terms; ++k) gram[i][k] += b[i] * b[k];
            gram[i][terms] += b[i] * residuals[t];
        }
    }
    // Gaussian elimination with partial pivoting on the augmented matrix.
    for (int col = 0; col < terms; ++col) {
        int pivot = col;
        for (int r = col + 1; r < terms; ++r) {
            if (std::abs(gram[r][col]) > std::abs(gram[pivot][col])) pivot = r;
        }
        if (!(std::abs(gram[pivot][col]) > 0.0)) return residuals;
        if (pivot != col) {
            for (int k = 0; k <= terms; ++k) std::swap(gram[col][k], gram[pivot][k]);
        }
        for (int r = 0; r < terms; ++r) {
            if (r == col) continue;
            const double f = gram[r][col] / gram[col][col];
            for (int k = col; k <= terms; ++k) gram[r][k] -= f * gram[col][k];
        }
    }
    double coefficients[terms];
    for (int i = 0; i < terms; ++i) coefficients[i] = gram[i][terms] / gram[i][i];
    for (std::size_t t = 0; t < n; ++t) {
        double b[terms];
        basis(t, b);
        for (int i = 0; i < terms; ++i) residuals[t] -= coefficients[i] * b[i];
    }
    return residuals;
}

// The padded index of a cycle of between few_cycles_least and widen_cycles
// periods in `values`, 0 when there is none. Over so few cycles the plain
// periodogram cannot tell a cycle from the steep low end of persistent
// noise, a random walk, a trend or level shifts: the
// series less a cubic (which takes most of a trend and of the slowest
// wander out) is tapered by a Hann window, whose side lobes fall fast, and
// the peak is measured against a level read from higher frequencies, each
// ordinate scaled up to the peak's frequency as 1 / f^2 does: every smooth
// spectrum falls at most that steeply, so its level is not underrated,
// while a cycle of a few periods stands far above it. A peak with a higher
// ordinate within its main lobe is the skirt of a slower swing.
// The peak that comes nearest its threshold, and how near (its ratio to it).
struct FewCycleCandidate {
    std::size_t index = 0;
    double strength = 0.0;
};

std::size_t few_cycle_peak_of(std::span<const double> values, std::size_t padded,
                              FewCycleCandidate* strongest) {
    const std::size_t n = values.size();
    const std::vector<double> residuals =
        polynomial_residuals(n, [values](std::size_t t) { return values[t]; });
    std::vector<std::complex<double>> data(padded);
    const double nd = static_cast<double>(n);
    for (std::size_t t = 0; t < n; ++t) {
        const double s = std::sin(std::numbers::pi * (static_cast<double>(t) + 0.5) / nd);
        data[t] = {residuals[t] * s * s, 0.0};
    }
    fourier_transform(data);
    const std::size_t half = padded / 2;
    std::vector<double> power(half + 1);
    for (std::size_t j = 0; j <= half; ++j) power[j] = std::norm(data[j]);
    const double scale = static_cast<double>(padded) / nd;
    const auto at = [&](double cycles) {
        return std::min(half, static_cast<std::size_t>(std::llround(cycles * scale)));
    };
    const auto first = static_cast<std::size_t>(std::ceil(min_cycles * scale));
    const auto last = static_cast<std::size_t>(std::ceil(widen_cycles * scale));
    const auto lobe = static_cast<std::size_t>(std::ceil(taper_lobe * scale));
    const double base = std::log((widen_cycles - min_cycles) / chance);
    std::vector<double> window;
    double best = 0.0;
    std::size_t peak = 0;
    for (std::size_t j = std::max<std::size_t>(first, 1); j < last && j + 1 <= half; ++j) {
        bool highest = true;
        for (std::size_t i = j > lobe ? j - lobe : 1; i <= std::min(half, j + lobe) && highest; ++i) {
            highest = !(power[i] > power[j]);
        }
        if (!highest) continue;
        // The peak between the grid's ordinates: the vertex of a parabola
        // through the logarithms of the three about it.
        double offset = 0.0;
        if (power[j - 1] > 0.0 && power[j + 1] > 0.0 && power[j] > 0.0) {
            const double a = std::log(power[j - 1]), b = std::log(power[j]), d = std::log(power[j + 1]);
            const double curvature = a - 2.0 * b + d;
            if (curvature < 0.0) offset = std::clamp(0.5 * (a - d) / curvature, -0.5, 0.5);
        }
        if ((static_cast<double>(j) + offset) / scale < few_cycles_least) continue;
        const double c = static_cast<double>(j) / scale;
        window.clear();
        for (double f = std::ceil(c + few_cycles_gap); f <= 3.0 * c + few_cycles_gap; f += 1.0) {
            if (at(f) >= half) break;
            window.push_back(power[at(f)] * (f / c) * (f / c));
        }
        if (window.size() < 4) continue;
        const auto middle = window.begin() + static_cast<std::ptrdiff_t>(window.size() / 2);
        std::nth_element(window.begin(), middle, window.end());
        const double level = *middle / std::numbers::ln2;
        if (!(level > 0.0)) continue;
        const double count = static_cast<double>(window.size());
        const double threshold = few_cycles_strength * base * (1.0 + base / count);
        const double r = power[j] / level / threshold;
        if (strongest != nullptr && r > strongest->strength) *strongest = {j, r};
        if (r > 1.0 && r > best) {
            best = r;
            peak = j;
        }
    }
    return peak;
}

std::vector<std::size_t> cusum_shifts(std::span<const double> r, std::size_t shortest);

// few_cycle_peak_of the n values z(0) .. z(n - 1); when it finds none, of
// the same (less a cubic) less the level shifts that the residuals of the strongest
// candidate's cycle show (fitted by fit_cycle_between_shifts): a shift's
// spectrum falls as 1 / f^2 and raises the level a cycle of a few periods
// is measured against as much as the shift is large, while the shifts are
// found only around the cycle, not in it. (Two looks double the chance of
// a false period, still far below a thousandth.)
std::size_t few_cycle_peak(std::size_t n, const ValueAt& z, std::size_t padded) {
    if (n > max_stretch || n < min_length) return 0;
    // Less a cubic first, so that a trend is not cut into a staircase.
    std::vector<double> values = polynomial_residuals(n, z);
    FewCycleCandidate candidate;
    const std::size_t peak = few_cycle_peak_of(values, padded, &candidate);
    // A second look only where a cycle may be hidden: noise alone leaves
    // every peak far below its threshold.
    if (peak != 0 || candidate.index == 0 || candidate.strength < few_cycles_second_look) {
        return peak;
    }
    const double period = static_cast<double>(padded) / static_cast<double>(candidate.index);
    const SeasonalCycle cycle = fit_cycle_between_shifts(values, period);
    std::vector<double> residual(n);
    for (std::size_t t = 0; t < n; ++t) residual[t] = values[t] - cycle.values[t];
    const std::vector<std::size_t> cuts = cusum_shifts(
        residual, std::max<std::size_t>(min_length, static_cast<std::size_t>(cycle.period / 4.0)));
    if (cuts.empty()) return 0;
    std::size_t start = 0;
    for (std::size_t i = 0; i <= cuts.size(); ++i) {
        const std::size_t stop = i < cuts.size() ? cuts[i] : n;
        double mean = 0.0;
        for (std::size_t t = start; t < stop; ++t) mean += residual[t];
        mean /= static_cast<double>(stop - start);
        for (std::size_t t = start; t < stop; ++t) values[t] -= mean;
        start = stop;
    }
    return few_cycle_peak_of(values, padded, nullptr);
}

std::vector<double> centred(std::span<const double> x) {
    double mean = 0.0;
    for (const double v : x) mean += v;
    mean /= static_cast<double>(x.size());
    std::vector<double> z(x.size());
    for (std::size_t t = 0; t < x.size(); ++t) z[t] = x[t] - mean;
    return z;
}

}  // namespace

void fourier_transform(std::span<std::complex<double>> data) {
    const std::size_t n = data.size();
    if (n < 2) return;
    for (std::size_t i = 1, j = 0; i < n; ++i) {
        std::size_t bit = n >> 1;
        for (; j & bit; bit >>= 1) j ^= bit;
        j ^= bit;
        if (i < j) std::swap(data[i], data[j]);
    }
    std::vector<std::complex<double>> twiddle(n / 2);
    for (std::size_t k = 0; k < n / 2; ++k) {
        const double angle = -2.0 * std::numbers::pi * static_cast<double>(k) / static_cast<double>(n);
        twiddle[k] = {std::cos(angle), std::sin(angle)};
    }
    for (std::size_t length = 2; length <= n; length <<= 1) {
        const std::size_t stride = n / length;
        for (std::size_t start = 0; start < n; start += length) {
            for (std::size_t k = 0; k < length / 2; ++k) {
                const std::complex<double> u = data[start + k];
                const std::complex<double> v = data[start + k + length / 2] * twiddle[k * stride];
                data[start + k] = u + v;
                data[start + k + length / 2] = u - v;
            }
        }
    }
}

std::optional<double> seasonal_period(std::span<const double> x) {
    return seasonal_period(x.size(), [x](std::size_t t) { return x[t]; });
}

std::optional<double> seasonal_period(std::size_t n, const ValueAt& x, const RunControl* control) {
    if (n < min_length) return std::nullopt;
    double mean = 0.0;
    for (std::size_t t = 0; t < n; ++t) mean += x(t);
    mean /= static_cast<double>(n);
    const ValueAt z = [&x, mean](std::size_t t) { return x(t) - mean; };
    const Periodogram p = periodogram(n, z, control);
    if (p.power.empty()) return std::nullopt;
    const std::size_t half = p.padded / 2;
    const double nd = static_cast<double>(p.length);
    const double scale = static_cast<double>(p.padded) / nd;  // ordinates per Fourier frequency
    const auto width = [scale](double w) { return static_cast<std::size_t>(std::ceil(w * scale)); };
    const std::size_t level_w = width(level_half_width), peak_w = width(peak_half_width);
    // The local level around ordinate j: the median ordinate over a window
    // symmetric in log frequency (from j / 2 to 2 j near the low end, j -+
    // level_w higher up), the peak's own neighbourhood left out, divided by
    // the median of an exponential variable. The median ignores the dips
    // that interfering level shifts leave in the periodogram, and the log
    // symmetry the steep fall of the periodogram of steps and persistence.
    // Returns the ratio of ordinate j to that level and the number of
    // Fourier frequencies the level rests on; a ratio of 0 where it rests on
    // too few.
    // Near the low end the window widens, from j / 3 .. 3 j up to
    // j / 8 .. 8 j, until it holds enough frequencies, and each ordinate i
    // weighs j / i, so that every octave counts alike and the weighted
    // median of a power law falls at j. The count returned is the effective
    // number of ordinates of those weights. Below widen_cycles cycles the
    // window widens only when `few` is set, and then the ratio is divided
    // by few_cycles_margin.
    std::vector<std::pair<double, double>> window;  // ordinate, weight
    const auto ratio = [&](std::size_t j, bool few) -> std::pair<double, double> {
        for (const double widening : {2.0, 3.0, 4.0, 6.0, 8.0}) {
            const bool few_cycles =
                widening > 2.0 && static_cast<double>(j) < widen_cycles * scale;
            if (few_cycles && !few) break;
            // There a lower local maximum next to a higher ordinate is a side
            // lobe of that ordinate's peak, not a cycle of its own.
            if (few_cycles) {
                const std::size_t from = j > peak_w ? j - peak_w : 1;
                for (std::size_t i = from; i <= std::min(half, j + peak_w); ++i) {
                    if (p.power[i] > p.power[j]) return {0.0, 0.0};
                }
            }
            const auto narrowest = static_cast<std::size_t>(static_cast<double>(j) / widening);
            const std::size_t lo = std::max<std::size_t>({1, j > level_w ? j - level_w : 1, narrowest});
            const double upper =
                static_cast<double>(j) * static_cast<double>(j) / static_cast<double>(lo);
            const std::size_t hi = std::min(half, static_cast<std::size_t>(upper));
            window.clear();
            double weights = 0.0, squares = 0.0;
            for (std::size_t i = lo; i <= hi; ++i) {
                if (i + peak_w >= j && i <= j + peak_w) continue;
                const double w = static_cast<double>(j) / static_cast<double>(i);
                window.emplace_back(p.power[i], w);
                weights += w;
                squares += w * w;
            }
            const double count = window.empty() ? 0.0 : weights * weights / squares / scale;
            if (count < min_level_count) continue;
            std::sort(window.begin(), window.end());
            double below = 0.0;
            double median = window.back().first;
            for (const auto& [value, w] : window) {
                below += w;
                if (below >= weights / 2.0) {
                    median = value;
                    break;
                }
            }
            const double level = median / std::numbers::ln2;
            const double r = level > 0.0 ? p.power[j] / level : 0.0;
            return {few_cycles ? r / few_cycles_margin : r, count};
        }
        return {0.0, 0.0};
    };
    // The threshold: the chance level over the n / 2 frequencies, raised for
    // the noise of a level measured from few frequencies (a median of m
    // exponential ordinates has a log-variance of about 2 / m).
    const double base = std::log(nd / 2.0 / chance);
    const auto threshold = [base](double count) { return base * (1.0 + base / count); };
    const auto first = static_cast<std::size_t>(std::ceil(min_cycles * scale));
    const auto last = std::min(half, static_cast<std::size_t>(
                                         std::floor(static_cast<double>(p.padded) / min_period)));
    if (first > last) return std::nullopt;
    // Shortlist by the ordinates themselves, then measure the largest
    // few against their local levels.
    std::vector<std::size_t> order;
    for (std::size_t j = first; j <= last; ++j) {
        if (p.power[j] >= p.power[j - 1] && (j == half || p.power[j] >= p.power[j + 1])) {
            order.push_back(j);
        }
    }
    const std::size_t keep = std::min<std::size_t>(order.size(), shortlist);
    std::partial_sort(order.begin(), order.begin() + static_cast<std::ptrdiff_t>(keep), order.end(),
                      [&](std::size_t a, std::size_t b) {
                          return p.power[a] != p.power[b] ? p.power[a] > p.power[b] : a < b;
                      });
    double best = 0.0;
    std::size_t peak = 0;
    for (std::size_t i = 0; i < keep; ++i) {
        const auto [r, count] = ratio(order[i], true);
        if (r > threshold(count) && r / threshold(count) > best) {
            best = r / threshold(count);
            peak = order[i];
        }
    }
    bool few = false;
    if (peak == 0) {
        if (control != nullptr && control->stop_requested()) return std::nullopt;
        peak = few_cycle_peak(n, z, p.padded);
        few = true;
    }
    if (peak == 0) return std::nullopt;
    // A whole fraction of the peak's frequency is looked for at a few
    // places only: its own chance level, raised alike for a level measured
    // from few frequencies.
    const double fraction_base = std::log(static_cast<double>(max_fraction) / chance);
    const auto fraction_threshold = [fraction_base](double count) {
        return fraction_base * (1.0 + fraction_base / count);
    };
    // The strongest ordinate may be a harmonic: take the lowest whole
    // fraction of its frequency that stands out on its own. (A fundamental
    // of fewer than widen_cycles cycles is left to fundamental_period: the
    // harmonic places the cycle more precisely.)
    double centre = static_cast<double>(peak);
    for (int k = max_fraction; k >= 2; --k) {
        const double target = static_cast<double>(peak) / k;
        if (target < static_cast<double>(first)) continue;
        const auto lo = static_cast<std::size_t>(std::max(1.0, std::floor(target - scale)));
        const auto hi = std::min(half, static_cast<std::size_t>(std::ceil(target + scale)));
        double strongest = 0.0;
        std::size_t where = 0;
        for (std::size_t j = lo; j <= hi; ++j) {
            const auto [r, count] = ratio(j, false);
            if (count > 0.0 && r / fraction_threshold(count) > strongest) {
                strongest = r / fraction_threshold(count);
                where = j;
            }
        }
        if (strongest > 1.0) {
            centre = static_cast<double>(where);
            break;
        }
    }
    few = few || centre < widen_cycles * scale;
    // Golden-section search of the peak between the neighbouring ordinates.
    const double bin = 2.0 * std::numbers::pi / static_cast<double>(p.padded);
    double a = (centre - 1.0) * bin, b = (centre + 1.0) * bin;
    const double g = (std::sqrt(5.0) - 1.0) / 2.0;
    double c = b - g * (b - a), d = a + g * (b - a);
    if (control != nullptr && control->stop_requested()) return std::nullopt;
    // Over a few cycles the periodogram's peak is pulled off the frequency
    // by the cycle's own mirror image at the negative frequency: there the
    // frequency is the one whose sine and cosine, fitted with a mean, take
    // out the most.
    const auto power_at = [&](double omega) {
        return few ? cycle_squares(p.length, z, 2.0 * std::numbers::pi / omega, 1)
                   : fourier_power(p.length, z, omega);
    };
    double fc = power_at(c), fd = power_at(d);
    for (int step = 0; step < refine_steps; ++step) {
        if (fc >= fd) {
            b = d;
            d = c;
            fd = fc;
            c = b - g * (b - a);
            fc = power_at(c);
        } else {
            a = c;
            c = d;
            fc = fd;
            d = a + g * (b - a);
            fd = power_at(d);
        }
    }
    const double omega = (a + b) / 2.0;
    if (!(omega > 0.0)) return std::nullopt;
    double period = 2.0 * std::numbers::pi / omega;
    // The peak of the periodogram sits a little off the true frequency when
    // a level shift or trend leaks into it, and a cycle removed with a period
    // that is a little off leaves a remainder that repeats, read later as
    // strong seasonal dependence. Cycles of a whole number of steps are
    // common: the nearest whole period is taken when its cycle explains at
    // least as much of the series as the measured one's.
    const double whole = std::round(period);
    if (whole != period && whole >= min_period && whole * min_cycles <= nd) {
        if (control != nullptr && control->stop_requested()) return std::nullopt;
        if (cycle_squares(p.length, z, whole) >= cycle_squares(p.length, z, period)) period = whole;
    }
    if (period < min_period || period * min_cycles > nd) return std::nullopt;
    return period;
}

SeasonalCycle fit_cycle(std::span<const double> x, double period) {
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
    // pass over the series.
    std::vector<double> cosines(n), sines(n);
    const auto tabulate = [&](double w) {
        for (std::size_t t = 0; t < n; ++t) {
            cosines[t] = std::cos(w * static_cast<double>(t));
            sines[t] = std::sin(w * static_cast<double>(t));
        }
    };
    for (int k = 1; k <= harmonics; ++k) {
        const double w = omega * k;
        tabulate(w);
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
        tabulate(omega * k);
        for (std::size_t t = 0; t < n; ++t) {
            cycle.values[t] += h.a * (cosines[t] - h.cos_mean) + h.b * (sines[t] - h.sin_mean);
        }
    }
    return cycle;
}

namespace {

// Residual squares of x around its mean and its own cycle of `period`.
double cycle_residual_squares(std::span<const double> x, double period) {
    const std::vector<double> z = centred(x);
    const SeasonalCycle cycle = fit_cycle(x, period);
    double squares = 0.0;
    for (std::size_t t = 0; t < z.size(); ++t) {
        const double r = z[t] - cycle.values[t];
        squares += r * r;
    }
    return squares;
}

}  // namespace

namespace {

// Level shifts a search by binary segmentation finds in r: a cut where the
// standardised CUSUM of a segment exceeds shift_cusum (in units of the
// noise's sd, read from the differences of neighbours), each side holding
// at least `shortest` values, at most max_cycle_shifts cuts, in order.
constexpr double shift_cusum = 5.0;
constexpr std::size_t max_cycle_shifts = 8;
constexpr int cycle_shift_rounds = 4;

std::vector<std::size_t> cusum_shifts(std::span<const double> r, std::size_t shortest) {
    const std::size_t n = r.size();
    std::vector<std::size_t> cuts;
    if (n < 2 * shortest + 2) return cuts;
    std::vector<double> steps(n - 1);
    for (std::size_t t = 1; t < n; ++t) steps[t - 1] = std::abs(r[t] - r[t - 1]);
    const auto middle = steps.begin() + static_cast<std::ptrdiff_t>(steps.size() / 2);
    std::nth_element(steps.begin(), middle, steps.end());
    // The median absolute difference of two normal values is 0.6745 sqrt(2) sd.
    const double sd = *middle / (0.6745 * std::numbers::sqrt2);
    if (!(sd > 0.0)) return cuts;
    std::vector<double> prefix(n + 1, 0.0);
    for (std::size_t t = 0; t < n; ++t) prefix[t + 1] = prefix[t] + r[t];
    std::vector<std::pair<std::size_t, std::size_t>> pending{{0, n}};
    while (!pending.empty() && cuts.size() < max_cycle_shifts) {
        const auto [a, b] = pending.back();
        pending.pop_back();
        if (b - a < 2 * shortest) continue;
        const double length = static_cast<double>(b - a);
        const double total = prefix[b] - prefix[a];
        double best = 0.0;
        std::size_t at = 0;
        for (std::size_t k = a + shortest; k + shortest <= b; ++k) {
            const double left = static_cast<double>(k - a);
            const double gap = prefix[k] - prefix[a] - left / length * total;
            const double z = std::abs(gap) / (sd * std::sqrt(left * (length - left) / length));
            if (z > best) {
                best = z;
                at = k;
            }
        }
        if (best <= shift_cusum) continue;
        cuts.push_back(at);
        pending.emplace_back(a, at);
        pending.emplace_back(at, b);
    }
    std::sort(cuts.begin(), cuts.end());
    return cuts;
}

}  // namespace

namespace {

// Solves the m x m system a y = b in place by Gaussian elimination with
// partial pivoting (a row-major, b overwritten by y); false when singular.
bool solve_in_place(std::vector<double>& a, std::vector<double>& b, std::size_t m) {
    for (std::size_t col = 0; col < m; ++col) {
        std::size_t pivot = col;
        for (std::size_t r = col + 1; r < m; ++r) {
            if (std::abs(a[r * m + col]) > std::abs(a[pivot * m + col])) pivot = r;
        }
        if (!(std::abs(a[pivot * m + col]) > 1e-12 * std::abs(a[col * m + col]) &&
              std::abs(a[pivot * m + col]) > 0.0)) {
            return false;
        }
        if (pivot != col) {
            for (std::size_t k = 0; k < m; ++k) std::swap(a[col * m + k], a[pivot * m + k]);
            std::swap(b[col], b[pivot]);
        }
        for (std::size_t r = 0; r < m; ++r) {
            if (r == col) continue;
            const double f = a[r * m + col] / a[col * m + col];
            if (f == 0.0) continue;
            for (std::size_t k = col; k < m; ++k) a[r * m + k] -= f * a[col * m + k];
            b[r] -= f * b[col];
        }
    }
    for (std::size_t i = 0; i < m; ++i) b[i] /= a[i * m + i];
    return true;
}

// The cycle of `period` fitted to x with its harmonics (those of `kept`)
// and a mean all at once: over a few cycles that do not fill the series
// whole, the harmonics are not orthogonal, and fitted one at a time each
// would leave part of the others. Also returns each harmonic's squares.
SeasonalCycle joint_cycle(std::span<const double> x, double period, const std::vector<bool>& kept,
                          std::vector<double>* gains) {
    const std::size_t n = x.size();
    const double omega = 2.0 * std::numbers::pi / period;
    std::vector<int> orders;
    for (std::size_t k = 0; k < kept.size(); ++k) {
        if (kept[k]) orders.push_back(static_cast<int>(k) + 1);
    }
    const std::size_t m = 1 + 2 * orders.size();
    std::vector<double> gram(m * m, 0.0), right(m, 0.0), row(m);
    const auto fill = [&](std::size_t t) {
        row[0] = 1.0;
        for (std::size_t i = 0; i < orders.size(); ++i) {
            const double angle = omega * orders[i] * static_cast<double>(t);
            row[1 + 2 * i] = std::cos(angle);
            row[2 + 2 * i] = std::sin(angle);
        }
    };
    for (std::size_t t = 0; t < n; ++t) {
        fill(t);
        for (std::size_t i = 0; i < m; ++i) {
            right[i] += row[i] * x[t];
            for (std::size_t k = i; k < m; ++k) gram[i * m + k] += row[i] * row[k];
        }
    }
    for (std::size_t i = 0; i < m; ++i) {
        for (std::size_t k = 0; k < i; ++k) gram[i * m + k] = gram[k * m + i];
    }
    SeasonalCycle cycle;
    cycle.period = period;
    cycle.values.assign(n, 0.0);
    if (!solve_in_place(gram, right, m)) return fit_cycle(x, period);
    double mean = 0.0;
    for (std::size_t t = 0; t < n; ++t) {
        fill(t);
        double v = 0.0;
        for (std::size_t i = 1; i < m; ++i) v += right[i] * row[i];
        cycle.values[t] = v;
        mean += v;
    }
    mean /= static_cast<double>(n);
    for (double& v : cycle.values) v -= mean;
    if (gains != nullptr) {
        gains->assign(kept.size(), 0.0);
        for (std::size_t i = 0; i < orders.size(); ++i) {
            const double a = right[1 + 2 * i], b = right[2 + 2 * i];
            (*gains)[static_cast<std::size_t>(orders[i] - 1)] =
                (a * a + b * b) * static_cast<double>(n) / 2.0;
        }
    }
    return cycle;
}

// The cycle of `period` fitted jointly, with the fundamental and every
// harmonic whose squares stand harmonic_gain residual variances high.
SeasonalCycle joint_fit_cycle(std::span<const double> x, double period) {
    const std::size_t n = x.size();
    std::vector<bool> kept(static_cast<std::size_t>(harmonic_count(period)), true);
    std::vector<double> gains;
    SeasonalCycle all = joint_cycle(x, period, kept, &gains);
    double mean = 0.0;
    for (const double v : x) mean += v;
    mean /= static_cast<double>(n);
    double squares = 0.0;
    for (std::size_t t = 0; t < n; ++t) {
        const double r = x[t] - mean - all.values[t];
        squares += r * r;
    }
    const double dof = static_cast<double>(n) - 2.0 * static_cast<double>(kept.size()) - 1.0;
    const double residual = dof > 0.0 ? squares / dof : 0.0;
    bool every = true;
    for (std::size_t k = 1; k < kept.size() && k < gains.size(); ++k) {
        kept[k] = gains[k] > harmonic_gain * residual;
        every = every && kept[k];
    }
    return every ? all : joint_cycle(x, period, kept, nullptr);
}

// Harmonics the period is measured with (jointly, so that a strong second
// or third harmonic does not pull the fundamental).
constexpr std::size_t period_harmonics = 3;

// The period within half a Fourier frequency of `period` whose first
// harmonics, fitted with a mean, explain the most of x, or the nearest
// whole number of values when that explains as much.
double least_squares_period(std::span<const double> x, double period) {
    const std::size_t n = x.size();
    const auto squares_at = [&](double p) {
        const std::vector<bool> kept(
            std::min(period_harmonics, static_cast<std::size_t>(harmonic_count(p))), true);
        double squares = 0.0;
        for (const double v : joint_cycle(x, p, kept, nullptr).values) squares += v * v;
        return squares;
    };
    const double reach = period * period / (2.0 * static_cast<double>(n));
    double a = std::max(min_period, period - reach), b = period + reach;
    const double g = (std::sqrt(5.0) - 1.0) / 2.0;
    double c = b - g * (b - a), d = a + g * (b - a);
    double fc = squares_at(c), fd = squares_at(d);
    for (int step = 0; step < refine_steps; ++step) {
        if (fc >= fd) {
            b = d;
            d = c;
            fd = fc;
            c = b - g * (b - a);
            fc = squares_at(c);
        } else {
            a = c;
            c = d;
            fc = fd;
            d = a + g * (b - a);
            fd = squares_at(d);
        }
    }
    double refined = (a + b) / 2.0;
    const double whole = std::round(refined);
    if (whole != refined && whole >= min_period && squares_at(whole) >= squares_at(refined)) {
        refined = whole;
    }
    return refined;
}

}  // namespace

SeasonalCycle fit_cycle_between_shifts(std::span<const double> x, double period) {
    const std::size_t n = x.size();
    if (n < min_length || !(period >= min_period) ||
        !(period * widen_cycles > static_cast<double>(n))) {
        return fit_cycle(x, period);
    }
    const auto shortest = std::max<std::size_t>(min_length, static_cast<std::size_t>(period / 4.0));
    std::vector<double> residual(n), levelled(x.begin(), x.end());
    std::vector<std::size_t> cuts;
    SeasonalCycle cycle;
    for (int round = 0; round < cycle_shift_rounds; ++round) {
        // The period is measured again on the values between the shifts
        // (a harmonic's period multiplied up, or a shift, pulls it).
        cycle = joint_fit_cycle(levelled, least_squares_period(levelled, period));
        for (std::size_t t = 0; t < n; ++t) residual[t] = x[t] - cycle.values[t];
        std::vector<std::size_t> found = cusum_shifts(residual, shortest);
        if (found == cuts) break;
        cuts = std::move(found);
        // x less the mean of what the cycle leaves on each side of the cuts.
        std::size_t start = 0;
        for (std::size_t i = 0; i <= cuts.size(); ++i) {
            const std::size_t stop = i < cuts.size() ? cuts[i] : n;
            double mean = 0.0;
            for (std::size_t t = start; t < stop; ++t) mean += residual[t];
            mean /= static_cast<double>(stop - start);
            for (std::size_t t = start; t < stop; ++t) levelled[t] = x[t] - mean;
            start = stop;
        }
    }
    return cycle;
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
        const double shared = cycle_residual_squares(levelled, period);
        const double own =
            cycle_residual_squares(left, period) + cycle_residual_squares(right, period);
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

double fundamental_period(std::span<const double> x, double period) {
    const std::size_t n = x.size();
    if (n < min_length || !(period >= min_period)) return period;
    const SeasonalCycle found = fit_cycle(x, period);
    double found_energy = 0.0;
    for (const double v : found.values) found_energy += v * v;
    const std::vector<double> z = centred(x);
    const double dof = std::max(1.0, static_cast<double>(n) - 4.0 * max_harmonics);
    double best = period, best_gain = 0.0;
    for (const int k : {2, 3}) {
        const double longer = period * k;
        if (longer * min_cycles > static_cast<double>(n)) break;
        const SeasonalCycle cycle = fit_cycle(x, longer);
        double energy = 0.0, squares = 0.0;
        for (std::size_t t = 0; t < n; ++t) {
            energy += cycle.values[t] * cycle.values[t];
            const double r = z[t] - cycle.values[t];
            squares += r * r;
        }
        const double residual = squares / dof;
        const double gain = energy - found_energy;
        // The part of the longer cycle that the shorter one lacks must be
        // the stronger part and stand far above chance.
        if (gain > found_energy && gain > 30.0 * residual && gain > best_gain) {
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
