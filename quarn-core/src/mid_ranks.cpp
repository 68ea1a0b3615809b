// Mid-ranks of a series: its indices sorted by value (runs sorted, then
// merged, side by side on the pool), long series a slice of their range at
// a time, and the rank scores taken from them.
#include <algorithm>
#include <atomic>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <numeric>
#include <span>
#include <utility>
#include <vector>

#include "quarn/pool.hpp"
#include "quarn/scores.hpp"
#include "scores_internal.hpp"

namespace quarn {

using namespace scores_detail;

namespace {

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

// Ranks the values a slice of their range at a time (see rank_slice):
// assign(order, offset) takes each slice's indices sorted by value, with
// the count of the values of the slices below. False when `control` asked
// to stop.
template <class Assign>
bool rank_in_slices(std::span<const double> x, const std::vector<double>& bounds,
                    const Assign& assign, const RunControl* control) {
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
        assign(std::span<const std::uint32_t>(order), offset);
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
    const auto assign = [&](std::span<const std::uint32_t> order, std::size_t offset) {
        assign_mid_ranks(order, x, offset, ranks);
    };
    if (!rank_in_slices(x, bounds, assign, control)) return {};
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
    const auto assign = [&](std::span<const std::uint32_t> order, std::size_t offset) {
        assign_mid_ranks(order, x, offset, ranks);
    };
    if (!rank_in_slices(x, bounds, assign, control)) return {};
    return ranks;
}

namespace {

// A bucket of BucketedRanks: its smallest value and its base.
struct Bucket {
    double bound;
    std::uint32_t base;
};

// The doubled mid-ranks of the values whose indices `order` holds, sorted
// by value, when `offset` values rank below them all, as offsets within
// buckets (see BucketedRanks), into `offsets`. Each piece of `bucket`
// sorted indices makes a bucket of the groups of equal values that start
// within it, so that an offset is below 2 * bucket; a group that runs past
// its piece's end is a bucket of its own (offset 0, base its rank) unless
// it is the piece's only one. Pieces side by side; their buckets, in order,
// are appended to `buckets`.
void assign_bucketed_ranks(std::span<const std::uint32_t> order, std::span<const double> x,
                           std::size_t offset, std::size_t bucket, PackedRanks& offsets,
                           std::vector<Bucket>& buckets) {
    const std::size_t m = order.size();
    if (m == 0) return;
    const std::size_t pieces = (m + bucket - 1) / bucket;
    // At most two buckets a piece, `count` of them made.
    std::vector<Bucket> made(2 * pieces, Bucket{0.0, 0});
    std::vector<std::uint8_t> count(pieces, 0);
    const auto assign = [&](std::size_t first_piece, std::size_t last_piece) {
        for (std::size_t p = first_piece; p != last_piece; ++p) {
            const std::size_t begin = p * bucket, piece_end = std::min(m, begin + bucket);
            std::size_t start = begin;
            while (start > 0 && start < piece_end && x[order[start]] == x[order[start - 1]]) ++start;
            if (start >= piece_end) continue;  // within a group an earlier piece holds
            const std::size_t first = start;
            made[2 * p] = {x[order[first]], static_cast<std::uint32_t>(2 * (offset + first))};
            count[p] = 1;
            while (start < piece_end) {
                std::size_t end = start + 1;
                while (end < m && x[order[end]] == x[order[start]]) ++end;
                const std::size_t doubled = 2 * offset + start + end - 1;
                if (end > piece_end) {
                    // The piece's last group runs on past it.
                    const auto base = static_cast<std::uint32_t>(doubled);
                    if (start == first) {
                        made[2 * p].base = base;
                    } else {
                        made[2 * p + 1] = {x[order[start]], base};
                        count[p] = 2;
                    }
                    break;
                }
                const auto local = static_cast<std::uint32_t>(doubled - 2 * (offset + first));
                if (local != 0) {
                    for (std::size_t i = start; i < end; ++i) offsets.set_zero_entry(order[i], local);
                }
                start = end;
            }
        }
    };
    parallel_pieces(std::size_t{0}, pieces, std::size_t{1}, assign);
    for (std::size_t p = 0; p < pieces; ++p) {
        for (std::size_t k = 0; k < count[p]; ++k) buckets.push_back(made[2 * p + k]);
    }
}

// The bounds and bases of `buckets` as BucketedRanks takes them (the first
// bucket needs no bound).
BucketedRanks bucketed(PackedRanks offsets, const std::vector<Bucket>& buckets) {
    std::vector<double> bounds;
    std::vector<std::uint32_t> bases;
    bounds.reserve(buckets.size());
    bases.reserve(buckets.size());
    for (const Bucket& b : buckets) {
        if (!bases.empty()) bounds.push_back(b.bound);
        bases.push_back(b.base);
    }
    if (bases.empty()) bases.push_back(0);
    return BucketedRanks(std::move(offsets), std::move(bounds), std::move(bases));
}

}  // namespace

BucketedRanks bucketed_doubled_mid_ranks(std::span<const double> x, const RunControl* control,
                                         std::size_t bucketed_from, std::size_t bucket) {
    const std::size_t n = x.size();
    // A NaN has no place among the bounds: such series keep whole ranks.
    const bool whole = n < bucketed_from || bucket < 1 ||
                       std::any_of(x.begin(), x.end(), [](double v) { return std::isnan(v); });
    if (whole) {
        PackedRanks ranks = packed_doubled_mid_ranks(x, control);
        if (ranks.size() != n) return {};
        return BucketedRanks(std::move(ranks));
    }
    PackedRanks offsets(n, PackedRanks::bits_for(bucket));
    std::vector<Bucket> buckets;
    const std::vector<double> bounds = rank_slice_bounds(x);
    if (bounds.empty()) {
        std::vector<std::uint32_t> order(n), buffer(n);
        std::iota(order.begin(), order.end(), std::uint32_t{0});
        if (!sort_indices(order, buffer, x, control)) return {};
        buffer = std::vector<std::uint32_t>();
        assign_bucketed_ranks(order, x, 0, bucket, offsets, buckets);
    } else {
        const auto assign = [&](std::span<const std::uint32_t> order, std::size_t offset) {
            assign_bucketed_ranks(order, x, offset, bucket, offsets, buckets);
        };
        if (!rank_in_slices(x, bounds, assign, control)) return {};
    }
    return bucketed(std::move(offsets), buckets);
}

std::vector<double> rank_scores(std::span<const double> x) {
    const std::vector<std::uint32_t> ranks = doubled_mid_ranks(x);
    std::vector<double> scores(ranks.size());
    const double count = static_cast<double>(ranks.size());
    for (std::size_t t = 0; t < ranks.size(); ++t) scores[t] = rank_score_of(ranks[t], count);
    return scores;
}

}  // namespace quarn
