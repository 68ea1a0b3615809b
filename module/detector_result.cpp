#include "detector_result.hpp"

#include <map>
#include <utility>

#include "builders.hpp"

namespace quarn::py {

Ref window_result_dict(WindowResult&& result) {
    WindowResult owned = std::move(result);
    Ref dict = Ref::steal(PyDict_New());
    if (!dict) return {};
    if (!dict_set_int_list(dict.get(), "change_points", std::move(owned.change_points)) ||
        !dict_set_int_list(dict.get(), "starts", std::move(owned.starts)) ||
        !dict_set_float_list(dict.get(), "statistics", std::move(owned.statistics)) ||
        !dict_set_float_list(dict.get(), "tapered_block_bootstrap_threshold",
                             std::move(owned.tapered_block_bootstrap_threshold)) ||
        !dict_set(dict.get(), "localized_regions",
                  int_pair_list(std::move(owned.localized_regions)))) {
        return {};
    }
    return dict;
}

namespace {

// Dictionary keyed by int, one entry per map entry in ascending key order;
// each map node is released right after its conversion.
template <class Value, class Make>
Ref int_keyed_dict(std::map<std::uint64_t, Value>&& source, Make make_value) {
    std::map<std::uint64_t, Value> owned = std::move(source);
    Ref dict = Ref::steal(PyDict_New());
    if (!dict) return {};
    while (!owned.empty()) {
        auto node = owned.extract(owned.begin());
        if (!dict_set_object(dict.get(), make_int(node.key()), make_value(std::move(node.mapped())))) {
            return {};
        }
    }
    return dict;
}

}  // namespace

Ref build_detector_result(DetectorOutput&& output) {
    DetectorOutput owned = std::move(output);
    Ref result = Ref::steal(PyDict_New());
    if (!result) return {};

    Ref change_points = int_keyed_dict(std::move(owned.window_change_points),
                                       [](std::vector<std::uint64_t>&& points) {
                                           return int_list(std::move(points));
                                       });
    if (!dict_set(result.get(), "cp_dict", std::move(change_points))) return {};

    Ref windows = int_keyed_dict(std::move(owned.window_results), [](WindowResult&& window) {
        return window_result_dict(std::move(window));
    });
    if (!dict_set(result.get(), "window_results", std::move(windows))) return {};

    Consensus& consensus = owned.consensus;
    Ref out = Ref::steal(PyDict_New());
    if (!out) return {};
    const auto as_int = [](std::uint64_t value) { return make_int(value); };
    const auto as_float = [](double value) { return make_float(value); };
    if (!dict_set(out.get(), "leaders_segment_votes",
                  int_keyed_dict(std::move(consensus.leaders_segment_votes), as_int)) ||
        !dict_set(out.get(), "leaders_scores",
                  int_keyed_dict(std::move(consensus.leaders_scores), as_float)) ||
        !dict_set(out.get(), "leaders_probs",
                  int_keyed_dict(std::move(consensus.leaders_probs), as_float)) ||
        !dict_set_cdf(out.get(), std::move(consensus.cdf))) {
        return {};
    }
    if (!dict_set(result.get(), "out", std::move(out))) return {};
    return result;
}

}  // namespace quarn::py
