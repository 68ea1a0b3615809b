#include "quarn/detection.hpp"

#include <utility>

#include "quarn/scaling.hpp"

namespace quarn {

namespace {

// One series' output as that of a batch of one.
template <class Output>
DetectorResult<std::vector<Output>> as_batch(DetectorResult<Output>&& output) {
    if (!output) return std::unexpected(std::move(output.error()));
    std::vector<Output> outputs;
    outputs.push_back(std::move(*output));
    return outputs;
}

DetectorResult<std::vector<Detection>> detect_native(std::span<const DetectionSeries> series,
                                                     const DetectionArguments& arguments) {
    std::vector<Scaling> scalings(series.size());
    std::vector<std::vector<double>> mapped(series.size());
    std::vector<std::span<const double>> values(series.size());
    for (std::size_t i = 0; i < series.size(); ++i) {
        values[i] = series[i].values;
        if (!arguments.scale) continue;
        scalings[i] = choose_scaling(series[i].values);
        if (scalings[i].is_identity()) continue;
        mapped[i] = apply_scaling(scalings[i], series[i].values);
        values[i] = mapped[i];
    }
    MultiWindowArguments native = arguments.native;
    DetectorResult<std::vector<DetectorOutput>> outputs;
    if (values.size() == 1) {
        native.series = values.front();
        outputs = as_batch(detect_multi_window(native));
    } else {
        outputs = detect_many_series(values, native);
    }
    // The scaled copies are as large as the series: freed before the
    // results grow.
    std::vector<std::vector<double>>().swap(mapped);
    if (!outputs) return std::unexpected(std::move(outputs.error()));
    std::vector<Detection> detections(series.size());
    for (std::size_t i = 0; i < series.size(); ++i) {
        DetectorOutput& output = (*outputs)[i];
        restore_positions(output, *series[i].present);
        scale_figures(output, scalings[i].unit());
        Detection& detection = detections[i];
        detection.table = table_from_consensus(output.consensus);
        output.consensus = Consensus{};
        // The segments of the series as given (present values alone).
        detection.segments =
            describe_present_segments(series[i].original, detection.table.positions);
        detection.detector = std::move(output);
    }
    return detections;
}

// The confirm method standardises every series itself; the candidate
// detector's figures come back to the series' units.
DetectorResult<std::vector<Detection>> detect_confirmed(std::span<const DetectionSeries> series,
                                                        const DetectionArguments& arguments) {
    MethodArguments method = arguments.method;
    DetectorResult<std::vector<MethodOutput>> outputs;
    if (series.size() == 1) {
        method.series = series.front().values;
        outputs = as_batch(detect_changes(method));
    } else {
        std::vector<std::span<const double>> values;
        values.reserve(series.size());
        for (const DetectionSeries& one : series) values.push_back(one.values);
        outputs = detect_changes_many(values, method);
    }
    if (!outputs) return std::unexpected(std::move(outputs.error()));
    std::vector<Detection> detections(series.size());
    for (std::size_t i = 0; i < series.size(); ++i) {
        MethodOutput& output = (*outputs)[i];
        restore_positions(output, *series[i].present);
        if (output.detector) scale_figures(*output.detector, output.unit);
        Detection& detection = detections[i];
        detection.table = table_from_changes(output.changes, output.window_sizes.size());
        detection.segments = std::move(output.segments);
        detection.seasonal_period = output.seasonal_period;
        detection.detector = std::move(output.detector);
    }
    return detections;
}

}  // namespace

DetectorResult<std::vector<Detection>> detect_series(std::span<const DetectionSeries> series,
                                                     const DetectionArguments& arguments) {
    if (series.empty()) return std::vector<Detection>{};
    return arguments.confirm ? detect_confirmed(series, arguments)
                             : detect_native(series, arguments);
}

std::uint64_t detection_positions(std::size_t n, const DetectionArguments& arguments) {
    if (arguments.confirm) return sweep_positions(n, method_window_sizes(n));
    const auto& sizes = arguments.native.window_sizes;
    return sweep_positions(n, sizes ? std::span<const std::uint64_t>(*sizes)
                                    : std::span<const std::uint64_t>(default_window_sizes()));
}

}  // namespace quarn
