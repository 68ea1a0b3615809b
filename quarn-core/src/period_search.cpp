// The seasonal period search: the periodogram of the series (or the mean
// periodogram of evenly spread stretches of a long series), its strongest
// peak measured against the local level around it, the fundamental of a
// harmonic, and the frequency refined between the Fourier grid's
// ordinates. The Fourier transform it uses is fourier_transform.cpp's.
#include "quarn/structure.hpp"

#include <algorithm>
#include <bit>
#include <cmath>
#include <complex>
#include <cstdint>
#include <numbers>
#include <utility>
#include <vector>

#include "quarn/pool.hpp"
#include "structure_internal.hpp"

namespace quarn {

using namespace structure_detail;

namespace {

// The local level of the periodogram around a frequency rests on the
// ordinates within this many Fourier frequencies on either side (fewer near
// the low end), leaving out the peak's own neighbourhood.
constexpr double level_half_width = 64.0;
constexpr double peak_half_width = 3.0;
// Fewest (effective) Fourier frequencies a local level rests on.
constexpr double min_level_count = 8.0;
// Below widen_cycles cycles the window still widens, but the peak must stand
// this many times higher: the few lowest ordinates of a random walk or of
// strongly persistent noise vary too much for the usual threshold (their
// highest peaks there reach about twice it), while a seasonal cycle of a few
// periods stands out far more.
constexpr double few_cycles_margin = 3.0;
// How many of the periodogram's highest local maxima are measured against
// their levels.
constexpr std::size_t shortlist = 32;
// Whole fractions of the strongest frequency that may be the fundamental.
constexpr int max_fraction = 6;
// The rotating phasor of a Fourier sum is recomputed exactly this often.
constexpr std::size_t resync = 256;
// At most this many stretches are transformed, spread evenly over the series.
constexpr std::size_t max_stretches = 16;

// Squared modulus of sum_t z(t) exp(-i omega t), t < count.
template <class Values>
double fourier_power(std::size_t count, const Values& z, double omega) {
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

template <class Values>
Periodogram periodogram(std::size_t n, const Values& z, const RunControl* control,
                        std::span<const std::complex<double>> twiddles) {
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
        fourier_transform(data, twiddles);
        for (std::size_t j = 0; j <= half; ++j) sum[j] += std::norm(data[j]);
    }
    for (double& v : sum) v /= static_cast<double>(stretches);
    p.power = std::move(sum);
    return p;
}

// Squares of the centred z(0) .. z(count - 1) that the harmonics of a cycle
// of this period explain, each harmonic fitted on its own (as fit_cycle
// does).
template <class Values>
double cycle_squares(std::size_t count, const Values& z, double period,
                     int most = max_harmonics) {
    const double omega = 2.0 * std::numbers::pi / period;
    const double nd = static_cast<double>(count);
    double mean = 0.0, explained = 0.0;
    for (std::size_t t = 0; t < count; ++t) mean += z(t);
    mean /= nd;
    // Each harmonic's cosine and sine are computed once and read by both
    // passes over the values.
    std::vector<double> cosines(count), sines(count);
    for (int k = 1; k <= std::min(most, harmonic_count(period)); ++k) {
        const double w = omega * k;
        double cs = 0.0, ss = 0.0;
        for (std::size_t t = 0; t < count; ++t) {
            cosines[t] = std::cos(w * static_cast<double>(t));
            sines[t] = std::sin(w * static_cast<double>(t));
            cs += cosines[t];
            ss += sines[t];
        }
        double cc = 0.0, sn = 0.0, cx = 0.0, zc = 0.0, zs = 0.0;
        for (std::size_t t = 0; t < count; ++t) {
            const double c = cosines[t] - cs / nd;
            const double s = sines[t] - ss / nd;
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

// Steps without noise fool the periodogram's local level: their
// periodogram is the ripple of the steps' (and the padding's) interference
// under a falling envelope, deep nulls and nothing between them, and a
// crest of it may stand far above the median of its window with no cycle
// there at all. Such a cycle is told by what its removal does to the
// series' total variation, the sum of the absolute differences of
// neighbours. A cycle the series holds adds to the differences: removed,
// it leaves the noise's increments e alone, and |e + a| is on average at
// least |e| for any symmetric e, so the variation does not rise (beyond
// chance). A cycle the series does not hold, removed from steps whose
// values do not vary between the shifts, adds its own variation: the
// variation rises by about the cycle's.
// Each term |dx - dc| - |dx| lies within -+|dc| (dc a difference of the
// cycle), so over independent increments (the even places and the odd
// ones apart, as neighbouring increments of independent noise share a
// value) the rise passes sqrt(4 ln(2 / chance) sum dc^2) with a chance of
// about `chance` at most. Noise large enough to fill the ripple's nulls
// leaves the rise of a cycle removed far below that bound, which is passed
// only where the values barely vary between the shifts.
// Over one transform's values; `cycle` is fit_cycle's of them.
bool cycle_adds_roughness(std::span<const double> values, const SeasonalCycle& cycle) {
    const std::size_t count = values.size();
    double rise = 0.0, squares = 0.0;
    for (std::size_t t = 1; t < count; ++t) {
        const double dx = values[t] - values[t - 1];
        const double dc = cycle.values[t] - cycle.values[t - 1];
        rise += std::abs(dx - dc) - std::abs(dx);
        squares += dc * dc;
    }
    return rise > std::sqrt(4.0 * std::log(2.0 / chance) * squares);
}

// From this many values on, the few-cycle search starts beside the
// periodogram (see seasonal_period).
constexpr std::size_t pooled_few_cycles = std::size_t{1} << 12;

}  // namespace

std::optional<double> seasonal_period(std::span<const double> x) {
    return seasonal_period(x.size(), [x](std::size_t t) { return x[t]; });
}

std::optional<double> seasonal_period(std::size_t n, const ValueAt& x, const RunControl* control) {
    if (n < min_length) return std::nullopt;
    // A series of one transform's length at most is read again and again
    // (by the transform, the few-cycle search, the refinement): it is read
    // once, and held as z gives it (less its mean, summed in the same
    // order), and read from there.
    std::vector<double> held;
    double mean = 0.0;
    if (n <= max_stretch) {
        held.resize(n);
        for (std::size_t t = 0; t < n; ++t) held[t] = x(t);
        for (std::size_t t = 0; t < n; ++t) mean += held[t];
    } else {
        for (std::size_t t = 0; t < n; ++t) mean += x(t);
    }
    mean /= static_cast<double>(n);
    for (double& v : held) v -= mean;
    const ValueAt z = [&x, mean](std::size_t t) { return x(t) - mean; };
    const auto held_at = [values = held.data()](std::size_t t) { return values[t]; };
    // f(z) on the held values where they are held.
    const auto on_values = [&](const auto& f) { return held.empty() ? f(z) : f(held_at); };
    // The few-cycle search below, for when no peak of the periodogram
    // stands out, reads the values and the transform's length alone: on a
    // pool with a thread to spare it starts beside the periodogram and its
    // peaks, and is called off (or its answer dropped) when one of them
    // stands out. Serially it runs only when needed.
    const std::size_t padded = std::bit_ceil(std::min(n, max_stretch));
    const std::vector<std::complex<double>> twiddles = fourier_twiddles(padded);
    const auto few_cycles = [&] {
        return held.empty() ? few_cycle_peak(n, z, padded, twiddles)
                            : few_cycle_peak(n, held_at, padded, twiddles);
    };
    std::size_t few_cycles_peak = 0;
    SideTask few_cycles_beside;
    // A search whose answer is not read (a peak stood out, or the search
    // ends early) is called off: not yet begun, it never runs; begun, it is
    // waited for.
    struct CallOff {
        SideTask& task;
        ~CallOff() { task.cancel(); }
    } call_off{few_cycles_beside};
    few_cycles_beside.start([&] { few_cycles_peak = few_cycles(); },
                            n >= pooled_few_cycles && n <= max_stretch);
    const Periodogram p = on_values(
        [&](const auto& values) { return periodogram(n, values, control, twiddles); });
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
    // The threshold: the chance level over the n / 2 frequencies, raised for
    // the noise of a level measured from few frequencies (a median of m
    // exponential ordinates has a log-variance of about 2 / m).
    const double base = std::log(nd / 2.0 / chance);
    const auto threshold = [base](double count) { return base * (1.0 + base / count); };
    std::vector<std::pair<double, double>> window, low;  // ordinate, weight
    // The ordinates the levels and ratios are read from: the periodogram's,
    // or, for a second look at a fraction of the peak's frequency, those of
    // the series less the peak's cycle and its level shifts (below).
    const std::vector<double>* ordinates = &p.power;
    const auto ratio = [&](std::size_t j, bool few,
                           bool shortlisting) -> std::pair<double, double> {
        for (const double widening : {2.0, 3.0, 4.0, 6.0, 8.0}) {
            const bool few_cycles =
                widening > 2.0 && static_cast<double>(j) < widen_cycles * scale;
            if (few_cycles && !few) break;
            // There a lower local maximum next to a higher ordinate is a side
            // lobe of that ordinate's peak, not a cycle of its own.
            if (few_cycles) {
                const std::size_t from = j > peak_w ? j - peak_w : 1;
                for (std::size_t i = from; i <= std::min(half, j + peak_w); ++i) {
                    if ((*ordinates)[i] > (*ordinates)[j]) return {0.0, 0.0};
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
                window.emplace_back((*ordinates)[i], w);
                weights += w;
                squares += w * w;
            }
            const double count = window.empty() ? 0.0 : weights * weights / squares / scale;
            if (count < min_level_count) continue;
            if (shortlisting) {
                // The ratio passes only with a median below `floor` (with a
                // margin far above rounding). Sorted, the ordinates below
                // it come first, in their own sorted order: when their
                // weights do not reach half, the median is not below it,
                // and the whole window need not be sorted.
                const double needed = threshold(count) * (few_cycles ? few_cycles_margin : 1.0);
                const double floor = std::numbers::ln2 * (*ordinates)[j] / needed * (1.0 + 1e-9);
                low.clear();
                for (const auto& entry : window) {
                    if (entry.first < floor) low.push_back(entry);
                }
                if (low.size() < window.size()) {
                    std::sort(low.begin(), low.end());
                    double below = 0.0;
                    bool reaches = false;
                    for (const auto& entry : low) {
                        below += entry.second;
                        if (below >= weights / 2.0) {
                            reaches = true;
                            break;
                        }
                    }
                    if (!reaches) return {0.0, count};
                }
            }
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
            const double r = level > 0.0 ? (*ordinates)[j] / level : 0.0;
            return {few_cycles ? r / few_cycles_margin : r, count};
        }
        return {0.0, 0.0};
    };
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
        const auto [r, count] = ratio(order[i], true, true);
        if (r > threshold(count) && r / threshold(count) > best) {
            best = r / threshold(count);
            peak = order[i];
        }
    }
    bool few = false;
    if (peak == 0) {
        if (control != nullptr && control->stop_requested()) return std::nullopt;
        // Waited for, or run here when it was held.
        few_cycles_beside.join();
        peak = few_cycles_peak;
        few = true;
    } else {
        few_cycles_beside.cancel();
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
    const auto fraction_of = [&](std::size_t strongest_at) {
        for (int k = max_fraction; k >= 2; --k) {
            const double target = static_cast<double>(strongest_at) / k;
            if (target < static_cast<double>(first)) continue;
            const auto lo = static_cast<std::size_t>(std::max(1.0, std::floor(target - scale)));
            const auto hi = std::min(half, static_cast<std::size_t>(std::ceil(target + scale)));
            double strongest = 0.0;
            std::size_t where = 0;
            for (std::size_t j = lo; j <= hi; ++j) {
                const auto [r, count] = ratio(j, false, false);
                if (count > 0.0 && r / fraction_threshold(count) > strongest) {
                    strongest = r / fraction_threshold(count);
                    where = j;
                }
            }
            if (strongest > 1.0) return static_cast<double>(where);
        }
        return static_cast<double>(strongest_at);
    };
    double centre = fraction_of(peak);
    const double bin = 2.0 * std::numbers::pi / static_cast<double>(p.padded);
    // A whole fraction found so is not always the fundamental. A crest of
    // the ripple that a large level shift puts into the periodogram (every
    // other ordinate high, the ones between all but nil) stands far above
    // the median of its window; so does an ordinate on the skirt of the
    // peak's own leakage, beside the low ordinates below it. So the
    // fraction is kept only when it stands out as well in the periodogram
    // of the series less the peak's cycle and less the level shifts that
    // cycle leaves: a fundamental the series holds is left there whole (its
    // harmonics are the peak's and more), the ripple and the skirt are not.
    if (!few && centre != static_cast<double>(peak) && !held.empty()) {
        if (control != nullptr && control->stop_requested()) return std::nullopt;
        // The period of the periodogram's maximum within a Fourier
        // frequency of the peak.
        const auto [a, b] = golden_section_max(
            (static_cast<double>(peak) - 1.0) * bin, (static_cast<double>(peak) + 1.0) * bin,
            [&](double w) { return fourier_power(p.length, held_at, w); });
        const double peak_period = 2.0 * std::numbers::pi / ((a + b) / 2.0);
        // Each side of a shift holds at least two periods of the fraction's
        // cycle, so that the means taken off take out little of that cycle
        // (or of any as slow that the peak's cycle leaves, such as that of
        // another stretch of the series).
        const double fraction_period = static_cast<double>(p.padded) / centre;
        const std::vector<double> shifted = less_shifts_around(
            held, peak_period,
            std::max<std::size_t>(min_length, static_cast<std::size_t>(2.0 * fraction_period)));
        const std::span<const double> levelled = shifted.empty() ? std::span<const double>(held)
                                                                 : std::span<const double>(shifted);
        const SeasonalCycle cycle = fit_cycle(levelled, peak_period);
        std::vector<double> rest(n);
        for (std::size_t t = 0; t < n; ++t) rest[t] = levelled[t] - cycle.values[t];
        rest = centred(rest);
        const Periodogram q =
            periodogram(n, [&rest](std::size_t t) { return rest[t]; }, nullptr, twiddles);
        ordinates = &q.power;
        const double again = fraction_of(peak);
        ordinates = &p.power;
        // Only a fraction found in both is kept.
        if (std::abs(again - centre) > scale) centre = static_cast<double>(peak);
    }
    few = few || centre < widen_cycles * scale;
    // Golden-section search of the peak between the neighbouring ordinates.
    if (control != nullptr && control->stop_requested()) return std::nullopt;
    // Over a few cycles the periodogram's peak is pulled off the frequency
    // by the cycle's own mirror image at the negative frequency: there the
    // frequency is the one whose sine and cosine, fitted with a mean, take
    // out the most.
    const auto power_at = [&](double omega) {
        return on_values([&](const auto& values) {
            return few ? cycle_squares(p.length, values, 2.0 * std::numbers::pi / omega, 1)
                       : fourier_power(p.length, values, omega);
        });
    };
    const auto [a, b] = golden_section_max((centre - 1.0) * bin, (centre + 1.0) * bin, power_at);
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
        const bool closer = on_values([&](const auto& values) {
            return cycle_squares(p.length, values, whole) >= cycle_squares(p.length, values, period);
        });
        if (closer) period = whole;
    }
    if (period < min_period || period * min_cycles > nd) return std::nullopt;
    if (control != nullptr && control->stop_requested()) return std::nullopt;
    // The last checks read one transform's values, and fit cycles of this
    // period to them that share their cosines and sines.
    std::vector<double> stretch;
    if (held.empty()) {
        stretch.resize(p.length);
        for (std::size_t t = 0; t < p.length; ++t) stretch[t] = z(t);
    }
    const std::span<const double> values =
        held.empty() ? std::span<const double>(stretch) : std::span<const double>(held);
    HarmonicTables tables(period, p.length);
    const SeasonalCycle cycle = fit_cycle_on(values, period, &tables);
    if (cycle_adds_roughness(values, cycle)) return std::nullopt;
    // With noise the roughness test no longer tells a few level shifts
    // from a cycle: the cycle is dropped where the shifts explain the
    // series as well and the cycle adds nothing beyond them. The period
    // found may be a harmonic of the series' own (a third of a square
    // wave's, say), which fundamental_period later multiplies up: the
    // cycles of two and three times the period must add nothing beyond the
    // shifts either.
    if (control != nullptr && control->stop_requested()) return std::nullopt;
    if (!shifts_explain_cycle(values, cycle, &tables)) return period;
    for (const int k : {2, 3}) {
        const double longer = period * k;
        if (longer * min_cycles > nd) break;
        if (control != nullptr && control->stop_requested()) return std::nullopt;
        if (!shifts_explain_cycle(values, fit_cycle(values, longer))) return period;
    }
    return std::nullopt;
}

}  // namespace quarn
