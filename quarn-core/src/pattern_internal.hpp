// What the parts of the pattern-change search share: the fewest rows a
// side of a split, the rows' features, and the functions that more than one
// of pattern.cpp, pattern_features.cpp and pattern_splits.cpp call.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "quarn/pattern.hpp"

namespace quarn::pattern_detail {

// No side of a split holds fewer rows.
inline constexpr std::size_t side_rows = 3;

inline bool stop_asked(const RunControl* control) {
    return control != nullptr && control->stop_requested();
}

// Features of the rows: row r covers [r * length, (r + 1) * length), the
// last one up to n. Row-major, `width` features per row.
struct Features {
    std::size_t rows = 0;
    std::size_t width = 0;
    std::size_t length = 0;
    std::vector<double> values;
};

// The features of the rows of `length` values (pattern_features.cpp): the
// spread, the lag differences at `lags`, and the level when `with_level`.
Features row_features(std::size_t n, const ValueAt& x, std::size_t length,
                      std::span<const std::size_t> lags, bool with_level,
                      const RunControl* control);

// The lags of the difference features for blocks of w values.
std::vector<std::size_t> feature_lags(std::size_t w);

// Where a change between rows lies in [from, to] (pattern_features.cpp).
std::size_t place_change(const ValueAt& x, std::size_t a, std::size_t b, std::size_t from,
                         std::size_t to, std::span<const std::size_t> lags, std::size_t longest);
std::size_t place_level(const ValueAt& x, std::size_t a, std::size_t b, std::size_t from,
                        std::size_t to);

struct SplitTest {
    std::size_t split = 0;  // rows on the left
    double p_value = 1.0;
    std::size_t lead = 0;  // the column of the largest weighted squared CUSUM
};

// The permutation test of the best split of rows [lo, hi) (pattern_splits.cpp).
SplitTest test_rows(const Features& features, std::size_t lo, std::size_t hi, double alpha,
                    std::uint64_t seed, bool with_level, const RunControl* control);

}  // namespace quarn::pattern_detail
