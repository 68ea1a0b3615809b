// Series checks, change types, prefix sums and window moments.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "quarn/error.hpp"
#include "quarn/series_view.hpp"

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

// Running sums and sums of squares of a series: entry k covers the first k
// values, accumulated one value at a time in index order. Only every
// `checkpoint_stride`-th entry is stored; any other entry is recomputed by
// carrying the running sums on from the checkpoint below it, one value at a
// time, which repeats the very additions of a full pass and so gives the
// same bits. That keeps the memory at a quarter of a byte per value instead
// of sixteen. The series itself is not held: every read is handed the
// series the sums were built from.
class PrefixSums {
  public:
    static constexpr std::size_t checkpoint_stride = 64;

    struct Entry {
        double sum;
        double squares;
    };

    static PrefixSums build(SeriesView series);

    // Number of entries: the length of the series plus one.
    std::size_t size() const { return count_; }

    // Entry k, 0 <= k <= n, of the sums built from `series`.
    Entry at(SeriesView series, std::size_t k) const;

    // Entry k, carried on from `from`, the entry at index `base` <= k, when
    // that is nearer than the checkpoint below k.
    Entry at(SeriesView series, std::size_t k, std::size_t base, Entry from) const;

  private:
    std::vector<double> sums_;     // entries 0, stride, 2 * stride, ...
    std::vector<double> squares_;  // likewise
    std::size_t count_ = 0;
};
struct Moments {
    double mean;
    double sd;
};

// Mean and unbiased standard deviation (never below `floor`) of the window
// [start, start + len) of `series`, from its prefix sums (built from that
// same series); from the window's own values where the running sums have
// cancelled.
Moments window_moments(SeriesView series, const PrefixSums& prefix, std::size_t start,
                       std::size_t len, double floor);

}  // namespace quarn
