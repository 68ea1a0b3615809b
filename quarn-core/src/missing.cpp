#include "quarn/missing.hpp"

#include <algorithm>
#include <cmath>
#include <map>
#include <utility>

namespace quarn {

PresentPositions PresentPositions::of(std::span<const double> series) {
    PresentPositions present(series.size());
    std::size_t first_missing = series.size();
    for (std::size_t i = 0; i < series.size(); ++i) {
        if (std::isnan(series[i])) {
            first_missing = i;
            break;
        }
    }
    if (first_missing == series.size()) return present;  // the usual case: nothing stored
    present.positions_.reserve(series.size());
    for (std::size_t i = 0; i < first_missing; ++i) present.positions_.push_back(i);
    for (std::size_t i = first_missing; i < series.size(); ++i) {
        if (std::isnan(series[i])) {
            ++present.missing_;
        } else {
            present.positions_.push_back(i);
        }
    }
    present.positions_.shrink_to_fit();
    return present;
}

std::vector<double> PresentPositions::present_values(std::span<const double> series) const {
    if (!any_missing()) return {series.begin(), series.end()};
    std::vector<double> values;
    values.reserve(positions_.size());
    for (const std::uint64_t position : positions_) values.push_back(series[position]);
    return values;
}

std::uint64_t PresentPositions::restore(std::uint64_t k) const {
    if (!any_missing()) return k;
    if (k < positions_.size()) return positions_[k];
    // The end of the present values (a half-open bound) is the end of the
    // series; nothing reports a position past it.
    return original_size_ + (k - positions_.size());
}

std::uint64_t PresentPositions::present_index(std::uint64_t p) const {
    if (!any_missing()) return p;
    return static_cast<std::uint64_t>(
        std::lower_bound(positions_.begin(), positions_.end(), p) - positions_.begin());
}

void PresentPositions::restore_positions(std::span<std::uint64_t> positions) const {
    if (!any_missing()) return;
    for (std::uint64_t& position : positions) position = restore(position);
}

namespace {

// A map keyed by positions, its keys restored. The map is increasing, so
// the order of the entries stays.
template <class Value>
void restore_keys(std::map<std::uint64_t, Value>& map, const PresentPositions& present) {
    std::map<std::uint64_t, Value> restored;
    for (auto& [key, value] : map) {
        restored.emplace_hint(restored.end(), present.restore(key), std::move(value));
    }
    map = std::move(restored);
}

}  // namespace

void restore_positions(WindowResult& result, const PresentPositions& present) {
    if (!present.any_missing()) return;
    if (result.starts.empty()) {
        result.starts.reserve(result.statistics.size());
        for (std::size_t v = 0; v < result.statistics.size(); ++v) {
            result.starts.push_back(static_cast<std::uint64_t>(v) * result.window_size);
        }
    }
    present.restore_positions(result.starts);
    present.restore_positions(result.change_points);
    for (auto& [start, end] : result.localized_regions) {
        start = present.restore(start);
        end = present.restore(end);
    }
}

void restore_positions(DetectorOutput& output, const PresentPositions& present) {
    if (!present.any_missing()) return;
    for (auto& [size, points] : output.window_change_points) present.restore_positions(points);
    for (auto& [size, window] : output.window_results) restore_positions(window, present);
    Consensus& consensus = output.consensus;
    restore_keys(consensus.leaders_segment_votes, present);
    restore_keys(consensus.leaders_scores, present);
    restore_keys(consensus.leaders_probs, present);
    for (auto& [leader, cumulative] : consensus.cdf) leader = present.restore(leader);
}

void restore_positions(MethodOutput& output, const PresentPositions& present) {
    if (!present.any_missing()) return;
    for (Change& change : output.changes) {
        change.position = present.restore(change.position);
        change.report.interval_low = present.restore(change.report.interval_low);
        change.report.interval_high = present.restore(change.report.interval_high);
    }
    restore_positions(output.segments, present);
    if (output.detector) restore_positions(*output.detector, present);
}

void restore_positions(std::vector<SegmentReport>& segments, const PresentPositions& present) {
    if (!present.any_missing()) return;
    for (SegmentReport& segment : segments) {
        if (segment.start != 0) segment.start = present.restore(segment.start);
        segment.stop = present.restore(segment.stop);
    }
}

std::vector<SegmentReport> describe_present_segments(std::span<const double> series,
                                                     std::span<const std::uint64_t> cuts) {
    const PresentPositions present = PresentPositions::of(series);
    if (!present.any_missing()) return describe_segments(series, cuts);
    const std::vector<double> values = present.present_values(series);
    std::vector<std::uint64_t> present_cuts;
    present_cuts.reserve(cuts.size());
    for (const std::uint64_t cut : cuts) {
        const std::uint64_t k = present.present_index(cut);
        // A cut at a missing value, or two cuts with no present value between
        // them, would make an empty segment: such cuts fall together.
        if (k > 0 && k < values.size() && (present_cuts.empty() || k > present_cuts.back())) {
            present_cuts.push_back(k);
        }
    }
    std::vector<SegmentReport> segments = describe_segments(values, present_cuts);
    restore_positions(segments, present);
    return segments;
}

void restore_positions(DetectorError& error, const PresentPositions& present) {
    if (error.non_finite_index) error.non_finite_index = present.restore(*error.non_finite_index);
}

}  // namespace quarn
