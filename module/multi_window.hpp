// The multi-window detector: checks, the worker pool, one single-window
// sweep per window size, and the consensus. Plain C++; no Python objects.
#pragma once

#include <cstdint>
#include <map>
#include <optional>
#include <span>
#include <string_view>
#include <vector>

#include "quarn/consensus.hpp"
#include "quarn/detect.hpp"
#include "quarn/result.hpp"

namespace quarn {

struct MultiWindowArguments {
    std::span<const double> series;
    std::optional<std::vector<std::uint64_t>> window_sizes;
    std::uint64_t n_perm = 300;
    double alpha_q = 1.0;
    std::uint64_t seed = 123;
    std::uint64_t tol = 2;
    std::optional<std::uint64_t> workers;
    std::string_view backend = "thread";
    std::string_view change_type = "mean";
    std::optional<std::uint64_t> b;
    double taper_ratio = 0.5;
    bool center = true;
};

struct DetectorOutput {
    WindowChangePoints window_change_points;
    std::map<std::uint64_t, WindowResult> window_results;
    Consensus consensus;
};

// Largest dedicated pool a call may ask for.
inline constexpr std::uint64_t max_dedicated_workers = 65535;

Result<DetectorOutput> detect_multi_window(const MultiWindowArguments& arguments);

}  // namespace quarn
