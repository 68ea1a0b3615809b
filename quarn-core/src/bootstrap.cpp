#include "quarn/bootstrap.hpp"

#include <algorithm>
#include <bit>
#include <cmath>
#include <limits>
#include <string>
#include <utility>

#include "quarn/distance.hpp"
#include "quarn/kernels.hpp"
#include "quarn/merged_pass.hpp"
#include "block_key_ranks.hpp"
#include "ranked_walk.hpp"

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

namespace {

// The ranks a quantile at `level` interpolates between, of `count` keys
// (not 0): lo, and hi (lo or lo + 1), with the weight of hi.
struct QuantileRanks {
    std::size_t lo;
    std::size_t hi;
    double frac;
};

QuantileRanks quantile_ranks(std::size_t count, double level) {
    const std::size_t last = count - 1;
    const double pos = static_cast<double>(last) * level;
    const double floor_pos = std::floor(pos);
    // The limit to the last rank only matters when the count is not exactly
    // representable as a double; it keeps the selection inside the array.
    const std::size_t lo =
        static_cast<std::size_t>(std::min<std::uint64_t>(saturating_to_u64(floor_pos), last));
    const std::size_t hi =
        static_cast<std::size_t>(std::min<std::uint64_t>(saturating_to_u64(std::ceil(pos)), last));
    return {lo, hi, pos - floor_pos};
}

}  // namespace

double quantile_of_sorted_keys(std::span<const OrderKey> keys, double level) {
    if (keys.empty()) return quiet_nan();
    const auto [lo, hi, frac] = quantile_ranks(keys.size(), level);
    const double v_lo = key_value(keys[lo]);
    if (hi == lo) return v_lo;
    const double v_hi = key_value(keys[lo + 1]);
    return std::fma(v_lo, 1.0 - frac, frac * v_hi);
}

double quantile_of_keys(std::span<OrderKey> keys, double level) {
    if (keys.empty()) return quiet_nan();
    const auto [lo, hi, frac] = quantile_ranks(keys.size(), level);
    std::nth_element(keys.begin(), keys.begin() + static_cast<std::ptrdiff_t>(lo), keys.end());
    const double v_lo = key_value(keys[lo]);
    if (hi == lo) return v_lo;
    // After the selection every key past rank lo is at least the one at lo,
    // so the next rank is the smallest of them.
    const double v_hi = key_value(
        *std::min_element(keys.begin() + static_cast<std::ptrdiff_t>(lo) + 1, keys.end()));
    return std::fma(v_lo, 1.0 - frac, frac * v_hi);
}

double quantile_linear(std::span<const double> values, double level) {
    std::vector<OrderKey> keys(values.size());
    std::transform(values.begin(), values.end(), keys.begin(), total_order_key);
    return quantile_of_keys(keys, level);
}

namespace {

// What every replicate of one threshold reads; fixed before the loop: what
// the walk by ranks reads (its rank tables null where resamples are sorted
// instead), and the reference and taper the sorted resamples are drawn from.
struct ReplicatePlan : RankedPlan {
    const double* reference;
    const double* weights;
    double taper_scale;
    network_detail::KeySorter sorter;  // null above the network sizes
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

// Most replicates whose keys are sorted whole for their quantile.
constexpr std::size_t sorted_quantile_limit = 256;

// Resamples of windows up to this size live on the stack.
constexpr std::size_t stack_half = network_sort_limit;

}  // namespace

Status prepare_replicates(SeriesView series, const PrefixSums& prefix,
                          std::uint64_t window_size, std::uint64_t start,
                          std::uint64_t position_key, const BootstrapSettings& settings,
                          BootstrapScratch& scratch) {
    scratch.prepared.reset();
    scratch.sorted_keys = 0;
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
        RankedPlan{
            .pooled = prepared.pooled,
            .half = w,
            .length = static_cast<std::size_t>(length),
            .block_length = static_cast<std::size_t>(prepared.block_length),
            .block_count = prepared.block_count,
            .block_starts = length - prepared.block_length + 1,
            .position_key = prepared.position_key,
            .window_size = prepared.window_size,
            .steps = scratch.steps.data(),
            .block_ranks = by_ranks ? scratch.block_ranks.data() : nullptr,
            .ranked_values = by_ranks ? scratch.ranked_values.data() : nullptr,
            .rank_count = prepared.rank_count,
        },
        scratch.reference.data(),
        taper.weights.data(),
        taper.scale,
        w <= network_sort_limit ? key_sorter(w) : nullptr,
    };
    const KernelPath path = active_kernel_path();
    const MergedPass simd_pass = simd_merged_pass(path, w);
    const bool in_groups = replicate_groups_for(path, w);
    const RankedPlan& ranked = plan;
    const RankedRun ranked_run = ranked_run_for(path);

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
            const std::size_t slots = ranked_slots(ranked);
            if (counts.size() < 2 * slots) counts.resize(2 * slots, 0);
            if (held.size() < 2 * slots) held.resize(2 * slots, 0);
            ranked_run(ranked, begin, end, counts.data(), held.data(), out, control);
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
    // Up to sorted_quantile_limit keys are sorted, which costs less than
    // the selection there, and kept so: a later call at the same position
    // sorts only its own keys and merges them in (up to merged_sort_limit
    // keys in all), and a caller that orders the keys again finds them in
    // order. Other keys are selected from, which costs less than sorting
    // them. Either way the same ranks are read, so the same bits.
    const std::size_t count = keys.size();
    const auto held = static_cast<std::size_t>(first);
    const bool held_sorted = held != 0 && scratch.sorted_keys == first;
    if (count != 0 && count <= merged_sort_limit &&
        (held_sorted || count <= sorted_quantile_limit)) {
        if (!held_sorted) {
            sort_keys(out, count);
        } else if (held < count) {
            sort_keys(out + held, count - held);
            OrderKey merged[merged_sort_limit];
            merge_keys(out, held, out + held, count - held, merged);
            std::copy(merged, merged + count, out);
        }
        scratch.sorted_keys = count;
        return quantile_of_sorted_keys(keys, settings.level);
    }
    scratch.sorted_keys = 0;
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
