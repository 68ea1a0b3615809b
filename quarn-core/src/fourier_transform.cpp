// The Fourier transform of a power-of-two length (radix 2, in place, its
// stages spread over the pool for long transforms), its twiddle factors
// (those of the longest transform so far kept for later calls), and the
// transform's lowest outputs alone.
#include <algorithm>
#include <bit>
#include <cmath>
#include <complex>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>
#include <numbers>
#include <span>
#include <utility>
#include <vector>

#include "quarn/pool.hpp"
#include "quarn/structure.hpp"

namespace quarn {

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

}  // namespace quarn
