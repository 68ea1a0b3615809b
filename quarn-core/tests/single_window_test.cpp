#include "quarn/single_window.hpp"

#include <oneapi/tbb/task_arena.h>

#include <atomic>
#include <cmath>
#include <cstdint>
#include <initializer_list>
#include <limits>
#include <optional>
#include <span>
#include <string>
#include <utility>
#include <vector>

#include "check.hpp"
#include "quarn/bootstrap.hpp"
#include "quarn/refine.hpp"

using quarn::ChangeType;
using quarn::DetectorSettings;
using quarn::WindowResult;
using Region = std::pair<std::uint64_t, std::uint64_t>;

namespace {

quarn::Result<WindowResult> detect(const std::vector<double>& series, std::uint64_t w,
                                   const DetectorSettings& settings = {}) {
    const auto prefix = quarn::PrefixSums::build(series);
    return quarn::detect_single_window(series, prefix, w, settings);
}

// Windows of `w` values, window i holding `levels[i]` throughout.
std::vector<double> steps(std::initializer_list<double> levels, std::size_t w) {
    std::vector<double> values;
    for (const double level : levels) values.insert(values.end(), w, level);
    return values;
}

std::vector<double> noisy_series(std::size_t n, std::uint64_t state) {
    std::vector<double> values(n);
    for (double& value : values) {
        state = state * 6364136223846793005ULL + 1442695040888963407ULL;
        value = static_cast<double>(state >> 11) * 0x1.0p-53 * 2.0 - 1.0;
    }
    return values;
}

bool empty_result(const WindowResult& result) {
    return result.change_points.empty() && result.starts.empty() && result.statistics.empty() &&
           result.tapered_block_bootstrap_threshold.empty() && result.localized_regions.empty();
}

void check_same(const WindowResult& a, const WindowResult& b) {
    CHECK(a.change_points == b.change_points);
    CHECK(a.starts == b.starts);
    CHECK(a.localized_regions == b.localized_regions);
    CHECK_EQ(a.statistics.size(), b.statistics.size());
    CHECK_EQ(a.tapered_block_bootstrap_threshold.size(),
             b.tapered_block_bootstrap_threshold.size());
    for (std::size_t i = 0; i < a.statistics.size() && i < b.statistics.size(); ++i) {
        CHECK_BITS(a.statistics[i], b.statistics[i]);
        CHECK_BITS(a.tapered_block_bootstrap_threshold[i], b.tapered_block_bootstrap_threshold[i]);
    }
}

}  // namespace

TEST(position_grid) {
    using quarn::position_count;
    CHECK_EQ(position_count(10, 5), 1u);
    CHECK_EQ(position_count(11, 5), 1u);
    CHECK_EQ(position_count(9, 5), 0u);
    CHECK_EQ(position_count(4, 5), 0u);
    CHECK_EQ(position_count(12, 3), 3u);
    CHECK_EQ(position_count(12, 0), 0u);
    // Huge windows: no product or doubling of w may wrap around.
    const std::uint64_t half = std::uint64_t{1} << 63;
    CHECK_EQ(position_count(20, half), 0u);
    CHECK_EQ(position_count(std::numeric_limits<std::size_t>::max(), half), 0u);
    CHECK_EQ(position_count(std::numeric_limits<std::size_t>::max(), half / 2), 2u);
    CHECK_EQ(position_count(std::numeric_limits<std::size_t>::max(), half + 1), 0u);
}

TEST(window_statistic_compares_adjacent_windows) {
    const std::vector<double> series{0, 0, 0, 1, 1, 1, 3, 1, 2, 2, 1, 3};
    CHECK_BITS(quarn::window_statistic(series, 0, 3), 1.0);
    CHECK_BITS(quarn::window_statistic(series, 2, 3), 0.0);  // same values, other order
    CHECK_BITS(quarn::window_statistic(series, 1, 3), 1.0);  // {1,1,1} against {1,2,3}
    // Window size 2: position 3 is {3,1} against {2,2}.
    CHECK_BITS(quarn::window_statistic(series, 3, 2), 1.0);
}

TEST(step_example_for_every_change_type) {
    const std::vector<double> series = steps({0.0, 0.0, 10.0, 10.0}, 5);
    for (const ChangeType type : {ChangeType::mean, ChangeType::var, ChangeType::distribution}) {
        for (const std::uint64_t seed : {123ULL, 0ULL, 987654321ULL}) {
            DetectorSettings settings;
            settings.change_type = type;
            settings.seed = seed;
            const auto result = detect(series, 5, settings);
            CHECK(result.has_value());
            CHECK_EQ(result->window_size, 5u);
            CHECK((result->change_points == std::vector<std::uint64_t>{10}));
            CHECK((result->starts == std::vector<std::uint64_t>{0, 5, 10}));
            CHECK_EQ(result->statistics.size(), 3u);
            CHECK_BITS(result->statistics[0], 0.0);
            CHECK_BITS(result->statistics[1], 10.0);
            CHECK_BITS(result->statistics[2], 0.0);
            CHECK_EQ(result->tapered_block_bootstrap_threshold.size(), 3u);
            for (const double threshold : result->tapered_block_bootstrap_threshold) {
                CHECK_BITS(threshold, 0.0);
            }
            CHECK((result->localized_regions == std::vector<Region>{{5, 15}}));
        }
    }
}

TEST(runs_of_three_significant_positions_give_overlapping_regions) {
    // Constant windows make every fresh threshold 0, so exactly the
    // positions whose two windows differ are significant: 2, 3 and 4.
    const std::vector<double> series = steps({0, 0, 0, 10, 20, 30, 30}, 10);
    const auto result = detect(series, 10);
    CHECK(result.has_value());
    CHECK_EQ(result->starts.size(), 6u);
    CHECK((result->localized_regions == std::vector<Region>{{20, 50}, {40, 60}}));
    CHECK((result->change_points == std::vector<std::uint64_t>{30, 50}));
}

TEST(threshold_is_carried_until_a_detection) {
    // Noise with one large jump: the threshold is recomputed at position 0
    // and right after each significant position, and carried otherwise.
    std::vector<double> series = noisy_series(300, 21);
    for (std::size_t i = 150; i < 300; ++i) series[i] += 20.0;
    DetectorSettings settings;
    settings.n_perm = 99;
    const auto result = detect(series, 15, settings);
    CHECK(result.has_value());
    const auto prefix = quarn::PrefixSums::build(series);
    const auto& thresholds = result->tapered_block_bootstrap_threshold;
    const std::uint64_t positions = result->starts.size();
    CHECK_EQ(positions, 19u);
    quarn::BootstrapSettings bootstrap;
    bootstrap.n_perm = settings.n_perm;
    bootstrap.level = quarn::quantile_level(settings.percent, positions);
    const std::uint64_t call_key = quarn::make_call_key(settings.seed, 15);
    std::size_t recomputed = 0;
    for (std::uint64_t v = 0; v < positions; ++v) {
        const bool after_detection = v > 0 && result->statistics[v - 1] > thresholds[v - 1];
        if (v == 0 || after_detection) {
            quarn::BootstrapScratch scratch;
            const auto fresh = quarn::block_bootstrap_threshold(
                series, prefix, 15, v * 15, quarn::make_position_key(call_key, v * 15), bootstrap,
                scratch);
            CHECK_BITS(thresholds[v], *fresh);
            ++recomputed;
        } else {
            CHECK_BITS(thresholds[v], thresholds[v - 1]);
        }
    }
    CHECK(recomputed >= 2);  // the jump at 150 was detected
    CHECK_EQ(result->change_points.size(), result->localized_regions.size());
    for (std::size_t r = 0; r < result->change_points.size(); ++r) {
        CHECK(result->change_points[r] > result->localized_regions[r].first);
        CHECK(result->change_points[r] < result->localized_regions[r].second);
    }
}

TEST(many_regions_are_placed_in_region_order_on_any_pool) {
    // Alternating constant windows: all 20 positions are significant and
    // pair up into 10 regions, enough for the parallel path.
    std::vector<double> series;
    for (int i = 0; i < 21; ++i) series.insert(series.end(), 6, (i % 2 == 0) ? i : -i * 0.5);
    for (const ChangeType type : {ChangeType::mean, ChangeType::distribution}) {
        DetectorSettings settings;
        settings.change_type = type;
        std::optional<WindowResult> reference;
        for (const int threads : {1, 2, 16}) {
            tbb::task_arena arena(threads);
            quarn::Result<WindowResult> result;
            arena.execute([&] { result = detect(series, 6, settings); });
            CHECK(result.has_value());
            CHECK_EQ(result->localized_regions.size(), 10u);
            CHECK_EQ(result->change_points.size(), 10u);
            for (std::size_t r = 0; r < result->localized_regions.size(); ++r) {
                const auto [start, end] = result->localized_regions[r];
                CHECK_EQ(start, r * 12);
                CHECK_EQ(end, r * 12 + 18);
                const std::span<const double> region(series.data() + start, end - start);
                CHECK_EQ(result->change_points[r], start + *quarn::best_split(region, type));
            }
            if (!reference) reference = *result;
            check_same(*result, *reference);
        }
    }
}

TEST(short_windows_fail_only_when_a_threshold_is_computed) {
    const auto six = detect(noisy_series(6, 1), 3);
    CHECK(!six.has_value());
    CHECK_EQ(six.error(), std::string("reference series is shorter than block length"));
    const auto five = detect(noisy_series(5, 1), 3);
    CHECK(five.has_value());
    CHECK(empty_result(*five));
    CHECK_EQ(five->window_size, 3u);
    DetectorSettings given;
    given.b = 2;
    CHECK(detect(noisy_series(6, 1), 3, given).has_value());
    DetectorSettings single;
    single.b = 5;
    CHECK(!detect(noisy_series(6, 1), 1, single).has_value());
}

TEST(windows_larger_than_half_the_series_give_empty_results) {
    const std::vector<double> series = noisy_series(10, 2);
    CHECK(empty_result(*detect(series, 6)));
    CHECK(empty_result(*detect(series, 11)));
    CHECK_EQ(detect(series, 5)->starts.size(), 1u);
    DetectorSettings broken;  // arguments are not looked at without positions
    broken.taper_ratio = 100.0;
    const std::uint64_t huge = std::uint64_t{1} << 63;
    const auto result = detect(series, huge, broken);
    CHECK(result.has_value());
    CHECK(empty_result(*result));
    CHECK_EQ(result->window_size, huge);
}

TEST(no_replicates_means_nothing_is_detected) {
    DetectorSettings settings;
    settings.n_perm = 0;
    const auto result = detect(steps({0, 0, 10, 10}, 5), 5, settings);
    CHECK(result.has_value());
    CHECK_EQ(result->statistics.size(), 3u);
    CHECK_BITS(result->statistics[1], 10.0);
    for (const double threshold : result->tapered_block_bootstrap_threshold) {
        CHECK(std::isnan(threshold));
    }
    CHECK(result->change_points.empty());
    CHECK(result->localized_regions.empty());
}

TEST(overflowing_values_finish_with_nan_thresholds) {
    const auto result = detect(std::vector<double>(20, 1e308), 5);
    CHECK(result.has_value());
    CHECK_EQ(result->starts.size(), 3u);
    for (const double stat : result->statistics) CHECK_BITS(stat, 0.0);
    for (const double threshold : result->tapered_block_bootstrap_threshold) {
        CHECK(std::isnan(threshold));
    }
    CHECK(result->change_points.empty());
}

TEST(bootstrap_errors_end_the_sweep) {
    DetectorSettings settings;
    settings.taper_ratio = 2.5;
    const auto result = detect(noisy_series(40, 9), 10, settings);
    CHECK(!result.has_value());
    CHECK_EQ(result.error(),
             std::string("taper_ratio too large: taper ramp of 10 exceeds block length 8"));
}

TEST(window_statistics_are_the_sweeps_own_at_every_length) {
    // Odd lengths leave a partial window at the end; windows of more than
    // half the series give no position at all.
    for (const std::size_t n : {std::size_t{7}, std::size_t{10}, std::size_t{11},
                                std::size_t{257}, std::size_t{1001}}) {
        const std::vector<double> series = noisy_series(n, 40 + n);
        for (const std::uint64_t w : {2ULL, 3ULL, 5ULL, 64ULL, 501ULL}) {
            const std::vector<double> all = quarn::window_statistics(series, w);
            CHECK_EQ(all.size(), quarn::position_count(n, w));
            // Blocks of one value: the shortest windows sweep too.
            DetectorSettings settings;
            settings.n_perm = 19;
            settings.b = 1;
            const auto swept = detect(series, w, settings);
            CHECK(swept.has_value());
            if (!swept) continue;
            CHECK_EQ(swept->statistics.size(), all.size());
            for (std::size_t v = 0; v < all.size() && v < swept->statistics.size(); ++v) {
                CHECK_BITS(all[v], swept->statistics[v]);
                CHECK_BITS(all[v], quarn::window_statistic(series, v, w));
            }
        }
    }
}

TEST(window_statistics_of_a_standardised_view_are_those_of_the_copy) {
    const std::vector<double> series = noisy_series(999, 77);
    quarn::Standardisation standardisation;
    standardisation.centre = 0.125;
    standardisation.unit = 0.25;
    std::vector<double> copy(series.size());
    for (std::size_t t = 0; t < series.size(); ++t) copy[t] = standardisation(series[t]);
    for (const std::uint64_t w : {4ULL, 33ULL}) {
        const auto viewed = quarn::window_statistics(quarn::SeriesView(series, standardisation), w);
        const auto copied = quarn::window_statistics(copy, w);
        CHECK_EQ(viewed.size(), copied.size());
        for (std::size_t v = 0; v < viewed.size() && v < copied.size(); ++v) {
            CHECK_BITS(viewed[v], copied[v]);
        }
    }
}

TEST(window_statistics_stop_short_when_asked) {
    const std::vector<double> series = noisy_series(5000, 3);
    quarn::RunControl control;
    control.request_stop();
    CHECK(quarn::window_statistics(series, 5, &control).size() < quarn::position_count(5000, 5));
}

TEST(a_sweep_that_frees_its_statistics_finds_the_same) {
    // With and without the replicates drawn in rounds (which read the
    // statistics before the thresholds); a jump to find, and odd lengths.
    std::vector<double> series = noisy_series(1203, 9);
    for (std::size_t i = 600; i < series.size(); ++i) series[i] += 4.0;
    for (const std::uint64_t round : {0ULL, 16ULL}) {
        for (const std::uint64_t w : {7ULL, 40ULL}) {
            DetectorSettings settings;
            settings.n_perm = 99;
            settings.sequential.round = round;
            settings.sequential.z = 1.96;
            const auto kept = detect(series, w, settings);
            settings.keep_statistics = false;
            const auto freed = detect(series, w, settings);
            CHECK(kept.has_value() && freed.has_value());
            if (!kept || !freed) continue;
            CHECK(freed->statistics.empty());
            CHECK(!kept->change_points.empty());
            CHECK(kept->change_points == freed->change_points);
            CHECK(kept->localized_regions == freed->localized_regions);
            CHECK(kept->tapered_block_bootstrap_threshold ==
                  freed->tapered_block_bootstrap_threshold);
            const auto again = quarn::window_statistics(series, w);
            CHECK_EQ(again.size(), kept->statistics.size());
            for (std::size_t v = 0; v < again.size() && v < kept->statistics.size(); ++v) {
                CHECK_BITS(again[v], kept->statistics[v]);
            }
        }
    }
}

TEST(a_sweep_finds_the_same_whether_or_not_other_threads_are_free) {
    // Level steps of 3 every 30 values: many thresholds drawn after
    // detections, and more than 8 regions, so that both nested loops (the
    // replicates of a threshold, the regions' change points) are spread or
    // kept on the sweep's thread as the flag says; drawn all at once and in
    // rounds.
    std::vector<double> series = noisy_series(1200, 21);
    for (std::size_t i = 0; i < series.size(); ++i) series[i] += (i / 30) % 2 == 1 ? 3.0 : 0.0;
    for (const std::uint64_t round : {0ULL, 64ULL}) {
        for (const std::uint64_t w : {10ULL, 15ULL}) {
            DetectorSettings settings;
            settings.n_perm = 150;
            settings.sequential.round = round;
            settings.sequential.z = 1.96;
            settings.sequential.tail_risk = round != 0 ? 1e-3 : 0.0;
            tbb::task_arena arena(4);
            quarn::Result<WindowResult> reference;
            arena.execute([&] { reference = detect(series, w, settings); });
            CHECK(reference.has_value());
            if (!reference) continue;
            CHECK(reference->localized_regions.size() >= 8);
            for (const bool spare : {false, true}) {
                const std::atomic<bool> flag{spare};
                settings.spare_threads = &flag;
                quarn::Result<WindowResult> result;
                arena.execute([&] { result = detect(series, w, settings); });
                CHECK(result.has_value());
                if (result) check_same(*result, *reference);
            }
        }
    }
}
