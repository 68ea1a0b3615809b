#include "run_binding.hpp"

#include <nanobind/ndarray.h>
#include <nanobind/stl/optional.h>
#include <nanobind/stl/string.h>
#include <nanobind/stl/vector.h>

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <utility>
#include <vector>

#include "compact_result.hpp"
#include "quarn/detection.hpp"
#include "quarn/pool.hpp"
#include "series_calls.hpp"

namespace nb = nanobind;
using namespace nb::literals;

namespace quarn::engine {

namespace {

// Shortest single series whose detection runs on the worker pool.
constexpr std::size_t pooled_series_size = 100;

// Every option of a detection, as the package's options table names them;
// those of the other method are None.
struct RunOptions {
    bool confirm = true;
    std::optional<std::vector<std::uint64_t>> window_sizes;
    std::optional<std::uint64_t> n_perm;
    double alpha = 0.05;
    std::optional<double> confidence;
    std::uint64_t seed = 0;
    std::optional<std::uint64_t> tol;
    std::optional<std::uint64_t> workers;
    std::optional<std::string> change_type;
    std::optional<std::uint64_t> block_length;
    std::optional<double> taper_ratio;
    std::optional<bool> center;
    bool skip_missing = false;
    bool scale = true;

    DetectionArguments arguments(RunControl& control) const {
        DetectionArguments detection;
        detection.confirm = confirm;
        detection.scale = scale;
        if (confirm) {
            MethodArguments& method = detection.method;
            method.alpha = alpha;
            method.seed = seed;
            method.workers = workers;
            method.control = &control;
            method.keep_detector = true;
            method.threshold_runs = true;
            method.confidence = *confidence;
            return detection;
        }
        MultiWindowArguments& native = detection.native;
        native.window_sizes = window_sizes;
        native.n_perm = *n_perm;
        native.alpha_q = alpha;
        native.seed = seed;
        native.tol = *tol;
        native.workers = workers;
        native.change_type = *change_type;
        native.b = block_length;
        native.taper_ratio = *taper_ratio;
        native.center = *center;
        native.control = &control;
        native.keep_starts = false;  // implied by the window size
        native.threshold_runs = true;
        return detection;
    }
};

nb::object kind_of(TableKind kind) {
    switch (kind) {
        case TableKind::level:
            return nb::str("level");
        case TableKind::slope:
            return nb::str("slope");
        case TableKind::spread:
            return nb::str("spread");
        case TableKind::shape:
            return nb::str("shape");
        case TableKind::pattern:
            return nb::str("pattern");
        case TableKind::none:
            break;
    }
    return nb::none();
}

nb::object direction_of(Direction direction) {
    switch (direction) {
        case Direction::up:
            return nb::str("up");
        case Direction::down:
            return nb::str("down");
        case Direction::none:
            break;
    }
    return nb::none();
}

// The table as a dict of columns: position, votes, interval_low,
// interval_high (int64), p_value, score, probability, cdf, effect
// (float64), kind and direction (tuples of str or None).
nb::dict table_dict(ChangeTable&& table) {
    nb::list kinds, directions;
    for (const TableKind kind : table.kinds) kinds.append(kind_of(kind));
    for (const Direction direction : table.directions) directions.append(direction_of(direction));
    nb::dict columns;
    columns["position"] = index_array(std::move(table.positions));
    columns["kind"] = nb::tuple(kinds);
    columns["p_value"] = figure_array(std::move(table.p_values));
    columns["votes"] = index_array(std::move(table.votes));
    columns["score"] = figure_array(std::move(table.scores));
    columns["probability"] = figure_array(std::move(table.probabilities));
    columns["cdf"] = figure_array(std::move(table.cdf));
    columns["interval_low"] = index_array(std::move(table.interval_lows));
    columns["interval_high"] = index_array(std::move(table.interval_highs));
    columns["direction"] = nb::tuple(directions);
    columns["effect"] = figure_array(std::move(table.effects));
    return columns;
}

nb::dict detection_of(Detection&& detection, std::size_t n, std::uint64_t n_missing) {
    nb::dict result;
    result["n"] = nb::int_(n);
    if (detection.detector) {
        result["windows"] = window_dicts(std::move(*detection.detector));
    } else {
        result["windows"] = nb::tuple();
    }
    result["table"] = table_dict(std::move(detection.table));
    result["segments"] = segments_dict(detection.segments);
    result["seasonal_period"] =
        detection.seasonal_period ? nb::object(nb::float_(*detection.seasonal_period)) : nb::none();
    result["n_missing"] = nb::int_(n_missing);
    return result;
}

nb::list run(const std::vector<SeriesArray>& series, const RunOptions& options,
             const nb::object& progress) {
    check_progress(progress);
    const std::vector<std::span<const double>> originals = spans_of(series);
    return translate_failures(total_size(originals), originals.size(), [&] {
        nb::list results;
        if (originals.empty()) return results;
        std::vector<CoreSeries> core = core_series(originals, options.skip_missing);
        RunControl control;
        const DetectionArguments arguments = options.arguments(control);
        std::vector<DetectionSeries> series_list;
        std::uint64_t total_positions = 0;
        for (std::size_t i = 0; i < core.size(); ++i) {
            series_list.push_back({originals[i], core[i].values, &core[i].present});
            total_positions += detection_positions(core[i].values.size(), arguments);
        }
        // One series this short takes less time than waking the pool's
        // workers would: it runs on the run thread alone (same bits).
        const bool alone = core.size() == 1 && core[0].values.size() < pooled_series_size;
        std::optional<DetectorResult<std::vector<Detection>>> detections;
        run_in_background(
            control,
            [&] {
                std::optional<SerialHere> here;
                if (alone) here.emplace();
                detections.emplace(detect_series(series_list, arguments));
                return detections->has_value();
            },
            progress, total_positions);
        if (!*detections) {
            DetectorError error = std::move(detections->error());
            const std::size_t at = error.series_index.value_or(0);
            if (at < core.size()) restore_positions(error, core[at].present);
            raise_detector_error(error);
        }
        std::vector<std::uint64_t> missing;
        for (const CoreSeries& one : core) missing.push_back(one.present.missing_count());
        series_list.clear();  // it points into core
        core.clear();
        for (std::size_t i = 0; i < originals.size(); ++i) {
            results.append(detection_of(std::move((**detections)[i]), originals[i].size(),
                                        missing[i]));
        }
        return results;
    });
}

// Refuses an option the method needs but was given as None.
template <class T>
void require(const std::optional<T>& value, const char* name, const std::string& method) {
    if (!value) {
        throw nb::value_error(
            (std::string(name) + " is needed by the " + method + " method").c_str());
    }
}

}  // namespace

void add_run_function(nb::module_& module) {
    add_detection_windows(module);
    module.def(
        "run",
        [](const std::vector<SeriesArray>& series, const std::string& method,
           std::optional<std::vector<std::uint64_t>> window_sizes,
           std::optional<std::uint64_t> n_perm,
           double alpha, std::optional<double> confidence, std::uint64_t seed,
           std::optional<std::uint64_t> tol, std::optional<std::uint64_t> workers,
           std::optional<std::string> change_type, std::optional<std::uint64_t> block_length,
           std::optional<double> taper_ratio, std::optional<bool> center, bool skip_missing,
           bool scale, nb::object progress) {
            RunOptions options;
            if (method != "confirm" && method != "native") {
                throw nb::value_error("method must be \"confirm\" or \"native\"");
            }
            options.confirm = method == "confirm";
            options.window_sizes = std::move(window_sizes);
            options.n_perm = n_perm;
            options.alpha = alpha;
            options.confidence = confidence;
            options.seed = seed;
            options.tol = tol;
            options.workers = workers;
            options.change_type = std::move(change_type);
            options.block_length = block_length;
            options.taper_ratio = taper_ratio;
            options.center = center;
            options.skip_missing = skip_missing;
            options.scale = scale;
            if (options.confirm) {
                require(options.confidence, "confidence", method);
            } else {
                require(options.n_perm, "n_perm", method);
                require(options.tol, "tol", method);
                require(options.change_type, "change_type", method);
                require(options.taper_ratio, "taper_ratio", method);
                require(options.center, "center", method);
            }
            return run(series, options, progress);
        },
        "series"_a, nb::kw_only(), "method"_a, "window_sizes"_a.none(), "n_perm"_a.none(),
        "alpha"_a, "confidence"_a.none(), "seed"_a, "tol"_a.none(), "workers"_a.none(),
        "change_type"_a.none(), "block_length"_a.none(), "taper_ratio"_a.none(),
        "center"_a.none(), "skip_missing"_a, "scale"_a = true, "progress"_a = nb::none(),
        "Runs a detection method ('confirm' or 'native') on every series of a list (1-D "
        "float64 arrays, read in place): one series with its window sizes in parallel, several "
        "as one batch, one task per series. Every option is given, as the package's options "
        "table names it (None where the method does not use it).\n\n"
        "Returns one dict per series, in input order: 'n', 'windows' (the native detector's, or "
        "the confirm method's candidate detector's, window dicts, each made when first read; "
        "thresholds by runs where smaller; figures in the series' units), 'table' (one column "
        "per figure of the change points: 'position', 'kind', 'p_value', 'votes', 'score', 'probability', 'cdf', "
        "'interval_low', 'interval_high', 'direction', 'effect'), 'segments', "
        "'seasonal_period' and 'n_missing'. The native method sees every series centred and "
        "scaled by a power of two unless scale=False. skip_missing=True leaves out NaN values, "
        "every position one of the whole series. The first failing series in input order "
        "raises DetectorError with its series_index.");
}

}  // namespace quarn::engine
