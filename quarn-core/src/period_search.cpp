// The seasonal period search: the periodogram of the series (or the mean
// periodogram of evenly spread stretches of a long series), its strongest
// peak measured against the local level around it, the fundamental of a
// harmonic, and the frequency refined between the Fourier grid's
// ordinates. Also the Fourier transform both searches use.
#include "quarn/structure.hpp"

#include <algorithm>
#include <bit>
#include <cmath>
#include <complex>
#include <cstdint>
#include <memory>
#include <mutex>
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

// From this many values on, the few-cycle search starts beside the
// periodogram (see seasonal_period).
constexpr std::size_t pooled_few_cycles = std::size_t{1} << 12;

}  // namespace

namespace {

// The twiddles of the longest transform asked for so far, up to
// kept_twiddles values (512 kB), kept for later calls: a shorter
// transform's are every (longest / n)-th of them. Twiddle k of n values is
// cos and sin of (-2 pi k) / n, and (-2 pi 2^j k) / (2^j n) rounds to the
// same double (scaling by a power of two is exact), so a copy from the
// kept table has the bits of its own computation.
constexpr std::size_t kept_twiddles = std::size_t{1} << 16;
std::mutex kept_mutex;
std::shared_ptr<const std::vector<std::complex<double>>> kept_table;  // guarded by kept_mutex

std::vector<std::complex<double>> computed_twiddles(std::size_t n) {
    std::vector<std::complex<double>> twiddles(n / 2);
    for (std::size_t k = 0; k < n / 2; ++k) {
        const double angle = -2.0 * std::numbers::pi * static_cast<double>(k) / static_cast<double>(n);
        twiddles[k] = {std::cos(angle), std::sin(angle)};
    }
    return twiddles;
}

// Bits of an index at either end that the bit reversal of a long
// transform takes in one tile (see fourier_transform_lowest).
constexpr int edge_bits = 3;

// The 64 bits of v in reverse order.
std::uint64_t reversed_bits(std::uint64_t v) {
    v = ((v >> 1) & 0x5555555555555555ull) | ((v & 0x5555555555555555ull) << 1);
    v = ((v >> 2) & 0x3333333333333333ull) | ((v & 0x3333333333333333ull) << 2);
    v = ((v >> 4) & 0x0F0F0F0F0F0F0F0Full) | ((v & 0x0F0F0F0F0F0F0F0Full) << 4);
    v = ((v >> 8) & 0x00FF00FF00FF00FFull) | ((v & 0x00FF00FF00FF00FFull) << 8);
    v = ((v >> 16) & 0x0000FFFF0000FFFFull) | ((v & 0x0000FFFF0000FFFFull) << 16);
    return (v >> 32) | (v << 32);
}

}  // namespace

std::vector<std::complex<double>> fourier_twiddles(std::size_t n) {
    std::shared_ptr<const std::vector<std::complex<double>>> table;
    {
        const std::lock_guard<std::mutex> lock(kept_mutex);
        table = kept_table;
    }
    if (table != nullptr && std::has_single_bit(n) && n >= 2 && n / 2 <= table->size()) {
        const std::size_t stride = 2 * table->size() / n;
        std::vector<std::complex<double>> twiddles(n / 2);
        for (std::size_t k = 0; k < n / 2; ++k) twiddles[k] = (*table)[k * stride];
        return twiddles;
    }
    std::vector<std::complex<double>> twiddles = computed_twiddles(n);
    if (n <= kept_twiddles && !twiddles.empty()) {
        auto longer = std::make_shared<const std::vector<std::complex<double>>>(twiddles);
        const std::lock_guard<std::mutex> lock(kept_mutex);
        if (kept_table == nullptr || kept_table->size() < longer->size()) kept_table = std::move(longer);
    }
    return twiddles;
}

namespace {

// A transform this long or longer spreads its passes over the pool: below,
// a pass takes less time than waking the pool's threads.
constexpr std::size_t pooled_transform = std::size_t{1} << 13;
// The stages whose blocks are at most this long run block by block, each
// block through all of them while it sits in the cache (32 kB).
constexpr std::size_t cached_block = std::size_t{1} << 11;
// Butterflies (of each block) a piece of a later stage takes at most.
constexpr std::size_t stage_piece = std::size_t{1} << 9;

// The butterflies are spelt out on the real and imaginary parts: the same
// products and sums as the complex type's operators form on finite values,
// without the check for infinite ones that keeps the compiler from
// streaming them.
inline void butterfly(std::complex<double>* low, std::complex<double>* high, double wr,
                      double wi) {
    const double br = high->real(), bi = high->imag();
    const double vr = br * wr - bi * wi;
    const double vi = br * wi + bi * wr;
    const double ur = low->real(), ui = low->imag();
    *low = {ur + vr, ui + vi};
    *high = {ur - vr, ui - vi};
}

// Swaps the values of `data` (2^bits of them) into bit-reversed order.
void reverse_order(std::span<std::complex<double>> data, int bits) {
    const std::size_t n = data.size();
    if (bits < 2 * edge_bits + 2) {
        // Each index reversed without branches (the incremental reversal's
        // loop mispredicts often).
        const int shift = 64 - bits;
        for (std::size_t i = 1; i < n; ++i) {
            const auto j = static_cast<std::size_t>(reversed_bits(i) >> shift);
            if (i < j) std::swap(data[i], data[j]);
        }
        return;
    }
    // Longer transforms in tiles, so that the swaps do not wander over the
    // whole array: index i is (a, b, c), its edge_bits highest bits, its
    // middle ones and its edge_bits lowest, and its reversal is (reversed c,
    // reversed b, reversed a). The tile of a middle b holds every a and c:
    // edge rows of edge values each, swapped with the tile of reversed b
    // (within itself where b is its own reversal). Each pair of tiles is
    // swapped by the smaller b alone, so that the b's may go to different
    // threads.
    const std::size_t edge = std::size_t{1} << edge_bits;
    const std::size_t row = n >> edge_bits;  // from one a to the next
    const int middle_bits = bits - 2 * edge_bits;
    std::size_t edge_reversed[std::size_t{1} << edge_bits];
    for (std::size_t c = 0; c < edge; ++c) {
        edge_reversed[c] = static_cast<std::size_t>(reversed_bits(c) >> (64 - edge_bits));
    }
    const std::size_t middles = std::size_t{1} << middle_bits;
    // The tiles a piece takes hold at most as many values as a cached block.
    const std::size_t tiles = n >= pooled_transform ? cached_block / (edge * edge) : middles;
    parallel_pieces(std::size_t{0}, middles, std::max<std::size_t>(tiles, 1), [&](std::size_t first,
                                                                              std::size_t last) {
        for (std::size_t b = first; b < last; ++b) {
            const auto rb = static_cast<std::size_t>(reversed_bits(b) >> (64 - middle_bits));
            if (rb < b) continue;
            for (std::size_t a = 0; a < edge; ++a) {
                std::complex<double>* from = data.data() + a * row + (b << edge_bits);
                std::complex<double>* to = data.data() + (rb << edge_bits) + edge_reversed[a];
                for (std::size_t c = 0; c < edge; ++c) {
                    std::complex<double>* other = to + edge_reversed[c] * row;
                    if (rb != b || from + c < other) std::swap(from[c], *other);
                }
            }
        }
    });
}

// Stages of lengths 2 .. size (all of them) on the `size` values at d, in
// bit-reversed order, of a transform whose twiddles are of length `table`;
// of each block only the butterflies that outputs below `count` depend on.
void block_stages(std::complex<double>* d, std::size_t size,
                  std::span<const std::complex<double>> twiddles, std::size_t table,
                  std::size_t count) {
    // The first two stages, of one and two butterflies per block, in one
    // pass of blocks of four (each butterfly as in the loop below).
    std::size_t length = 2;
    if (size >= 4 && count >= 1) {
        const double w0r = twiddles[0].real(), w0i = twiddles[0].imag();
        const double w1r = twiddles[table / 4].real(), w1i = twiddles[table / 4].imag();
        const bool second = count >= 2;
        for (std::size_t start = 0; start < size; start += 4) {
            butterfly(d + start, d + start + 1, w0r, w0i);
            butterfly(d + start + 2, d + start + 3, w0r, w0i);
            butterfly(d + start, d + start + 2, w0r, w0i);
            if (second) butterfly(d + start + 1, d + start + 3, w1r, w1i);
        }
        length = 8;
    }
    // Then two stages at a time, of lengths L and 2 L, in one pass of blocks
    // of 2 L: butterfly k of both halves' stage L, then butterflies k and
    // k + L / 2 of stage 2 L, which read just those four values. Each value
    // meets the same butterflies in the same order as stage by stage, and
    // half the passes over the data remain.
    for (; 2 * length <= size; length <<= 2) {
        const std::size_t stride = table / length, half = length / 2;
        const std::size_t butterflies = std::min(half, count);
        // Butterfly k + L / 2 of stage 2 L is needed below count only.
        const std::size_t both = count > half ? std::min(half, count - half) : 0;
        for (std::size_t start = 0; start < size; start += 2 * length) {
            std::complex<double>* a = d + start;
            std::complex<double>* b = a + half;
            std::complex<double>* c = a + length;
            std::complex<double>* e = c + half;
            for (std::size_t k = 0; k < butterflies; ++k) {
                const double wr = twiddles[k * stride].real(), wi = twiddles[k * stride].imag();
                butterfly(a + k, b + k, wr, wi);
                butterfly(c + k, e + k, wr, wi);
                const std::size_t low = k * stride / 2, high = (k + half) * stride / 2;
                butterfly(a + k, c + k, twiddles[low].real(), twiddles[low].imag());
                if (k < both) butterfly(b + k, e + k, twiddles[high].real(), twiddles[high].imag());
            }
        }
    }
    for (; length <= size; length <<= 1) {
        const std::size_t stride = table / length, half = length / 2;
        const std::size_t butterflies = std::min(half, count);
        for (std::size_t start = 0; start < size; start += length) {
            std::complex<double>* low = d + start;
            std::complex<double>* high = low + half;
            for (std::size_t k = 0; k < butterflies; ++k) {
                butterfly(low + k, high + k, twiddles[k * stride].real(), twiddles[k * stride].imag());
            }
        }
    }
}

}  // namespace

void fourier_transform_lowest(std::span<std::complex<double>> data,
                              std::span<const std::complex<double>> twiddles, std::size_t count) {
    const std::size_t n = data.size();
    if (n < 2) return;
    reverse_order(data, std::countr_zero(static_cast<std::uint64_t>(n)));
    // Output j < count of a stage of length L comes from butterfly j mod L/2
    // of its block, which reads offset j mod L/2 of the two blocks of the
    // stage before: so every stage needs only its first min(L/2, count)
    // butterflies in each block.
    //
    // A butterfly reads what the stage before left and nothing its own stage
    // writes: the butterflies of a stage may run in any order, and on any
    // thread, with the same bits. The stages up to cached_block values run
    // block by block; each later one is cut into pieces of butterflies.
    const std::size_t table = 2 * twiddles.size();  // the transform length the twiddles are of
    const bool pooled = n >= pooled_transform;
    const std::size_t block = std::min(n, cached_block);
    parallel_pieces(std::size_t{0}, n / block, pooled ? std::size_t{1} : n / block,
                    [&](std::size_t first, std::size_t last) {
                        for (std::size_t i = first; i < last; ++i) {
                            block_stages(data.data() + i * block, block, twiddles, table, count);
                        }
                    });
    // Later stages two at a time where they can (as in block_stages), so
    // that half the passes over the data remain.
    std::size_t length = 2 * block;
    for (; 2 * length <= n; length <<= 2) {
        const std::size_t stride = table / length, half = length / 2;
        const std::size_t butterflies = std::min(half, count);
        const std::size_t both = count > half ? std::min(half, count - half) : 0;
        parallel_pieces(std::size_t{0}, butterflies, pooled ? stage_piece : butterflies,
                        [&](std::size_t first, std::size_t last) {
            for (std::size_t start = 0; start < n; start += 2 * length) {
                std::complex<double>* a = data.data() + start;
                std::complex<double>* b = a + half;
                std::complex<double>* c = a + length;
                std::complex<double>* e = c + half;
                for (std::size_t k = first; k < last; ++k) {
                    const double wr = twiddles[k * stride].real(), wi = twiddles[k * stride].imag();
                    butterfly(a + k, b + k, wr, wi);
                    butterfly(c + k, e + k, wr, wi);
                    const std::size_t low = k * stride / 2, high = (k + half) * stride / 2;
                    butterfly(a + k, c + k, twiddles[low].real(), twiddles[low].imag());
                    if (k < both) {
                        butterfly(b + k, e + k, twiddles[high].real(), twiddles[high].imag());
                    }
                }
            }
        });
    }
    for (; length <= n; length <<= 1) {
        const std::size_t stride = table / length, half = length / 2;
        const std::size_t butterflies = std::min(half, count);
        parallel_pieces(std::size_t{0}, butterflies, pooled ? stage_piece : butterflies,
                        [&](std::size_t first, std::size_t last) {
            for (std::size_t start = 0; start < n; start += length) {
                std::complex<double>* low = data.data() + start;
                std::complex<double>* high = low + half;
                for (std::size_t k = first; k < last; ++k) {
                    butterfly(low + k, high + k, twiddles[k * stride].real(),
                              twiddles[k * stride].imag());
                }
            }
        });
    }
}

void fourier_transform(std::span<std::complex<double>> data,
                       std::span<const std::complex<double>> twiddles) {
    fourier_transform_lowest(data, twiddles, data.size());
}

void fourier_transform(std::span<std::complex<double>> data) {
    if (data.size() < 2) return;
    fourier_transform(data, fourier_twiddles(data.size()));
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
    // A series of one transform's length at most is read again and again
    // (by the transform, the few-cycle search, the refinement): it is held
    // as z gives it, and read from there.
    std::vector<double> held;
    if (n <= max_stretch) {
        held.resize(n);
        for (std::size_t t = 0; t < n; ++t) held[t] = z(t);
    }
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
            if (shortlisting) {
                // The ratio passes only with a median below `floor` (with a
                // margin far above rounding). Sorted, the ordinates below
                // it come first, in their own sorted order: when their
                // weights do not reach half, the median is not below it,
                // and the whole window need not be sorted.
                const double needed = threshold(count) * (few_cycles ? few_cycles_margin : 1.0);
                const double floor = std::numbers::ln2 * p.power[j] / needed * (1.0 + 1e-9);
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
            const double r = level > 0.0 ? p.power[j] / level : 0.0;
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
    double centre = static_cast<double>(peak);
    for (int k = max_fraction; k >= 2; --k) {
        const double target = static_cast<double>(peak) / k;
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
        if (strongest > 1.0) {
            centre = static_cast<double>(where);
            break;
        }
    }
    few = few || centre < widen_cycles * scale;
    // Golden-section search of the peak between the neighbouring ordinates.
    const double bin = 2.0 * std::numbers::pi / static_cast<double>(p.padded);
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
    return period;
}

}  // namespace quarn
