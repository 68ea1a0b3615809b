// Consensus of the change points found by several window sizes.
#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <utility>
#include <vector>

#include "quarn/error.hpp"

namespace quarn {

// One group of nearby change points.
struct Segment {
    std::vector<std::uint64_t> members;            // strictly ascending
    std::map<std::uint64_t, std::uint64_t> votes;  // member -> window sizes reporting it
    std::uint64_t total_votes = 0;
};

// Segments keyed "segment_1", "segment_2", ... in order of position.
using SegmentCollection = std::map<std::string, Segment>;

// Window size -> its change points, in reported order.
using WindowChangePoints = std::map<std::uint64_t, std::vector<std::uint64_t>>;

struct Consensus {
    std::map<std::uint64_t, std::uint64_t> leaders_segment_votes;
    std::map<std::uint64_t, double> leaders_scores;
    std::map<std::uint64_t, double> leaders_probs;
    std::vector<std::pair<std::uint64_t, double>> cdf;
};

// Votes (one per window size) and groups points whose gap to the previous
// point is at most `tol`.
SegmentCollection build_segments(const WindowChangePoints& window_change_points, std::uint64_t tol);

// One leader per segment with its score, probability and running cdf.
Result<Consensus> score_leaders(const SegmentCollection& segments, std::uint64_t n_windows);

}  // namespace quarn
