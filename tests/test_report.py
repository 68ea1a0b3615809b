"""What a result says about each change (location interval, direction,
effect) and about the segments between changes, in every public output."""

import json
import math

import numpy as np
import pytest

import quarn
from sample_series import gauss_step

pd = pytest.importorskip("pandas")

GRID = np.linspace(-1.5, 1.5, 61)  # median 0, median absolute deviation 0.75


def shuffled(values, seed):
    return np.random.default_rng(seed).permutation(np.asarray(values, dtype=np.float64))


def robust(values):
    """Median and 1.4826 times the median absolute deviation, by numpy."""
    values = np.asarray(values)
    level = float(np.median(values))
    return level, 1.4826 * float(np.median(np.abs(values - level)))


def ls_slope(values):
    return float(np.polyfit(np.arange(len(values)), values, 1)[0])


def only_change(result):
    (point,) = result.change_points
    return point


@pytest.mark.parametrize("shift, direction", [(4.0, "up"), (-4.0, "down")])
def test_level_change_effect_and_segments_match_hand_figures(shift, direction):
    left = shuffled(GRID, 1)
    right = shift + 2.0 * shuffled(GRID, 2)
    result = quarn.detect(np.r_[left, right])
    point = only_change(result)
    assert (point.position, point.kind, point.direction) == (61, "level", direction)
    (l_level, l_spread), (r_level, r_spread) = robust(left), robust(right)
    pooled = math.sqrt((l_spread**2 + r_spread**2) / 2)  # equal sides
    assert point.effect == pytest.approx((r_level - l_level) / pooled, rel=1e-12)
    first, second = result.segments
    assert (first.start, first.stop, first.count) == (0, 61, 61)
    assert (second.start, second.stop, second.count) == (61, 122, 61)
    assert (first.level, first.spread) == pytest.approx((l_level, l_spread), rel=1e-12)
    assert (second.level, second.spread) == pytest.approx((r_level, r_spread), rel=1e-12)
    assert first.slope is None and second.slope is None


@pytest.mark.parametrize("ratio, direction", [(4.0, "up"), (0.25, "down")])
def test_spread_change_effect_is_the_ratio_of_robust_spreads(ratio, direction):
    left = shuffled(np.tile(GRID, 3), 3)
    right = ratio * shuffled(np.tile(GRID, 3), 4)
    point = only_change(quarn.detect(np.r_[left, right]))
    assert point.kind == "spread" and point.direction == direction
    assert point.effect == pytest.approx(robust(right)[1] / robust(left)[1], rel=1e-12)


def test_slope_change_effect_and_trending_segments():
    t = np.arange(120.0)
    wiggle = np.tile([-0.5, 0.5, 0.25, -0.25], 30)
    x = np.where(t < 60, 0.2 * t, 12.0 - 0.3 * (t - 60)) + wiggle
    result = quarn.detect(x)
    point = only_change(result)
    assert point.kind == "slope" and point.direction == "down"
    c = point.position
    assert point.effect == pytest.approx(ls_slope(x[c:]) - ls_slope(x[:c]), rel=1e-9)
    first, second = result.segments
    assert first.slope == pytest.approx(ls_slope(x[:c]), rel=1e-9)
    assert second.slope == pytest.approx(ls_slope(x[c:]), rel=1e-9)


def test_native_has_no_intervals_but_segments_between_its_points():
    x = np.asarray(gauss_step(400, at=200, shift=3.0, seed=4))
    result = quarn.detect(x, method="native", n_perm=60)
    assert result.change_points
    for p in result.change_points:
        assert (p.interval, p.direction, p.effect, p.interval_labels) == (None,) * 4
    ends = [0, *result.positions, len(x)]
    assert [(s.start, s.stop, s.count) for s in result.segments] == [
        (a, b, b - a) for a, b in zip(ends, ends[1:])
    ]
    for s in result.segments:
        assert (s.level, s.spread) == pytest.approx(robust(x[s.start : s.stop]), rel=1e-12)


@pytest.mark.parametrize("noise", [0.0, 1e-3])
def test_an_exact_step_gets_an_interval_of_width_0_or_1(noise):
    x = np.zeros(300)
    x[150:] = 5.0
    x += noise * shuffled(np.tile(GRID[:50], 6), 5)
    point = only_change(quarn.detect(x))
    low, high = point.interval
    assert low <= 150 <= high and high - low <= 1


def test_weak_changes_get_wider_intervals_than_strong_ones():
    rng = np.random.default_rng(11)
    noise = rng.standard_normal(1000)
    widths = []
    for shift in (3.0, 1.0):
        x = noise.copy()
        x[500:] += shift
        low, high = only_change(quarn.detect(x)).interval
        widths.append(high - low)
    assert widths[1] > widths[0]


def test_intervals_hold_their_point_and_stay_between_neighbours():
    rng = np.random.default_rng(3)
    for _ in range(8):
        x = np.repeat(rng.normal(0, 1.2, 8), 60) + rng.standard_normal(480)
        result = quarn.detect(x)
        ends = [0, *result.positions, len(x)]
        for i, p in enumerate(result.change_points):
            low, high = p.interval
            assert ends[i] < low <= p.position <= high < ends[i + 2]


def test_intervals_cover_about_as_often_as_asked():
    # A loose property on a small seeded suite; bench/intervals.py measures
    # the coverage properly.
    rng = np.random.default_rng(2026)
    held = {0.8: [], 0.95: []}
    for _ in range(40):
        at = int(rng.integers(120, 280))
        x = rng.standard_normal(400)
        x[at:] += 1.2
        for confidence in held:
            result = quarn.detect(x, confidence=confidence)
            near = [p for p in result.change_points if abs(p.position - at) <= 20]
            if near:
                low, high = near[0].interval
                held[confidence].append(low <= at <= high)
    assert 0.6 <= np.mean(held[0.8]) <= 0.97
    assert 0.85 <= np.mean(held[0.95]) <= 1.0
    assert len(held[0.8]) >= 35


def test_results_do_not_depend_on_workers():
    x = np.asarray(gauss_step(3000, at=1300, shift=0.8, seed=9))
    one = quarn.detect(x, workers=1)
    assert one == quarn.detect(x, workers=2)
    assert one.change_points[0].interval is not None


@pytest.mark.parametrize("value, error", [(0, ValueError), (1.0, ValueError),
                                          (float("nan"), ValueError), ("0.9", TypeError)])
def test_confidence_is_checked(value, error):
    with pytest.raises(error, match="confidence"):
        quarn.detect(np.zeros(50), confidence=value)


def test_confidence_is_refused_for_the_native_method():
    with pytest.raises(ValueError, match="confidence does not apply"):
        quarn.detect(np.zeros(50), method="native", confidence=0.9)


def test_time_labels_of_the_interval():
    days = pd.date_range("2024-01-01", periods=300, freq="D")
    x = np.random.default_rng(8).standard_normal(300)
    x[140:] += 3.0
    point = only_change(quarn.detect(pd.Series(x, index=days)))
    low, high = point.interval
    assert point.interval_labels == (days[low], days[high])
    frame = quarn.detect(pd.Series(x, index=days)).segments_frame()
    assert frame["start_label"].tolist() == [days[0], days[point.position]]
    assert frame["stop_label"].tolist() == [days[point.position - 1], days[-1]]


@pytest.fixture(scope="module")
def two_changes():
    x = np.asarray(gauss_step(500, at=200, shift=3.0, seed=3))
    x[350:] += 2.0 * np.asarray(gauss_step(150, at=0, shift=0.0, seed=5))
    return quarn.detect(x)


def test_frames_carry_the_new_columns(two_changes):
    frame = two_changes.to_frame()
    points = two_changes.change_points
    assert frame["interval_low"].tolist() == [p.interval[0] for p in points]
    assert frame["interval_high"].tolist() == [p.interval[1] for p in points]
    assert frame["direction"].tolist() == [p.direction for p in points]
    assert frame["effect"].tolist() == [np.nan if p.effect is None else p.effect for p in points]
    segments = two_changes.segments_frame()
    assert list(segments.columns) == ["start", "stop", "count", "level", "spread", "slope"]
    assert segments["level"].tolist() == [s.level for s in two_changes.segments]
    tidy = quarn.detect_many({"a": two_changes.values})
    pd.testing.assert_frame_equal(tidy.drop(columns="series"), frame)


def test_json_round_trip_keeps_every_field(two_changes):
    back = quarn.DetectionResult.from_json(two_changes.to_json())
    assert back == two_changes
    assert [p.interval for p in back.change_points] == [p.interval for p in two_changes.change_points]
    assert back.segments == two_changes.segments


def test_damaged_intervals_are_refused(two_changes):
    document = json.loads(two_changes.to_json())
    # No longer holds its change point.
    document["change_points"]["interval_low"][0] = 0
    document["change_points"]["interval_high"][0] = 1
    with pytest.raises(ValueError, match="intervals"):
        quarn.DetectionResult.from_json(json.dumps(document))
    document = json.loads(two_changes.to_json())
    document["segments"]["starts"][1] += 1
    with pytest.raises(ValueError, match="segments"):
        quarn.DetectionResult.from_json(json.dumps(document))


def test_the_notebook_view_shows_intervals_and_segments(two_changes):
    page = two_changes._repr_html_()
    low, high = two_changes.change_points[0].interval
    assert f"<td>{low}-{high}</td>" in page and "<th>effect</th>" in page
    assert "Segments" in page and "<th>spread</th>" in page


def test_plot_draws_interval_bands_and_segment_levels(two_changes):
    matplotlib = pytest.importorskip("matplotlib")
    matplotlib.use("Agg")
    import matplotlib.pyplot as plt

    ax = two_changes.plot()
    try:
        labels = [h.get_label() for h in ax.get_legend_handles_labels()[0]]
        assert any(label.startswith("location interval (90%)") for label in labels)
        assert "segment level (median)" in labels
        wide = [p for p in two_changes.change_points if p.interval[1] > p.interval[0]]
        assert wide and len(ax.patches) == len(wide)
        for patch, point in zip(ax.patches, wide):
            extent = patch.get_x(), patch.get_x() + patch.get_width()
            assert extent == pytest.approx(point.interval)
        levels = sorted(
            float(line[0][1])
            for c in ax.collections
            for line in c.get_segments()
            if len(line) == 2 and line[0][1] == line[1][1]
        )
        assert levels == sorted(s.level for s in two_changes.segments)
    finally:
        plt.close("all")


def run_cli(*args, cwd):
    import os
    import subprocess
    import sys

    return subprocess.run(
        [sys.executable, "-m", "quarn", *map(str, args)], capture_output=True, text=True,
        cwd=cwd, env={**os.environ, "MPLBACKEND": "Agg"},
    )


@pytest.fixture(scope="module")
def step_file(tmp_path_factory):
    x = np.random.default_rng(4).standard_normal(300)
    x[120:] += 2.5
    folder = tmp_path_factory.mktemp("cli")
    rows = "".join(f"2024-01-{1 + i // 24:02d}T{i % 24:02d},{v!r}\n" for i, v in enumerate(x.tolist()))
    (folder / "step.csv").write_text("time,value\n" + rows)
    return folder, x


@pytest.mark.parametrize("confidence", [None, 0.8])
def test_cli_table_and_json_show_interval_and_effect(step_file, confidence):
    folder, x = step_file
    extra = [] if confidence is None else ["--confidence", confidence]
    expected = only_change(quarn.detect(x, confidence=confidence or 0.9))
    low, high = expected.interval
    table = run_cli("detect", "step.csv", "--column", "value", *extra, cwd=folder)
    assert table.returncode == 0, table.stderr
    header = next(line for line in table.stdout.splitlines() if "position" in line)
    assert "interval" in header and "effect" in header and "direction" in header
    assert f"{low}-{high}" in table.stdout and f"{expected.effect:.3g}" in table.stdout
    document = json.loads(
        run_cli("detect", "step.csv", "--column", "value", "--json", *extra, cwd=folder).stdout
    )
    (point,) = document[0]["change_points"]
    assert point["interval"] == [low, high] and point["direction"] == expected.direction
    assert point["effect"] == expected.effect
    assert [s["stop"] for s in document[0]["segments"]] == [expected.position, len(x)]


def test_cli_prints_the_interval_in_time_labels(step_file):
    folder, x = step_file
    done = run_cli("detect", "step.csv", "--time-column", "time", cwd=folder)
    assert done.returncode == 0, done.stderr
    low, high = only_change(quarn.detect(x)).interval
    label = lambda i: f"2024-01-{1 + i // 24:02d}T{i % 24:02d}"  # noqa: E731
    assert "time interval" in done.stdout
    assert f"{label(low)} to {label(high)}" in done.stdout
