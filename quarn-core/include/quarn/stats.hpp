// Series checks, change types, prefix sums and window moments.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "quarn/result.hpp"

namespace quarn {

enum class ChangeType : std::uint8_t { mean, var, distribution };

// Lower bound of every window standard deviation.
inline constexpr double std_floor = 1e-12;

// At least 3 values, then every value finite.
Status validate_series(std::span<const double> series);

// "mean", "var" or "distribution", ASCII letters in any case.
Result<ChangeType> parse_change_type(std::string_view text);

// Quotes a text the way the change-type message shows it: between double
// quotes, with escapes for quotes, backslashes and non-printable characters.
std::string escape_quoted(std::string_view text);

// Running sums and sums of squares; element k covers the first k values.
struct PrefixSums {
    std::vector<double> sums;
    std::vector<double> squares;

    static PrefixSums build(std::span<const double> series);
};

struct Moments {
    double mean;
    double sd;
};

// Mean and unbiased standard deviation (never below `floor`) of the window
// [start, start + len) of `series`, from its prefix sums; from the window's
// own values where the running sums have cancelled.
Moments window_moments(std::span<const double> series, const PrefixSums& prefix,
                       std::size_t start, std::size_t len, double floor);

}  // namespace quarn
