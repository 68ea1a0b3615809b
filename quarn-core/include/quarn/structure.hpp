// The series' own structure in time, estimated before any change is tested:
// a seasonal cycle found in the periodogram, fitted by a few harmonics and
// removed, so that the change tests see the series without its cycle.
#pragma once

#include <complex>
#include <cstddef>
#include <functional>
#include <optional>
#include <span>
#include <vector>

#include "quarn/control.hpp"

namespace quarn {

// Value t of a series, for the searches that read a series without a copy.
using ValueAt = std::function<double(std::size_t)>;

// Discrete Fourier transform of `data` in place (forward, no scaling). The
// length must be a power of two (1 included). Twiddle factors are computed
// directly, so the bits do not depend on anything but the input.
void fourier_transform(std::span<std::complex<double>> data);

// The twiddle factors of a transform of n values (a power of two), which
// transforms of n values or of fewer (a power of two too) share: theirs are
// every (n / length)-th one, with the same bits as their own would have.
// The longest table asked for (up to 2^16 values) is kept between calls, and
// later tables of no more values are copied from it; thread-safe.
std::vector<std::complex<double>> fourier_twiddles(std::size_t n);

// fourier_transform with twiddle factors computed once by fourier_twiddles
// of at least data.size() values; the same result, bit for bit.
void fourier_transform(std::span<std::complex<double>> data,
                       std::span<const std::complex<double>> twiddles);

// The first `count` outputs of fourier_transform(data, twiddles), bit for
// bit, by the butterflies they depend on only; the other outputs are left
// unspecified.
void fourier_transform_lowest(std::span<std::complex<double>> data,
                              std::span<const std::complex<double>> twiddles, std::size_t count);

// A seasonal cycle: its period (in values, not necessarily whole) and its
// fitted values, one per value of the series, with mean 0.
struct SeasonalCycle {
    double period = 0.0;
    std::vector<double> values;
};

// The seasonal period of x when its periodogram holds a peak that stands
// far above the periodogram's level around it: far enough that on series
// whose spectrum is smooth (independent noise, strong persistence, a random
// walk, level shifts) such a peak appears by chance on about one series in
// a thousand. Only periods of at least 2 values that repeat at least 3
// times are looked for; the strongest peak is taken down to its fundamental
// when the periodogram peaks at a whole fraction of its frequency too (and,
// on series of at most 65,536 values, so does the periodogram of x less the
// peak's cycle and the level shifts that cycle leaves), and the frequency
// is refined off the Fourier grid. nullopt when there is no
// such peak or x has fewer than 16 values. When no such peak shows, a cycle
// of 3.5 to 8 periods is looked for in the tapered periodogram of x less a
// cubic, against a level that allows for a spectrum falling as steeply as a
// random walk's (series of at most 65,536 values); the period of a cycle
// of fewer than 8 periods is refined by least squares. Series longer than 65,536 values
// are searched in the mean periodogram of up to 16 stretches of that length
// spread evenly over the series (so for periods up to a third of it).
std::optional<double> seasonal_period(std::span<const double> x);

// The same for the n values x(0) .. x(n - 1), read as often as needed. A
// `control` that asks to stop, polled between the stretches, gives nullopt.
std::optional<double> seasonal_period(std::size_t n, const ValueAt& x,
                                      const RunControl* control = nullptr);

// The cycle of `period` fitted to x by least squares, one harmonic at a
// time (up to 12 harmonics below the Nyquist frequency), keeping the
// fundamental and every harmonic whose periodogram value stands out from its
// surroundings. The fitted values have mean 0 over the series.
SeasonalCycle fit_cycle(std::span<const double> x, double period);

// fit_cycle, except over fewer than 8 periods. There a level shift projects
// strongly on the cycle (its share falls only as one over the number of
// cycles), the harmonics of a cycle that does not fill the series whole are
// not orthogonal, and a period found from a harmonic or beside a shift is a
// little off: the period is measured again by least squares (within half a
// Fourier frequency), the harmonics are fitted jointly, and the cycle is
// fitted again to x less the level shifts its residuals show (a binary
// segmentation by CUSUM at 5 noise sd, sides of at least a quarter period)
// until those shifts hold still (at most 4 rounds). The cycle's `period`
// is the one fitted.
SeasonalCycle fit_cycle_between_shifts(std::span<const double> x, double period);

// Whether `whole`, the cycle fit_cycle fitted to all of x, is one cycle
// over the whole of x: false when, with x cut at one of the eighths of its
// length, a cycle of the same period fitted to each side by
// itself (each side around its own mean) explains the values far better
// than `whole`, beyond what chance gives at a level of about one in a
// thousand and by at least a twentieth of the whole cycle's squares. A
// period, waveform or amplitude that changes is such a case; level shifts
// are not. Cuts that leave a side of fewer than 3 periods are not tried.
bool cycle_holds(std::span<const double> x, const SeasonalCycle& whole);

// Whether the cycle of `period` in x is two alternating regimes rather than
// a cycle of the noise: x folded on the period (its mean per phase, in up to
// 256 phase bins) is all but flat on two arcs (two plateaus explain at least
// 90 % of the folded profile's squares) and each plateau holds at least
// `shortest_regime` values. Such a "cycle" is a sequence of level shifts,
// each long enough to be tested as one.
bool cycle_is_regimes(std::span<const double> x, double period, double shortest_regime);

// `period`, or twice or three times it when the cycle of that longer period
// fitted to x holds more than twice the squares of the cycle of `period`
// and the difference stands far above chance: on series of few cycles the
// periodogram may show only a harmonic of the fundamental. The difference
// must hold on x less the level shifts that the longer cycle leaves too
// (a large shift, taken up in part by the longer cycle's slow harmonics,
// would pass for it).
double fundamental_period(std::span<const double> x, double period);

// seasonal_period then fit_cycle; nullopt when there is no period.
std::optional<SeasonalCycle> find_cycle(std::span<const double> x);

}  // namespace quarn
