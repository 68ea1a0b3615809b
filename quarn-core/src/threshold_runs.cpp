#include "quarn/threshold_runs.hpp"

#include <bit>

namespace quarn {

std::optional<ThresholdRuns> threshold_runs(std::span<const double> thresholds,
                                            std::size_t max_runs) {
    std::size_t count = 0;
    for (std::size_t i = 0; i < thresholds.size(); ++i) {
        if (i == 0 || std::bit_cast<std::uint64_t>(thresholds[i]) !=
                          std::bit_cast<std::uint64_t>(thresholds[i - 1])) {
            if (++count > max_runs) return std::nullopt;
        }
    }
    ThresholdRuns runs;
    runs.starts.reserve(count);
    runs.values.reserve(count);
    for (std::size_t i = 0; i < thresholds.size(); ++i) {
        if (i == 0 || std::bit_cast<std::uint64_t>(thresholds[i]) !=
                          std::bit_cast<std::uint64_t>(thresholds[i - 1])) {
            runs.starts.push_back(static_cast<std::uint64_t>(i));
            runs.values.push_back(thresholds[i]);
        }
    }
    return runs;
}

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

}  // namespace quarn
