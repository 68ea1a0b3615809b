#include "quarn/multi_window.hpp"

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdint>
#include <limits>
#include <string>
#include <thread>
#include <vector>

#include "check.hpp"

using quarn::DetectorOutput;
using quarn::MultiWindowArguments;
using quarn::SingleWindowArguments;
using quarn::WindowResult;

namespace {

const std::string kNotFinite =
    "series contains NaN or infinite values; clean/impute before calling quarn";
const std::string kBlock = "reference series is shorter than block length";

// Unit noise with a level shift of 3 every 100 values.
std::vector<double> shifting_series(std::size_t n, std::uint64_t state = 5) {
    std::vector<double> values(n);
    for (std::size_t i = 0; i < n; ++i) {
        state = state * 6364136223846793005ULL + 1442695040888963407ULL;
        const double noise = static_cast<double>(state >> 11) * 0x1.0p-53 * 2.0 - 1.0;
        values[i] = noise + ((i / 100) % 2 == 1 ? 3.0 : 0.0);
    }
    return values;
}

bool same_window(const WindowResult& a, const WindowResult& b) {
    if (a.change_points != b.change_points || a.starts != b.starts ||
        a.localized_regions != b.localized_regions || a.statistics.size() != b.statistics.size() ||
        a.tapered_block_bootstrap_threshold.size() != b.tapered_block_bootstrap_threshold.size()) {
        return false;
    }
    for (std::size_t i = 0; i < a.statistics.size(); ++i) {
        if (!check::same_bits(a.statistics[i], b.statistics[i]) ||
            !check::same_bits(a.tapered_block_bootstrap_threshold[i],
                              b.tapered_block_bootstrap_threshold[i])) {
            return false;
        }
    }
    return true;
}

bool same_output(const DetectorOutput& a, const DetectorOutput& b) {
    if (a.window_change_points != b.window_change_points) return false;
    if (a.window_results.size() != b.window_results.size()) return false;
    for (const auto& [size, result] : a.window_results) {
        const auto other = b.window_results.find(size);
        if (other == b.window_results.end() || !same_window(result, other->second)) return false;
    }
    return a.consensus.leaders_segment_votes == b.consensus.leaders_segment_votes &&
           a.consensus.leaders_scores == b.consensus.leaders_scores &&
           a.consensus.leaders_probs == b.consensus.leaders_probs &&
           a.consensus.cdf == b.consensus.cdf;
}

std::string multi_error(MultiWindowArguments arguments) {
    const auto output = quarn::detect_multi_window(arguments);
    return output ? std::string("ok") : output.error().message;
}

}  // namespace

TEST(default_window_sizes_run_ten_to_twenty) {
    const std::vector<double> series = shifting_series(400);
    MultiWindowArguments arguments;
    arguments.series = series;
    const auto output = quarn::detect_multi_window(arguments);
    CHECK(output.has_value());
    std::vector<std::uint64_t> sizes;
    for (const auto& [size, points] : output->window_change_points) sizes.push_back(size);
    CHECK(sizes == quarn::default_window_sizes());
    CHECK_EQ(quarn::default_window_sizes().front(), std::uint64_t{10});
    CHECK_EQ(quarn::default_window_sizes().back(), std::uint64_t{20});
    CHECK(!output->consensus.leaders_scores.empty());
}

// Without the consensus the windows' results are the same and the maps stay
// empty; a bad setting is still refused.
TEST(windows_without_consensus) {
    const std::vector<double> series = shifting_series(400);
    MultiWindowArguments arguments;
    arguments.series = series;
    const auto full = quarn::detect_multi_window(arguments);
    arguments.with_consensus = false;
    const auto bare = quarn::detect_multi_window(arguments);
    CHECK(full.has_value() && bare.has_value());
    CHECK(!full->consensus.leaders_scores.empty());
    DetectorOutput expected = *full;
    expected.consensus = quarn::Consensus{};
    CHECK(same_output(*bare, expected));
    CHECK(bare->consensus.leaders_segment_votes.empty() && bare->consensus.cdf.empty());
    arguments.alpha_q = -1.0;
    CHECK_EQ(multi_error(arguments), std::string("alpha_q must be finite and not negative, got -1"));
}

TEST(checks_come_in_order) {
    const std::vector<double> two{1.0, std::nan("")};
    const std::vector<double> with_nan{1.0, 2.0, std::nan(""), 4.0};
    const std::vector<double> good = shifting_series(50);
    MultiWindowArguments arguments;
    arguments.series = two;
    arguments.window_sizes = std::vector<std::uint64_t>{};
    CHECK_EQ(multi_error(arguments), std::string("series must contain at least 3 values"));
    arguments.series = with_nan;
    arguments.backend = "threads";
    CHECK_EQ(multi_error(arguments), kNotFinite);
    arguments.series = good;
    CHECK_EQ(multi_error(arguments), std::string("window_sizes must not be empty"));
    arguments.window_sizes = std::vector<std::uint64_t>{10, 0, 20};
    CHECK_EQ(multi_error(arguments), std::string("window_sizes must be positive, got 0"));
    arguments.window_sizes.reset();
    CHECK(multi_error(arguments).starts_with("backend must be 'thread' or 'process'. "));
    arguments.backend = "PROCESS";
    arguments.change_type = "median";
    CHECK_EQ(multi_error(arguments),
             std::string("change_type must be one of {'mean', 'var', 'distribution'}, got "
                         "\"median\""));
    arguments.change_type = "Var";
    CHECK_EQ(multi_error(arguments), std::string("ok"));
}

TEST(meaningless_settings_are_refused_after_every_other_check) {
    const std::vector<double> good = shifting_series(100);
    const double nan = std::nan(""), inf = std::numeric_limits<double>::infinity();
    MultiWindowArguments arguments;
    arguments.series = good;
    arguments.window_sizes = std::vector<std::uint64_t>{10, 20};
    arguments.n_perm = 20;
    SingleWindowArguments single;
    single.series = good;
    single.window_size = 10;
    single.n_perm = 20;
    const auto single_error = [&] {
        const auto output = quarn::run_single_window(single);
        return output ? std::string("ok") : output.error().message;
    };
    for (const double alpha_q : {nan, -1.0, -inf, inf}) {
        arguments.alpha_q = single.alpha_q = alpha_q;
        const std::string text = std::isnan(alpha_q) ? "nan" : alpha_q == -1.0 ? "-1"
                                                               : alpha_q < 0   ? "-inf"
                                                                               : "inf";
        const std::string expected = "alpha_q must be finite and not negative, got " + text;
        CHECK_EQ(multi_error(arguments), expected);
        CHECK_EQ(single_error(), expected);
    }
    arguments.alpha_q = single.alpha_q = 0.0;  // every position's largest replicate
    CHECK_EQ(multi_error(arguments), std::string("ok"));
    CHECK_EQ(single_error(), std::string("ok"));
    for (const double taper_ratio : {nan, -5.0}) {
        arguments.taper_ratio = single.taper_ratio = taper_ratio;
        const std::string expected = std::string("taper_ratio must be finite and not negative, got ") +
                                     (std::isnan(taper_ratio) ? "nan" : "-5");
        CHECK_EQ(multi_error(arguments), expected);
        CHECK_EQ(single_error(), expected);
    }
    // The earlier checks, and the windows' own failures, keep their messages.
    arguments.alpha_q = nan;
    arguments.backend = "fork";
    CHECK(multi_error(arguments).starts_with("backend must be"));
    arguments.backend = "thread";
    arguments.window_sizes = std::vector<std::uint64_t>{3};
    CHECK_EQ(multi_error(arguments), kBlock);
    arguments.window_sizes = std::vector<std::uint64_t>{10};
    arguments.taper_ratio = inf;
    arguments.alpha_q = 1.0;
    CHECK(multi_error(arguments).starts_with("taper_ratio too large"));
    arguments.taper_ratio = 0.0;
    CHECK_EQ(multi_error(arguments), std::string("ok"));
}

TEST(errors_point_at_the_bad_value_and_the_failing_window) {
    std::vector<double> series = shifting_series(100);
    series[42] = std::numeric_limits<double>::infinity();
    series[70] = std::nan("");
    MultiWindowArguments arguments;
    arguments.series = series;
    const auto not_finite = quarn::detect_multi_window(arguments);
    CHECK(!not_finite.has_value());
    CHECK_EQ(not_finite.error().message, kNotFinite);
    CHECK(not_finite.error().non_finite_index == std::optional<std::uint64_t>(42));
    CHECK(not_finite.error().kind == quarn::ErrorKind::invalid_series);

    // Window size 3 cannot hold a block of the automatic length; the first
    // failing entry in list order is reported, after every window has run.
    const std::vector<double> clean = shifting_series(100);
    arguments.series = clean;
    arguments.window_sizes = std::vector<std::uint64_t>{10, 3, 2};
    const auto blocked = quarn::detect_multi_window(arguments);
    CHECK(!blocked.has_value());
    CHECK_EQ(blocked.error().message, kBlock);
    CHECK(blocked.error().kind == quarn::ErrorKind::window_too_small);
    CHECK(blocked.error().window_size == std::optional<std::uint64_t>(3));
    CHECK(!blocked.error().non_finite_index.has_value());

    SingleWindowArguments single;
    single.series = series;
    single.window_size = 0;
    const auto single_not_finite = quarn::run_single_window(single);
    CHECK(single_not_finite.error().non_finite_index == std::optional<std::uint64_t>(42));
    single.series = clean;
    single.change_type = "median";
    CHECK_EQ(quarn::run_single_window(single).error().message,
             std::string("window_size must be positive"));
    single.window_size = 3;
    single.change_type = "mean";
    const auto single_blocked = quarn::run_single_window(single);
    CHECK_EQ(single_blocked.error().message, kBlock);
    CHECK(single_blocked.error().kind == quarn::ErrorKind::window_too_small);
    CHECK(single_blocked.error().window_size == std::optional<std::uint64_t>(3));
}

TEST(every_window_equals_its_single_window_run) {
    const std::vector<double> series = shifting_series(600);
    MultiWindowArguments arguments;
    arguments.series = series;
    arguments.window_sizes = std::vector<std::uint64_t>{20, 8, 20, 400};
    arguments.n_perm = 80;
    arguments.alpha_q = 0.05;
    const auto output = quarn::detect_multi_window(arguments);
    CHECK(output.has_value());
    CHECK_EQ(output->window_results.size(), std::size_t{3});  // 20 counted once
    for (const auto& [size, result] : output->window_results) {
        SingleWindowArguments single;
        single.series = series;
        single.window_size = size;
        single.n_perm = 80;
        single.alpha_q = 0.05;
        const auto alone = quarn::run_single_window(single);
        CHECK(alone.has_value());
        CHECK(same_window(result, *alone));
        CHECK(output->window_change_points.at(size) == result.change_points);
    }
    CHECK(output->window_results.at(400).starts.empty());
}

TEST(results_do_not_depend_on_the_pool) {
    const std::vector<double> series = shifting_series(1500);
    MultiWindowArguments arguments;
    arguments.series = series;
    arguments.n_perm = 70;  // parallel replicates
    const auto reference = quarn::detect_multi_window(arguments);
    CHECK(reference.has_value());
    for (const std::uint64_t workers : {0, 1, 2, 7}) {
        arguments.workers = workers;
        const auto output = quarn::detect_multi_window(arguments);
        CHECK(output.has_value());
        CHECK(same_output(*output, *reference));
    }
}

TEST(window_tasks_start_from_both_ends_of_the_sizes) {
    using Order = std::vector<std::size_t>;
    const std::vector<std::uint64_t> none;
    CHECK(quarn::window_task_order(none).empty());
    const std::vector<std::uint64_t> one{7};
    CHECK(quarn::window_task_order(one) == Order{0});
    // Sizes as given, not sorted: 10 is smallest, 250 largest.
    const std::vector<std::uint64_t> sizes{40, 10, 250, 25, 90, 13};
    CHECK(quarn::window_task_order(sizes) == (Order{2, 1, 4, 5, 0, 3}));
    // Every index once, equal sizes included.
    const std::vector<std::uint64_t> repeated{20, 8, 20, 400, 8};
    Order order = quarn::window_task_order(repeated);
    CHECK_EQ(order.size(), repeated.size());
    CHECK_EQ(repeated[order.front()], std::uint64_t{400});
    CHECK_EQ(repeated[order[1]], std::uint64_t{8});
    std::sort(order.begin(), order.end());
    CHECK(order == (Order{0, 1, 2, 3, 4}));
}

// The sizes run out of input order and across threads; each one's result
// must still be the one its own run gives.
TEST(unordered_sizes_on_any_pool_equal_their_single_window_runs) {
    const std::vector<double> series = shifting_series(3000);
    const std::vector<std::uint64_t> sizes{40, 10, 250, 25, 90, 13, 17};
    std::vector<WindowResult> alone;
    for (const std::uint64_t size : sizes) {
        SingleWindowArguments single;
        single.series = series;
        single.window_size = size;
        single.n_perm = 70;  // parallel replicates
        const auto result = quarn::run_single_window(single);
        CHECK(result.has_value());
        if (result) alone.push_back(*result);
    }
    MultiWindowArguments arguments;
    arguments.series = series;
    arguments.window_sizes = sizes;
    arguments.n_perm = 70;
    for (const std::uint64_t workers : {0, 1, 2, 3, 8}) {
        arguments.workers = workers;
        const auto output = quarn::detect_multi_window(arguments);
        CHECK(output.has_value());
        if (!output || alone.size() != sizes.size()) continue;
        for (std::size_t i = 0; i < sizes.size(); ++i) {
            CHECK(same_window(output->window_results.at(sizes[i]), alone[i]));
        }
    }
}

TEST(progress_counts_every_position) {
    const std::vector<double> series = shifting_series(2000);
    const std::vector<std::uint64_t> sizes{10, 13, 700, 5000};
    quarn::RunControl control;
    MultiWindowArguments arguments;
    arguments.series = series;
    arguments.window_sizes = sizes;
    arguments.n_perm = 20;
    arguments.control = &control;
    CHECK(quarn::detect_multi_window(arguments).has_value());
    CHECK_EQ(quarn::sweep_positions(series.size(), sizes), std::uint64_t{199 + 152 + 1 + 0});
    CHECK_EQ(control.progress(), quarn::sweep_positions(series.size(), sizes));
}

TEST(a_stop_request_ends_the_run) {
    const std::vector<double> series = shifting_series(1000000);
    // Asked before the start: every window stops at once.
    quarn::RunControl stopped;
    stopped.request_stop();
    MultiWindowArguments arguments;
    arguments.series = series;
    arguments.control = &stopped;
    const auto early = quarn::detect_multi_window(arguments);
    CHECK(!early.has_value());
    CHECK_EQ(early.error().message, std::string(quarn::stopped_message));

    // Asked while the run goes on: it ends long before a full run would.
    quarn::RunControl control;
    arguments.control = &control;
    arguments.workers = 2;
    std::thread stopper([&] {
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
        control.request_stop();
    });
    const auto late = quarn::detect_multi_window(arguments);
    stopper.join();
    CHECK(!late.has_value());
    CHECK(late.error().message == std::string(quarn::stopped_message));
    CHECK(control.progress() <
          quarn::sweep_positions(series.size(), quarn::default_window_sizes()));

    // The same arguments without a stop request work afterwards.
    quarn::RunControl fresh;
    arguments.control = &fresh;
    arguments.series = std::span<const double>(series).first(5000);
    CHECK(quarn::detect_multi_window(arguments).has_value());
}

TEST(dropped_starts_change_nothing_else) {
    const std::vector<double> series = shifting_series(900);
    MultiWindowArguments arguments;
    arguments.series = series;
    arguments.n_perm = 40;
    const auto kept = quarn::detect_multi_window(arguments);
    arguments.keep_starts = false;
    const auto dropped = quarn::detect_multi_window(arguments);
    CHECK(kept.has_value() && dropped.has_value());
    for (auto [size, result] : kept->window_results) {
        const WindowResult& lean = dropped->window_results.at(size);
        CHECK(lean.starts.empty() && lean.starts.capacity() == 0);
        CHECK(!result.starts.empty());
        result.starts.clear();
        CHECK(same_window(result, lean));
    }
}

TEST(thresholds_by_runs_change_nothing_else) {
    // Level shifts make significant positions, so the thresholds change
    // along the sweep; alpha 1 with few replicates makes many of them.
    const std::vector<double> series = shifting_series(3000);
    MultiWindowArguments arguments;
    arguments.series = series;
    arguments.n_perm = 20;
    arguments.window_sizes = std::vector<std::uint64_t>{3, 10, 25};
    arguments.b = 2;
    const auto full = quarn::detect_multi_window(arguments);
    arguments.threshold_runs = true;
    const auto lean = quarn::detect_multi_window(arguments);
    CHECK(full.has_value() && lean.has_value());
    std::size_t compacted = 0;
    for (auto [size, result] : full->window_results) {
        WindowResult runs = lean->window_results.at(size);
        CHECK(result.threshold_runs.starts.empty());
        if (!runs.threshold_runs.starts.empty()) {
            ++compacted;
            CHECK(runs.tapered_block_bootstrap_threshold.empty());
            CHECK(2 * runs.threshold_runs.starts.size() <= result.statistics.size());
            runs.tapered_block_bootstrap_threshold =
                quarn::expand_threshold_runs(runs.threshold_runs, runs.statistics.size());
        }
        CHECK(same_window(result, runs));
    }
    CHECK(compacted > 0);
}

TEST(many_series_equal_one_call_per_series) {
    // Lengths around the window sizes, so some series give empty windows.
    std::vector<std::vector<double>> values;
    for (const std::size_t n : {700u, 3u, 25u, 41u, 1200u, 333u, 90u}) {
        values.push_back(shifting_series(n, n));
    }
    const std::vector<std::span<const double>> series(values.begin(), values.end());
    MultiWindowArguments options;
    options.window_sizes = std::vector<std::uint64_t>{12, 20, 7, 12};
    options.n_perm = 64;
    options.change_type = "distribution";
    for (const auto workers : {std::optional<std::uint64_t>{}, std::optional<std::uint64_t>{1},
                               std::optional<std::uint64_t>{3}}) {
        options.workers = workers;
        const auto many = quarn::detect_many_series(series, options);
        CHECK(many.has_value());
        CHECK_EQ(many->size(), series.size());
        for (std::size_t i = 0; i < series.size(); ++i) {
            MultiWindowArguments alone = options;
            alone.series = series[i];
            alone.workers.reset();
            const auto output = quarn::detect_multi_window(alone);
            CHECK(output.has_value() && same_output((*many)[i], *output));
        }
    }
    CHECK(quarn::detect_many_series({}, options).value().empty());
}

TEST(many_series_report_the_first_failure_in_input_order) {
    const std::vector<double> good = shifting_series(300);
    std::vector<double> with_nan = shifting_series(300);
    with_nan[17] = std::nan("");
    const std::vector<double> short_one{1.0, 2.0};
    std::vector<std::span<const double>> series{good, good, with_nan, short_one, with_nan};
    MultiWindowArguments options;
    options.n_perm = 20;
    const auto failed = quarn::detect_many_series(series, options);
    CHECK(!failed.has_value());
    CHECK_EQ(failed.error().message, kNotFinite);
    CHECK(failed.error().series_index == std::optional<std::uint64_t>(2));
    CHECK(failed.error().non_finite_index == std::optional<std::uint64_t>(17));

    series = {good, good};
    options.window_sizes = std::vector<std::uint64_t>{10, 3};
    const auto blocked = quarn::detect_many_series(series, options);
    CHECK(!blocked.has_value());
    CHECK_EQ(blocked.error().message, kBlock);
    CHECK(blocked.error().series_index == std::optional<std::uint64_t>(0));
    CHECK(blocked.error().window_size == std::optional<std::uint64_t>(3));
}

TEST(many_series_share_progress_and_stop_requests) {
    std::vector<std::vector<double>> values;
    for (std::size_t i = 0; i < 6; ++i) values.push_back(shifting_series(800 + 50 * i, i + 1));
    const std::vector<std::span<const double>> series(values.begin(), values.end());
    quarn::RunControl control;
    MultiWindowArguments options;
    options.n_perm = 20;
    options.control = &control;
    CHECK(quarn::detect_many_series(series, options).has_value());
    std::uint64_t total = 0;
    for (const auto& one : series) {
        total += quarn::sweep_positions(one.size(), quarn::default_window_sizes());
    }
    CHECK_EQ(control.progress(), total);

    quarn::RunControl stopped;
    stopped.request_stop();
    options.control = &stopped;
    const auto early = quarn::detect_many_series(series, options);
    CHECK(!early.has_value());
    CHECK_EQ(early.error().message, std::string(quarn::stopped_message));
}

TEST(a_series_standardised_as_it_is_read_equals_a_standardised_copy) {
    // An ordinary standardisation (a centre and a power-of-two unit, and one
    // whose division rounds), and the shifted form of values near the
    // largest double; window sizes whose sums cancel (the windows' own
    // values then give the moments) on a series far from zero.
    std::vector<double> distant = shifting_series(4000, 11);
    for (double& v : distant) v = 1e9 + v;
    const double big = 0x1p1020;
    std::vector<double> huge = shifting_series(2500, 17);
    for (double& v : huge) v *= big;
    struct Case {
        std::vector<double> series;
        quarn::Standardisation standardisation;
    };
    quarn::Standardisation plain;
    plain.centre = 0.37;
    plain.unit = 0.5;
    quarn::Standardisation rounding;
    rounding.centre = 1e9 - 0.1;
    rounding.unit = 3.0;
    quarn::Standardisation shifted;
    shifted.shifted = true;
    shifted.exponent = 1022;
    shifted.shifted_centre = 0.125;
    const std::vector<Case> cases{{shifting_series(3000, 3), plain}, {distant, rounding}, {huge, shifted}};
    for (const Case& c : cases) {
        std::vector<double> copy(c.series.size());
        for (std::size_t t = 0; t < copy.size(); ++t) copy[t] = c.standardisation(c.series[t]);
        MultiWindowArguments arguments;
        arguments.series = copy;
        arguments.n_perm = 30;
        arguments.window_sizes = std::vector<std::uint64_t>{5, 12, 40, 130};
        const auto from_copy = quarn::detect_multi_window(arguments);
        arguments.series = c.series;
        arguments.standardisation = c.standardisation;
        const auto as_read = quarn::detect_multi_window(arguments);
        CHECK(from_copy.has_value() && as_read.has_value());
        CHECK(!from_copy->consensus.leaders_scores.empty());
        CHECK(same_output(*from_copy, *as_read));
    }
}
