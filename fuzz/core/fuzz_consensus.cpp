// The consensus across window sizes.
//
// Invariants: the segments partition the distinct change points in
// ascending order, with gaps of at most tol inside a segment and more than
// tol between segments, named segment_1, segment_2, ... by position; every
// member's votes count the window sizes that report it; every leader is a
// member of its segment with the most votes (the smallest on ties); the
// scores are in (0, 1]; the probabilities sum to 1 and the cdf ends at 1
// within rounding; and no windows at all is an error.
#include <algorithm>
#include <cmath>
#include <cstdint>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "fuzz_input.hpp"
#include "quarn/consensus.hpp"

namespace {

using fuzz::Input;

std::uint64_t point(Input& in, std::uint64_t base) {
    switch (in.byte() % 8) {
        case 0: return ~0ULL - in.below(6);  // next to the top: gaps must not wrap
        case 1: return in.bytes(8);
        default: return base + in.below(40);
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    Input in(data, size);
    const std::uint64_t base = in.flag() ? 0 : in.bytes(8) >> in.below(64);
    static constexpr std::uint64_t tols[] = {0, 1, 2, 3, 5, 10, 1000, ~0ULL, ~0ULL - 1};
    const std::uint64_t tol = in.below(4) == 0 ? in.bytes(8) : tols[in.below(std::size(tols))];
    quarn::WindowChangePoints windows;
    const std::size_t count = in.below(9);
    for (std::size_t i = 0; i < count; ++i) {
        std::vector<std::uint64_t> points(in.below(12));
        for (std::uint64_t& p : points) p = point(in, base);
        windows.insert_or_assign(2 + in.below(30), std::move(points));
    }

    const quarn::SegmentCollection segments = quarn::build_segments(windows, tol);

    std::map<std::uint64_t, std::uint64_t> votes;
    for (const auto& [w, points] : windows) {
        for (const std::uint64_t p : std::set<std::uint64_t>(points.begin(), points.end())) ++votes[p];
    }
    // Segments in order of position: segment_1, segment_2, ...
    std::vector<const quarn::Segment*> ordered;
    for (std::size_t k = 1; k <= segments.size(); ++k) {
        const auto it = segments.find("segment_" + std::to_string(k));
        FUZZ_CHECK(it != segments.end(), "segment_%zu missing among %zu", k, segments.size());
        ordered.push_back(&it->second);
    }
    std::vector<std::uint64_t> members;
    for (std::size_t k = 0; k < ordered.size(); ++k) {
        const quarn::Segment& segment = *ordered[k];
        FUZZ_CHECK(!segment.members.empty(), "empty segment");
        FUZZ_CHECK(segment.votes.size() == segment.members.size(), "votes per member");
        std::uint64_t total = 0;
        for (std::size_t i = 0; i < segment.members.size(); ++i) {
            const std::uint64_t p = segment.members[i];
            if (i > 0) {
                FUZZ_CHECK(p > segment.members[i - 1], "members not strictly ascending");
                FUZZ_CHECK(p - segment.members[i - 1] <= tol, "gap above tol inside a segment");
            }
            FUZZ_CHECK(segment.votes.count(p) && segment.votes.at(p) == votes[p],
                       "votes of member %llu", static_cast<unsigned long long>(p));
            total += segment.votes.at(p);
            members.push_back(p);
        }
        FUZZ_CHECK(total == segment.total_votes, "total_votes");
        if (k > 0) {
            const std::uint64_t previous = ordered[k - 1]->members.back();
            FUZZ_CHECK(segment.members.front() > previous &&
                           segment.members.front() - previous > tol,
                       "segments not separated by more than tol");
        }
    }
    std::vector<std::uint64_t> all;
    for (const auto& [p, v] : votes) all.push_back(p);
    FUZZ_CHECK(members == all, "segments do not partition the change points");

    const auto none = quarn::score_leaders(segments, 0);
    FUZZ_CHECK(!none && none.error() == "number of windows must be positive", "no windows accepted");
    if (windows.empty()) return 0;

    const auto consensus = quarn::score_leaders(segments, windows.size());
    FUZZ_CHECK(consensus.has_value(), "score_leaders failed");
    const quarn::Consensus& c = *consensus;
    FUZZ_CHECK(c.leaders_segment_votes.size() == segments.size() &&
                   c.leaders_scores.size() == segments.size() &&
                   c.leaders_probs.size() == segments.size() && c.cdf.size() == segments.size(),
               "one leader per segment");
    std::size_t k = 0;
    double sum = 0.0;
    for (const auto& [leader, total] : c.leaders_segment_votes) {
        const quarn::Segment& segment = *ordered[k];
        std::uint64_t best = segment.members.front();
        for (const std::uint64_t p : segment.members) {
            if (segment.votes.at(p) > segment.votes.at(best)) best = p;
        }
        FUZZ_CHECK(leader == best, "leader %llu, expected %llu", static_cast<unsigned long long>(leader),
                   static_cast<unsigned long long>(best));
        FUZZ_CHECK(total == segment.total_votes, "leader's votes");
        const double score = c.leaders_scores.at(leader);
        FUZZ_CHECK(score > 0.0 && score <= 1.0, "score %a", score);
        const double probability = c.leaders_probs.at(leader);
        FUZZ_CHECK(probability > 0.0 && probability <= 1.0 + 1e-15, "probability %a", probability);
        sum += probability;
        FUZZ_CHECK(c.cdf[k].first == leader, "cdf leaders");
        FUZZ_CHECK(k == 0 || c.cdf[k].second >= c.cdf[k - 1].second, "cdf decreasing");
        ++k;
    }
    const double rounding = 4.0 * static_cast<double>(segments.size()) * 0x1p-52;
    if (!segments.empty()) {
        FUZZ_CHECK(std::fabs(sum - 1.0) <= rounding, "probabilities sum to %a", sum);
        FUZZ_CHECK(std::fabs(c.cdf.back().second - 1.0) <= rounding, "cdf ends at %a",
                   c.cdf.back().second);
    }
    return 0;
}
