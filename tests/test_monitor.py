"""quarn.Monitor: alarms at changes, silence without, exact resumption."""

import pickle

import numpy as np
import pandas as pd
import pytest

import quarn
from quarn import Alarm, Monitor


def gaussian(n, seed):
    return np.random.default_rng(seed).standard_normal(n)


def autoregressive(n, phi, seed):
    noise = np.random.default_rng(seed).standard_normal(n)
    values = np.empty(n)
    previous = 0.0
    for i, e in enumerate(noise):
        values[i] = previous = phi * previous + e
    return values


def seasonal(n, seed):
    return 2 * np.sin(2 * np.pi * np.arange(n) / 24) + gaussian(n, seed)


def student_t3(n, seed):
    return np.random.default_rng(seed).standard_t(3, n)


@pytest.mark.parametrize("make", [gaussian, student_t3, seasonal])
@pytest.mark.parametrize("seed", [1, 2])
def test_change_free_streams_stay_quiet(make, seed):
    monitor = Monitor()
    assert monitor.update(make(5000, seed)) == ()
    assert monitor.n_seen == 5000
    assert monitor.regime["learnt"]


def test_dependent_streams_stay_quiet_and_the_dependence_is_learnt():
    monitor = Monitor()
    assert monitor.update(autoregressive(6000, 0.8, 3)) == ()
    assert monitor.regime["phi"] > 0.6


def test_a_seasonal_period_is_found():
    monitor = Monitor()
    monitor.update(seasonal(1000, 4))
    assert monitor.regime["period"] == 24


def shifted(values, at, shift):
    values = values.copy()
    values[at:] += shift
    return values


def scaled(values, at, factor):
    values = values.copy()
    values[at:] *= factor
    return values


def skewed(values, at):
    values = values.copy()
    values[at:] = np.random.default_rng(9).exponential(size=len(values) - at) - 1.0
    return values


@pytest.mark.parametrize(
    "values, kind, direction",
    [
        (shifted(gaussian(3000, 5), 2000, 2.0), "level", "up"),
        (shifted(gaussian(3000, 5), 2000, -1.0), "level", "down"),
        (shifted(autoregressive(3000, 0.5, 5), 2000, 3.0), "level", "up"),
        (scaled(gaussian(3000, 6), 2000, 2.0), "spread", "wider"),
        (scaled(gaussian(4000, 6), 2000, 0.3), "spread", "narrower"),
        (skewed(gaussian(6000, 7), 2000), "shape", "skewed right"),
    ],
)
def test_constructed_changes_raise_one_alarm_of_their_kind(values, kind, direction):
    monitor = Monitor()
    alarms = monitor.update(values)
    assert alarms, "the change was missed"
    first = alarms[0]
    assert isinstance(first, Alarm)
    assert (first.kind, first.direction) == (kind, direction)
    assert 1950 <= first.position <= first.detected_at
    assert first.detected_at >= 2000
    assert first.evidence >= 1.0
    assert first.delay == first.detected_at - first.position
    assert monitor.alarms == alarms


def change_stream():
    values = gaussian(9000, 11)
    values[2500:] += 1.5
    values[5500:] *= 2.5
    return values


@pytest.mark.parametrize("batch", [1, 7, 1000])
def test_batch_sizes_give_the_same_alarms(batch):
    values = change_stream()
    expected = Monitor().update(values)
    assert len(expected) >= 2
    monitor = Monitor()
    found = []
    for start in range(0, len(values), batch):
        piece = values[start : start + batch]
        found.extend(monitor.update(float(piece[0]) if batch == 1 else piece))
    assert tuple(found) == expected
    assert pickle.dumps(monitor) == pickle.dumps(_fed(Monitor(), values))


def _fed(monitor, values):
    monitor.update(values)
    return monitor


@pytest.mark.parametrize(
    "convert",
    [list, tuple, pd.Series, lambda v: pd.Series(v, index=pd.RangeIndex(10, 10 + len(v))),
     lambda v: v.astype(np.float32)],
)
def test_every_kind_of_batch_is_read(convert):
    given = convert(change_stream()[:4000])
    expected = Monitor().update(np.asarray(given, dtype=np.float64))
    assert expected
    assert Monitor().update(given) == expected


@pytest.mark.parametrize("cut", [0, 300, 2499, 2510, 6000, 8999])
def test_a_pickled_monitor_resumes_bit_for_bit(cut):
    values = change_stream()
    whole = Monitor()
    expected = whole.update(values)
    first = Monitor()
    found = list(first.update(values[:cut]))
    restored = pickle.loads(pickle.dumps(first))
    assert restored.n_seen == cut
    assert restored.alarms == first.alarms
    found.extend(restored.update(values[cut:]))
    assert tuple(found) == expected
    assert restored.alarms == whole.alarms
    assert pickle.dumps(restored) == pickle.dumps(whole)


@pytest.mark.parametrize(
    "bad, error, text",
    [
        (float("nan"), ValueError, "not a finite number"),
        (float("inf"), ValueError, "not a finite number"),
        ([1.0, 2.0, float("nan")], ValueError, "the first at position 2"),
        (np.array([1.0, -np.inf]), ValueError, "1 NaN or infinite value"),
        (pd.Series([1.0, None]), ValueError, "NaN or infinite"),
        ("12", TypeError, "got str"),
        ([1.0, "x"], TypeError, "position 1 is 'x'"),
        (True, TypeError, "got True"),
        (None, TypeError, "values must be"),
        (np.ones((3, 2)), ValueError, "one-dimensional"),
        (10**400, ValueError, "too large for a float"),
    ],
)
def test_bad_values_raise_clear_errors_and_change_nothing(bad, error, text):
    monitor = Monitor()
    monitor.update(gaussian(700, 12))
    before = pickle.dumps(monitor)
    with pytest.raises(error, match=text):
        monitor.update(bad)
    assert pickle.dumps(monitor) == before
    assert monitor.n_seen == 700


@pytest.mark.parametrize(
    "options, error, text",
    [
        ({"false_alarm_run": 10}, ValueError, "false_alarm_run must be a number from 100"),
        ({"false_alarm_run": "big"}, TypeError, "false_alarm_run must be a number"),
        ({"warmup": 10}, ValueError, "warmup must be an integer from 30"),
        ({"warmup": 50.5}, TypeError, "warmup must be an integer"),
        ({"max_period": -1}, ValueError, "max_period must be an integer from 0"),
    ],
)
def test_bad_options_are_refused(options, error, text):
    with pytest.raises(error, match=text):
        Monitor(**options)


def test_reset_forgets_values_and_alarms():
    monitor = Monitor(warmup=100)
    monitor.update(change_stream())
    assert monitor.alarms
    monitor.reset()
    assert (monitor.n_seen, monitor.alarms) == (0, ())
    assert pickle.dumps(monitor) == pickle.dumps(Monitor(warmup=100))


def test_a_foreign_state_is_refused():
    monitor = Monitor()
    state = monitor.__getstate__()
    state["core"] = b"quarnmon" + b"\0" * 10
    with pytest.raises(ValueError, match="not a monitor state"):
        Monitor.__new__(Monitor).__setstate__(state)


def test_the_options_table_documents_the_monitor():
    doc = quarn.Monitor.__doc__
    for name in ("false_alarm_run", "warmup", "max_period"):
        assert f"{name}: " in doc
    assert "(monitor options)" not in doc
