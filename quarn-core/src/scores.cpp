#include "quarn/scores.hpp"

#include <algorithm>
#include <array>
#include <atomic>
#include <bit>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <limits>
#include <numeric>
#include <optional>
#include <utility>
#include <vector>

#include "quarn/pool.hpp"

namespace quarn {

namespace {

// Consistency factor of the median absolute deviation for Gaussian data.
constexpr double mad_to_sd = 1.4826;

// The largest power of two among the doubles, 2^1023, and its exponent.
constexpr int largest_exponent = std::numeric_limits<double>::max_exponent - 1;
constexpr double largest_power_of_two = 0x1p1023;

// The middle one of five values, by a sorting network of minima and
// maxima: the same value as median_in_place gives.
double median_of_five(const double* values) {
    double v[5] = {values[0], values[1], values[2], values[3], values[4]};
    const auto order = [&v](int i, int j) {
        const double low = std::min(v[i], v[j]);
        v[j] = std::max(v[i], v[j]);
        v[i] = low;
    };
    order(0, 1);
    order(3, 4);
    order(2, 4);
    order(2, 3);
    order(0, 3);
    order(0, 2);
    order(1, 4);
    order(1, 3);
    order(1, 2);
    return v[2];
}

// The standard deviation (divisor n) of the values times 2^exponent, by
// their mean and the sum of their squared deviations from it.
double standard_deviation(std::span<const double> x, int exponent) {
    const auto value = [&](std::size_t t) {
        return exponent == 0 ? x[t] : std::ldexp(x[t], exponent);
    };
    double mean = 0.0;
    for (std::size_t t = 0; t < x.size(); ++t) mean += value(t);
    mean /= static_cast<double>(x.size());
    double squares = 0.0;
    for (std::size_t t = 0; t < x.size(); ++t) squares += (value(t) - mean) * (value(t) - mean);
    return std::sqrt(squares / static_cast<double>(x.size()));
}

}  // namespace

namespace {

// Indices sorted or merged between two polls of a stop request.
constexpr std::size_t sort_step = std::size_t{1} << 16;
// Values per piece of the standardisation's passes run side by side.
constexpr std::size_t deviation_piece = std::size_t{1} << 16;
// Shortest series whose centre and scale are found side by side: below it
// each takes less than waking a worker of the pool does.
constexpr std::size_t side_by_side_standardisation = std::size_t{1} << 16;

bool stop_asked(const RunControl* control) {
    return control != nullptr && control->stop_requested();
}

// The number of the first k indices of the merge of the sorted runs
// first[0, na) and second[0, nb) that come from `first`, where the merge
// takes first[i] before second[j] unless less(second[j], first[i]).
template <class Less>
std::size_t merge_split(const std::uint32_t* first, std::size_t na, const std::uint32_t* second,
                        std::size_t nb, std::size_t k, const Less& less) {
    std::size_t lo = k > nb ? k - nb : 0, hi = std::min(k, na);
    while (lo < hi) {
        const std::size_t i = lo + (hi - lo) / 2;
        // first[i] comes before second[k - i - 1]: more of first is taken.
        if (!less(second[k - i - 1], first[i])) {
            lo = i + 1;
        } else {
            hi = i;
        }
    }
    return lo;
}

// Sorts `order` by the values of x: runs of sort_step indices are sorted,
// then merged pairwise, bottom-up, through `buffer` (of the same size). The
// runs, and the stretches of sort_step indices of each merge, are
// independent pieces done side by side on the pool; each stretch of a merge
// starts where the merge path puts it. `control` is polled after every
// piece. The sorted indices end in `order`: equal values may come in any
// order (their mid-ranks are the same). `less` must be a strict weak order.
// Returns false when stopped.
template <class Less>
bool sort_indices_by(std::vector<std::uint32_t>& order, std::vector<std::uint32_t>& buffer,
                     const Less& less, const RunControl* control) {
    const std::size_t n = order.size();
    const std::size_t pieces = (n + sort_step - 1) / sort_step;
    std::atomic<bool> stopped{false};
    const auto poll = [&] {
        if (stop_asked(control)) stopped.store(true, std::memory_order_relaxed);
        return stopped.load(std::memory_order_relaxed);
    };
    const auto run_sort = [&](std::size_t begin, std::size_t end) {
        for (std::size_t p = begin; p != end && !poll(); ++p) {
            const std::size_t lo = p * sort_step, hi = std::min(n, lo + sort_step);
            std::sort(order.begin() + static_cast<std::ptrdiff_t>(lo),
                      order.begin() + static_cast<std::ptrdiff_t>(hi), less);
        }
    };
    parallel_pieces(std::size_t{0}, pieces, std::size_t{1}, run_sort);
    if (poll()) return false;
    for (std::size_t width = sort_step; width < n; width *= 2) {
        // A stretch of sort_step outputs lies within one pair of runs, as
        // 2 * width is a multiple of sort_step.
        const auto run_merge = [&](std::size_t begin, std::size_t end) {
            for (std::size_t p = begin; p != end && !poll(); ++p) {
                const std::size_t out_begin = p * sort_step;
                const std::size_t lo = out_begin / (2 * width) * (2 * width);
                const std::size_t middle = std::min(n, lo + width);
                const std::size_t pair_end = std::min(n, lo + 2 * width);
                const std::size_t out_end = std::min(pair_end, out_begin + sort_step);
                const std::uint32_t* first = order.data() + lo;
                const std::uint32_t* second = order.data() + middle;
                const std::size_t na = middle - lo, nb = pair_end - middle;
                std::size_t a = merge_split(first, na, second, nb, out_begin - lo, less);
                std::size_t b = out_begin - lo - a;
                for (std::size_t out = out_begin; out < out_end; ++out) {
                    if (b == nb || (a < na && !less(second[b], first[a]))) {
                        buffer[out] = first[a++];
                    } else {
                        buffer[out] = second[b++];
                    }
                }
            }
        };
        parallel_pieces(std::size_t{0}, pieces, std::size_t{1}, run_merge);
        if (poll()) return false;
        order.swap(buffer);
    }
    return true;
}

// sort_indices_by on the values' order. A NaN, unordered by <, would leave
// the merges without a consistent order: NaNs then come after every number.
bool sort_indices(std::vector<std::uint32_t>& order, std::vector<std::uint32_t>& buffer,
                  std::span<const double> x, const RunControl* control) {
    const bool has_nan =
        std::any_of(order.begin(), order.end(), [x](std::uint32_t t) { return std::isnan(x[t]); });
    if (!has_nan) {
        return sort_indices_by(
            order, buffer, [x](std::uint32_t a, std::uint32_t b) { return x[a] < x[b]; }, control);
    }
    return sort_indices_by(
        order, buffer,
        [x](std::uint32_t a, std::uint32_t b) {
            return x[a] < x[b] || (std::isnan(x[b]) && !std::isnan(x[a]));
        },
        control);
}

}  // namespace

namespace {

// Long series are ranked a slice of their range at a time, so that the
// sorted indices of all the values never sit beside the ranks: at most
// max_rank_slices slices of about rank_slice values.
constexpr std::size_t rank_slice = std::size_t{1} << 20;
constexpr std::size_t max_rank_slices = 16;
// Sampled values per slice, whose quantiles bound the slices.
constexpr std::size_t slice_sample = 64;

// Ascending values that cut the range of x into slices of about equal
// counts: slice s holds the values v with bounds[s - 1] <= v < bounds[s]
// (no bound below the first slice, none above the last, which also takes
// any NaN). Empty when the series is ranked in one go.
std::vector<double> rank_slice_bounds(std::span<const double> x) {
    const std::size_t n = x.size();
    if (n <= 2 * rank_slice) return {};
    const std::size_t slices = std::min(max_rank_slices, (n + rank_slice - 1) / rank_slice);
    const std::size_t stride = std::max<std::size_t>(1, n / (slices * slice_sample));
    std::vector<double> sample;
    for (std::size_t t = 0; t < n; t += stride) {
        if (!std::isnan(x[t])) sample.push_back(x[t]);
    }
    std::sort(sample.begin(), sample.end());
    std::vector<double> bounds;
    for (std::size_t s = 1; s < slices && !sample.empty(); ++s) {
        const double bound = sample[s * sample.size() / slices];
        if (bounds.empty() || bound > bounds.back()) bounds.push_back(bound);
    }
    return bounds;
}

void store_rank(std::vector<std::uint32_t>& ranks, std::size_t t, std::uint32_t doubled) {
    ranks[t] = doubled;
}
// The pieces of assign_mid_ranks run on several threads: entries that share
// a word are written by atomic ORs.
void store_rank(PackedRanks& ranks, std::size_t t, std::uint32_t doubled) {
    ranks.set_zero_entry(t, doubled);
}

// Twice the mid-rank of each value whose index `order` holds, sorted by
// value, when `offset` values rank below them all.
// Pieces of `order` side by side: each takes the groups of equal values
// that start within it, whole.
template <class Ranks>
void assign_mid_ranks(std::span<const std::uint32_t> order, std::span<const double> x,
                      std::size_t offset, Ranks& ranks) {
    const std::size_t m = order.size();
    const auto assign = [&](std::size_t begin, std::size_t piece_end) {
        std::size_t start = begin;
        while (start > 0 && start < piece_end && x[order[start]] == x[order[start - 1]]) ++start;
        while (start < piece_end) {
            std::size_t end = start + 1;
            while (end < m && x[order[end]] == x[order[start]]) ++end;
            const auto doubled = static_cast<std::uint32_t>(2 * offset + start + end - 1);
            for (std::size_t i = start; i < end; ++i) store_rank(ranks, order[i], doubled);
            start = end;
        }
    };
    parallel_pieces(std::size_t{0}, m, sort_step, assign);
}

// Ranks the values a slice of their range at a time (see rank_slice) into
// `ranks`, all zero and of x's size. False when `control` asked to stop.
template <class Ranks>
bool rank_in_slices(std::span<const double> x, const std::vector<double>& bounds, Ranks& ranks,
                    const RunControl* control) {
    const std::size_t n = x.size();
    const auto slice_of = [&bounds](double v) {
        return static_cast<std::size_t>(std::upper_bound(bounds.begin(), bounds.end(), v) -
                                        bounds.begin());
    };
    std::vector<std::size_t> counts(bounds.size() + 1, 0);
    for (std::size_t lo = 0; lo < n; lo += sort_step) {
        for (std::size_t t = lo; t < std::min(n, lo + sort_step); ++t) ++counts[slice_of(x[t])];
        if (stop_asked(control)) return false;
    }
    // Ties share one mid-rank, so the order among equal values is free;
    // equal values share a slice, and the values of the slices below come
    // first.
    std::vector<std::uint32_t> order, buffer;
    const std::size_t largest = *std::max_element(counts.begin(), counts.end());
    order.reserve(largest);
    buffer.reserve(largest);
    std::size_t offset = 0;
    for (std::size_t s = 0; s < counts.size(); ++s) {
        order.clear();
        const bool first = s == 0, last = s + 1 == counts.size();
        const double low = first ? 0.0 : bounds[s - 1];
        const double high = last ? 0.0 : bounds[s];
        for (std::size_t lo = 0; lo < n; lo += sort_step) {
            const std::size_t hi = std::min(n, lo + sort_step);
            for (std::size_t t = lo; t < hi; ++t) {
                // As slice_of places x[t].
                const double v = x[t];
                if ((first || !(v < low)) && (last || v < high)) {
                    order.push_back(static_cast<std::uint32_t>(t));
                }
            }
            if (stop_asked(control)) return false;
        }
        buffer.resize(order.size());
        if (!sort_indices(order, buffer, x, control)) return false;
        assign_mid_ranks(order, x, offset, ranks);
        offset += order.size();
    }
    return true;
}

}  // namespace

std::vector<std::uint32_t> doubled_mid_ranks(std::span<const double> x, const RunControl* control) {
    const std::size_t n = x.size();
    const std::vector<double> bounds = rank_slice_bounds(x);
    std::vector<std::uint32_t> ranks(n);
    if (bounds.empty()) {
        // In one go, the ranks' memory serving as the sort's buffer.
        std::vector<std::uint32_t> order(n);
        std::iota(order.begin(), order.end(), std::uint32_t{0});
        if (!sort_indices(order, ranks, x, control)) return {};
        assign_mid_ranks(order, x, 0, ranks);
        return ranks;
    }
    if (!rank_in_slices(x, bounds, ranks, control)) return {};
    return ranks;
}

PackedRanks packed_doubled_mid_ranks(std::span<const double> x, const RunControl* control) {
    const std::vector<double> bounds = rank_slice_bounds(x);
    if (bounds.empty()) {
        // Short enough that four bytes a value beside the packed ones do not
        // matter: ranked as a plain array, then packed.
        const std::vector<std::uint32_t> plain = doubled_mid_ranks(x, control);
        if (plain.size() != x.size()) return {};
        return PackedRanks::from(plain, PackedRanks::bits_for(plain.size()));
    }
    PackedRanks ranks(x.size(), PackedRanks::bits_for(x.size()));
    if (!rank_in_slices(x, bounds, ranks, control)) return {};
    return ranks;
}

std::vector<double> rank_scores(std::span<const double> x) {
    const std::vector<std::uint32_t> ranks = doubled_mid_ranks(x);
    std::vector<double> scores(ranks.size());
    const double count = static_cast<double>(ranks.size());
    for (std::size_t t = 0; t < ranks.size(); ++t) scores[t] = rank_score_of(ranks[t], count);
    return scores;
}

namespace {

// Moves the k-th smallest of the values to values[k], with no larger one
// before it and no smaller one after it, as std::nth_element does: three-way
// partitions around a median of three, polling `control` before each, until
// the range holding k is short or ends on values equal to the pivot. Long
// runs of poor pivots hand the rest to std::nth_element. The k-th smallest
// value, and the largest before it, do not depend on how the values are
// partitioned. Returns false when stopped.
bool select_in_place(std::span<double> values, std::size_t k, const RunControl* control) {
    std::size_t lo = 0, hi = values.size();
    int passes_left = 2 * static_cast<int>(std::bit_width(values.size())) + 8;
    while (hi - lo > sort_step && passes_left-- > 0) {
        if (stop_asked(control)) return false;
        const double a = values[lo], b = values[lo + (hi - lo) / 2], c = values[hi - 1];
        const double pivot = std::max(std::min(a, b), std::min(std::max(a, b), c));
        std::size_t less = lo, i = lo, greater = hi;
        while (i < greater) {
            if (values[i] < pivot) {
                std::swap(values[less++], values[i++]);
            } else if (values[i] > pivot) {
                std::swap(values[i], values[--greater]);
            } else {
                ++i;
            }
        }
        if (k < less) {
            hi = less;
        } else if (k >= greater) {
            lo = greater;
        } else {
            return true;  // values[k] equals the pivot
        }
    }
    const auto begin = values.begin();
    std::nth_element(begin + static_cast<std::ptrdiff_t>(lo),
                     begin + static_cast<std::ptrdiff_t>(k),
                     begin + static_cast<std::ptrdiff_t>(hi));
    return true;
}

// Ranges this short are left to std::nth_element by branchless_select.
constexpr std::size_t branchless_least = 32;

// select_in_place's result for values none of which is zero or NaN, by
// partitions without branches on the values (whose outcomes a branch
// predicts no better than a coin on values in random order): values below
// a median of three are moved before the others, then, among those, the
// values equal to it before the larger ones. Without zeros of two signs
// or NaN, values equal in value have the same bits, so the k-th smallest
// value, and the largest before it, are the ones any selection finds.
// Long runs of poor pivots hand the rest to std::nth_element.
void branchless_select(std::span<double> values, std::size_t k) {
    std::size_t lo = 0, hi = values.size();
    int passes_left = 2 * static_cast<int>(std::bit_width(values.size())) + 8;
    double* v = values.data();
    // Moves the values of [from, to) for which `before` holds ahead of the
    // others (each swap done whether needed or not); returns where the
    // others begin.
    const auto partition = [v](std::size_t from, std::size_t to, auto before) {
        std::size_t store = from;
        for (std::size_t i = from; i < to; ++i) {
            const double value = v[i];
            const bool ahead = before(value);
            v[i] = v[store];
            v[store] = value;
            store += ahead ? 1 : 0;
        }
        return store;
    };
    while (hi - lo > branchless_least && passes_left-- > 0) {
        const double a = v[lo], b = v[lo + (hi - lo) / 2], c = v[hi - 1];
        const double pivot = std::max(std::min(a, b), std::min(std::max(a, b), c));
        const std::size_t less = partition(lo, hi, [pivot](double x) { return x < pivot; });
        if (k < less) {
            hi = less;
            continue;
        }
        const std::size_t greater = partition(less, hi, [pivot](double x) { return x <= pivot; });
        if (k < greater) return;  // values[k] equals the pivot
        lo = greater;
    }
    std::nth_element(v + lo, v + k, v + hi);
}

}  // namespace

double median_in_place(std::span<double> values, const RunControl* control) {
    const std::size_t n = values.size();
    if (n == 0) return std::numeric_limits<double>::quiet_NaN();
    // Where select_in_place would hand the whole range to std::nth_element
    // (no control is polled), values without zeros or NaN are selected
    // without branches: the same median, bit for bit, in about a third of
    // the time on values in random order.
    bool plain = n <= sort_step;
    for (std::size_t t = 0; t < n && plain; t += 256) {
        bool clean = true;
        for (std::size_t i = t; i < std::min(n, t + 256); ++i) {
            clean &= values[i] != 0.0 && values[i] == values[i];
        }
        plain = clean;
    }
    if (plain) {
        branchless_select(values, n / 2);
    } else if (!select_in_place(values, n / 2, control)) {
        return std::numeric_limits<double>::quiet_NaN();
    }
    const auto middle = values.begin() + static_cast<std::ptrdiff_t>(n / 2);
    if (n % 2 == 1) return *middle;
    const double upper = *middle;
    const double lower = *std::max_element(values.begin(), middle);
    const double sum = lower + upper;
    // Halving first keeps the mean of two values near the largest double
    // finite; otherwise both forms give the same bits.
    return std::isfinite(sum) ? sum / 2.0 : lower / 2.0 + upper / 2.0;
}

namespace {

// Series up to this many values find their medians in a full copy; longer
// ones by a sample and a pass that keeps only the values near the median.
constexpr std::size_t copied_median_limit = std::size_t{1} << 21;
constexpr std::size_t median_sample_size = std::size_t{1} << 16;
// Sampled values on either side of the median's place in the sample that
// bracket the median: eight standard deviations of the sample median's rank
// (sqrt(2^16) / 2 = 128), and some.
constexpr std::size_t median_bracket = 8 * 128 + 16;

// The median of n generated values, as median_in_place gives it on a copy
// of them in index order, holding about 3% of them at once: a sample of
// every (n / 2^16)-th value brackets the median; one pass counts the values
// below and on the bracket and keeps those strictly inside it, among which
// the middle ones are selected. `value_at(t)` is value t; `for_each(visit)`
// calls visit(t, value t) once for every t. Where the bracket misses (a
// series whose values the sample does not represent), a value is NaN, or
// the median is zero among zeros of both signs when `zero_sign_matters`
// (the copy's partitioning would pick one), the median comes from the copy.
// NaN when `control` asks to stop.
template <class ValueAt, class ForEach>
double streamed_median(std::size_t n, ValueAt value_at, ForEach for_each, bool zero_sign_matters,
                       const RunControl* control,
                       std::size_t copied_up_to = copied_median_limit) {
    const auto from_copy = [&] {
        std::vector<double> copy(n);
        for_each([&copy](std::size_t t, double v) { copy[t] = v; });
        return median_in_place(copy, control);
    };
    if (n <= std::max(copied_up_to, 2 * median_sample_size)) return from_copy();
    const std::size_t stride = n / median_sample_size;
    std::vector<double> sample;
    sample.reserve(n / stride + 1);
    for (std::size_t t = 0; t < n; t += stride) sample.push_back(value_at(t));
    if (std::any_of(sample.begin(), sample.end(), [](double v) { return std::isnan(v); })) {
        return from_copy();
    }
    std::sort(sample.begin(), sample.end());
    const std::size_t m = sample.size();
    const std::size_t middle = m / 2;
    const std::size_t lower_place = middle > median_bracket ? middle - median_bracket : 0;
    const std::size_t upper_place = std::min(m - 1, middle + median_bracket);
    const double low = sample[lower_place];
    const double high = sample[upper_place];
    // Values below the bracket, on its ends, and strictly inside it (kept).
    std::size_t below = 0, on_low = 0, on_high = 0, seen = 0;
    bool has_nan = false, positive_zero = false, negative_zero = false, stopped = false;
    const std::size_t inside_limit = n / 16;
    std::vector<double> inside;
    // About as many values as the sample holds strictly inside the bracket,
    // times its stride, and a margin: reserved at once, rather than grown by
    // doubling through blocks that a long series leaves resident once freed.
    inside.reserve(std::min(inside_limit, (upper_place - lower_place + 8) * stride * 9 / 8));
    for_each([&](std::size_t, double v) {
        if (stopped || has_nan) return;
        if (++seen % sort_step == 0 && stop_asked(control)) stopped = true;
        if (v == 0.0) (std::signbit(v) ? negative_zero : positive_zero) = true;
        if (v < low) {
            ++below;
        } else if (v == low) {
            ++on_low;
        } else if (v == high) {
            ++on_high;
        } else if (v < high) {
            if (inside.size() < inside_limit) inside.push_back(v);
            else has_nan = true;  // not what the sample promised: use the copy
        } else if (std::isnan(v)) {
            has_nan = true;
        }
    });
    if (stopped) return std::numeric_limits<double>::quiet_NaN();
    if (has_nan) return from_copy();
    // Value of rank k (0-based) among all; nullopt where the bracket misses.
    const auto ranked = [&](std::size_t k) -> std::optional<double> {
        if (k < below) return std::nullopt;
        k -= below;
        if (k < on_low) return low;
        k -= on_low;
        if (k < inside.size()) {
            if (!select_in_place(inside, k, control)) return std::nullopt;
            return inside[k];
        }
        k -= inside.size();
        if (k < on_high && high != low) return high;
        return std::nullopt;
    };
    const std::optional<double> upper = ranked(n / 2);
    std::optional<double> lower = upper;
    if (n % 2 == 0) lower = ranked(n / 2 - 1);
    if (stop_asked(control)) return std::numeric_limits<double>::quiet_NaN();
    if (!upper || !lower) return from_copy();
    if (zero_sign_matters && positive_zero && negative_zero && (*upper == 0.0 || *lower == 0.0)) {
        return from_copy();
    }
    if (n % 2 == 1) return *upper;
    const double sum = *lower + *upper;
    return std::isfinite(sum) ? sum / 2.0 : *lower / 2.0 + *upper / 2.0;
}

}  // namespace

double median_of(std::size_t n, const std::function<double(std::size_t)>& value_at,
                 bool keep_zero_sign, const RunControl* control) {
    return median_of(n, value_at, keep_zero_sign, control, copied_median_limit);
}

double median_of(std::size_t n, const std::function<double(std::size_t)>& value_at,
                 bool keep_zero_sign, const RunControl* control, std::size_t copied_up_to) {
    return streamed_median(
        n, value_at,
        [&](auto visit) {
            for (std::size_t t = 0; t < n; ++t) visit(t, value_at(t));
        },
        keep_zero_sign, control, copied_up_to);
}

double robust_scale(std::span<const double> x, const RunControl* control) {
    double spread = 0.0;
    if (x.size() >= 3 && x.size() - 1 <= copied_median_limit) {
        std::vector<double> steps(x.size() - 1);
        for (std::size_t t = 1; t < x.size(); ++t) steps[t - 1] = x[t] - x[t - 1];
        const double centre = median_in_place(steps, control);
        // Most increments overflowing (values swinging across the whole
        // range) leave no deviation to measure.
        if (std::isfinite(centre)) {
            for (double& step : steps) step = std::abs(step - centre);
            spread = mad_to_sd * median_in_place(steps, control);
        }
    } else if (x.size() >= 3) {
        // The same medians without a copy of the increments.
        const std::size_t count = x.size() - 1;
        const auto step = [x](std::size_t t) { return x[t + 1] - x[t]; };
        const double centre = streamed_median(
            count, step,
            [&](auto visit) {
                for (std::size_t t = 0; t < count; ++t) visit(t, step(t));
            },
            false, control);
        if (std::isfinite(centre)) {
            const auto deviation = [&](std::size_t t) { return std::abs(step(t) - centre); };
            spread = mad_to_sd * streamed_median(
                                     count, deviation,
                                     [&](auto visit) {
                                         for (std::size_t t = 0; t < count; ++t)
                                             visit(t, deviation(t));
                                     },
                                     false, control);
        }
    }
    if (!(spread > 0.0) && !x.empty()) {
        spread = standard_deviation(x, 0);
        if (!std::isfinite(spread) || spread == 0.0) {
            // The sums overflowed (values beyond about 1e154) or the squares
            // vanished (values below about 1e-154): take them again on the
            // values brought near 1 by a power of two, which is exact, and
            // scale back. Series of ordinary values never come here, except
            // constant ones, which stay at zero.
            double largest = 0.0;
            for (const double value : x) largest = std::max(largest, std::abs(value));
            int exponent = 0;
            std::frexp(largest, &exponent);
            if (std::isfinite(largest) && largest > 0.0) {
                const double scaled = standard_deviation(x, -exponent);
                if (std::isfinite(scaled) && scaled > 0.0) spread = std::ldexp(scaled, exponent);
            }
        }
    }
    if (!(spread > 0.0)) return 1.0;
    // A spread beyond the largest double: the values span most of the range.
    if (!std::isfinite(spread)) return largest_power_of_two;
    // Rounding to a power of two keeps scaled series exact under scaling by 2^k.
    int exponent = 0;
    const double mantissa = std::frexp(spread, &exponent);  // spread = mantissa * 2^exponent
    return std::ldexp(1.0, std::min(mantissa < std::sqrt(0.5) ? exponent - 1 : exponent,
                                    largest_exponent));
}

std::vector<double> winsorize(std::span<const double> x, int half, double limit) {
    const std::size_t n = x.size();
    const std::size_t width = 2 * static_cast<std::size_t>(half) + 1;
    std::vector<double> out(x.begin(), x.end());
    if (half < 0 || n < width || !(limit > 0.0)) return out;
    std::vector<double> centre(n);
    std::vector<double> window;
    window.reserve(width);
    for (std::size_t t = 0; t < n; ++t) {
        const std::size_t lo = t >= static_cast<std::size_t>(half) ? t - half : 0;
        const std::size_t hi = std::min(n, t + static_cast<std::size_t>(half) + 1);
        window.assign(x.begin() + static_cast<std::ptrdiff_t>(lo),
                      x.begin() + static_cast<std::ptrdiff_t>(hi));
        centre[t] = median_in_place(window);
    }
    std::vector<double> distance(n);
    for (std::size_t t = 0; t < n; ++t) distance[t] = std::abs(x[t] - centre[t]);
    const double spread = mad_to_sd * median_in_place(distance);
    if (!(spread > 0.0)) return out;
    const double bound = limit * spread;
    // Values within the bound stay exactly as they are.
    for (std::size_t t = 0; t < n; ++t) {
        const double deviation = x[t] - centre[t];
        if (deviation > bound) out[t] = centre[t] + bound;
        if (deviation < -bound) out[t] = centre[t] - bound;
    }
    return out;
}

StandardValues::StandardValues(std::span<const double> x, const RunControl* control) : x_(x) {
    const std::size_t n = x.size();
    if (n == 0) return;
    // The centre and the scale are independent: found side by side.
    const auto centre_or_scale = [&](std::size_t begin, std::size_t end) {
        for (std::size_t i = begin; i != end; ++i) {
            if (i == 1) {
                standardisation_.unit = robust_scale(x, control);
                continue;
            }
            standardisation_.centre = streamed_median(
                n, [x](std::size_t t) { return x[t]; },
                [x](auto visit) {
                    for (std::size_t t = 0; t < x.size(); ++t) visit(t, x[t]);
                },
                true, control);
        }
    };
    if (n < side_by_side_standardisation) {
        centre_or_scale(0, 2);
    } else {
        parallel_pieces(std::size_t{0}, std::size_t{2}, std::size_t{1}, centre_or_scale);
    }
    if (stop_asked(control)) return;
    bool finite = true;
    for (std::size_t t = 0; t < n && finite; ++t) finite = std::isfinite(raw(t));
    if (!finite) {
        // Differences of values near the largest double overflow: divide
        // first, by a power of two above every magnitude.
        double largest = 0.0;
        for (const double v : x) largest = std::max(largest, std::abs(v));
        int exponent = 0;
        std::frexp(largest, &exponent);
        // 2^1024 is no double: values then lie within (-2, 2).
        exponent = std::min(exponent, largest_exponent);
        standardisation_.shifted = true;
        standardisation_.exponent = exponent;
        standardisation_.shifted_centre = std::ldexp(standardisation_.centre, -exponent);
        standardisation_.unit = std::ldexp(1.0, exponent);
    }

    // Winsorizing as winsorize(raw, winsor_half_width, winsor_limit) does it,
    // keeping only which values move.
    moved_.assign((n + 63) / 64, 0);
    const std::size_t width = 2 * static_cast<std::size_t>(winsor_half_width) + 1;
    if (n < width) return;
    double spread = 0.0;
    if (n <= copied_median_limit) {
        // As streamed_median takes it from a full copy, the copy filled a
        // piece at a time side by side.
        std::vector<double> copy(n);
        const auto fill = [&](std::size_t begin, std::size_t end) {
            for_each_deviation_in(begin, end, [&copy](std::size_t t, double deviation) {
                copy[t] = std::abs(deviation);
            });
        };
        parallel_pieces(std::size_t{0}, n, deviation_piece, fill);
        spread = mad_to_sd * median_in_place(copy, control);
    } else {
        spread = mad_to_sd *
                 streamed_median(
                     n, [this](std::size_t t) { return std::abs(raw(t) - running_median(t)); },
                     [this](auto visit) {
                         for_each_deviation([&visit](std::size_t t, double deviation) {
                             visit(t, std::abs(deviation));
                         });
                     },
                     false, control);
    }
    if (stop_asked(control)) return;
    if (!(spread > 0.0)) return;
    bound_ = winsor_limit * spread;
    // Pieces of whole words of the mask, each written by one piece.
    const std::size_t words = moved_.size();
    const auto mark = [&](std::size_t begin, std::size_t end) {
        const auto mark_one = [&](std::size_t t, double deviation) {
            if (deviation > bound_ || deviation < -bound_)
                moved_[t / 64] |= std::uint64_t{1} << (t % 64);
        };
        for_each_deviation_in(begin * 64, std::min(n, end * 64), mark_one);
    };
    parallel_pieces(std::size_t{0}, words, deviation_piece / 64, mark);
}

template <class Visit>
void StandardValues::for_each_deviation_in(std::size_t begin, std::size_t end, Visit visit) const {
    const std::size_t n = x_.size();
    const auto half = static_cast<std::size_t>(winsor_half_width);
    // Full windows are those of t in [half, n - half); n holds one at least.
    const std::size_t full_begin = std::max(begin, half), full_end = std::min(end, n - half);
    for (std::size_t t = begin; t < std::min(end, half); ++t) visit(t, raw(t) - running_median(t));
    if (full_begin < full_end) {
        static_assert(winsor_half_width == 2);
        double window[5] = {raw(full_begin - 2), raw(full_begin - 1), raw(full_begin),
                            raw(full_begin + 1), 0.0};
        for (std::size_t t = full_begin; t < full_end; ++t) {
            window[4] = raw(t + 2);
            visit(t, window[2] - median_of_five(window));
            for (int i = 0; i < 4; ++i) window[i] = window[i + 1];
        }
    }
    for (std::size_t t = std::max(begin, n - half); t < end; ++t) {
        visit(t, raw(t) - running_median(t));
    }
}

template <class Visit>
void StandardValues::for_each_deviation(Visit visit) const {
    // Ends, where the window is cut short.
    const std::size_t n = x_.size();
    const auto half = static_cast<std::size_t>(winsor_half_width);
    for (std::size_t t = 0; t < half; ++t) {
        visit(t, raw(t) - running_median(t));
        visit(n - half + t, raw(n - half + t) - running_median(n - half + t));
    }
    // Full windows slide along, each standardised value computed once.
    static_assert(winsor_half_width == 2);
    double window[5] = {raw(0), raw(1), raw(2), raw(3), 0.0};
    for (std::size_t t = half; t + half < n; ++t) {
        window[4] = raw(t + 2);
        visit(t, window[2] - median_of_five(window));
        for (int i = 0; i < 4; ++i) window[i] = window[i + 1];
    }
}

std::vector<double> StandardValues::raw_values() const {
    std::vector<double> out(x_.size());
    for (std::size_t t = 0; t < out.size(); ++t) out[t] = raw(t);
    return out;
}

double StandardValues::running_median(std::size_t t) const {
    const auto half = static_cast<std::size_t>(winsor_half_width);
    const std::size_t n = x_.size();
    std::array<double, 2 * winsor_half_width + 1> window;
    const std::size_t lo = t >= half ? t - half : 0;
    const std::size_t hi = std::min(n, t + half + 1);
    for (std::size_t i = lo; i < hi; ++i) window[i - lo] = raw(i);
    if (hi - lo == window.size()) return median_of_five(window.data());
    return median_in_place(std::span<double>(window.data(), hi - lo));
}

double StandardValues::winsorized(std::size_t t) const {
    const double centre = running_median(t);
    const double deviation = raw(t) - centre;
    if (deviation > bound_) return centre + bound_;
    if (deviation < -bound_) return centre - bound_;
    return raw(t);
}

ScoredSeries::ScoredSeries(StandardValues values, const RunControl* control)
    : values_(std::move(values)),
      ranks_(packed_doubled_mid_ranks(values_.series(), control)),
      count_(static_cast<double>(ranks_.size())) {}

}  // namespace quarn
