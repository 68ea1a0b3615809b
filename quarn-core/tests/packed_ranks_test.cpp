#include "quarn/packed_ranks.hpp"

#include <oneapi/tbb/parallel_for.h>
#include <oneapi/tbb/task_arena.h>

#include <cmath>
#include <cstddef>
#include <cstdint>
#include <limits>
#include <vector>

#include "check.hpp"
#include "quarn/scores.hpp"

using quarn::PackedRanks;

namespace {

// Values of `bits` bits that set every bit pattern near the top and bottom
// of the width, at every offset within a word.
std::vector<std::uint32_t> patterned(std::size_t n, unsigned bits) {
    const std::uint64_t top = (std::uint64_t{1} << bits) - 1;
    std::vector<std::uint32_t> values(n);
    std::uint64_t state = 2024 + bits;
    for (std::size_t t = 0; t < n; ++t) {
        state = state * 6364136223846793005ULL + 1442695040888963407ULL;
        switch (t % 4) {
            case 0: values[t] = static_cast<std::uint32_t>(top); break;
            case 1: values[t] = static_cast<std::uint32_t>((t % 3) & top); break;
            default: values[t] = static_cast<std::uint32_t>((state >> 20) & top);
        }
    }
    return values;
}

}  // namespace

TEST(bits_hold_the_largest_doubled_mid_rank_and_no_more) {
    struct Case {
        std::size_t n;
        unsigned bits;
    };
    // The largest doubled mid-rank among n values is 2n - 2.
    for (const Case c : {Case{0, 1}, Case{1, 1}, Case{2, 2}, Case{3, 3}, Case{5, 4},
                         Case{(std::size_t{1} << 24), 25}, Case{(std::size_t{1} << 24) + 1, 26},
                         Case{(std::size_t{1} << 25), 26}, Case{(std::size_t{1} << 25) + 1, 27},
                         Case{10'000'000, 25},
                         Case{50'000'000, 27}, Case{quarn::max_ranked_length, 32}}) {
        CHECK_EQ(PackedRanks::bits_for(c.n), c.bits);
    }
}

TEST(packed_entries_read_back_as_the_plain_array_at_every_width) {
    for (unsigned bits = 1; bits <= 32; ++bits) {
        const std::vector<std::uint32_t> values = patterned(517, bits);
        // Packed one after another, and entry by entry (in reverse, as the
        // threads of the ranking write them in no set order).
        PackedRanks serial(values.size(), bits);
        for (std::size_t t = values.size(); t-- > 0;) serial.set_zero_entry(t, values[t]);
        const PackedRanks packed = PackedRanks::from(values, bits);
        bool same = serial.size() == values.size() && packed.size() == values.size();
        for (std::size_t t = 0; same && t < values.size(); ++t) {
            same = serial[t] == values[t] && packed[t] == values[t];
        }
        CHECK(same);
        CHECK(serial.bytes() <= (values.size() * bits + 63) / 64 * 8 + 8);
    }
}

TEST(entries_written_at_once_by_several_threads_lose_no_bits) {
    const std::size_t n = 200'003;
    for (const unsigned bits : {25U, 26U, 27U}) {
        const std::vector<std::uint32_t> values = patterned(n, bits);
        PackedRanks packed(n, bits);
        tbb::task_arena arena(3);
        arena.execute([&] {
            tbb::parallel_for(std::size_t{0}, n, [&](std::size_t t) {
                packed.set_zero_entry(t, values[t]);
            });
        });
        bool same = true;
        for (std::size_t t = 0; same && t < n; ++t) same = packed[t] == values[t];
        CHECK(same);
    }
}

TEST(packed_ranks_equal_the_plain_ranks_in_one_go_and_in_slices) {
    // Below and above the length ranked in slices, with heavy ties.
    for (const std::size_t n : {std::size_t{1}, std::size_t{2}, std::size_t{3}, std::size_t{1000},
                                (std::size_t{1} << 21) + 4097}) {
        std::vector<double> x(n);
        std::uint64_t state = 31 + n;
        for (double& v : x) {
            state = state * 6364136223846793005ULL + 1442695040888963407ULL;
            const std::uint64_t r = state >> 33;
            v = r % 3 == 0 ? static_cast<double>(r % 11) : static_cast<double>(r % 999'983);
        }
        if (n > 3) x[2] = std::numeric_limits<double>::quiet_NaN();
        const std::vector<std::uint32_t> plain = quarn::doubled_mid_ranks(x);
        for (const int threads : {1, 3}) {
            tbb::task_arena arena(threads);
            PackedRanks packed;
            arena.execute([&] { packed = quarn::packed_doubled_mid_ranks(x); });
            CHECK_EQ(packed.size(), n);
            CHECK_EQ(packed.bits(), PackedRanks::bits_for(n));
            bool same = packed.size() == plain.size();
            for (std::size_t t = 0; same && t < n; ++t) same = packed[t] == plain[t];
            CHECK(same);
        }
    }
}

TEST(a_stop_request_leaves_packed_ranks_empty) {
    quarn::RunControl control;
    control.request_stop();
    for (const std::size_t n : {std::size_t{200'000}, (std::size_t{1} << 21) + 5}) {
        const std::vector<double> x(n, 1.5);
        CHECK(quarn::packed_doubled_mid_ranks(x, &control).empty());
    }
}

namespace {

// Values with ties of every size: runs of one value longer than a bucket,
// groups that straddle the buckets' pieces, and distinct values between.
std::vector<double> tied_values(std::size_t n, std::uint64_t seed) {
    std::vector<double> x(n);
    std::uint64_t state = seed;
    for (std::size_t t = 0; t < n; ++t) {
        state = state * 6364136223846793005ULL + 1442695040888963407ULL;
        const std::uint64_t r = state >> 33;
        if (r % 5 == 0) {
            x[t] = 7.0;  // a group far larger than any bucket below
        } else if (r % 5 == 1) {
            x[t] = static_cast<double>(r % 13);
        } else {
            x[t] = -1.0 - static_cast<double>(r % 1'000'003) / 7.0;
        }
    }
    return x;
}

}  // namespace

TEST(bucketed_ranks_read_back_the_plain_ranks) {
    struct Case {
        std::size_t n, bucket;
    };
    // In one go and in slices; buckets of 1 value (every group a bucket of
    // its own) up to larger than the series.
    for (const Case c : {Case{1000, 1}, Case{1000, 7}, Case{5000, 64}, Case{5000, 1 << 13},
                         Case{(std::size_t{1} << 21) + 4097, 1 << 12},
                         Case{(std::size_t{1} << 21) + 4097, 1 << 16}}) {
        const std::vector<double> x = tied_values(c.n, 77 + c.n + c.bucket);
        const std::vector<std::uint32_t> plain = quarn::doubled_mid_ranks(x);
        for (const int threads : {1, 3}) {
            tbb::task_arena arena(threads);
            quarn::BucketedRanks ranks;
            arena.execute([&] { ranks = quarn::bucketed_doubled_mid_ranks(x, nullptr, 1, c.bucket); });
            CHECK_EQ(ranks.size(), c.n);
            CHECK_EQ(ranks.bits(), PackedRanks::bits_for(c.bucket));
            CHECK_EQ(ranks.buckets() > 1, c.bucket < c.n);
            bool same = ranks.size() == plain.size();
            for (std::size_t t = 0; same && t < c.n; ++t) same = ranks.at(t, x[t]) == plain[t];
            CHECK(same);
        }
    }
}

TEST(bucketed_ranks_stay_whole_below_their_length_and_with_a_nan) {
    std::vector<double> x = tied_values(3000, 5);
    const std::vector<std::uint32_t> plain = quarn::doubled_mid_ranks(x);
    const quarn::BucketedRanks below = quarn::bucketed_doubled_mid_ranks(x, nullptr, 3001, 16);
    CHECK_EQ(below.buckets(), std::size_t{1});
    CHECK_EQ(below.bits(), PackedRanks::bits_for(x.size()));
    x[10] = std::numeric_limits<double>::quiet_NaN();
    const std::vector<std::uint32_t> with_nan = quarn::doubled_mid_ranks(x);
    const quarn::BucketedRanks whole = quarn::bucketed_doubled_mid_ranks(x, nullptr, 1, 16);
    CHECK_EQ(whole.buckets(), std::size_t{1});
    bool same = true;
    for (std::size_t t = 0; t < x.size(); ++t) {
        same = same && below.at(t, 0.0) == plain[t] && whole.at(t, x[t]) == with_nan[t];
    }
    CHECK(same);
}

TEST(a_stop_request_leaves_bucketed_ranks_empty) {
    quarn::RunControl control;
    control.request_stop();
    for (const std::size_t n : {std::size_t{200'000}, (std::size_t{1} << 21) + 5}) {
        const std::vector<double> x = tied_values(n, 9);
        CHECK(quarn::bucketed_doubled_mid_ranks(x, &control, 1, 1 << 10).empty());
    }
}
