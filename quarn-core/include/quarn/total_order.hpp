// The IEEE 754 total order of doubles as signed integer keys, and the
// branch-free sorting networks that sort small arrays of such keys.
//
// Keys that compare equal come from doubles with identical bits, so every
// correct sort of the keys, however it orders ties, gives the same array:
// the networks below and the general sort produce the same bits.
#pragma once

#include <algorithm>
#include <array>
#include <bit>
#include <cstddef>
#include <cstdint>
#include <utility>

namespace quarn {

using OrderKey = std::int64_t;

// Key whose signed integer order is the IEEE 754 totalOrder of doubles:
// negative values flip their 63 magnitude bits so that larger magnitudes
// order first; positive values keep their bits.
inline OrderKey total_order_key(double value) {
    const auto k = std::bit_cast<std::int64_t>(value);
    const auto flip = static_cast<std::int64_t>(static_cast<std::uint64_t>(k >> 63) >> 1);
    return k ^ flip;
}

// The key map is its own inverse: this restores the exact bits.
inline double key_value(OrderKey key) {
    return std::bit_cast<double>(total_order_key(std::bit_cast<double>(key)));
}

// Larger than the key of every double except a NaN with all payload bits
// set; pads and sentinels of key arrays.
inline constexpr OrderKey largest_key = INT64_MAX;

// Merges the ascending runs a[0 .. na) and b[0 .. nb) into out from both
// ends at once: the smallest elements fill the first half from the front
// while the largest fill the second half from the back, two independent
// chains of loads and compares. `before(x, y)` orders two elements;
// `smaller(x, y, from_y)` gives the element taken from the front of the two
// at *x and *y (from_y is 1 where it is *y), and `larger(x, y, from_x)` the
// one taken from the back (from_x is 1 where it is *x). Ties go to `a` from
// the front and to `b` from the back, as in one stable merge.
template <class T, class Before, class Smaller, class Larger>
inline void merge_from_both_ends(const T* a, std::size_t na, const T* b, std::size_t nb, T* out,
                                 Before before, Smaller smaller, Larger larger) {
    const std::size_t n = na + nb;
    const std::size_t half = n / 2;
    std::size_t i = 0, j = 0;      // next elements from the front
    std::size_t ia = na, jb = nb;  // one past the next elements from the back
    std::size_t k = 0, m = n;      // next slot from the front; one past, from the back
    const auto front = [&] {
        const auto from_b = static_cast<std::size_t>(before(b[j], a[i]));
        out[k++] = smaller(a + i, b + j, from_b);
        i += 1 - from_b;
        j += from_b;
    };
    const auto back = [&] {
        const auto from_a = static_cast<std::size_t>(before(b[jb - 1], a[ia - 1]));
        out[--m] = larger(a + ia - 1, b + jb - 1, from_a);
        ia -= from_a;
        jb -= 1 - from_a;
    };
    while (k < half && i < na && j < nb && ia > 0 && jb > 0) {
        front();
        back();
    }
    // The front's part of one side ran out: the rest of its half is the
    // other side's next elements.
    while (k < half) {
        if (i == na) {
            std::copy(b + j, b + j + (half - k), out + k);
            break;
        }
        if (j == nb) {
            std::copy(a + i, a + i + (half - k), out + k);
            break;
        }
        front();
    }
    while (m > half) {
        if (ia == 0) {
            std::copy(b + jb - (m - half), b + jb, out + half);
            break;
        }
        if (jb == 0) {
            std::copy(a + ia - (m - half), a + ia, out + half);
            break;
        }
        back();
    }
}

// Merges the ascending keys a[0 .. na) and b[0 .. nb) into out, from both
// ends (merge_from_both_ends). The next key is chosen by a select, not a
// branch (on keys in random order a branch mispredicts about every second
// key). The sorted array is the same whichever side a tie is taken from
// (equal keys are equal bits).
inline void merge_keys(const OrderKey* a, std::size_t na, const OrderKey* b, std::size_t nb,
                       OrderKey* out) {
    merge_from_both_ends(
        a, na, b, nb, out, [](OrderKey x, OrderKey y) { return x < y; },
        [](const OrderKey* x, const OrderKey* y, std::size_t) { return std::min(*x, *y); },
        [](const OrderKey* x, const OrderKey* y, std::size_t) { return std::max(*x, *y); });
}

// Keys up to this count are sorted by networks; longer arrays by std::sort.
inline constexpr std::size_t network_sort_limit = 64;

namespace network_detail {

struct Comparator {
    std::uint8_t low;
    std::uint8_t high;
};

// Largest network needed (64 keys) has 543 comparators.
inline constexpr std::size_t max_comparators = 544;

struct Network {
    std::array<Comparator, max_comparators> comparators{};
    std::size_t size = 0;
};

// Batcher's odd-even merge sort for the next power of two, without the
// comparators that touch a position >= n. Imagine positions n and above
// holding keys larger than any real key: a comparator (i, j), i < j, with j
// such a position never moves anything, so by induction none of them ever
// leaves its place and every comparator touching one is a no-op.
constexpr Network odd_even_merge_network(std::size_t n) {
    Network network;
    std::size_t width = 1;
    while (width < n) width <<= 1;
    for (std::size_t p = 1; p < width; p <<= 1) {
        for (std::size_t k = p; k >= 1; k >>= 1) {
            for (std::size_t j = k % p; j + k < width; j += 2 * k) {
                for (std::size_t i = 0; i < k; ++i) {
                    const std::size_t low = i + j;
                    const std::size_t high = i + j + k;
                    if (low / (2 * p) != high / (2 * p) || high >= n) continue;
                    network.comparators[network.size++] = {static_cast<std::uint8_t>(low),
                                                           static_cast<std::uint8_t>(high)};
                }
            }
        }
    }
    return network;
}

template <std::size_t N>
inline constexpr Network network_for = odd_even_merge_network(N);

// Written with selects, not branches: compilers emit conditional moves.
inline void compare_exchange(OrderKey& a, OrderKey& b) {
    const OrderKey low = a < b ? a : b;
    const OrderKey high = a < b ? b : a;
    a = low;
    b = high;
}

template <std::size_t N, std::size_t... C>
inline void run_unrolled(OrderKey* keys, std::index_sequence<C...>) {
    constexpr const Network& network = network_for<N>;
    (compare_exchange(keys[network.comparators[C].low], keys[network.comparators[C].high]), ...);
}

// Fully unrolled network: every index is a constant, so the compiler keeps
// keys in registers where it can.
template <std::size_t N>
void sort_unrolled(OrderKey* keys) {
    run_unrolled<N>(keys, std::make_index_sequence<network_for<N>.size>{});
}

// Sizes up to this one are sorted by unrolled networks; larger ones by two
// and a merge.
inline constexpr std::size_t unrolled_limit = 32;

// N keys (unrolled_limit < N <= 2 * unrolled_limit) as two unrolled
// networks and one merge: fewer steps than one network of N walked from its
// table, whose comparators each load two indices before the keys.
template <std::size_t N>
void sort_split(OrderKey* keys) {
    constexpr std::size_t first = unrolled_limit;
    sort_unrolled<first>(keys);
    sort_unrolled<N - first>(keys + first);
    OrderKey merged[N];
    merge_keys(keys, first, keys + first, N - first, merged);
    std::copy(merged, merged + N, keys);
}

using KeySorter = void (*)(OrderKey*);

inline void sort_nothing(OrderKey*) {}

template <std::size_t N>
constexpr KeySorter sorter_for() {
    if constexpr (N < 2) {
        return &sort_nothing;
    } else if constexpr (N <= unrolled_limit) {
        return &sort_unrolled<N>;
    } else {
        static_assert(N <= 2 * unrolled_limit);
        return &sort_split<N>;
    }
}

template <std::size_t... N>
constexpr std::array<KeySorter, sizeof...(N)> make_sorters(std::index_sequence<N...>) {
    return {sorter_for<N>()...};
}

inline constexpr std::array<KeySorter, network_sort_limit + 1> sorters =
    make_sorters(std::make_index_sequence<network_sort_limit + 1>{});

}  // namespace network_detail

// Sorter of exactly n keys (n <= network_sort_limit), chosen once by a
// caller that sorts many arrays of one size.
inline network_detail::KeySorter key_sorter(std::size_t n) {
    return network_detail::sorters[n];
}

// Largest count that sort_keys sorts as merged runs, with a buffer on the
// stack.
inline constexpr std::size_t merged_sort_limit = 1024;

// Sorts n keys (network_sort_limit < n <= merged_sort_limit): runs of at
// most unrolled_limit keys sorted by networks, then merged in pairs.
// Keys are a total order, so any correct sort gives the same array.
inline void sort_keys_by_runs(OrderKey* keys, std::size_t n) {
    constexpr std::size_t run = network_detail::unrolled_limit;
    for (std::size_t lo = 0; lo < n; lo += run) {
        network_detail::sorters[std::min(run, n - lo)](keys + lo);
    }
    OrderKey buffer[merged_sort_limit];
    OrderKey* from = keys;
    OrderKey* to = buffer;
    for (std::size_t width = run; width < n; width *= 2) {
        for (std::size_t lo = 0; lo < n; lo += 2 * width) {
            const std::size_t mid = std::min(n, lo + width), hi = std::min(n, lo + 2 * width);
            merge_keys(from + lo, mid - lo, from + mid, hi - mid, to + lo);
        }
        std::swap(from, to);
    }
    if (from != keys) std::copy(from, from + n, keys);
}

// Sorts n keys ascending: networks up to 64 keys, network-sorted runs
// merged up to merged_sort_limit keys, std::sort above.
inline void sort_keys(OrderKey* keys, std::size_t n) {
    if (n <= network_sort_limit) {
        network_detail::sorters[n](keys);
    } else if (n <= merged_sort_limit) {
        sort_keys_by_runs(keys, n);
    } else {
        std::sort(keys, keys + n);
    }
}

}  // namespace quarn
