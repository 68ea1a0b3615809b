#include "quarn/threshold_runs.hpp"

#include <bit>
#include <utility>

namespace quarn {

std::vector<double> expand_threshold_runs(const ThresholdRuns& runs, std::size_t positions) {
    std::vector<double> thresholds;
    thresholds.reserve(positions);
    for (std::size_t r = 0; r < runs.starts.size(); ++r) {
        const std::size_t end =
            r + 1 < runs.starts.size() ? static_cast<std::size_t>(runs.starts[r + 1]) : positions;
        thresholds.resize(end, runs.values[r]);
    }
    return thresholds;
}

ThresholdRecorder::ThresholdRecorder(std::size_t positions, bool by_runs)
    : positions_(positions), by_runs_(by_runs) {
    if (!by_runs_) per_position_.reserve(positions_);
}

void ThresholdRecorder::record_by_runs(double threshold) {
    const auto bits = std::bit_cast<std::uint64_t>(threshold);
    if (recorded_ != 0 && bits == last_bits_) return;
    if (runs_.starts.size() == positions_ / 2) {
        // One run more would take more memory than a threshold per position.
        per_position_ = expand_threshold_runs(runs_, recorded_);
        per_position_.reserve(positions_);
        per_position_.push_back(threshold);
        runs_ = ThresholdRuns{};
        by_runs_ = false;
        return;
    }
    runs_.starts.push_back(static_cast<std::uint64_t>(recorded_));
    runs_.values.push_back(threshold);
    last_bits_ = bits;
}

void ThresholdRecorder::finish(std::vector<double>& per_position, ThresholdRuns& runs) && {
    per_position = std::move(per_position_);
    runs = std::move(runs_);
}

}  // namespace quarn
