#include "monitor_binding.hpp"

#include <nanobind/ndarray.h>
#include <nanobind/stl/string.h>

#include <cmath>
#include <cstdint>
#include <span>
#include <string>
#include <utility>
#include <vector>

#include "errors.hpp"
#include "quarn/monitor.hpp"

namespace nb = nanobind;
using namespace nb::literals;

namespace quarn::engine {

namespace {

using ValuesArray = nb::ndarray<const double, nb::ndim<1>, nb::c_contig, nb::device::cpu>;

// Batches from this many values on are read without the interpreter lock.
constexpr std::size_t kReleaseFrom = 4096;

[[noreturn]] void raise_value_error(const std::string& text) {
    PyErr_SetString(PyExc_ValueError, text.c_str());
    throw nb::python_error();
}

// An alarm as the tuple (position, detected_at, kind, direction, evidence,
// effect).
nb::tuple alarm_tuple(const MonitorAlarm& alarm) {
    return nb::make_tuple(alarm.position, alarm.detected_at, alarm_kind_name(alarm.kind),
                          alarm_direction_name(alarm.direction), alarm.evidence, alarm.effect);
}

class MonitorCore {
public:
    explicit MonitorCore(Monitor monitor) : monitor_(std::move(monitor)) {}

    static MonitorCore create(double false_alarm_run, std::uint64_t warmup,
                              std::uint64_t max_period) {
        MonitorOptions options;
        options.false_alarm_run = false_alarm_run;
        options.warmup = warmup;
        options.max_period = max_period;
        auto monitor = Monitor::create(options);
        if (!monitor) raise_value_error(monitor.error());
        return MonitorCore(std::move(*monitor));
    }

    // One value: the common case of a live stream, kept short.
    nb::tuple update_one(double value) {
        if (!std::isfinite(value)) {
            raise_value_error("values contain a NaN or infinite value at index 0");
        }
        Guard guard(*this);
        MonitorAlarm alarm;
        if (!monitor_.push(value, alarm)) return nb::tuple();
        return nb::make_tuple(alarm_tuple(alarm));
    }

    nb::tuple update(const ValuesArray& values) {
        const std::span<const double> span(values.data(), values.shape(0));
        Guard guard(*this);
        Result<std::vector<MonitorAlarm>> alarms = translate_failures(span.size(), 1, [&] {
            if (span.size() < kReleaseFrom) return monitor_.update(span);
            nb::gil_scoped_release release;
            return monitor_.update(span);
        });
        if (!alarms) raise_value_error(alarms.error());
        nb::list found;
        for (const MonitorAlarm& alarm : *alarms) found.append(alarm_tuple(alarm));
        return nb::tuple(found);
    }

    std::uint64_t n_seen() const { return monitor_.n_seen(); }

    void reset() {
        Guard guard(*this);
        monitor_.reset();
    }

    nb::bytes state() {
        Guard guard(*this);
        const std::vector<std::uint8_t> bytes = monitor_.serialize();
        return nb::bytes(reinterpret_cast<const char*>(bytes.data()), bytes.size());
    }

    static MonitorCore from_state(nb::bytes bytes) {
        const auto* data = static_cast<const std::uint8_t*>(bytes.data());
        auto monitor = Monitor::deserialize(std::span(data, bytes.size()));
        if (!monitor) raise_value_error(monitor.error());
        return MonitorCore(std::move(*monitor));
    }

    nb::dict regime() const {
        const MonitorRegime regime = monitor_.regime();
        const MonitorOptions& options = monitor_.options();
        nb::dict result;
        result["false_alarm_run"] = options.false_alarm_run;
        result["warmup"] = options.warmup;
        result["max_period"] = options.max_period;
        result["learnt"] = regime.learnt;
        result["start"] = regime.start;
        result["period"] = regime.period;
        result["phi"] = regime.phi;
        result["long_run_factor"] = regime.long_run_factor;
        nb::list thresholds;
        for (const double threshold : monitor_.thresholds()) thresholds.append(threshold);
        result["thresholds"] = nb::tuple(thresholds);
        return result;
    }

private:
    // Marks the monitor busy for one call: a second thread that calls while
    // a batch runs without the interpreter lock is refused, not let in. The
    // flag is only read and written with the interpreter lock held.
    class Guard {
    public:
        explicit Guard(MonitorCore& core) : core_(core) {
            if (core_.busy_) {
                PyErr_SetString(PyExc_RuntimeError,
                                "the monitor is in use by another thread; give each thread "
                                "its own monitor or take turns");
                throw nb::python_error();
            }
            core_.busy_ = true;
        }
        ~Guard() { core_.busy_ = false; }

    private:
        MonitorCore& core_;
    };

    Monitor monitor_;
    bool busy_ = false;
};

}  // namespace

void add_monitor_class(nb::module_& module) {
    nb::class_<MonitorCore>(module, "MonitorCore",
                            "The online change monitor's state; quarn.Monitor wraps it.")
        .def(nb::new_(&MonitorCore::create), "false_alarm_run"_a, "warmup"_a, "max_period"_a,
             "A monitor with checked options (ValueError names a bad one).")
        .def("update_one", &MonitorCore::update_one, "value"_a,
             "Reads one value; returns a tuple of the alarms it raised (empty or one).")
        .def("update", &MonitorCore::update, "values"_a,
             "Reads a 1-D float64 array in order; returns a tuple of the alarms raised. A "
             "batch holding NaN or infinity raises ValueError before anything is read. Each "
             "alarm is (position, detected_at, kind, direction, evidence, effect).")
        .def_prop_ro("n_seen", &MonitorCore::n_seen, "Values read since the start or reset.")
        .def("reset", &MonitorCore::reset, "Forgets every value read; keeps the options.")
        .def("state", &MonitorCore::state, "The whole state as bytes.")
        .def_static("from_state", &MonitorCore::from_state, "state"_a,
                    "A monitor restored from state() bytes (ValueError for other bytes).")
        .def("regime", &MonitorCore::regime,
             "The options, thresholds and what was learnt of the current regime, as a dict.");
}

}  // namespace quarn::engine
