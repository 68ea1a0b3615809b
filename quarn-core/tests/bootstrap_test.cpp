#include "quarn/bootstrap.hpp"

#include <oneapi/tbb/task_arena.h>

#include <algorithm>
#include <atomic>
#include <cmath>
#include <cstdint>
#include <initializer_list>
#include <limits>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "check.hpp"
#include "quarn/distance.hpp"
#include "quarn/stats.hpp"

using quarn::seed_generator;
using quarn::uniform_below;
using quarn::Xoshiro256PlusPlus;

namespace {

const double kNaN = std::numeric_limits<double>::quiet_NaN();
const double kInf = std::numeric_limits<double>::infinity();
constexpr std::uint64_t kMax = std::numeric_limits<std::uint64_t>::max();

// Deterministic test data that does not depend on the generator under test.
std::vector<double> noisy_series(std::size_t n, std::uint64_t state) {
    std::vector<double> values(n);
    for (double& value : values) {
        state = state * 6364136223846793005ULL + 1442695040888963407ULL;
        value = static_cast<double>(state >> 11) * 0x1.0p-53 * 4.0 - 2.0;
    }
    return values;
}

struct Position {
    std::vector<double> series;
    quarn::PrefixSums prefix;
    explicit Position(std::vector<double> values)
        : series(std::move(values)), prefix(quarn::PrefixSums::build(series)) {}

    quarn::Result<double> threshold(std::uint64_t w, std::uint64_t start, std::uint64_t key,
                                    const quarn::BootstrapSettings& settings) const {
        quarn::BootstrapScratch scratch;
        return quarn::block_bootstrap_threshold(series, prefix, w, start, key, settings, scratch);
    }
};

quarn::BootstrapSettings settings_with(std::uint64_t n_perm, double level,
                                       std::optional<std::uint64_t> b = std::nullopt) {
    quarn::BootstrapSettings settings;
    settings.n_perm = n_perm;
    settings.level = level;
    settings.b = b;
    return settings;
}

}  // namespace

TEST(saturating_conversion) {
    CHECK_EQ(quarn::saturating_to_u64(kNaN), 0u);
    CHECK_EQ(quarn::saturating_to_u64(-1.0), 0u);
    CHECK_EQ(quarn::saturating_to_u64(-kInf), 0u);
    CHECK_EQ(quarn::saturating_to_u64(-0.0), 0u);
    CHECK_EQ(quarn::saturating_to_u64(3.0), 3u);
    CHECK_EQ(quarn::saturating_to_u64(18446744073709549568.0), 18446744073709549568ULL);
    CHECK_EQ(quarn::saturating_to_u64(18446744073709551616.0), kMax);
    CHECK_EQ(quarn::saturating_to_u64(kInf), kMax);
}

TEST(percentage_and_quantile_level) {
    CHECK_BITS(quarn::percent_from_alpha(0.05), 5.0);
    CHECK_BITS(quarn::percent_from_alpha(5.0), 5.0);
    CHECK_BITS(quarn::percent_from_alpha(1.0), 100.0);
    CHECK(std::isnan(quarn::percent_from_alpha(kNaN)));

    CHECK_BITS(quarn::quantile_level(100.0, 1), 0.0);
    CHECK_BITS(quarn::quantile_level(100.0, 4), 0.75);
    CHECK_BITS(quarn::quantile_level(5.0, 1), 95.0 * 0.01);
    CHECK_BITS(quarn::quantile_level(500.0, 2), 0.0);  // limited below
    CHECK_BITS(quarn::quantile_level(0.0, 3), 1.0);
    CHECK_BITS(quarn::quantile_level(-50.0, 3), 1.0);  // limited above
    CHECK(std::isnan(quarn::quantile_level(kNaN, 3)));
}

TEST(default_block_length_table) {
    using quarn::block_length_for;
    for (std::uint64_t length = 2; length <= 72; length += 2)
        CHECK_EQ(block_length_for(length, {}), 8u);
    for (std::uint64_t length = 74; length <= 90; length += 2)
        CHECK_EQ(block_length_for(length, {}), 9u);
    for (std::uint64_t length = 92; length <= 98; length += 2)
        CHECK_EQ(block_length_for(length, {}), 10u);
    CHECK_EQ(block_length_for(100, {}), 8u);
    CHECK_EQ(block_length_for(614, {}), 8u);
    CHECK_EQ(block_length_for(616, {}), 9u);
    CHECK_EQ(block_length_for(1000, {}), 10u);
    CHECK_EQ(block_length_for(kMax - 1, {}), 2642246u);  // cube root of 2^64, rounded
}

TEST(given_block_length_is_limited_and_raised) {
    using quarn::block_length_for;
    CHECK_EQ(block_length_for(20, 0), 3u);
    CHECK_EQ(block_length_for(20, 1), 3u);
    CHECK_EQ(block_length_for(20, 2), 3u);
    CHECK_EQ(block_length_for(20, 7), 7u);
    CHECK_EQ(block_length_for(20, 21), 20u);
    CHECK_EQ(block_length_for(20, kMax), 20u);
    CHECK_EQ(block_length_for(2, 2), 3u);  // above the reference length: the caller rejects it
}

TEST(taper_window_trapezoid) {
    const auto half = quarn::make_taper_window(8, 0.5);
    CHECK(half.has_value());
    const double third = 1.0 / 3.0;
    const double expected[] = {third, 2 * third, 1, 1, 1, 1, 2 * third, third};
    CHECK_EQ(half->weights.size(), 8u);
    for (std::size_t i = 0; i < 8; ++i) CHECK_BITS(half->weights[i], expected[i]);
    // sqrt(8) / sqrt(S) with S summed in index order; sqrt(36 / 23) itself
    // is one unit in the last place lower.
    CHECK_BITS(half->scale, 1.2510864843424487);
    CHECK(std::fabs(half->scale - std::sqrt(36.0 / 23.0)) <= 4e-16);
    CHECK_EQ(half->block_length, 8u);
    CHECK_BITS(half->taper_ratio, 0.5);

    const auto full = quarn::make_taper_window(8, 1.0);  // ramps meet, no flat middle
    CHECK(full.has_value());
    for (std::size_t j = 0; j < 4; ++j) {
        CHECK_BITS(full->weights[j], static_cast<double>(j + 1) * 0.2);
        CHECK_BITS(full->weights[7 - j], static_cast<double>(j + 1) * 0.2);
    }
}

TEST(taper_window_without_ramp) {
    for (const double ratio : {0.0, -1.0, -kInf, kNaN, 0.2}) {  // 0.2 * 8 * 0.5 floors to 0
        const auto window = quarn::make_taper_window(8, ratio);
        CHECK(window.has_value());
        for (const double weight : window->weights) CHECK_BITS(weight, 1.0);
        CHECK_BITS(window->scale, 1.0);
    }
}

TEST(overlapping_ramps_keep_the_later_write) {
    // Ratio 1.5: m = 6, q = 1/7; the ramp from the right end overwrites the
    // middle of the one from the left.
    const auto window = quarn::make_taper_window(8, 1.5);
    CHECK(window.has_value());
    const double q = 1.0 / 7.0;
    const double expected[] = {1 * q, 2 * q, 6 * q, 5 * q, 5 * q, 6 * q, 2 * q, 1 * q};
    for (std::size_t i = 0; i < 8; ++i) CHECK_BITS(window->weights[i], expected[i]);
    // Ratio 2: the ramp is exactly the block, still accepted.
    const auto widest = quarn::make_taper_window(8, 2.0);
    CHECK(widest.has_value());
    CHECK_BITS(widest->weights[0], 8.0 * (1.0 / 9.0));
    CHECK_BITS(widest->weights[3], 5.0 * (1.0 / 9.0));
}

TEST(taper_ramp_longer_than_the_block_is_rejected) {
    const auto wide = quarn::make_taper_window(8, 2.5);
    CHECK(!wide.has_value());
    CHECK_EQ(wide.error(),
             std::string("taper_ratio too large: taper ramp of 10 exceeds block length 8"));
    const auto infinite = quarn::make_taper_window(8, kInf);
    CHECK(!infinite.has_value());
    CHECK_EQ(infinite.error(), std::string("taper_ratio too large: taper ramp of "
                                           "18446744073709551615 exceeds block length 8"));
    // The same error ends a threshold computation.
    const Position position(noisy_series(20, 1));
    auto settings = settings_with(10, 0.5);
    settings.taper_ratio = 3.0;
    const auto threshold = position.threshold(10, 0, 0, settings);
    CHECK(!threshold.has_value());
    CHECK_EQ(threshold.error(),
             std::string("taper_ratio too large: taper ramp of 12 exceeds block length 8"));
}

TEST(quantile_linear_ranks_and_interpolation) {
    using quarn::quantile_linear;
    CHECK(std::isnan(quantile_linear({}, 0.5)));
    for (const double level : {0.0, 0.3, 1.0, kNaN}) {
        std::vector<double> one{7.5};
        CHECK_BITS(quantile_linear(one, level), 7.5);
    }
    std::vector<double> values{4.0, 1.0, 3.0, 2.0};
    CHECK_BITS(quantile_linear(values, 0.0), 1.0);
    CHECK_BITS(quantile_linear(values, 1.0), 4.0);
    CHECK_BITS(quantile_linear(values, kNaN), 1.0);  // NaN level selects rank 0
    CHECK_BITS(quantile_linear(values, 0.5), 2.5);

    // One fused multiply-add: 0.1 * 0.75 + (0.25 * 0.3) rounded once.
    std::vector<double> pair{0.3, 0.1};
    // Unfused, the result would be 0.15000000000000002.
    CHECK_BITS(quantile_linear(pair, 0.25), 0.15);

    // Total order: -0.0 ranks below +0.0.
    std::vector<double> zeros{0.0, -0.0};
    CHECK_BITS(quantile_linear(zeros, 0.0), -0.0);
    CHECK_BITS(quantile_linear(zeros, 1.0), 0.0);
}

TEST(run_replicates_serial_and_parallel_agree) {
    std::vector<std::atomic<int>> calls(1000);
    const auto replicate = [&](std::uint64_t k) {
        calls[k].fetch_add(1);
        Xoshiro256PlusPlus g = seed_generator(quarn::make_replicate_seed(99, 10, k));
        return static_cast<double>(uniform_below(g, 1u << 20)) * 0.5;
    };
    const auto serial = quarn::run_replicates(63, replicate);
    const auto parallel = quarn::run_replicates(64, replicate);
    CHECK_EQ(serial.size(), 63u);
    CHECK_EQ(parallel.size(), 64u);
    for (std::size_t k = 0; k < 63; ++k) CHECK_BITS(parallel[k], serial[k]);

    for (auto& count : calls) count.store(0);
    std::vector<double> reference;
    for (const int threads : {1, 2, 16}) {
        tbb::task_arena arena(threads);
        std::vector<double> values;
        arena.execute([&] { values = quarn::run_replicates(1000, replicate); });
        if (reference.empty()) reference = values;
        CHECK_EQ(values.size(), 1000u);
        for (std::size_t k = 0; k < values.size(); ++k) CHECK_BITS(values[k], reference[k]);
    }
    for (const auto& count : calls) CHECK_EQ(count.load(), 3);  // every index once per run
    CHECK(quarn::run_replicates(0, replicate).empty());
}

TEST(threshold_reproduces_the_reference_resamples) {
    // Seed 123, w = 10, start 0: block length 8, D = 13, three blocks with the
    // last cut to 4 values. Replicate 0 draws starts 5, 10, 6; replicate 1
    // draws 11, 6, 3.
    const Position position(noisy_series(20, 3));
    const std::uint64_t key = quarn::make_position_key(quarn::make_call_key(123, 10), 0);
    const auto left = quarn::window_moments(position.series, position.prefix, 0, 10, quarn::std_floor);
    const auto right = quarn::window_moments(position.series, position.prefix, 10, 10, quarn::std_floor);
    std::vector<double> reference(20);
    for (std::size_t i = 0; i < 10; ++i) {
        reference[i] = (position.series[i] - left.mean) * (1.0 / left.sd);
        reference[10 + i] = (position.series[10 + i] - right.mean) * (1.0 / right.sd);
    }
    const auto taper = *quarn::make_taper_window(8, 0.5);
    const double pooled = std::sqrt((right.sd * right.sd + left.sd * left.sd) * 0.5);
    const auto replicate = [&](std::initializer_list<std::size_t> starts) {
        std::vector<double> resample;
        for (const std::size_t start : starts) {
            for (std::size_t i = 0; i < 8 && resample.size() < 20; ++i) {
                resample.push_back((reference[start + i] * taper.weights[i]) * taper.scale);
            }
        }
        std::vector<double> a(resample.begin(), resample.begin() + 10);
        std::vector<double> b(resample.begin() + 10, resample.end());
        quarn::total_order_sort(a);
        quarn::total_order_sort(b);
        return quarn::wasserstein_distance(a, b) * pooled;
    };
    const double first = replicate({5, 10, 6});
    const double second = replicate({11, 6, 3});

    const auto one = position.threshold(10, 0, key, settings_with(1, 0.5));
    CHECK(one.has_value());
    CHECK_BITS(*one, first);
    const auto high = position.threshold(10, 0, key, settings_with(2, 1.0));
    CHECK_BITS(*high, std::max(first, second));
    const auto low = position.threshold(10, 0, key, settings_with(2, 0.0));
    CHECK_BITS(*low, std::min(first, second));

    // With 33 replicates the levels j / 32 select rank j exactly, so every
    // replicate value can be checked, with the starts drawn as above.
    std::vector<double> expected;
    for (std::uint64_t k = 0; k < 33; ++k) {
        Xoshiro256PlusPlus g = seed_generator(quarn::make_replicate_seed(key, 10, k));
        const std::size_t a = uniform_below(g, 13);
        const std::size_t b = uniform_below(g, 13);
        const std::size_t c = uniform_below(g, 13);
        expected.push_back(replicate({a, b, c}));
    }
    quarn::total_order_sort(expected);
    for (std::size_t j = 0; j < 33; ++j) {
        const double level = static_cast<double>(j) / 32.0;
        CHECK_BITS(*position.threshold(10, 0, key, settings_with(33, level)), expected[j]);
    }
}

TEST(thresholds_by_ranks_match_resamples_drawn_and_sorted_whole) {
    // Windows walk their resamples by ranks; every replicate
    // must equal the resample drawn block by block and sorted whole. Cases:
    // small windows, blocks that cut the middle and the end,
    // values with many ties (equal keys share a rank), a given block length
    // past the ranked sizes, a handful of replicates (sorted whole), and
    // taper ramps that give the block's offsets one weight, many weights,
    // or overlap (the keys of equal weights are ranked together), the
    // largest windows, and uncentred windows full of -0.0 and +0.0 (equal
    // values of different keys, next to each other in the ranks).
    struct Case {
        std::size_t w;
        std::optional<std::uint64_t> b;
        bool ties;
        std::uint64_t replicates;
        double taper = 0.5;
        bool signed_zeros = false;
        bool near_ties = false;
    };
    for (const Case& c : {Case{5, std::nullopt, false, 33}, Case{10, std::nullopt, true, 33},
                          Case{17, std::nullopt, false, 33}, Case{32, std::nullopt, true, 33},
                          Case{33, std::nullopt, false, 33}, Case{40, std::nullopt, true, 33},
                          Case{65, std::nullopt, false, 33}, Case{100, std::nullopt, true, 33},
                          Case{300, std::nullopt, false, 33}, Case{300, 7, true, 33},
                          Case{128, 100, false, 33}, Case{200, std::nullopt, false, 3},
                          Case{150, std::nullopt, true, 33, 0.0},
                          Case{150, 24, false, 33, 1.0}, Case{150, 30, true, 33, 1.5},
                          Case{625, std::nullopt, false, 33}, Case{1000, std::nullopt, true, 33},
                          Case{64, std::nullopt, true, 33, 0.5, true},
                          Case{400, 12, true, 33, 1.0, true},
                          Case{10, std::nullopt, false, 33, 0.5, false, true},
                          Case{300, std::nullopt, false, 33, 0.5, false, true},
                          Case{600, std::nullopt, false, 33, 0.5, false, true}}) {
        std::vector<double> values = noisy_series(2 * c.w + 50, c.w);
        if (c.ties) {
            for (double& v : values) v = std::round(v * 2.0);
        }
        if (c.near_ties) {
            // Pairs of neighbouring doubles, the larger first: their keys
            // differ only in the lowest bits, in the order opposite to their
            // positions.
            for (std::size_t i = 1; i < values.size(); i += 3) {
                values[i] = std::nextafter(values[i - 1], -kInf);
            }
        }
        if (c.signed_zeros) {
            // Every third value a zero, alternately -0.0 and +0.0.
            for (std::size_t i = 0; i < values.size(); i += 3) values[i] = i % 2 ? -0.0 : 0.0;
        }
        const Position position(values);
        const std::size_t start = 25;
        const std::uint64_t key = quarn::make_position_key(quarn::make_call_key(7, c.w), start);
        const auto left = quarn::window_moments(position.series, position.prefix, start, c.w,
                                                quarn::std_floor);
        const auto right = quarn::window_moments(position.series, position.prefix, start + c.w,
                                                 c.w, quarn::std_floor);
        std::vector<double> reference(2 * c.w);
        for (std::size_t i = 0; i < c.w; ++i) {
            const double x = position.series[start + i];
            const double y = position.series[start + c.w + i];
            reference[i] = c.signed_zeros ? x * (1.0 / left.sd) : (x - left.mean) * (1.0 / left.sd);
            reference[c.w + i] =
                c.signed_zeros ? y * (1.0 / right.sd) : (y - right.mean) * (1.0 / right.sd);
        }
        const std::size_t length = 2 * c.w;
        const std::size_t block = quarn::block_length_for(length, c.b);
        const auto taper = *quarn::make_taper_window(block, c.taper);
        const double pooled = std::sqrt((right.sd * right.sd + left.sd * left.sd) * 0.5);
        std::vector<double> expected;
        for (std::uint64_t k = 0; k < c.replicates; ++k) {
            Xoshiro256PlusPlus g = seed_generator(quarn::make_replicate_seed(key, c.w, k));
            std::vector<double> resample;
            while (resample.size() < length) {
                const std::size_t from = uniform_below(g, length - block + 1);
                for (std::size_t i = 0; i < block && resample.size() < length; ++i) {
                    resample.push_back((reference[from + i] * taper.weights[i]) * taper.scale);
                }
            }
            std::vector<double> a(resample.begin(), resample.begin() + c.w);
            std::vector<double> b(resample.begin() + c.w, resample.end());
            quarn::total_order_sort(a);
            quarn::total_order_sort(b);
            expected.push_back(quarn::wasserstein_distance(a, b) * pooled);
        }
        quarn::total_order_sort(expected);
        const double last = static_cast<double>(c.replicates - 1);
        for (std::size_t j = 0; j < c.replicates; ++j) {
            quarn::BootstrapSettings settings =
                settings_with(c.replicates, static_cast<double>(j) / last, c.b);
            settings.taper_ratio = c.taper;
            settings.center = !c.signed_zeros;
            const auto threshold = position.threshold(c.w, start, key, settings);
            CHECK(threshold.has_value());
            CHECK_BITS(*threshold, expected[j]);
        }
    }
}

TEST(threshold_is_identical_on_any_number_of_threads) {
    const Position position(noisy_series(200, 11));
    const std::uint64_t key = quarn::make_position_key(quarn::make_call_key(123, 50), 50);
    std::optional<double> reference;
    for (const int threads : {1, 2, 16}) {
        tbb::task_arena arena(threads);
        double value = 0.0;
        arena.execute([&] { value = *position.threshold(50, 50, key, settings_with(300, 0.9)); });
        if (!reference) reference = value;
        CHECK_BITS(value, *reference);
    }
}

TEST(scratch_reused_across_thresholds_gives_the_fresh_thresholds) {
    // A sweep reuses one scratch for all its thresholds; the per-thread
    // buffers of the walk by ranks must come back clean from every
    // replicate, whatever the window and the number of ranks before. Windows
    // shrink, grow and repeat, on one thread and on several.
    const Position position(noisy_series(3000, 17));
    const std::size_t sizes[] = {300, 40, 1000, 33, 300, 120, 12, 700};
    for (const int threads : {1, 2}) {
        tbb::task_arena arena(threads);
        arena.execute([&] {
            quarn::BootstrapScratch scratch;
            for (std::size_t i = 0; i < std::size(sizes); ++i) {
                const std::uint64_t w = sizes[i];
                const std::uint64_t start = 37 * i;
                const std::uint64_t key = quarn::make_position_key(quarn::make_call_key(5, w), start);
                const auto settings = settings_with(100, 0.9);
                const auto reused = quarn::block_bootstrap_threshold(
                    position.series, position.prefix, w, start, key, settings, scratch);
                const auto fresh = position.threshold(w, start, key, settings);
                CHECK(reused.has_value() && fresh.has_value());
                CHECK_BITS(*reused, *fresh);
            }
        });
    }
}

TEST(single_block_start_makes_the_threshold_seed_free) {
    // w = 4: L = 8 = block length, so every block starts at 0.
    const Position position(noisy_series(8, 13));
    const double a = *position.threshold(
        4, 0, quarn::make_position_key(quarn::make_call_key(1, 4), 0), settings_with(50, 0.5));
    const double b = *position.threshold(
        4, 0, quarn::make_position_key(quarn::make_call_key(2, 4), 0), settings_with(50, 0.5));
    CHECK(a > 0.0);
    CHECK_BITS(a, b);
}

TEST(constant_windows_give_a_zero_threshold) {
    std::vector<double> values(10, 5.0);
    values.resize(20, 9.0);
    const Position position(values);
    const auto threshold = position.threshold(10, 0, 42, settings_with(100, 1.0));
    CHECK_BITS(*threshold, 0.0);
    // No replicates: no quantile.
    CHECK(std::isnan(*position.threshold(10, 0, 42, settings_with(0, 1.0))));
}

TEST(reference_shorter_than_block_length) {
    const Position position(noisy_series(6, 17));
    const auto absent = position.threshold(3, 0, 0, settings_with(10, 0.5));
    CHECK(!absent.has_value());
    CHECK_EQ(absent.error(), std::string("reference series is shorter than block length"));
    const auto given = position.threshold(3, 0, 0, settings_with(10, 0.5, 2));
    CHECK(given.has_value());
    CHECK(std::isfinite(*given));
}

TEST(scratch_recomputes_the_taper_window_when_its_inputs_change) {
    const Position position(noisy_series(60, 19));
    quarn::BootstrapScratch shared;
    for (const std::uint64_t b : {4u, 6u, 6u, 4u}) {
        for (const double ratio : {0.5, 1.0}) {
            auto settings = settings_with(20, 0.75, b);
            settings.taper_ratio = ratio;
            const auto reused = quarn::block_bootstrap_threshold(position.series, position.prefix,
                                                                 10, 20, 77, settings, shared);
            CHECK_BITS(*reused, *position.threshold(10, 20, 77, settings));
            CHECK_EQ(shared.taper->block_length, b);
            CHECK_BITS(shared.taper->taper_ratio, ratio);
        }
    }
}

TEST(quantile_of_sorted_keys_reads_the_ranks_the_selection_finds) {
    // Ties, both zeros, infinities and a NaN, at levels on and between ranks.
    std::vector<double> values = noisy_series(97, 23);
    values.insert(values.end(), {0.0, -0.0, 0.0, kInf, -kInf, kNaN, 1.5, 1.5, 1.5});
    for (const std::size_t count : {std::size_t{1}, std::size_t{2}, std::size_t{7}, values.size()}) {
        std::vector<quarn::OrderKey> keys(count);
        std::transform(values.begin(), values.begin() + static_cast<std::ptrdiff_t>(count),
                       keys.begin(), quarn::total_order_key);
        std::vector<quarn::OrderKey> sorted = keys;
        std::sort(sorted.begin(), sorted.end());
        for (const double level : {0.0, 0.01, 0.5, 0.93, 0.999, 1.0, kNaN}) {
            std::vector<quarn::OrderKey> selected = keys;
            CHECK_BITS(quarn::quantile_of_sorted_keys(sorted, level),
                       quarn::quantile_of_keys(selected, level));
        }
    }
    CHECK(std::isnan(quarn::quantile_of_sorted_keys({}, 0.5)));
}

TEST(threshold_drawn_in_rounds_gives_the_bits_of_one_draw) {
    // Rounds that stay below, reach and pass the counts whose keys are
    // sorted whole and kept sorted between rounds, rounds that start from
    // keys selected from, at high and middle levels, and a round that draws
    // nothing; each round's threshold is that of one call drawing as many
    // replicates.
    const Position position(noisy_series(400, 29));
    const std::uint64_t w = 40;
    const std::uint64_t key = quarn::make_position_key(quarn::make_call_key(7, w), 120);
    const std::vector<std::vector<std::uint64_t>> plans = {
        {64, 128, 300}, {100, 100, 1024}, {256, 257}, {300, 600}, {700, 1024, 1100, 1500},
        {1100, 1200}, {5, 6, 7, 64}};
    for (const double level : {0.995, 0.5}) {
        for (const auto& plan : plans) {
            quarn::BootstrapScratch scratch;
            std::uint64_t drawn = 0;
            for (const std::uint64_t upto : plan) {
                auto settings = settings_with(upto, level);
                settings.first_replicate = drawn;
                if (drawn == 0) {
                    CHECK(quarn::prepare_replicates(position.series, position.prefix, w, 120, key,
                                                    settings, scratch)
                              .has_value());
                }
                const auto rounds = quarn::prepared_threshold(settings, scratch);
                const auto whole = position.threshold(w, 120, key, settings_with(upto, level));
                CHECK(rounds.has_value() && whole.has_value());
                CHECK_BITS(*rounds, *whole);
                drawn = upto;
            }
        }
    }
}
