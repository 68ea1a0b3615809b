// The replicates' random draws: the generator's seeding and outputs, the
// seeds of replicates and positions, and bounded draws (uniform_below).
#include "quarn/bootstrap.hpp"

#include <algorithm>
#include <cstdint>
#include <iterator>
#include <limits>

#include "check.hpp"

using quarn::seed_generator;
using quarn::uniform_below;
using quarn::Xoshiro256PlusPlus;

namespace {

constexpr std::uint64_t kMax = std::numeric_limits<std::uint64_t>::max();

bool same_state(const Xoshiro256PlusPlus& a, const Xoshiro256PlusPlus& b) {
    return std::equal(std::begin(a.s), std::end(a.s), std::begin(b.s));
}

// Which of "one more output" and "two more outputs" the generator reached.
int outputs_consumed(const Xoshiro256PlusPlus& before, const Xoshiro256PlusPlus& after) {
    Xoshiro256PlusPlus probe = before;
    for (int count = 1; count <= 2; ++count) {
        probe.next();
        if (same_state(probe, after)) return count;
    }
    return -1;
}

// A state whose next output is `first`; `tail` alone decides the output
// after it (s0 = 0 makes the first output rotl(s3, 23), and the second
// depends only on s1 ^ s3).
Xoshiro256PlusPlus state_with_first_output(std::uint64_t first, std::uint64_t tail) {
    const std::uint64_t s3 = (first >> 23) | (first << 41);
    return Xoshiro256PlusPlus{{0, s3 ^ tail, 0, s3}};
}

// Multiplicative inverse of an odd number modulo 2^64 (Newton's iteration).
std::uint64_t inverse_of(std::uint64_t odd) {
    std::uint64_t inverse = odd;
    for (int i = 0; i < 6; ++i) inverse *= 2 - odd * inverse;
    return inverse;
}

// Full product of two 64-bit values from 32-bit limbs, independent of the
// compiler's 128-bit support.
struct Product {
    std::uint64_t high;
    std::uint64_t low;
};
Product multiply(std::uint64_t a, std::uint64_t b) {
    const std::uint64_t mask = 0xffffffff;
    const std::uint64_t ll = (a & mask) * (b & mask);
    const std::uint64_t lh = (a & mask) * (b >> 32);
    const std::uint64_t hl = (a >> 32) * (b & mask);
    const std::uint64_t hh = (a >> 32) * (b >> 32);
    const std::uint64_t middle = (ll >> 32) + (lh & mask) + (hl & mask);
    return {hh + (lh >> 32) + (hl >> 32) + (middle >> 32), (middle << 32) | (ll & mask)};
}

// The part of bound * draw above the fraction: the first output's upper
// half for bounds below 2^32, the whole output from 2^32 on.
std::uint64_t whole_part(std::uint64_t output, std::uint64_t bound) {
    return bound < (std::uint64_t{1} << 32) ? ((output >> 32) * bound) >> 32
                                            : multiply(output, bound).high;
}

}  // namespace

TEST(seeding_and_outputs_match_reference_vectors) {
    Xoshiro256PlusPlus g = seed_generator(0);
    CHECK_EQ(g.s[0], 0xe220a8397b1dcdafULL);
    CHECK_EQ(g.s[1], 0x6e789e6aa1b965f4ULL);
    CHECK_EQ(g.s[2], 0x06c45d188009454fULL);
    CHECK_EQ(g.s[3], 0xf88bb8a8724c81ecULL);
    CHECK_EQ(g.next(), 0x53175d61490b23dfULL);
    CHECK_EQ(g.next(), 0x61da6f3dc380d507ULL);
    CHECK_EQ(g.next(), 0x5c0fdf91ec9a7bfcULL);
}

TEST(replicate_streams_match_reference_draws) {
    const std::uint64_t call_key = quarn::make_call_key(123, 10);
    const std::uint64_t position_key = quarn::make_position_key(call_key, 0);
    CHECK_EQ(quarn::make_replicate_seed(position_key, 10, 0), 0x6ab175c2acdbd16bULL);

    const std::uint64_t expected[2][5] = {{5, 10, 6, 0, 7}, {11, 6, 3, 12, 3}};
    for (std::uint64_t k = 0; k < 2; ++k) {
        Xoshiro256PlusPlus g = seed_generator(quarn::make_replicate_seed(position_key, 10, k));
        for (int i = 0; i < 5; ++i) CHECK_EQ(uniform_below(g, 13), expected[k][i]);
    }

    // The window size cancels: only the seed, start and replicate index matter.
    const std::uint64_t other_key = quarn::make_position_key(quarn::make_call_key(123, 5), 0);
    CHECK_EQ(quarn::make_replicate_seed(other_key, 5, 0), 0x6ab175c2acdbd16bULL);
    // A different start gives a different stream.
    CHECK(quarn::make_replicate_seed(quarn::make_position_key(call_key, 10), 10, 0) !=
          0x6ab175c2acdbd16bULL);
}

TEST(uniform_below_draws_a_second_output_only_when_needed) {
    // Bound 1: always 0, one output.
    Xoshiro256PlusPlus g = seed_generator(0);
    for (int i = 0; i < 100; ++i) {
        const Xoshiro256PlusPlus before = g;
        CHECK_EQ(uniform_below(g, 1), 0u);
        CHECK_EQ(outputs_consumed(before, g), 1);
    }

    // First output of seed 0 is 0x53175d61490b23df.
    // 32-bit branch, bound 2^32 - 1: the low part is far from zero, so the
    // upper half of the second output supplies the carry.
    Xoshiro256PlusPlus a = seed_generator(0);
    CHECK_EQ(uniform_below(a, 0xffffffffULL), 0x53175d61ULL);
    CHECK_EQ(outputs_consumed(seed_generator(0), a), 2);
    // 64-bit branch, bound 2^32: the product is the output shifted left, its
    // low part is at most 2^64 - 2^32, so no second draw.
    Xoshiro256PlusPlus b = seed_generator(0);
    CHECK_EQ(uniform_below(b, 0x100000000ULL), 0x53175d61ULL);
    CHECK_EQ(outputs_consumed(seed_generator(0), b), 1);
}

TEST(uniform_below_comparisons_are_strict_at_their_boundaries) {
    constexpr std::uint64_t two_32 = std::uint64_t{1} << 32;
    constexpr std::uint64_t tail = 0x9abcdef012345678;
    const std::uint64_t bounds[] = {13, 0xfffffffb, two_32 + 1, 0x9e3779b97f4a7c15};
    for (const std::uint64_t bound : bounds) {
        const bool wide = bound >= two_32;
        // First draw all ones: the low part is exactly 2^k - bound, which
        // does not call for a second draw.
        Xoshiro256PlusPlus edge = state_with_first_output(wide ? kMax : kMax << 32, 1);
        const Xoshiro256PlusPlus before = edge;
        CHECK_EQ(uniform_below(edge, bound), bound - 1);
        CHECK_EQ(outputs_consumed(before, edge), 1);

        // A first draw whose low part plus the carry of the second draw is
        // exactly 2^k: the carry counts.
        Xoshiro256PlusPlus probe = state_with_first_output(0, tail);
        probe.next();
        const std::uint64_t second = probe.next();
        const std::uint64_t carry = whole_part(second, bound);
        CHECK(carry > 0);
        const std::uint64_t low_target = (wide ? 0 : two_32) - carry;  // 2^k - carry
        std::uint64_t first = low_target * inverse_of(bound);          // first * bound = low_target
        if (!wide) first = (first & (two_32 - 1)) << 32;
        Xoshiro256PlusPlus exact = state_with_first_output(first, tail);
        Xoshiro256PlusPlus copy = exact;
        CHECK_EQ(copy.next(), first);
        CHECK_EQ(copy.next(), second);
        CHECK_EQ(uniform_below(exact, bound), whole_part(first, bound) + 1);
        CHECK(same_state(exact, copy));  // both outputs consumed
    }
}

TEST(uniform_below_equals_the_top_of_the_wide_product) {
    // With x and y the next two outputs, the draw is the integer part of
    // (x.y as a fraction of 1) * bound, whether or not y was actually needed.
    const std::uint64_t bounds[] = {3,          13,          1000003,           0x80000000,
                                    0xffffffff, 0x100000000, 0x123456789abcdef, 0x8000000000000001,
                                    kMax - 1,   kMax};
    int two_draws = 0;
    int one_draw = 0;
    for (const std::uint64_t bound : bounds) {
        Xoshiro256PlusPlus g = seed_generator(bound);
        for (int i = 0; i < 2000; ++i) {
            Xoshiro256PlusPlus peek = g;
            const std::uint64_t x = peek.next();
            const std::uint64_t y = peek.next();
            std::uint64_t expected = 0;
            if (bound < 0x100000000) {
                // A 64-bit fraction made of the two upper halves.
                expected = multiply(((x >> 32) << 32) | (y >> 32), bound).high;
            } else {
                // 128-bit fraction x.y: carry of the low word into the high.
                const Product head = multiply(x, bound);
                const std::uint64_t tail = multiply(y, bound).high;
                expected = head.high + (head.low + tail < head.low ? 1 : 0);
            }
            const Xoshiro256PlusPlus before = g;
            const std::uint64_t r = uniform_below(g, bound);
            CHECK(r < bound);
            CHECK_EQ(r, expected);
            const int consumed = outputs_consumed(before, g);
            CHECK(consumed == 1 || consumed == 2);
            (consumed == 2 ? two_draws : one_draw) += 1;
        }
    }
    CHECK(two_draws > 0);
    CHECK(one_draw > 0);
}
