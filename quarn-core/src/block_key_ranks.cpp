// The ranking of a threshold's block keys: the keys of every block start
// and offset of the sorted reference, ranked among all of them once per
// threshold, so that resamples can be walked by ranks.
#include "block_key_ranks.hpp"

#include <algorithm>
#include <bit>
#include <cstdint>
#include <limits>
#include <vector>

#include "quarn/total_order.hpp"

namespace quarn {

namespace {

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

// The address of *b where `pick_b` (0 or 1) is 1, of *a otherwise, by a
// mask, which compilers do not turn back into a branch (the classes' keys
// interleave at random, so a branch would mispredict about every second
// entry).
inline const KeyIndex* select_entry(std::uintptr_t pick_b, const KeyIndex* a, const KeyIndex* b) {
    const auto pa = reinterpret_cast<std::uintptr_t>(a);
    const auto pb = reinterpret_cast<std::uintptr_t>(b);
    return reinterpret_cast<const KeyIndex*>(pa ^ ((pa ^ pb) & (0 - pick_b)));
}

// Merges the runs a[0 .. na) and b[0 .. nb), ascending by key, into out,
// from both ends (merge_from_both_ends), each entry taken by select_entry.
// Ties may come in either order; the ranks read only the keys.
void merge_by_key(const KeyIndex* a, std::size_t na, const KeyIndex* b, std::size_t nb,
                  KeyIndex* out) {
    merge_from_both_ends(
        a, na, b, nb, out,
        [](const KeyIndex& x, const KeyIndex& y) { return x.first < y.first; },
        [](const KeyIndex* x, const KeyIndex* y, std::size_t from_y) {
            return *select_entry(from_y, x, y);
        },
        [](const KeyIndex* x, const KeyIndex* y, std::size_t from_x) {
            return *select_entry(1 - from_x, x, y);
        });
}

// Up to merged_sort_limit values: `order` as the keys of the values, each
// with its index, ascending by key (ties in any order), found by sorting
// the keys with their lowest bits replaced by the index, which the sorting
// networks and merges of sort_keys take, faster than pairs. Keys that agree
// but for those bits may come out of order; that is checked, and false
// returned if so (with order unspecified), as it is for longer arrays.
bool order_by_tagged_keys(const double* values, std::size_t length, KeyIndex* order) {
    if (length == 0 || length > merged_sort_limit) return false;
    const auto bits = static_cast<unsigned>(std::bit_width(length - 1));
    const std::uint64_t index_mask = (std::uint64_t{1} << bits) - 1;
    OrderKey tagged[merged_sort_limit];
    for (std::size_t j = 0; j < length; ++j) {
        // Clearing low bits rounds the key down to a multiple of 2^bits:
        // the order of keys that differ above those bits is kept.
        const auto key = static_cast<std::uint64_t>(total_order_key(values[j]));
        tagged[j] = static_cast<OrderKey>((key & ~index_mask) | j);
    }
    sort_keys(tagged, length);
    OrderKey previous = std::numeric_limits<OrderKey>::min();
    for (std::size_t p = 0; p < length; ++p) {
        const auto j = static_cast<std::size_t>(static_cast<std::uint64_t>(tagged[p]) & index_mask);
        const OrderKey key = total_order_key(values[j]);
        if (key < previous) return false;
        order[p] = {key, static_cast<std::uint32_t>(j)};
        previous = key;
    }
    return true;
}

}  // namespace

// The ranks of the keys of every block start and offset, the keys' values
// by rank, and the number of distinct keys. An offset's keys are its reference values times its
// taper weight and the scale, in the order of the reference values (a
// product with positive factors keeps the order), and offsets of equal
// weights share their keys; so the reference is sorted once, each distinct
// weight's keys come sorted from it, and their merge ranks all the keys.
std::size_t rank_block_keys(const double* reference, std::size_t length, const TaperWindow& taper,
                            std::size_t starts, BootstrapScratch& scratch) {
    const std::size_t block = static_cast<std::size_t>(taper.block_length);
    // Distinct weights (by their bits) and the weight class of each offset;
    // blocks ranked are at most network_sort_limit long, so these live on
    // the stack.
    double weights[network_sort_limit];
    std::size_t weight_count = 0;
    std::size_t class_of[network_sort_limit];
    for (std::size_t i = 0; i < block; ++i) {
        const std::uint64_t bits = std::bit_cast<std::uint64_t>(taper.weights[i]);
        std::size_t c = 0;
        while (c < weight_count && std::bit_cast<std::uint64_t>(weights[c]) != bits) ++c;
        if (c == weight_count) weights[weight_count++] = taper.weights[i];
        class_of[i] = c;
    }
    std::vector<KeyIndex>& order = scratch.reference_order;
    order.resize(length);
    if (!order_by_tagged_keys(reference, length, order.data())) {
        for (std::size_t j = 0; j < length; ++j) {
            order[j] = {total_order_key(reference[j]), static_cast<std::uint32_t>(j)};
        }
        sort_key_indices(order, scratch.merge_buffer);
    }
    // Entry c * length + j: the key of reference value j with weight c,
    // where some block holds value j at an offset of weight c.
    std::vector<KeyIndex>& entries = scratch.ranked_entries;
    entries.clear();
    entries.reserve(weight_count * length);
    std::size_t bounds[network_sort_limit + 1] = {0};
    std::size_t bound_count = 1;
    std::vector<std::int32_t>& cover = scratch.block_cover;
    cover.resize(length + 1);
    for (std::size_t c = 0; c < weight_count; ++c) {
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
        bounds[bound_count++] = entries.size();
    }
    // Merge the classes' sorted runs in pairs, level by level, between
    // the entries and a buffer.
    std::vector<KeyIndex>& buffer = scratch.merge_buffer;
    buffer.resize(entries.size());
    for (std::size_t width = 1; width + 1 < bound_count; width *= 2) {
        for (std::size_t lo = 0; lo < bound_count - 1; lo += 2 * width) {
            const std::size_t mid = std::min(lo + width, bound_count - 1);
            const std::size_t hi = std::min(lo + 2 * width, bound_count - 1);
            merge_by_key(entries.data() + bounds[lo], bounds[mid] - bounds[lo],
                         entries.data() + bounds[mid], bounds[hi] - bounds[mid],
                         buffer.data() + bounds[lo]);
        }
        entries.swap(buffer);
    }
    std::vector<std::uint32_t>& rank_of = scratch.entry_ranks;
    rank_of.resize(weight_count * length);  // read only where a block covers it
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
}  // namespace quarn
