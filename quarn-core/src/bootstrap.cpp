#include "quarn/bootstrap.hpp"

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstring>
#include <limits>
#include <string>
#include <utility>

#include "quarn/distance.hpp"
#include "quarn/kernels.hpp"
#include "quarn/merged_pass.hpp"

#if defined(__SSE2__) || defined(_M_X64)
#include <emmintrin.h>
#endif

namespace quarn {

namespace {

double quiet_nan() {
    return std::numeric_limits<double>::quiet_NaN();
}

}  // namespace

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

double quantile_of_keys(std::span<OrderKey> keys, double level) {
    if (keys.empty()) return quiet_nan();
    const std::size_t last = keys.size() - 1;
    const double pos = static_cast<double>(last) * level;
    const double floor_pos = std::floor(pos);
    // The limit to the last rank only matters when the count is not exactly
    // representable as a double; it keeps the selection inside the array.
    const std::size_t lo =
        static_cast<std::size_t>(std::min<std::uint64_t>(saturating_to_u64(floor_pos), last));
    const std::size_t hi =
        static_cast<std::size_t>(std::min<std::uint64_t>(saturating_to_u64(std::ceil(pos)), last));
    std::nth_element(keys.begin(), keys.begin() + static_cast<std::ptrdiff_t>(lo), keys.end());
    const double v_lo = key_value(keys[lo]);
    if (hi == lo) return v_lo;
    // After the selection every key past rank lo is at least the one at lo,
    // so the next rank is the smallest of them.
    const double v_hi = key_value(
        *std::min_element(keys.begin() + static_cast<std::ptrdiff_t>(lo) + 1, keys.end()));
    const double frac = pos - floor_pos;
    return std::fma(v_lo, 1.0 - frac, frac * v_hi);
}

double quantile_linear(std::span<const double> values, double level) {
    std::vector<OrderKey> keys(values.size());
    std::transform(values.begin(), values.end(), keys.begin(), total_order_key);
    return quantile_of_keys(keys, level);
}

namespace {

// What every replicate of one threshold reads; fixed before the loop.
struct ReplicatePlan {
    const double* reference;
    const double* weights;
    double taper_scale;
    double pooled;
    std::size_t half;    // w: each half of the resample
    std::size_t length;  // L = 2w
    std::size_t block_length;
    std::uint64_t block_count;
    std::uint64_t block_starts;
    std::uint64_t position_key;
    std::uint64_t window_size;
    network_detail::KeySorter sorter;  // null above the network sizes
    const double* steps;
    // Where resamples are walked by ranks (null otherwise): the rank of the
    // key of offset i of the block starting at s, at s * block_length + i,
    // the value of every rank, and the number of ranks.
    const std::uint32_t* block_ranks;
    const double* ranked_values;
    std::size_t rank_count;
};

// Resample layout: the first half's keys, its padding, the second half's
// keys, its padding.
std::size_t resample_size(std::size_t half) {
    return 2 * (half + pass_padding);
}

// Replicate k's resample, as order keys: blocks at uniformly drawn starts,
// each value tapered by its weight and scaled, the last block cut short.
// store(p, key) puts the key of resample position p in place.
template <class Store>
inline void draw_resample(const ReplicatePlan& plan, std::uint64_t k, Store&& store) {
    Xoshiro256PlusPlus generator =
        seed_generator(make_replicate_seed(plan.position_key, plan.window_size, k));
    std::size_t filled = 0;
    for (std::uint64_t block = 0; block < plan.block_count; ++block) {
        const std::size_t start =
            static_cast<std::size_t>(uniform_below(generator, plan.block_starts));
        const std::size_t len = std::min(plan.block_length, plan.length - filled);
        const double* source = plan.reference + start;
        for (std::size_t i = 0; i < len; ++i) {
            const double value = (source[i] * plan.weights[i]) * plan.taper_scale;
            store(filled + i, total_order_key(value));
        }
        filled += len;
    }
}

// The resample as two padded halves: position p at slot p, or p + padding
// in the second half.
inline void gather_resample(const ReplicatePlan& plan, std::uint64_t k, OrderKey* resample) {
    const std::size_t half = plan.half;
    draw_resample(plan, k, [&](std::size_t p, OrderKey key) {
        resample[p + (p >= half ? pass_padding : 0)] = key;
    });
}

// The resample as column `lane` of the rows of a group.
inline void gather_resample_rows(const ReplicatePlan& plan, std::uint64_t k, std::size_t lane,
                                 OrderKey* first_rows, OrderKey* second_rows) {
    const std::size_t half = plan.half;
    draw_resample(plan, k, [&](std::size_t p, OrderKey key) {
        if (p < half) {
            first_rows[p * 4 + lane] = key;
        } else {
            second_rows[(p - half) * 4 + lane] = key;
        }
    });
}

// Most keys of block starts and offsets that are ranked.
constexpr std::size_t max_ranked_keys = std::size_t{1} << 18;

// Counts of one rank in a resample: the first half's in the low 16 bits,
// the second half's in the high ones (a half holds at most
// merged_sort_limit values).
constexpr std::uint32_t first_half_count = 1;
constexpr std::uint32_t second_half_count = std::uint32_t{1} << 16;
static_assert(merged_sort_limit < (std::size_t{1} << 16));

// Bit b of the result set where byte b of the 64 at `flags` (each 0 or 1)
// is 1: with SSE2, sixteen bytes at a time, each shifted so that its low
// bit becomes its top bit, which the byte mask gathers; otherwise eight
// bytes at a time, whose product with the constant gathers their low bits,
// in order, into its top byte.
inline std::uint64_t flag_bits(const std::uint8_t* flags) {
#if defined(__SSE2__) || defined(_M_X64)
    std::uint64_t bits = 0;
    for (unsigned q = 0; q < 4; ++q) {
        const __m128i sixteen =
            _mm_loadu_si128(reinterpret_cast<const __m128i*>(flags + 16 * q));
        const auto mask = static_cast<std::uint32_t>(_mm_movemask_epi8(_mm_slli_epi16(sixteen, 7)));
        bits |= static_cast<std::uint64_t>(mask) << (16 * q);
    }
    return bits;
#else
    std::uint64_t bits = 0;
    for (unsigned q = 0; q < 8; ++q) {
        std::uint64_t eight;
        std::memcpy(&eight, flags + 8 * q, sizeof eight);
        if constexpr (std::endian::native == std::endian::big) eight = std::byteswap(eight);
        bits |= ((eight * 0x0102040810204080ULL) >> 56) << (8 * q);
    }
    return bits;
#endif
}

// One replicate's resample by ranks: every resample position holds the
// rank of its drawn key among the keys of all block starts and offsets; the
// resample flags the ranks it holds and counts, per rank, the positions of
// each half that hold it. The walk over the flagged ranks in ascending
// order is the merged pass over the two halves sorted: a rank's first
// element in the merged order opens the term of its value, with F and G
// counting the elements of lower ranks, and its other elements (ties, which
// the pass takes with a term of +0.0 that leaves the sum unchanged) only
// advance F and G. Ranks order as their keys do and equal keys share a
// rank, so the sum is that of merged_pass_portable, with the same additions
// in the same order (keys of a NaN never come this way). `counts` (one per
// rank) and `held` (one flag per rank) are zero before the draw and again
// once every word of held ranks has been taken (the flags of a word are
// cleared all at once as the walk reads them, not rank by rank: a byte
// store may alias anything, so the compiler would reload the walk's
// pointers after each one).
class RankedResample {
  public:
    RankedResample(const ReplicatePlan& plan, std::uint32_t* counts, std::uint8_t* held)
        : plan_(plan),
          values_(plan.ranked_values),
          steps_(plan.steps),
          counts_(counts),
          held_(held) {}

    // Draws replicate k and readies the walk; returns the first word of
    // 64 ranks that holds one.
    std::size_t draw(std::uint64_t k) {
        Xoshiro256PlusPlus generator =
            seed_generator(make_replicate_seed(plan_.position_key, plan_.window_size, k));
        // The plan's fields and the buffers in locals: the flags' byte
        // stores could otherwise alias them.
        const std::size_t half = plan_.half;
        const std::size_t length = plan_.length;
        const std::size_t block_length = plan_.block_length;
        const std::uint64_t block_count = plan_.block_count;
        const std::uint64_t block_starts = plan_.block_starts;
        const std::uint32_t* const block_ranks = plan_.block_ranks;
        std::uint32_t* const counts = counts_;
        std::uint8_t* const held = held_;
        std::size_t filled = 0;
        for (std::uint64_t b = 0; b < block_count; ++b) {
            const std::size_t start =
                static_cast<std::size_t>(uniform_below(generator, block_starts));
            const std::size_t len = std::min(block_length, length - filled);
            const std::uint32_t* source = block_ranks + start * block_length;
            // The block's values up to `split` fall in the first half.
            const std::size_t split = filled < half ? std::min(len, half - filled) : 0;
            for (std::size_t i = 0; i < split; ++i) {
                const std::uint32_t rank = source[i];
                counts[rank] += first_half_count;
                held[rank] = 1;
            }
            for (std::size_t i = split; i < len; ++i) {
                const std::uint32_t rank = source[i];
                counts[rank] += second_half_count;
                held[rank] = 1;
            }
            filled += len;
        }
        std::size_t word = 0;
        std::uint64_t bits = flag_bits(held_);
        while (bits == 0) bits = flag_bits(held_ + 64 * ++word);
        // The first term is (t - t) * |0 - 0|: +0.0, or NaN for an infinite t.
        prev_ = values_[word * 64 + static_cast<std::size_t>(std::countr_zero(bits))];
        acc_ = (prev_ - prev_) * 0.0 + 0.0;
        i_ = 0;
        j_ = 0;
        return word;
    }

    // Bit b set where rank 64 * word + b is held; the word's flags are
    // cleared, so the word's ranks must all be taken.
    std::uint64_t held_bits(std::size_t word) {
        std::uint8_t* const flags = held_ + 64 * word;
        const std::uint64_t bits = flag_bits(flags);
        std::memset(flags, 0, 64);
        return bits;
    }

    // Takes the lowest rank of `bits` (not 0) in word `base` / 64 and clears it.
    void take(std::size_t base, std::uint64_t& bits) {
        const std::size_t rank = base + static_cast<std::size_t>(std::countr_zero(bits));
        bits &= bits - 1;
        const double t = values_[rank];
        // Consecutive ranks hold different keys, of equal values only for
        // -0.0 and +0.0, whose term the pass masks to +0.0; unmasked it is
        // +0.0 * |F - G| = +0.0 as well, so no mask is needed here.
        const double term = (t - prev_) * std::fabs(steps_[i_] - steps_[j_]);
        acc_ = acc_ + term;
        const std::uint32_t count = counts_[rank];
        counts_[rank] = 0;
        i_ += count & (second_half_count - 1);
        j_ += count >> 16;
        prev_ = t;
    }

    double distance() const { return acc_; }

  private:
    const ReplicatePlan& plan_;
    const double* const values_;
    const double* const steps_;
    std::uint32_t* counts_;
    std::uint8_t* held_;
    double prev_ = 0.0;
    double acc_ = 0.0;
    std::size_t i_ = 0;
    std::size_t j_ = 0;
};

// Words of 64 ranks of a plan.
inline std::size_t rank_words(const ReplicatePlan& plan) {
    return (plan.rank_count + 63) / 64;
}

// Replicate k's distance by ranks.
double ranked_replicate(const ReplicatePlan& plan, std::uint64_t k, std::uint32_t* counts,
                        std::uint8_t* held) {
    RankedResample resample(plan, counts, held);
    const std::size_t words = rank_words(plan);
    for (std::size_t word = resample.draw(k); word < words; ++word) {
        std::uint64_t bits = resample.held_bits(word);
        while (bits != 0) resample.take(word * 64, bits);
    }
    return resample.distance();
}

// The distances of replicates k and k + 1 by ranks, the two walks in step
// so that their additions overlap; each walk is the one above.
void ranked_replicate_pair(const ReplicatePlan& plan, std::uint64_t k, std::uint32_t* counts,
                           std::uint8_t* held, double* distances) {
    const std::size_t padded = rank_words(plan) * 64;
    RankedResample a(plan, counts, held);
    RankedResample b(plan, counts + padded, held + padded);
    const std::size_t first = std::min(a.draw(k), b.draw(k + 1));
    const std::size_t words = rank_words(plan);
    for (std::size_t word = first; word < words; ++word) {
        const std::size_t base = word * 64;
        std::uint64_t bits_a = a.held_bits(word);
        std::uint64_t bits_b = b.held_bits(word);
        while (bits_a != 0 && bits_b != 0) {
            a.take(base, bits_a);
            b.take(base, bits_b);
        }
        while (bits_a != 0) a.take(base, bits_a);
        while (bits_b != 0) b.take(base, bits_b);
    }
    distances[0] = a.distance();
    distances[1] = b.distance();
}

// Sorts by key, ties in the order given: as std::sort of the pairs where the
// indices ascend. Long arrays by bytes of the key (least significant first,
// skipping the bytes all keys share), short ones by std::sort.
void sort_key_indices(std::vector<KeyIndex>& items, std::vector<KeyIndex>& buffer) {
    const std::size_t n = items.size();
    if (n < 256) {
        std::sort(items.begin(), items.end());
        return;
    }
    constexpr std::uint64_t sign = std::uint64_t{1} << 63;
    std::uint32_t counts[8 * 256] = {};
    for (const KeyIndex& item : items) {
        const std::uint64_t u = static_cast<std::uint64_t>(item.first) ^ sign;
        for (unsigned d = 0; d < 8; ++d) ++counts[d * 256 + ((u >> (8 * d)) & 255)];
    }
    buffer.resize(n);
    KeyIndex* from = items.data();
    KeyIndex* to = buffer.data();
    const std::uint64_t first = static_cast<std::uint64_t>(items.front().first) ^ sign;
    for (unsigned d = 0; d < 8; ++d) {
        std::uint32_t* count = counts + d * 256;
        if (count[(first >> (8 * d)) & 255] == n) continue;
        std::uint32_t total = 0;
        for (unsigned b = 0; b < 256; ++b) {
            const std::uint32_t here = count[b];
            count[b] = total;
            total += here;
        }
        for (std::size_t p = 0; p < n; ++p) {
            const std::uint64_t u = static_cast<std::uint64_t>(from[p].first) ^ sign;
            to[count[(u >> (8 * d)) & 255]++] = from[p];
        }
        std::swap(from, to);
    }
    if (from != items.data()) std::copy(from, from + n, items.data());
}

// The ranks of the keys of every block start and offset, the keys' values
// by rank, and the number of distinct keys. An offset's keys are its reference values times its
// taper weight and the scale, in the order of the reference values (a
// product with positive factors keeps the order), and offsets of equal
// weights share their keys; so the reference is sorted once, each distinct
// weight's keys come sorted from it, and their merge ranks all the keys.
std::size_t rank_block_keys(const double* reference, std::size_t length, const TaperWindow& taper,
                            std::size_t starts, BootstrapScratch& scratch) {
    const std::size_t block = static_cast<std::size_t>(taper.block_length);
    // Distinct weights (by their bits) and the weight class of each offset.
    std::vector<double> weights;
    std::vector<std::size_t> class_of(block);
    for (std::size_t i = 0; i < block; ++i) {
        const std::uint64_t bits = std::bit_cast<std::uint64_t>(taper.weights[i]);
        std::size_t c = 0;
        while (c < weights.size() && std::bit_cast<std::uint64_t>(weights[c]) != bits) ++c;
        if (c == weights.size()) weights.push_back(taper.weights[i]);
        class_of[i] = c;
    }
    std::vector<KeyIndex>& order = scratch.reference_order;
    order.resize(length);
    for (std::size_t j = 0; j < length; ++j) {
        order[j] = {total_order_key(reference[j]), static_cast<std::uint32_t>(j)};
    }
    sort_key_indices(order, scratch.merge_buffer);
    // Entry c * length + j: the key of reference value j with weight c,
    // where some block holds value j at an offset of weight c.
    std::vector<KeyIndex>& entries = scratch.ranked_entries;
    entries.clear();
    entries.reserve(weights.size() * length);
    std::vector<std::size_t> bounds{0};
    std::vector<std::int32_t> cover(length + 1);
    for (std::size_t c = 0; c < weights.size(); ++c) {
        std::fill(cover.begin(), cover.end(), 0);
        for (std::size_t i = 0; i < block; ++i) {
            if (class_of[i] != c) continue;
            ++cover[i];
            --cover[i + starts];
        }
        for (std::size_t j = 1; j < length; ++j) cover[j] += cover[j - 1];
        const std::size_t first = entries.size();
        for (const auto& [key, j] : order) {
            if (cover[j] == 0) continue;
            const double value = (reference[j] * weights[c]) * taper.scale;
            entries.emplace_back(total_order_key(value),
                                 static_cast<std::uint32_t>(c * length + j));
        }
        const auto by_key = [](const auto& a, const auto& b) { return a.first < b.first; };
        // Kept in order by the product's monotony; sorted should rounding
        // ever say otherwise.
        if (!std::is_sorted(entries.begin() + static_cast<std::ptrdiff_t>(first), entries.end(),
                            by_key)) {
            std::sort(entries.begin() + static_cast<std::ptrdiff_t>(first), entries.end());
        }
        bounds.push_back(entries.size());
    }
    // Merge the classes' sorted runs in pairs, level by level, between
    // the entries and a buffer.
    std::vector<KeyIndex>& buffer = scratch.merge_buffer;
    buffer.resize(entries.size());
    const auto by_key = [](const KeyIndex& a, const KeyIndex& b) { return a.first < b.first; };
    for (std::size_t width = 1; width + 1 < bounds.size(); width *= 2) {
        for (std::size_t lo = 0; lo < bounds.size() - 1; lo += 2 * width) {
            const std::size_t mid = std::min(lo + width, bounds.size() - 1);
            const std::size_t hi = std::min(lo + 2 * width, bounds.size() - 1);
            std::merge(entries.begin() + static_cast<std::ptrdiff_t>(bounds[lo]),
                       entries.begin() + static_cast<std::ptrdiff_t>(bounds[mid]),
                       entries.begin() + static_cast<std::ptrdiff_t>(bounds[mid]),
                       entries.begin() + static_cast<std::ptrdiff_t>(bounds[hi]),
                       buffer.begin() + static_cast<std::ptrdiff_t>(bounds[lo]), by_key);
        }
        entries.swap(buffer);
    }
    std::vector<std::uint32_t>& rank_of = scratch.entry_ranks;
    rank_of.assign(weights.size() * length, 0);
    std::vector<double>& values = scratch.ranked_values;
    values.clear();
    OrderKey last = 0;
    for (const auto& [key, entry] : entries) {
        if (values.empty() || key != last) {
            values.push_back(key_value(key));
            last = key;
        }
        rank_of[entry] = static_cast<std::uint32_t>(values.size() - 1);
    }
    std::vector<std::uint32_t>& ranks = scratch.block_ranks;
    ranks.resize(starts * block);
    for (std::size_t start = 0; start < starts; ++start) {
        for (std::size_t i = 0; i < block; ++i) {
            ranks[start * block + i] = rank_of[class_of[i] * length + start + i];
        }
    }
    return values.size();
}

inline void sort_half(const ReplicatePlan& plan, OrderKey* keys) {
    if (plan.sorter != nullptr) {
        plan.sorter(keys);
    } else {
        sort_keys(keys, plan.half);
    }
}

// Replicates begin ... end - 1 into `out` as the order keys of their
// rescaled distances. `pass` is the merged pass; the portable one is
// passed as a type so that it compiles inline.
template <class Pass>
void run_replicate_piece(const ReplicatePlan& plan, std::uint64_t begin, std::uint64_t end,
                         OrderKey* resample, OrderKey* out, const RunControl* control, Pass pass) {
    OrderKey* const first = resample;
    OrderKey* const second = resample + plan.half + pass_padding;
    pad_sample(first, plan.half);
    pad_sample(second, plan.half);
    for (std::uint64_t k = begin; k != end; ++k) {
        if (control != nullptr && control->stop_requested()) {
            out[k] = total_order_key(0.0);
            continue;
        }
        gather_resample(plan, k, resample);
        sort_half(plan, first);
        sort_half(plan, second);
        // Back from the standardized scale to the scale of the raw windows.
        out[k] = total_order_key(pass(first, second, plan.half, plan.steps) * plan.pooled);
    }
}

#if QUARN_HAVE_AVX2_KERNELS
// Replicates begin ... end - 1 four at a time through the group kernel,
// the last few one at a time through the SIMD pass.
void run_replicate_groups(const ReplicatePlan& plan, std::uint64_t begin, std::uint64_t end,
                          OrderKey* resample, OrderKey* out, const RunControl* control,
                          MergedPass pass) {
    OrderKey first_rows[group_rows_size(group_limit)];
    OrderKey second_rows[group_rows_size(group_limit)];
    // Rows past the window are read when the columns are taken apart.
    std::fill(first_rows, first_rows + group_rows_size(plan.half), largest_key);
    std::fill(second_rows, second_rows + group_rows_size(plan.half), largest_key);
    std::uint64_t k = begin;
    for (; end - k >= 4; k += 4) {
        if (control != nullptr && control->stop_requested()) {
            for (std::uint64_t r = 0; r < 4; ++r) out[k + r] = total_order_key(0.0);
            continue;
        }
        for (std::size_t r = 0; r < 4; ++r) {
            gather_resample_rows(plan, k + r, r, first_rows, second_rows);
        }
        double distances[4];
        replicate_group_avx2(first_rows, second_rows, plan.half, plan.steps, distances);
        for (std::size_t r = 0; r < 4; ++r) {
            out[k + r] = total_order_key(distances[r] * plan.pooled);
        }
    }
    run_replicate_piece(plan, k, end, resample, out, control, pass);
}
#endif

struct PortablePass {
    double operator()(const OrderKey* x, const OrderKey* y, std::size_t n,
                      const double* steps) const {
        return merged_pass_portable(x, y, n, steps);
    }
};

// Resamples of windows up to this size live on the stack.
constexpr std::size_t stack_half = network_sort_limit;

}  // namespace

Status prepare_replicates(SeriesView series, const PrefixSums& prefix,
                          std::uint64_t window_size, std::uint64_t start,
                          std::uint64_t position_key, const BootstrapSettings& settings,
                          BootstrapScratch& scratch) {
    scratch.prepared.reset();
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
    if (scratch.steps.size() != step_table_size(w)) {
        scratch.steps.resize(step_table_size(w));
        fill_step_table(scratch.steps, w);
    }
    // Resamples are walked by the ranks of their keys, among the keys of
    // every block start and offset, ranked once here, where that is less
    // work than the replicates' own draws (not so for blocks as long as the
    // window, or for a handful of replicates): at every window size the walk
    // by ranks is cheaper than sorting each half and merging them, in groups
    // of four or one at a time.
    const std::size_t starts = static_cast<std::size_t>(length - block_length + 1);
    const std::size_t block = static_cast<std::size_t>(block_length);
    const std::size_t block_keys = starts * block;
    // A reference holding a NaN (from values too large to standardize)
    // takes the sorted resamples, whose pass knows what to make of it.
    const bool by_ranks = w <= merged_sort_limit &&
                          block <= network_sort_limit && block_keys <= max_ranked_keys &&
                          std::uint64_t{block_keys} <= settings.n_perm * length &&
                          std::none_of(reference.begin(), reference.end(),
                                       [](double v) { return std::isnan(v); });
    const std::size_t rank_count =
        by_ranks ? rank_block_keys(reference.data(), static_cast<std::size_t>(length), taper,
                                   starts, scratch)
                 : 0;
    scratch.prepared = PreparedReplicates{
        .window_size = window_size,
        .position_key = position_key,
        .block_length = block_length,
        .block_count = block_count,
        .pooled = std::sqrt((right.sd * right.sd + left.sd * left.sd) * 0.5),
        .by_ranks = by_ranks,
        .rank_count = rank_count,
    };
    return {};
}

Result<double> prepared_threshold(const BootstrapSettings& settings, BootstrapScratch& scratch) {
    if (!scratch.prepared) return fail("no replicates were prepared");
    const PreparedReplicates& prepared = *scratch.prepared;
    const TaperWindow& taper = *scratch.taper;
    const std::size_t w = static_cast<std::size_t>(prepared.window_size);
    const std::uint64_t length = 2 * prepared.window_size;
    const bool by_ranks = prepared.by_ranks;
    const ReplicatePlan plan{
        .reference = scratch.reference.data(),
        .weights = taper.weights.data(),
        .taper_scale = taper.scale,
        .pooled = prepared.pooled,
        .half = w,
        .length = static_cast<std::size_t>(length),
        .block_length = static_cast<std::size_t>(prepared.block_length),
        .block_count = prepared.block_count,
        .block_starts = length - prepared.block_length + 1,
        .position_key = prepared.position_key,
        .window_size = prepared.window_size,
        .sorter = w <= network_sort_limit ? key_sorter(w) : nullptr,
        .steps = scratch.steps.data(),
        .block_ranks = by_ranks ? scratch.block_ranks.data() : nullptr,
        .ranked_values = by_ranks ? scratch.ranked_values.data() : nullptr,
        .rank_count = prepared.rank_count,
    };
    const KernelPath path = active_kernel_path();
    const MergedPass simd_pass = simd_merged_pass(path, w);
    const bool in_groups = replicate_groups_for(path, w);

    std::vector<OrderKey>& keys = scratch.replicate_keys;
    keys.resize(static_cast<std::size_t>(settings.n_perm));
    OrderKey* const out = keys.data();
    const RunControl* control = settings.control;
    const auto draw = [&](std::uint64_t begin, std::uint64_t end) {
        if (by_ranks) {
            // Zero between replicates; grown with zeros.
            std::vector<std::uint32_t>& counts = scratch.rank_counts.local();
            std::vector<std::uint8_t>& held = scratch.rank_held.local();
            // Whole words of 64 ranks, for two replicates at once.
            const std::size_t padded = rank_words(plan) * 64;
            if (counts.size() < 2 * padded) counts.resize(2 * padded, 0);
            if (held.size() < 2 * padded) held.resize(2 * padded, 0);
            std::uint64_t k = begin;
            for (; end - k >= 2; k += 2) {
                if (control != nullptr && control->stop_requested()) {
                    out[k] = out[k + 1] = total_order_key(0.0);
                    continue;
                }
                double distances[2];
                ranked_replicate_pair(plan, k, counts.data(), held.data(), distances);
                // Back from the standardized scale to the scale of the raw windows.
                out[k] = total_order_key(distances[0] * plan.pooled);
                out[k + 1] = total_order_key(distances[1] * plan.pooled);
            }
            for (; k != end; ++k) {
                // Back from the standardized scale to the scale of the raw windows.
                out[k] = control != nullptr && control->stop_requested()
                             ? total_order_key(0.0)
                             : total_order_key(ranked_replicate(plan, k, counts.data(),
                                                                held.data()) *
                                               plan.pooled);
            }
            return;
        }
        OrderKey stack_resample[2 * (stack_half + pass_padding)];
        OrderKey* resample = stack_resample;
        if (w > stack_half) {
            std::vector<OrderKey>& buffer = scratch.long_resamples.local();
            if (buffer.size() < resample_size(w)) buffer.resize(resample_size(w));
            resample = buffer.data();
        }
#if QUARN_HAVE_AVX2_KERNELS
        if (in_groups) {
            run_replicate_groups(plan, begin, end, resample, out, control, simd_pass);
            return;
        }
#endif
        if (simd_pass != nullptr) {
            run_replicate_piece(plan, begin, end, resample, out, control, simd_pass);
        } else {
            run_replicate_piece(plan, begin, end, resample, out, control, PortablePass{});
        }
    };
    const std::uint64_t first = std::min(settings.first_replicate, settings.n_perm);
    for_each_replicate_piece(settings.n_perm - first, [&](std::uint64_t begin, std::uint64_t end) {
        draw(first + begin, first + end);
    });
    return quantile_of_keys(keys, settings.level);
}

Result<double> block_bootstrap_threshold(SeriesView series, const PrefixSums& prefix,
                                         std::uint64_t window_size, std::uint64_t start,
                                         std::uint64_t position_key,
                                         const BootstrapSettings& settings,
                                         BootstrapScratch& scratch) {
    if (auto ready = prepare_replicates(series, prefix, window_size, start, position_key,
                                        settings, scratch);
        !ready) {
        return fail(std::move(ready.error()));
    }
    return prepared_threshold(settings, scratch);
}

}  // namespace quarn
