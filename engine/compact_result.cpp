#include "compact_result.hpp"

#include <nanobind/ndarray.h>

#include <cstdint>
#include <memory>
#include <utility>
#include <vector>

namespace quarn::engine {

namespace {

// A numpy array that owns `values`: the vector moves into a capsule, which
// frees it when the array goes. `Exposed` is the element type numpy sees,
// of the same size as T (unsigned indices are shown as int64; a series
// index never reaches 2^63). The array is read-only.
template <class Exposed, class T>
nb::object owning_array(std::vector<T>&& values, std::size_t columns = 1) {
    static_assert(sizeof(Exposed) == sizeof(T));
    auto owned = std::make_unique<std::vector<T>>(std::move(values));
    // An empty vector may have no buffer; numpy wants an address all the same.
    static T empty_buffer{};
    T* data = owned->empty() ? &empty_buffer : owned->data();
    const std::size_t rows = owned->size() / columns;
    nb::capsule owner(owned.get(),
                      [](void* vector) noexcept { delete static_cast<std::vector<T>*>(vector); });
    owned.release();
    auto* exposed = reinterpret_cast<Exposed*>(data);
    if (columns == 1) {
        return nb::cast(nb::ndarray<nb::numpy, const Exposed, nb::ndim<1>>(exposed, {rows}, owner));
    }
    return nb::cast(
        nb::ndarray<nb::numpy, const Exposed, nb::ndim<2>>(exposed, {rows, columns}, owner));
}

nb::object regions_array(const std::vector<std::pair<std::uint64_t, std::uint64_t>>& regions) {
    std::vector<std::uint64_t> flat;
    flat.reserve(2 * regions.size());
    for (const auto& [start, end] : regions) {
        flat.push_back(start);
        flat.push_back(end);
    }
    return owning_array<std::int64_t>(std::move(flat), 2);
}

nb::dict window_dict(WindowResult&& result) {
    nb::dict window;
    window["window_size"] = nb::int_(result.window_size);
    window["statistics"] = figure_array(std::move(result.statistics));
    ThresholdRuns& runs = result.threshold_runs;
    if (runs.starts.empty()) {
        window["thresholds"] = figure_array(std::move(result.tapered_block_bootstrap_threshold));
        window["threshold_runs"] = nb::none();
    } else {
        window["thresholds"] = nb::none();
        window["threshold_runs"] = nb::make_tuple(index_array(std::move(runs.starts)),
                                                  figure_array(std::move(runs.values)));
    }
    // Starts are stored only where they are not v * window_size: where
    // missing values were left out of the series.
    if (!result.starts.empty()) window["starts"] = index_array(std::move(result.starts));
    window["change_points"] = index_array(std::move(result.change_points));
    window["localized_regions"] = regions_array(result.localized_regions);
    return window;
}

}  // namespace

nb::object index_array(std::vector<std::uint64_t>&& values) {
    return owning_array<std::int64_t>(std::move(values));
}

nb::object figure_array(std::vector<double>&& values) {
    return owning_array<double>(std::move(values));
}

// The segments between change points as a dict of arrays, one entry per
// segment: starts, stops, counts (int64), levels, spreads, slopes (float64;
// a slope is NaN where the segment does not trend).
nb::dict segments_dict(const std::vector<SegmentReport>& segments) {
    std::vector<std::uint64_t> starts, stops, counts;
    std::vector<double> levels, spreads, slopes;
    for (const SegmentReport& segment : segments) {
        starts.push_back(segment.start);
        stops.push_back(segment.stop);
        counts.push_back(segment.count);
        levels.push_back(segment.level);
        spreads.push_back(segment.spread);
        slopes.push_back(segment.slope);
    }
    nb::dict result;
    result["starts"] = index_array(std::move(starts));
    result["stops"] = index_array(std::move(stops));
    result["counts"] = index_array(std::move(counts));
    result["levels"] = figure_array(std::move(levels));
    result["spreads"] = figure_array(std::move(spreads));
    result["slopes"] = figure_array(std::move(slopes));
    return result;
}

namespace {

// A detection's window dicts, each made when it is first read: most callers
// read only the change points, and on a short series making every window
// size's arrays and dict would take a good share of the call. Read under
// the interpreter lock; every reader of a window gets the same dict.
class DetectionWindows {
  public:
    explicit DetectionWindows(DetectorOutput&& output) {
        windows_.reserve(output.window_results.size());
        // Each window's entry moves out of the map at once, so nothing is
        // held twice.
        while (!output.window_results.empty()) {
            auto entry = output.window_results.extract(output.window_results.begin());
            windows_.push_back(std::move(entry.mapped()));
        }
        output.window_change_points.clear();
        dicts_.resize(windows_.size());
    }

    std::size_t size() const { return windows_.size(); }

    nb::tuple window_sizes() const {
        nb::list sizes;
        for (const WindowResult& window : windows_) sizes.append(nb::int_(window.window_size));
        return nb::tuple(sizes);
    }

    nb::object at(std::int64_t index) {
        const auto count = static_cast<std::int64_t>(windows_.size());
        if (index < 0) index += count;
        if (index < 0 || index >= count) throw nb::index_error("window index out of range");
        const auto at = static_cast<std::size_t>(index);
        if (!dicts_[at].is_valid()) {
            // Made from a copy: making Python objects may run a collection,
            // whose finalizers may let another thread read this window
            // meanwhile, which must still find it whole. The first dict made
            // is kept, and the window released.
            nb::object made = window_dict(WindowResult(windows_[at]));
            if (!dicts_[at].is_valid()) {
                dicts_[at] = std::move(made);
                windows_[at] = WindowResult();
            }
        }
        return dicts_[at];
    }

    nb::tuple all() {
        nb::list dicts;
        for (std::size_t i = 0; i < windows_.size(); ++i) {
            dicts.append(at(static_cast<std::int64_t>(i)));
        }
        return nb::tuple(dicts);
    }

  private:
    // Ascending window size; a window's buffers move into its dict's arrays.
    std::vector<WindowResult> windows_;
    std::vector<nb::object> dicts_;
};

}  // namespace

nb::object window_dicts(DetectorOutput&& output) {
    return nb::cast(DetectionWindows(std::move(output)));
}

void add_detection_windows(nb::module_& module) {
    nb::class_<DetectionWindows>(
        module, "DetectionWindows",
        "The window dicts of a detection, ascending window size, each made when first read.")
        .def("__len__", &DetectionWindows::size)
        .def("__getitem__", &DetectionWindows::at, nb::arg("index"))
        .def("__iter__", [](DetectionWindows& windows) { return nb::iter(windows.all()); })
        .def_prop_ro("window_sizes", &DetectionWindows::window_sizes,
                     "The window sizes, ascending, without making the dicts.");
}

}  // namespace quarn::engine
