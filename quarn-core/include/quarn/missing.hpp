// Series with missing values: the values that are there, and the way back
// from positions among them to positions of the whole series.
//
// A missing value is a NaN; infinities are values (which the detectors then
// refuse). Detection runs on the present values alone; every position it
// reports (a split index, a region bound, a window start) counts present
// values, and PresentPositions turns it into a position of the original
// series: split index k, the first present value after a change, becomes
// the original position of that value; k equal to the number of present
// values (the end) becomes the original length.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <vector>

#include "quarn/multi_window.hpp"
#include "quarn/confirm.hpp"

namespace quarn {

class PresentPositions {
  public:
    // No value missing: every position is its own.
    explicit PresentPositions(std::size_t original_size = 0) : original_size_(original_size) {}

    // Finds the NaN values of `series`. With none, nothing is stored.
    static PresentPositions of(std::span<const double> series);

    std::size_t original_size() const { return original_size_; }
    std::size_t present_count() const {
        return positions_.empty() && missing_ == 0 ? original_size_ : positions_.size();
    }
    std::uint64_t missing_count() const { return missing_; }
    bool any_missing() const { return missing_ != 0; }

    // The present values of `series` (the series `of` was given), in order.
    std::vector<double> present_values(std::span<const double> series) const;

    // The original position of present position k (k up to the number of
    // present values, which maps to the original length).
    std::uint64_t restore(std::uint64_t k) const;

    // Every position of `positions` restored in place. This is the one
    // place that positions of a result pass through on their way out.
    void restore_positions(std::span<std::uint64_t> positions) const;

    // The present position of original position p: how many present values
    // come before it (the inverse of restore on present values' positions).
    std::uint64_t present_index(std::uint64_t p) const;

  private:
    std::size_t original_size_ = 0;
    std::uint64_t missing_ = 0;
    std::vector<std::uint64_t> positions_;  // of every present value; empty when none missing
};

// The positions of a detector's result, of a window size's findings and of
// the method's kept changes, restored in place (window starts are filled in
// first when they were left implicit, since they stop being multiples of
// the window size). The statistics and thresholds stay as they are.
void restore_positions(WindowResult& result, const PresentPositions& present);
void restore_positions(DetectorOutput& output, const PresentPositions& present);
void restore_positions(MethodOutput& output, const PresentPositions& present);
// Segments between restored change points: starts and stops restored (the
// first segment still starts at 0, so the segments tile the whole series),
// counts and figures kept, as they are of the present values.
void restore_positions(std::vector<SegmentReport>& segments, const PresentPositions& present);
// The segments that the change points `cuts` (ascending original positions
// of present values) make of a series with missing values: their figures
// from the present values alone, their bounds in the original positions.
std::vector<SegmentReport> describe_present_segments(std::span<const double> series,
                                                     std::span<const std::uint64_t> cuts);
// The index of a failure (a non-finite value) restored.
void restore_positions(DetectorError& error, const PresentPositions& present);

}  // namespace quarn
