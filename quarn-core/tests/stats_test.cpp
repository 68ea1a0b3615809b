#include "quarn/stats.hpp"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <limits>
#include <string>
#include <string_view>
#include <vector>

#include "check.hpp"

using quarn::ChangeType;
using quarn::parse_change_type;
using quarn::PrefixSums;
using quarn::validate_series;
using quarn::window_moments;

namespace {

const double kNaN = std::numeric_limits<double>::quiet_NaN();
const double kInf = std::numeric_limits<double>::infinity();
const std::string kTooShort = "series must contain at least 3 values";
const std::string kNotFinite =
    "series contains NaN or infinite values; clean/impute before calling quarn";
const std::string kTypePrefix = "change_type must be one of {'mean', 'var', 'distribution'}, got ";

std::string series_error(std::vector<double> series) {
    const auto status = validate_series(series);
    return status ? std::string("ok") : status.error();
}

std::string type_error(std::string_view text) {
    const auto parsed = parse_change_type(text);
    CHECK(!parsed.has_value());
    if (parsed) return "accepted";
    CHECK(parsed.error().starts_with(kTypePrefix));
    return parsed.error().substr(kTypePrefix.size());
}

}  // namespace

TEST(series_length_is_checked_before_values) {
    CHECK_EQ(series_error({}), kTooShort);
    CHECK_EQ(series_error({1.0, 2.0}), kTooShort);
    CHECK_EQ(series_error({kNaN, kInf}), kTooShort);
    CHECK_EQ(series_error({1.0, kNaN, 3.0}), kNotFinite);
    CHECK_EQ(series_error({1.0, kInf, 3.0}), kNotFinite);
    CHECK_EQ(series_error({-kInf, 0.0, 0.0}), kNotFinite);
    CHECK_EQ(series_error({0.0, 0.0, -kNaN}), kNotFinite);
    CHECK_EQ(series_error({-0.0, 1e308, -std::numeric_limits<double>::denorm_min()}), "ok");
}

TEST(change_types_ignore_ascii_case) {
    CHECK(*parse_change_type("mean") == ChangeType::mean);
    CHECK(*parse_change_type("MEAN") == ChangeType::mean);
    CHECK(*parse_change_type("Var") == ChangeType::var);
    CHECK(*parse_change_type("DISTRIBUTION") == ChangeType::distribution);
    CHECK(*parse_change_type("diStriBution") == ChangeType::distribution);
}

TEST(unknown_change_type_shows_the_lowered_text_quoted) {
    CHECK_EQ(type_error("Median"), "\"median\"");
    CHECK_EQ(type_error("mean "), "\"mean \"");
    CHECK_EQ(type_error(" MEAN"), "\" mean\"");
    CHECK_EQ(type_error(""), "\"\"");
    const auto median = parse_change_type("Median");
    CHECK_EQ(median.error(), kTypePrefix + "\"median\"");
}

TEST(unknown_change_type_escapes_special_characters) {
    CHECK_EQ(type_error("a\tb"), "\"a\\tb\"");
    CHECK_EQ(type_error("a\rb\nc"), "\"a\\rb\\nc\"");
    CHECK_EQ(type_error(std::string_view("me\0an", 5)), "\"me\\0an\"");
    CHECK_EQ(type_error("say \"Hi\""), "\"say \\\"hi\\\"\"");
    CHECK_EQ(type_error("a\\b"), "\"a\\\\b\"");
    CHECK_EQ(type_error("'mean'"), "\"'mean'\"");
    CHECK_EQ(type_error("\x01"), "\"\\u{1}\"");
    CHECK_EQ(type_error("\x1b[0m"), "\"\\u{1b}[0m\"");
    CHECK_EQ(type_error("\x7f"), "\"\\u{7f}\"");
    CHECK_EQ(type_error("\xc2\x85"), "\"\\u{85}\"");          // NEL, a C1 control
    CHECK_EQ(type_error("a\xe2\x80\x8b"), "\"a\\u{200b}\"");  // zero width space
}

TEST(unknown_change_type_keeps_printable_non_ascii) {
    // Only A-Z are lowered: É stays a capital.
    CHECK_EQ(type_error("\xc3\xa9"), "\"\xc3\xa9\"");
    CHECK_EQ(type_error("M\xc3\x89"), "\"m\xc3\x89\"");
    CHECK_EQ(type_error("\xe6\x97\xa5"), "\"\xe6\x97\xa5\"");
    CHECK_EQ(type_error("\xf0\x9f\x98\x80"), "\"\xf0\x9f\x98\x80\"");
}

TEST(prefix_sums_accumulate_in_order) {
    const std::vector<double> x{0.1, 0.2, 0.3, -4.0};
    const auto prefix = PrefixSums::build(x);
    CHECK_EQ(prefix.size(), 5u);
    CHECK_BITS(prefix.at(x, 0).sum, 0.0);
    CHECK_BITS(prefix.at(x, 0).squares, 0.0);
    double sum = 0.0;
    double squares = 0.0;
    for (std::size_t k = 0; k < x.size(); ++k) {
        sum = sum + x[k];
        squares = squares + x[k] * x[k];
        CHECK_BITS(prefix.at(x, k + 1).sum, sum);
        CHECK_BITS(prefix.at(x, k + 1).squares, squares);
    }
    // 0.1 + 0.2 + 0.3 in this order is not 0.6.
    CHECK_BITS(prefix.at(x, 3).sum, (0.1 + 0.2) + 0.3);
}

TEST(window_moments_examples) {
    const std::vector<double> x{9.0, 1.0, 2.0, 3.0, 4.0, 5.0, 5.0, 5.0};
    const auto prefix = PrefixSums::build(x);
    const auto quarter = window_moments(x, prefix, 1, 4, quarn::std_floor);
    CHECK_BITS(quarter.mean, 2.5);
    CHECK_BITS(quarter.sd, std::sqrt(5.0 / 3.0));

    const auto single = window_moments(x, prefix, 0, 1, quarn::std_floor);
    CHECK_BITS(single.mean, 9.0);
    CHECK_BITS(single.sd, 1e-12);

    const auto constant = window_moments(x, prefix, 5, 3, quarn::std_floor);
    CHECK_BITS(constant.mean, 5.0);
    CHECK_BITS(constant.sd, 1e-12);
    CHECK_BITS(quarn::std_floor, 1e-12);
}

TEST(window_moments_never_below_the_floor) {
    // Cancellation in the running sums can make the variance term negative;
    // it is clamped to zero and the floor applies.
    const std::vector<double> x{1e8, 1e8 + 1e-8, 1e8, 1e8 + 1e-8, 1e8};
    const auto prefix = PrefixSums::build(x);
    for (std::size_t start = 0; start + 2 <= x.size(); ++start) {
        const auto m = window_moments(x, prefix, start, 2, 0.5);
        CHECK(m.sd >= 0.5);
        CHECK(!std::isnan(m.sd));
    }
    // Overflowing squares give inf - inf = NaN: the floor is returned.
    const std::vector<double> big{1e200, -1e200, 1e200};
    const auto wide = window_moments(big, PrefixSums::build(big), 0, 3, 1e-12);
    CHECK(wide.sd >= 1e-12);
}

namespace {

// Deterministic noise in [-1, 1).
std::vector<double> unit_noise(std::size_t n, std::uint64_t state) {
    std::vector<double> values(n);
    for (double& value : values) {
        state = state * 6364136223846793005ULL + 1442695040888963407ULL;
        value = static_cast<double>(state >> 11) * 0x1.0p-53 * 2.0 - 1.0;
    }
    return values;
}

}  // namespace

TEST(window_moments_survive_a_large_level) {
    // With a level far above the noise, the difference of running sums of
    // squares cancels away; the moments then come from the window itself
    // and match those of the noise alone.
    const std::vector<double> noise = unit_noise(300, 7);
    const auto plain_prefix = PrefixSums::build(noise);
    for (const double offset : {1e6, 1e8, -1e9, 1e11}) {
        std::vector<double> shifted(noise);
        for (double& value : shifted) value += offset;
        const auto prefix = PrefixSums::build(shifted);
        for (std::size_t start = 0; start + 15 <= shifted.size(); start += 15) {
            const auto plain = window_moments(noise, plain_prefix, start, 15, quarn::std_floor);
            const auto moved = window_moments(shifted, prefix, start, 15, quarn::std_floor);
            CHECK(std::fabs(moved.sd - plain.sd) <= 1e-3 * plain.sd);
            CHECK(std::fabs((moved.mean - offset) - plain.mean) <= 1e-3);
        }
    }
}

TEST(window_moments_keep_the_running_sums_where_they_hold) {
    // Two spikes of 1e6 among noise: the running sums still carry every
    // window's spread, so the moments are exactly the prefix-sum formula.
    std::vector<double> x = unit_noise(200, 11);
    for (double& value : x) value *= 2.0;
    x[50] = 1e6;
    x[150] = 1e6;
    const auto prefix = PrefixSums::build(x);
    for (std::size_t start = 0; start + 10 <= x.size(); start += 10) {
        const std::size_t end = start + 10;
        const double s = prefix.at(x, end).sum - prefix.at(x, start).sum;
        const double q = (prefix.at(x, end).squares - prefix.at(x, start).squares) - (s * s) / 10.0;
        const auto m = window_moments(x, prefix, start, 10, quarn::std_floor);
        CHECK_BITS(m.mean, s / 10.0);
        CHECK_BITS(m.sd, std::max(std::sqrt(q / 9.0), quarn::std_floor));
    }
}

TEST(window_moments_from_own_values_sum_in_index_order) {
    // A constant window after a large level: the two-pass moments give an
    // exactly zero spread, so the floor applies, and the mean is the
    // window's own.
    std::vector<double> x(40, 3.0);
    for (std::size_t i = 20; i < 40; ++i) x[i] = 1e9 + 0.5;
    const auto prefix = PrefixSums::build(x);
    const auto m = window_moments(x, prefix, 25, 10, quarn::std_floor);
    double sum = 0.0;
    for (std::size_t i = 25; i < 35; ++i) sum = sum + x[i];
    CHECK_BITS(m.mean, sum / 10.0);
    CHECK_BITS(m.sd, quarn::std_floor);
}

namespace {

// Every entry of a full pass over the series, one addition per value.
std::vector<PrefixSums::Entry> full_running_sums(const std::vector<double>& x) {
    std::vector<PrefixSums::Entry> entries{{0.0, 0.0}};
    for (const double value : x) {
        const auto previous = entries.back();
        entries.push_back({previous.sum + value, previous.squares + value * value});
    }
    return entries;
}

// Values whose running sums round differently at almost every step: mixed
// magnitudes and signs, with a large level switched on and off.
std::vector<double> rounding_series(std::size_t n) {
    std::vector<double> x = unit_noise(n, 23);
    for (std::size_t i = 0; i < n; ++i) {
        x[i] = x[i] * (i % 7 == 0 ? 1e9 : 3.3) + ((i / 50) % 2 == 1 ? 1e7 : 0.1);
    }
    return x;
}

}  // namespace

TEST(sparse_prefix_sums_equal_the_full_running_sums_at_every_index) {
    const std::size_t stride = PrefixSums::checkpoint_stride;
    const std::size_t lengths[] = {0, 1, 3, stride - 1, stride, stride + 1, 2 * stride, 1000, 4099};
    for (const std::size_t n : lengths) {
        const std::vector<double> x = rounding_series(n);
        const auto prefix = PrefixSums::build(x);
        const auto full = full_running_sums(x);
        CHECK_EQ(prefix.size(), n + 1);
        for (std::size_t k = 0; k <= n; ++k) {
            CHECK_BITS(prefix.at(x, k).sum, full[k].sum);
            CHECK_BITS(prefix.at(x, k).squares, full[k].squares);
        }
    }
}

TEST(sparse_prefix_sums_carried_on_from_any_earlier_entry) {
    // Carrying on from a nearer entry (the start of a window) or from a
    // farther one (then the checkpoint is used) gives the same bits.
    const std::vector<double> x = rounding_series(300);
    const auto prefix = PrefixSums::build(x);
    const auto full = full_running_sums(x);
    for (std::size_t base = 0; base <= x.size(); base += 7) {
        for (std::size_t k = base; k <= x.size(); k += 5) {
            const auto entry = prefix.at(x, k, base, full[base]);
            CHECK_BITS(entry.sum, full[k].sum);
            CHECK_BITS(entry.squares, full[k].squares);
        }
    }
}

TEST(window_moments_from_sparse_sums_match_the_full_formula) {
    // Windows of every length and start across several checkpoints, on
    // values where the running sums hold: exactly the prefix-sum formula.
    const std::vector<double> x = unit_noise(400, 31);
    const auto prefix = PrefixSums::build(x);
    const auto full = full_running_sums(x);
    for (std::size_t len = 2; len <= 150; len += 37) {
        for (std::size_t start = 0; start + len <= x.size(); start += 13) {
            const std::size_t end = start + len;
            const double m = static_cast<double>(len);
            const double s = full[end].sum - full[start].sum;
            const double q = (full[end].squares - full[start].squares) - (s * s) / m;
            const auto moments = window_moments(x, prefix, start, len, quarn::std_floor);
            CHECK_BITS(moments.mean, s / m);
            CHECK_BITS(moments.sd, std::max(std::sqrt(q / (m - 1.0)), quarn::std_floor));
        }
    }
}
