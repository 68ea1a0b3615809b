// Changes of a repeated pattern: of its period, its waveform or the way its
// values follow one another, which leave the level and the spread of the
// values as they were and so escape the tests of level, spread and shape.
//
// The series is cut into blocks of about one period of its dominant cycle
// (from its autocorrelation), and each block is described by a few features
// that do not depend on its level: its spread, its skewness, and the mean
// absolute difference of values a lag apart over its spread, for lags from a
// sixty-fourth of the block to twice the block. A binary segmentation of the
// blocks tests each stretch with the largest sum of squared standardised
// CUSUMs of the features' ranks, against the same statistic on blocks in
// random order, after allowing for the correlation of neighbouring blocks.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <vector>

#include "quarn/control.hpp"
#include "quarn/select.hpp"
#include "quarn/structure.hpp"

namespace quarn {

struct PatternArguments {
    // Chance that a series without a change of pattern gets one.
    double alpha = 0.025;
    std::uint64_t seed = 123;
    const RunControl* control = nullptr;
    // True adds the blocks' means to their features when the series shows a
    // dominant period in its autocorrelation, and the quarters of the series
    // hold at least half their squares around their own means, and a block
    // holds a whole period (at most an eighth of the series): the search
    // then also finds changes of level from cycle to cycle, which tests of
    // single values cannot tell from the swings of the cycle itself.
    bool with_level = false;
    // A period found otherwise (a peak of the periodogram), for series whose
    // autocorrelation shows none.
    std::optional<double> period;
};

struct PatternChange {
    std::uint64_t position;  // index of the first value after the change
    double p_value;          // of the permutation test that found it
    // The feature that differs most between the sides: level (the blocks'
    // mean), spread (their spread) or pattern (any other).
    ChangeKind kind = ChangeKind::pattern;
};

struct PatternSearch {
    std::vector<PatternChange> changes;  // ascending
    // Values per row of the search (a block, or several on long series):
    // changes found by other tests closer than this describe the same
    // change. 0 when the series is too short to search.
    std::size_t block = 0;
    // The dominant period the blocks follow; nullopt when the series shows
    // none, and then there is no search.
    std::optional<std::size_t> period;
    // Whether the blocks' means were among the features (never when there
    // was no search).
    bool with_level = false;
};

// The lag of the highest peak of the autocorrelation of x(0) .. x(n - 1)
// after its first fall below zero, when that peak reaches 0.2 and 6 times
// the standard error of an autocorrelation of noise. The
// autocorrelation is that of the series' four quarters, each around its own
// mean (on the middle 16,384 values of each on long series), and is searched
// up to a third of a quarter. nullopt otherwise, and on fewer than 32 values.
std::optional<std::size_t> dominant_period(std::size_t n, const ValueAt& x);

// Changes of pattern in x(0) .. x(n - 1), each at least three blocks from
// the next; none when x shows no dominant period and the arguments give
// none. The positions are placed between the blocks by the feature
// differences of single values. The result does not depend on anything
// but the values and the arguments. A `control` that asks to stop ends the
// search early with what it has found.
PatternSearch pattern_changes(std::size_t n, const ValueAt& x, const PatternArguments& arguments);

}  // namespace quarn
