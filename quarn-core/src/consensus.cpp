#include "quarn/consensus.hpp"

#include <algorithm>
#include <iterator>
#include <string>
#include <unordered_set>
#include <utility>

namespace quarn {

SegmentCollection build_segments(const WindowChangePoints& window_change_points,
                                 std::uint64_t tol) {
    // One vote per window size: a point listed twice by the same window size
    // counts once.
    std::map<std::uint64_t, std::uint64_t> votes;
    std::unordered_set<std::uint64_t> seen;
    for (const auto& [window_size, points] : window_change_points) {
        seen.clear();
        for (const std::uint64_t point : points) {
            if (seen.insert(point).second) ++votes[point];
        }
    }

    SegmentCollection segments;
    if (votes.empty()) return segments;

    std::uint64_t number = 1;
    Segment open;
    const auto store = [&] {
        segments.emplace("segment_" + std::to_string(number), std::move(open));
        open = Segment{};
        ++number;
    };
    for (const auto& [point, count] : votes) {
        // Each point is compared with its predecessor, so a segment may span
        // far more than tol; the map is ascending, so the gap cannot wrap.
        if (!open.members.empty() && point - open.members.back() > tol) store();
        open.members.push_back(point);
        open.votes.emplace(point, count);
        open.total_votes += count;
    }
    store();
    return segments;
}

Result<Consensus> score_leaders(const SegmentCollection& segments, std::uint64_t n_windows) {
    if (n_windows == 0) return fail("number of windows must be positive");

    Consensus consensus;
    for (const auto& [name, segment] : segments) {
        if (segment.votes.empty()) continue;
        // Ascending walk with a strict comparison: ties go to the smaller point.
        auto leader = segment.votes.begin();
        for (auto it = std::next(leader); it != segment.votes.end(); ++it) {
            if (it->second > leader->second) leader = it;
        }
        consensus.leaders_segment_votes.emplace(leader->first, segment.total_votes);
    }

    const double windows = static_cast<double>(n_windows);
    double total = 0.0;
    for (const auto& [leader, total_votes] : consensus.leaders_segment_votes) {
        const double score = std::min(static_cast<double>(total_votes) / windows, 1.0);
        consensus.leaders_scores.emplace(leader, score);
        total = total + score;
    }

    const double reciprocal = 1.0 / total;
    double running = 0.0;
    consensus.cdf.reserve(consensus.leaders_scores.size());
    for (const auto& [leader, score] : consensus.leaders_scores) {
        const double probability = score * reciprocal;
        consensus.leaders_probs.emplace(leader, probability);
        running = running + probability;
        consensus.cdf.emplace_back(leader, running);
    }
    return consensus;
}

}  // namespace quarn
