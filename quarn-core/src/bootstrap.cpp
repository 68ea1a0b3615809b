#include "quarn/bootstrap.hpp"

#include <algorithm>
#include <bit>
#include <cmath>
#include <limits>
#include <string>
#include <utility>

#include "quarn/distance.hpp"

#if defined(_MSC_VER) && !defined(__clang__)
#include <intrin.h>
#endif

namespace quarn {

namespace {

// SplitMix64 finaliser multipliers, also used to spread indices in the keys.
constexpr std::uint64_t mix_c1 = 0xbf58476d1ce4e5b9ULL;
constexpr std::uint64_t mix_c2 = 0x94d049bb133111ebULL;
// Separate the call key from the replicate seed.
constexpr std::uint64_t call_constant = 0x3903fa2331f06e58ULL;
constexpr std::uint64_t replicate_constant = 0x53b28fe19d2bbf48ULL;
// SplitMix64 increment.
constexpr std::uint64_t golden_gamma = 0x9e3779b97f4a7c15ULL;

constexpr std::uint64_t rotl(std::uint64_t x, int k) {
    return (x << k) | (x >> (64 - k));
}

struct Wide {
    std::uint64_t high;
    std::uint64_t low;
};

// Full 128-bit product of two 64-bit values.
inline Wide multiply_wide(std::uint64_t a, std::uint64_t b) {
#if defined(_MSC_VER) && !defined(__clang__)
#if defined(_M_X64)
    std::uint64_t high = 0;
    const std::uint64_t low = _umul128(a, b, &high);
    return {high, low};
#else
    return {__umulh(a, b), a * b};
#endif
#else
    const unsigned __int128 product = static_cast<unsigned __int128>(a) * b;
    return {static_cast<std::uint64_t>(product >> 64), static_cast<std::uint64_t>(product)};
#endif
}

double quiet_nan() {
    return std::numeric_limits<double>::quiet_NaN();
}

}  // namespace

std::uint64_t Xoshiro256PlusPlus::next() {
    const std::uint64_t result = rotl(s[0] + s[3], 23) + s[0];
    const std::uint64_t t = s[1] << 17;
    s[2] ^= s[0];
    s[3] ^= s[1];
    s[1] ^= s[2];
    s[0] ^= s[3];
    s[2] ^= t;
    s[3] = rotl(s[3], 45);
    return result;
}

Xoshiro256PlusPlus seed_generator(std::uint64_t x) {
    Xoshiro256PlusPlus generator{};
    for (std::uint64_t i = 1; i <= 4; ++i) {
        std::uint64_t z = x + i * golden_gamma;
        z = (z ^ (z >> 30)) * mix_c1;
        z = (z ^ (z >> 27)) * mix_c2;
        z = z ^ (z >> 31);
        generator.s[i - 1] = z;
    }
    return generator;
}

std::uint64_t uniform_below(Xoshiro256PlusPlus& generator, std::uint64_t bound) {
    constexpr std::uint64_t two_32 = std::uint64_t{1} << 32;
    if (bound < two_32) {
        // 32-bit draw: the product of two values below 2^32 fits in 64 bits.
        const std::uint64_t product = (generator.next() >> 32) * bound;
        std::uint64_t result = product >> 32;
        const std::uint64_t low = product & (two_32 - 1);
        if (low > two_32 - bound) {
            // The low part is close enough to 2^32 that the carry from the
            // next 32 bits could change the result: draw them.
            const std::uint64_t carry = ((generator.next() >> 32) * bound) >> 32;
            if (low + carry >= two_32) ++result;
        }
        return result;
    }
    const Wide product = multiply_wide(generator.next(), bound);
    std::uint64_t result = product.high;
    // 0 - bound is 2^64 - bound in wrapping arithmetic.
    if (product.low > std::uint64_t{0} - bound) {
        const std::uint64_t carry = multiply_wide(generator.next(), bound).high;
        // low + carry >= 2^64 exactly when the wrapped sum falls below low.
        if (product.low + carry < product.low) ++result;
    }
    return result;
}

std::uint64_t make_call_key(std::uint64_t seed, std::uint64_t window_size) {
    return seed ^ call_constant ^ (window_size * mix_c2);
}

std::uint64_t make_position_key(std::uint64_t call_key, std::uint64_t start) {
    return (start * mix_c1) ^ call_key;
}

std::uint64_t make_replicate_seed(std::uint64_t position_key, std::uint64_t window_size,
                                  std::uint64_t replicate) {
    return (replicate * mix_c1) ^ position_key ^ replicate_constant ^ (window_size * mix_c2);
}

std::uint64_t saturating_to_u64(double value) {
    // Written so that NaN fails the first test.
    if (!(value > 0.0)) return 0;
    if (value >= 18446744073709551616.0) return std::numeric_limits<std::uint64_t>::max();
    return static_cast<std::uint64_t>(value);
}

double percent_from_alpha(double alpha_q) {
    return alpha_q <= 1.0 ? 100.0 * alpha_q : alpha_q;
}

double quantile_level(double percent, std::uint64_t positions) {
    double c = 100.0 - percent / static_cast<double>(positions);
    // NaN fails both comparisons and stays NaN.
    if (c < 0.0) c = 0.0;
    if (c > 100.0) c = 100.0;
    return c * 0.01;
}

std::uint64_t block_length_for(std::uint64_t reference_length, std::optional<std::uint64_t> b) {
    if (b) return std::max<std::uint64_t>(std::min(*b, reference_length), 3);
    const double length = static_cast<double>(reference_length);
    const double rule =
        reference_length < 100 ? std::sqrt(length) : std::pow(length, 0.3333333333333333);
    // std::round rounds halves away from zero.
    const std::uint64_t rounded = saturating_to_u64(std::round(rule));
    return std::max<std::uint64_t>(std::min(rounded, reference_length), 8);
}

Result<TaperWindow> make_taper_window(std::uint64_t block_length, double taper_ratio) {
    const double ramp = std::floor(taper_ratio * static_cast<double>(block_length) * 0.5);
    const std::uint64_t m = saturating_to_u64(ramp);
    // The two ramps write m weights from each end; beyond the block length
    // they would leave the window.
    if (m > block_length) {
        return fail("taper_ratio too large: taper ramp of " + std::to_string(m) +
                    " exceeds block length " + std::to_string(block_length));
    }
    TaperWindow window;
    window.block_length = block_length;
    window.taper_ratio = taper_ratio;
    window.weights.assign(static_cast<std::size_t>(block_length), 1.0);
    const double q = 1.0 / static_cast<double>(m + 1);
    for (std::uint64_t j = 0; j < m; ++j) {
        // When the ramps overlap (ratio above 1) the later write wins.
        const double weight = static_cast<double>(j + 1) * q;
        window.weights[j] = weight;
        window.weights[block_length - 1 - j] = weight;
    }
    double sum_of_squares = 0.0;
    for (const double weight : window.weights) sum_of_squares = sum_of_squares + weight * weight;
    window.scale = std::sqrt(static_cast<double>(block_length)) / std::sqrt(sum_of_squares);
    return window;
}

double quantile_linear(std::span<double> values, double level) {
    if (values.empty()) return quiet_nan();
    const std::size_t last = values.size() - 1;
    const double pos = static_cast<double>(last) * level;
    const double floor_pos = std::floor(pos);
    // The limit to the last rank only matters when the count is not exactly
    // representable as a double; it keeps the selection inside the array.
    const std::size_t lo =
        static_cast<std::size_t>(std::min<std::uint64_t>(saturating_to_u64(floor_pos), last));
    const std::size_t hi =
        static_cast<std::size_t>(std::min<std::uint64_t>(saturating_to_u64(std::ceil(pos)), last));
    std::nth_element(values.begin(), values.begin() + static_cast<std::ptrdiff_t>(lo), values.end(),
                     total_less);
    const double v_lo = values[lo];
    if (hi == lo) return v_lo;
    // After the selection every value past rank lo is at least v_lo, so the
    // next rank is the smallest of them.
    const double v_hi = *std::min_element(values.begin() + static_cast<std::ptrdiff_t>(lo) + 1,
                                          values.end(), total_less);
    const double frac = pos - floor_pos;
    return std::fma(v_lo, 1.0 - frac, frac * v_hi);
}

Result<double> block_bootstrap_threshold(std::span<const double> series, const PrefixSums& prefix,
                                         std::uint64_t window_size, std::uint64_t start,
                                         std::uint64_t position_key,
                                         const BootstrapSettings& settings,
                                         BootstrapScratch& scratch) {
    const std::size_t w = static_cast<std::size_t>(window_size);
    const std::size_t s = static_cast<std::size_t>(start);
    const std::uint64_t length = 2 * window_size;

    const std::uint64_t block_length = block_length_for(length, settings.b);
    if (block_length > length) return fail("reference series is shorter than block length");

    // Standardize each window on its own, multiplying by the reciprocal.
    const Moments left = window_moments(series, prefix, s, w, settings.std_floor);
    const Moments right = window_moments(series, prefix, s + w, w, settings.std_floor);
    const double inv_left = 1.0 / left.sd;
    const double inv_right = 1.0 / right.sd;
    std::vector<double>& reference = scratch.reference;
    reference.resize(static_cast<std::size_t>(length));
    for (std::size_t i = 0; i < w; ++i) {
        const double x = series[s + i];
        reference[i] = settings.center ? (x - left.mean) * inv_left : x * inv_left;
    }
    for (std::size_t i = 0; i < w; ++i) {
        const double x = series[s + w + i];
        reference[w + i] = settings.center ? (x - right.mean) * inv_right : x * inv_right;
    }

    const bool taper_held = scratch.taper && scratch.taper->block_length == block_length &&
                            std::bit_cast<std::uint64_t>(scratch.taper->taper_ratio) ==
                                std::bit_cast<std::uint64_t>(settings.taper_ratio);
    if (!taper_held) {
        auto window = make_taper_window(block_length, settings.taper_ratio);
        if (!window) return fail(std::move(window.error()));
        scratch.taper = std::move(*window);
    }
    const TaperWindow& taper = *scratch.taper;

    const std::uint64_t block_count = length / block_length + (length % block_length != 0 ? 1 : 0);
    const std::uint64_t block_starts = length - block_length + 1;
    const double* ref = reference.data();
    const double* weights = taper.weights.data();
    const double scale = taper.scale;

    const RunControl* control = settings.control;
    std::vector<double> values = run_replicates(settings.n_perm, [&](std::uint64_t k) {
        if (control != nullptr && control->stop_requested()) return 0.0;
        Xoshiro256PlusPlus generator =
            seed_generator(make_replicate_seed(position_key, window_size, k));
        // Resamples of windows up to 32 values live on the stack.
        constexpr std::size_t stack_capacity = 64;
        double stack_resample[stack_capacity];
        std::vector<double> heap_resample;
        double* resample = stack_resample;
        if (length > stack_capacity) {
            heap_resample.resize(static_cast<std::size_t>(length));
            resample = heap_resample.data();
        }
        std::size_t filled = 0;
        for (std::uint64_t block = 0; block < block_count; ++block) {
            const std::size_t block_start =
                static_cast<std::size_t>(uniform_below(generator, block_starts));
            // Only the last block can be cut short; it keeps the first weights.
            const std::size_t len = std::min(static_cast<std::size_t>(block_length),
                                             static_cast<std::size_t>(length) - filled);
            for (std::size_t i = 0; i < len; ++i) {
                resample[filled + i] = (ref[block_start + i] * weights[i]) * scale;
            }
            filled += len;
        }
        const std::span<double> first_half(resample, w);
        const std::span<double> second_half(resample + w, w);
        total_order_sort(first_half);
        total_order_sort(second_half);
        return wasserstein_distance(first_half, second_half);
    });

    // Back from the standardized scale to the scale of the raw windows.
    const double pooled = std::sqrt((right.sd * right.sd + left.sd * left.sd) * 0.5);
    for (double& value : values) value = value * pooled;
    return quantile_linear(values, settings.level);
}

}  // namespace quarn
