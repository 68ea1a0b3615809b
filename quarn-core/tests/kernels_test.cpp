// The per-replicate kernels: sorting networks, the merged passes on every
// kernel path, and whole detections on the portable and the dispatched
// paths (the walk of resamples by ranks among them), compared bit for bit.
#include "quarn/kernels.hpp"

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstdint>
#include <limits>
#include <random>
#include <span>
#include <vector>

#include "check.hpp"
#include "quarn/multi_window.hpp"
#include "quarn/distance.hpp"
#include "quarn/merged_pass.hpp"
#include "quarn/total_order.hpp"

using quarn::OrderKey;

namespace {

const double kInf = std::numeric_limits<double>::infinity();
const double kNaN = std::numeric_limits<double>::quiet_NaN();

// The distance as a run of equal values at a time: for every distinct value
// t in ascending order, (t - prev) * |F - G| is added, then F and G take
// every element equal to t. The oracle the branch-free passes must match.
double grouped_distance(const std::vector<double>& x, const std::vector<double>& y) {
    const std::size_t n = x.size();
    const std::size_t m = y.size();
    const double a = 1.0 / static_cast<double>(n);
    const double c = 1.0 / static_cast<double>(m);
    double prev = x[0] < y[0] ? x[0] : y[0];
    double f = 0.0;
    double g = 0.0;
    double acc = 0.0;
    std::size_t i = 0;
    std::size_t j = 0;
    while (i < n || j < m) {
        double t = 0.0;
        if (i < n && j < m) {
            t = x[i] < y[j] ? x[i] : y[j];
        } else {
            t = i < n ? x[i] : y[j];
        }
        acc = (t - prev) * std::fabs(f - g) + acc;
        while (i < n && x[i] == t) {
            f = f + a;
            ++i;
        }
        while (j < m && y[j] == t) {
            g = g + c;
            ++j;
        }
        prev = t;
    }
    return acc;
}

// Draws of several kinds: continuous values, small integers with many ties
// and both signed zeros, and rare infinities.
struct SampleSource {
    std::mt19937_64 rng;
    explicit SampleSource(std::uint64_t seed) : rng(seed) {}

    double value(int kind) {
        std::normal_distribution<double> normal;
        switch (kind) {
            case 0:
                return normal(rng);
            case 1: {
                const double k = static_cast<double>(rng() % 4);
                return (rng() & 1) ? -k : k;  // -0.0 for k == 0
            }
            default: {
                const std::uint64_t pick = rng() % 16;
                if (pick == 0) return kInf;
                if (pick == 1) return -kInf;
                return std::round(normal(rng) * 2.0) * 0.5;
            }
        }
    }

    std::vector<double> sample(std::size_t n, int kind) {
        std::vector<double> values(n);
        for (double& v : values) v = value(kind);
        return values;
    }
};

std::vector<OrderKey> padded_keys(const std::vector<double>& sorted) {
    std::vector<OrderKey> keys(sorted.size() + quarn::pass_padding);
    for (std::size_t i = 0; i < sorted.size(); ++i) keys[i] = quarn::total_order_key(sorted[i]);
    quarn::pad_sample(keys.data(), sorted.size());
    return keys;
}

bool same_windows(const quarn::WindowResult& a, const quarn::WindowResult& b) {
    const auto same_doubles = [](const std::vector<double>& p, const std::vector<double>& q) {
        return p.size() == q.size() && std::equal(p.begin(), p.end(), q.begin(), check::same_bits);
    };
    return a.change_points == b.change_points && a.starts == b.starts &&
           a.localized_regions == b.localized_regions && same_doubles(a.statistics, b.statistics) &&
           same_doubles(a.tapered_block_bootstrap_threshold, b.tapered_block_bootstrap_threshold);
}

bool same_outputs(const quarn::DetectorOutput& a, const quarn::DetectorOutput& b) {
    if (a.window_results.size() != b.window_results.size()) return false;
    for (const auto& [size, result] : a.window_results) {
        const auto other = b.window_results.find(size);
        if (other == b.window_results.end() || !same_windows(result, other->second)) return false;
    }
    const auto same_map = [](const std::map<std::uint64_t, double>& p,
                             const std::map<std::uint64_t, double>& q) {
        return p.size() == q.size() &&
               std::equal(p.begin(), p.end(), q.begin(), [](const auto& u, const auto& v) {
                   return u.first == v.first && check::same_bits(u.second, v.second);
               });
    };
    const auto& ca = a.consensus;
    const auto& cb = b.consensus;
    return ca.leaders_segment_votes == cb.leaders_segment_votes &&
           same_map(ca.leaders_scores, cb.leaders_scores) &&
           same_map(ca.leaders_probs, cb.leaders_probs) && ca.cdf.size() == cb.cdf.size() &&
           std::equal(ca.cdf.begin(), ca.cdf.end(), cb.cdf.begin(),
                      [](const auto& u, const auto& v) {
                          return u.first == v.first && check::same_bits(u.second, v.second);
                      });
}

// Restores the detected path however a test ends.
struct PortableForced {
    PortableForced() { quarn::force_portable_kernels(true); }
    ~PortableForced() { quarn::force_portable_kernels(false); }
};

}  // namespace

TEST(networks_sort_every_zero_one_input_up_to_sixteen_keys) {
    // A comparator network sorts every input when it sorts every input of
    // zeros and ones.
    for (std::size_t n = 0; n <= 16; ++n) {
        bool all_sorted = true;
        std::vector<OrderKey> keys(n);
        for (std::uint32_t bits = 0; bits < (std::uint32_t{1} << n); ++bits) {
            for (std::size_t i = 0; i < n; ++i) keys[i] = (bits >> i) & 1;
            quarn::sort_keys(keys.data(), n);
            all_sorted = all_sorted && std::is_sorted(keys.begin(), keys.end());
        }
        CHECK(all_sorted);
    }
}

TEST(sorts_of_every_size_match_std_sort_bit_for_bit) {
    SampleSource source(1);
    for (std::size_t n = 0; n <= 70; ++n) {
        for (int kind = 0; kind < 3; ++kind) {
            std::vector<double> values = source.sample(n, kind);
            if (n > 3) values[n / 2] = -kNaN;  // NaNs of both signs go to the ends
            if (n > 4) values[n / 3] = kNaN;
            std::vector<double> expected = values;
            std::sort(expected.begin(), expected.end(), quarn::total_less);
            quarn::total_order_sort(values);
            CHECK(std::equal(values.begin(), values.end(), expected.begin(), check::same_bits));
        }
    }
}

TEST(merged_runs_sort_like_std_sort_on_both_sides_of_every_limit) {
    SampleSource source(5);
    for (const std::size_t n : {65u, 100u, 127u, 128u, 129u, 500u, 1023u, 1024u, 1025u, 3000u}) {
        for (int kind = 0; kind < 3; ++kind) {
            std::vector<double> values = source.sample(n, kind);
            values[n / 2] = -kNaN;
            values[n / 3] = kNaN;
            std::vector<quarn::OrderKey> keys;
            for (const double v : values) keys.push_back(quarn::total_order_key(v));
            std::vector<quarn::OrderKey> expected = keys;
            std::sort(expected.begin(), expected.end());
            quarn::sort_keys(keys.data(), keys.size());
            CHECK(keys == expected);
        }
    }
}

TEST(merges_from_both_ends_match_std_merge_with_ties_and_one_sided_inputs) {
    // Small alphabets give long runs of ties across the sides; offsets put
    // one side wholly before, inside or after the other, so either end may
    // run out of one side first.
    std::mt19937_64 generator(9);
    int mismatches = 0;
    for (std::size_t na = 0; na <= 13; ++na) {
        for (std::size_t nb = 0; nb <= 13; ++nb) {
            for (const OrderKey alphabet : {OrderKey{2}, OrderKey{5}, OrderKey{1000}}) {
                for (const OrderKey offset : {OrderKey{-2000}, OrderKey{0}, OrderKey{2000}}) {
                    std::vector<OrderKey> a(na), b(nb);
                    for (auto& key : a) key = static_cast<OrderKey>(generator() % alphabet);
                    for (auto& key : b) {
                        key = static_cast<OrderKey>(generator() % alphabet) + offset;
                    }
                    std::sort(a.begin(), a.end());
                    std::sort(b.begin(), b.end());
                    std::vector<OrderKey> expected(na + nb), merged(na + nb, -1);
                    std::merge(a.begin(), a.end(), b.begin(), b.end(), expected.begin());
                    quarn::merge_keys(a.data(), na, b.data(), nb, merged.data());
                    if (merged != expected) ++mismatches;
                }
            }
        }
    }
    CHECK_EQ(mismatches, 0);
}

TEST(merged_passes_match_the_grouped_distance_on_every_path) {
    SampleSource source(2);
    const quarn::MergedPass simd = quarn::simd_merged_pass(quarn::detected_kernel_path(), 8);
    int mismatches = 0;
    for (std::size_t n = 1; n <= 64; ++n) {
        std::vector<double> steps(quarn::step_table_size(n));
        quarn::fill_step_table(steps, n);
        const quarn::MergedPass simd_n = quarn::simd_merged_pass(quarn::detected_kernel_path(), n);
        for (int round = 0; round < 30; ++round) {
            std::vector<double> x = source.sample(n, round % 3);
            std::vector<double> y = source.sample(n, (round / 3) % 3);
            if (round % 5 == 0) y = x;  // every value tied across the samples
            quarn::total_order_sort(x);
            quarn::total_order_sort(y);
            const double expected = grouped_distance(x, y);
            const auto kx = padded_keys(x);
            const auto ky = padded_keys(y);
            const double results[] = {
                quarn::merged_pass_portable(kx.data(), ky.data(), n, steps.data()),
                quarn::merged_pass_general(x.data(), n, y.data(), n),
                quarn::merged_pass_general(y.data(), n, x.data(), n),
                simd_n != nullptr ? simd_n(kx.data(), ky.data(), n, steps.data()) : expected,
                simd_n != nullptr ? simd_n(ky.data(), kx.data(), n, steps.data()) : expected,
            };
            for (const double result : results) mismatches += !check::same_bits(result, expected);
        }
    }
    CHECK_EQ(mismatches, 0);
    // The SIMD pass exists wherever the processor runs it, up to its limit.
    CHECK_EQ(simd != nullptr, quarn::detected_kernel_path() != quarn::KernelPath::portable);
    CHECK(quarn::simd_merged_pass(quarn::KernelPath::portable, 8) == nullptr);
    CHECK(quarn::simd_merged_pass(quarn::detected_kernel_path(), quarn::simd_pass_limit + 1) ==
          nullptr);
}

TEST(replicate_groups_match_the_portable_pass_lane_by_lane) {
    if (!quarn::replicate_groups_for(quarn::detected_kernel_path(), 8)) return;
#if QUARN_HAVE_AVX2_KERNELS
    SampleSource source(5);
    int mismatches = 0;
    for (std::size_t n = 2; n <= quarn::group_limit; ++n) {
        std::vector<double> steps(quarn::step_table_size(n));
        quarn::fill_step_table(steps, n);
        for (int round = 0; round < 12; ++round) {
            std::vector<OrderKey> rows[2] = {
                std::vector<OrderKey>(quarn::group_rows_size(n), quarn::largest_key),
                std::vector<OrderKey>(quarn::group_rows_size(n), quarn::largest_key)};
            std::vector<double> halves[2][4];
            for (std::size_t r = 0; r < 4; ++r) {
                for (std::size_t h = 0; h < 2; ++h) {
                    halves[h][r] = source.sample(n, static_cast<int>((round + r + h) % 3));
                    // A NaN in one lane must not touch the other lanes.
                    if (round % 4 == 1 && r == 2 && h == 1) halves[h][r][n / 2] = kNaN;
                    for (std::size_t i = 0; i < n; ++i) {
                        rows[h][i * 4 + r] = quarn::total_order_key(halves[h][r][i]);
                    }
                }
            }
            double distances[4];
            quarn::replicate_group_avx2(rows[0].data(), rows[1].data(), n, steps.data(), distances);
            for (std::size_t r = 0; r < 4; ++r) {
                quarn::total_order_sort(halves[0][r]);
                quarn::total_order_sort(halves[1][r]);
                const auto x = padded_keys(halves[0][r]);
                const auto y = padded_keys(halves[1][r]);
                const double expected =
                    quarn::merged_pass_portable(x.data(), y.data(), n, steps.data());
                mismatches += !check::same_bits(distances[r], expected);
            }
        }
    }
    CHECK_EQ(mismatches, 0);
#endif
}

TEST(merged_pass_of_unequal_sizes_matches_the_grouped_distance) {
    SampleSource source(3);
    int mismatches = 0;
    for (std::size_t n = 1; n <= 12; ++n) {
        for (std::size_t m = 1; m <= 12; ++m) {
            std::vector<double> x = source.sample(n, static_cast<int>((n + m) % 3));
            std::vector<double> y = source.sample(m, static_cast<int>(n % 3));
            quarn::total_order_sort(x);
            quarn::total_order_sort(y);
            mismatches +=
                !check::same_bits(quarn::wasserstein_distance(x, y), grouped_distance(x, y));
        }
    }
    CHECK_EQ(mismatches, 0);
}

TEST(merged_passes_report_nan_samples_as_the_quiet_nan) {
    std::vector<double> steps(quarn::step_table_size(3));
    quarn::fill_step_table(steps, 3);
    const double quiet = std::bit_cast<double>(0x7ff8000000000000ULL);
    for (const double nan : {kNaN, -kNaN}) {
        std::vector<double> x{1.0, 2.0, nan};
        std::vector<double> y{0.5, 1.5, 2.5};
        quarn::total_order_sort(x);
        const auto kx = padded_keys(x);
        const auto ky = padded_keys(y);
        CHECK_BITS(quarn::merged_pass_portable(kx.data(), ky.data(), 3, steps.data()), quiet);
        CHECK_BITS(quarn::merged_pass_portable(ky.data(), kx.data(), 3, steps.data()), quiet);
        CHECK_BITS(quarn::wasserstein_distance(x, y), quiet);
        if (const auto simd = quarn::simd_merged_pass(quarn::detected_kernel_path(), 3)) {
            CHECK_BITS(simd(kx.data(), ky.data(), 3, steps.data()), quiet);
            CHECK_BITS(simd(ky.data(), kx.data(), 3, steps.data()), quiet);
        }
    }
}

TEST(forcing_the_portable_path_switches_and_restores) {
    const quarn::KernelPath detected = quarn::detected_kernel_path();
    {
        const PortableForced forced;
        CHECK(quarn::active_kernel_path() == quarn::KernelPath::portable);
    }
    CHECK(quarn::active_kernel_path() == detected);
    CHECK(quarn::kernel_path_name(quarn::KernelPath::portable) == "portable");
}

TEST(detections_are_identical_on_the_portable_and_dispatched_paths) {
    // Level and spread changes, ties and signed zeros, a large offset: the
    // sweep and every replicate go through the kernels of the path.
    SampleSource source(4);
    std::vector<std::vector<double>> series(3);
    for (std::size_t i = 0; i < 1500; ++i) {
        const double level = (i / 150) % 2 ? 2.0 : 0.0;
        const double spread = (i / 250) % 2 ? 3.0 : 1.0;
        series[0].push_back(level + spread * source.value(0));
        series[1].push_back(source.value(1) * (i >= 700 ? 2.0 : 1.0));
        series[2].push_back(1e9 + 1e-3 * source.value(0) + (i >= 900 ? 5e-3 : 0.0));
    }
    struct Case {
        std::vector<std::uint64_t> sizes;
        std::uint64_t n_perm;
        std::string_view change_type;
        std::optional<std::uint64_t> b;
        double taper_ratio;
        bool center;
    };
    const Case cases[] = {
        {{10, 15, 20, 250}, 300, "mean", std::nullopt, 0.5, true},
        {{4, 7, 31, 32, 33, 48, 49, 64}, 65, "var", std::nullopt, 1.0, false},
        {{2, 3, 65, 100}, 40, "distribution", 3, 0.0, true},
    };
    for (const auto& values : series) {
        for (const Case& c : cases) {
            quarn::MultiWindowArguments arguments;
            arguments.series = values;
            arguments.window_sizes = c.sizes;
            arguments.n_perm = c.n_perm;
            arguments.change_type = c.change_type;
            arguments.b = c.b;
            arguments.taper_ratio = c.taper_ratio;
            arguments.center = c.center;
            arguments.workers = 2;
            const auto dispatched = quarn::detect_multi_window(arguments);
            const PortableForced forced;
            const auto portable = quarn::detect_multi_window(arguments);
            CHECK(dispatched.has_value() && portable.has_value());
            if (dispatched && portable) CHECK(same_outputs(*dispatched, *portable));
        }
    }
}
