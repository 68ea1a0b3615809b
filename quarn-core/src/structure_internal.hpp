// What the parts of the seasonal-cycle search share: the search's limits
// and the helpers that more than one of period_search.cpp,
// few_cycle_search.cpp, cycle_fit.cpp and cycle_between_shifts.cpp call.
#pragma once

#include <cmath>
#include <complex>
#include <numbers>
#include <cstddef>
#include <span>
#include <utility>
#include <vector>

#include "quarn/structure.hpp"

namespace quarn::structure_detail {

// Shortest series searched for a cycle, shortest period and fewest cycles.
inline constexpr std::size_t min_length = 16;
inline constexpr double min_period = 2.0;
inline constexpr double min_cycles = 3.0;
// Chance that a series with a smooth spectrum shows a peak this strong
// somewhere (before allowing for the noise of the local level).
inline constexpr double chance = 1e-3;
// The fewest cycles for which the window of a peak's local level may widen;
// cycles of fewer periods are looked for by few_cycle_peak.
inline constexpr double widen_cycles = 8.0;
// Harmonics fitted at most, and the reduction of the residual squares (in
// residual variances) that a harmonic beyond the first must bring.
inline constexpr int max_harmonics = 12;
inline constexpr double harmonic_gain = 10.0;
// Refinement of the peak frequency between its Fourier neighbours (and of
// a period by least squares).
inline constexpr int refine_steps = 30;
// Longest stretch of values one Fourier transform takes: longer series
// average the periodograms of their stretches, which bounds the memory
// (16 bytes per value of a stretch) and the longest period looked for.
inline constexpr std::size_t max_stretch = std::size_t{1} << 16;

// What refine_steps steps of a golden-section search for the largest value
// of f leave of the bracket [a, b].
template <class F>
std::pair<double, double> golden_section_max(double a, double b, F&& f) {
    const double g = (std::sqrt(5.0) - 1.0) / 2.0;
    double c = b - g * (b - a), d = a + g * (b - a);
    double fc = f(c), fd = f(d);
    for (int step = 0; step < refine_steps; ++step) {
        if (fc >= fd) {
            b = d;
            d = c;
            fd = fc;
            c = b - g * (b - a);
            fc = f(c);
        } else {
            a = c;
            c = d;
            fc = fd;
            d = a + g * (b - a);
            fd = f(d);
        }
    }
    return {a, b};
}

// Most table entries (a cosine and a sine, 16 bytes) kept for the fits
// that share them; harmonics beyond are computed by each fit, as without.
inline constexpr std::size_t max_table_entries = std::size_t{1} << 18;

// The cosines and sines of the harmonics of one period at the places
// 0 .. n - 1, each harmonic's computed once (when first asked for) for the
// many fits of that period on stretches of at most n values starting at
// place 0, as fit_cycle computes them.
class HarmonicTables {
  public:
    HarmonicTables(double period, std::size_t n, std::size_t most = max_table_entries)
        : period_(period), n_(n), most_(most) {}

    // Harmonic k's cosines and sines at 0 .. n - 1; false when not kept.
    bool get(int k, std::span<const double>& cosines, std::span<const double>& sines) {
        const auto index = static_cast<std::size_t>(k - 1);
        while (cosines_.size() <= index) {
            if ((cosines_.size() + 1) * n_ > most_) return false;
            const double w = 2.0 * std::numbers::pi / period_ * (static_cast<int>(cosines_.size()) + 1);
            std::vector<double> c(n_), s(n_);
            for (std::size_t t = 0; t < n_; ++t) {
                c[t] = std::cos(w * static_cast<double>(t));
                s[t] = std::sin(w * static_cast<double>(t));
            }
            cosines_.push_back(std::move(c));
            sines_.push_back(std::move(s));
        }
        cosines = cosines_[index];
        sines = sines_[index];
        return true;
    }

  private:
    double period_;
    std::size_t n_;
    std::size_t most_;  // entries kept at most
    std::vector<std::vector<double>> cosines_, sines_;
};

// fit_cycle, reading the harmonics' cosines and sines from `tables` (of the
// same period, over at least x.size() places) where they hold them: the
// same cycle, bit for bit (cycle_fit.cpp).
SeasonalCycle fit_cycle_on(std::span<const double> x, double period, HarmonicTables* tables);

// Harmonics a cycle of this period is fitted with (cycle_fit.cpp).
int harmonic_count(double period);

// x less its mean (cycle_fit.cpp).
std::vector<double> centred(std::span<const double> x);

// The level shifts a binary segmentation by CUSUM finds in r, each side
// holding at least `shortest` values, in order (cycle_between_shifts.cpp).
std::vector<std::size_t> cusum_shifts(std::span<const double> r, std::size_t shortest);

// x less the level shifts that its residuals around its cycle of `period`
// show by cusum_shifts, each side of at least `shortest` values, the cycle
// and the shifts fitted by turns (4 rounds); empty when there are none
// (cycle_between_shifts.cpp). A large
// shift leaks into the periodogram and into the slow harmonics of a long
// cycle; the values less it tell a cycle from the shift.
std::vector<double> less_shifts_around(std::span<const double> x, double period,
                                       std::size_t shortest);

// Whether a few level shifts explain x as well as `cycle` (fit_cycle's of
// x) does, the cycle adding nothing beyond them: the shifts cusum_shifts
// finds in x (at most 8, sides of at least min_length values) leave
// residual squares no larger than the cycle's, and no larger than the
// cycle fitted beside them, or the cycle with the shifts around it
// (less_shifts_around), leaves by more than noise would (at a chance of
// about 1e-3). Three cycles of a square wave
// are five level shifts, whose periodogram's strongest peaks are the
// wave's odd harmonics; a season of many periods needs far more shifts
// than that. The cosines and sines are read from `tables` (of the cycle's
// period, over at least x.size() places) where it holds them
// (cycle_between_shifts.cpp).
bool shifts_explain_cycle(std::span<const double> x, const SeasonalCycle& cycle,
                          HarmonicTables* tables = nullptr);

// out(t) = source(t) less the mean of r over the stretch that holds t, the
// stretches running between 0, the ascending `cuts` and r.size(). `out` may
// be `source` itself.
inline void subtract_segment_means(std::span<const double> r, std::span<const std::size_t> cuts,
                                   std::span<const double> source, std::span<double> out) {
    std::size_t start = 0;
    for (std::size_t i = 0; i <= cuts.size(); ++i) {
        const std::size_t stop = i < cuts.size() ? cuts[i] : r.size();
        double mean = 0.0;
        for (std::size_t t = start; t < stop; ++t) mean += r[t];
        mean /= static_cast<double>(stop - start);
        for (std::size_t t = start; t < stop; ++t) out[t] = source[t] - mean;
        start = stop;
    }
}

// The padded index of a cycle of between 3.5 and widen_cycles periods in the
// n values z(0) .. z(n - 1), 0 when there is none (few_cycle_search.cpp).
// `twiddles` are fourier_twiddles(padded).
std::size_t few_cycle_peak(std::size_t n, const ValueAt& z, std::size_t padded,
                           std::span<const std::complex<double>> twiddles);

}  // namespace quarn::structure_detail
