"""The package's default method ("confirm") through quarn.detect, detect_many
and the command line: what it finds on constructed series, the figures it
reports, determinism, and the options it refuses."""

import json
import subprocess
import sys

import pytest

import quarn

np = pytest.importorskip("numpy")
pd = pytest.importorskip("pandas")


def noise(n, seed):
    return np.random.default_rng(seed).normal(size=n)


def step(n=600, at=300, jump=2.0, seed=1):
    x = noise(n, seed)
    x[at:] += jump
    return x


def spread(n=1200, at=600, factor=4.0, seed=2):
    x = noise(n, seed)
    x[at:] *= factor
    return x


def trend(n=800, seed=3):
    return noise(n, seed) + np.linspace(0.0, 8.0, n)


@pytest.mark.parametrize(
    "values, position, kind",
    [(step(), 300, "level"), (spread(), 600, "spread")],
    ids=["level", "spread"],
)
def test_a_single_change_is_found_with_its_kind(values, position, kind):
    found = quarn.detect(values)
    assert len(found.change_points) == 1
    (point,) = found.change_points
    assert abs(point.position - position) <= 3 and point.kind == kind
    assert 0.0 <= point.p_value <= found.options["alpha"]


@pytest.mark.parametrize(
    "values", [trend(), noise(2000, 4), noise(500, 5)], ids=["trend", "noise-2000", "noise-500"]
)
def test_no_change_gives_no_change_point(values):
    assert quarn.detect(values).change_points == ()


def test_votes_scores_and_probabilities_follow_the_window_results():
    x = np.concatenate([noise(400, 6), noise(400, 7) + 3.0, noise(400, 8) * 3.0])
    found = quarn.detect(x)
    sizes = len(found.window_results)
    assert sizes == 6 and len(found.change_points) >= 2
    # Votes count the window sizes that reported a change point within
    # their own size of this one, counted here from the window results; the
    # score is their share of the six, and the probabilities share out the
    # scores: all three follow from those counts alone.
    near = {
        point.position: sum(
            any(abs(int(c) - point.position) <= size for c in window.change_points)
            for size, window in found.window_results.items()
        )
        for point in found.change_points
    }
    total = sum(near.values())
    for point in found.change_points:
        assert point.votes == near[point.position]
        assert point.score == pytest.approx(near[point.position] / 6)
        assert point.probability == pytest.approx(near[point.position] / total)
    assert found.method == "confirm" and found.options["alpha"] == 0.05
    assert found.options["n_perm"] is None and found.options["window_sizes"] is None


def test_the_same_bits_for_any_number_of_workers():
    x = np.concatenate([step(), spread()])
    reference = quarn.detect(x, workers=1)
    for workers in (2, 3, None):
        other = quarn.detect(x, workers=workers)
        assert other.change_points == reference.change_points
        assert other.window_results == reference.window_results
    assert quarn.detect(x, **reference.options) == reference


def test_window_figures_are_in_the_series_units():
    x = step()
    base, scaled = quarn.detect(x), quarn.detect(x * 1e6 + 5e7)
    assert scaled.positions == base.positions
    for size, window in scaled.window_results.items():
        np.testing.assert_allclose(window.statistics / 1e6, base.window_results[size].statistics)


def test_a_smaller_alpha_keeps_a_subset():
    x = np.concatenate([noise(300, 9), noise(300, 10) + 0.6, noise(300, 11) + 2.5])
    loose, strict = quarn.detect(x, alpha=0.2), quarn.detect(x, alpha=0.001)
    assert set(strict.positions) <= set(loose.positions)


@pytest.mark.parametrize(
    "options, message",
    [
        ({"window_sizes": [10]}, "window_sizes does not apply to method='confirm'"),
        ({"n_perm": 50}, "n_perm does not apply to method='confirm'"),
        ({"center": False}, "center does not apply to method='confirm'"),
        ({"alpha": 0.0}, r"alpha must be above 0 for the confirm method, got 0\.0"),
        ({"method": "best"}, "method must be 'confirm' or 'native', got 'best'"),
    ],
)
def test_options_of_another_method_are_refused(options, message):
    with pytest.raises(ValueError, match=message):
        quarn.detect(step(), **options)


def test_short_series_warn_that_nothing_was_analysed():
    with pytest.warns(quarn.QuarnWarning, match="window size 5 needs at least 10 values"):
        assert quarn.detect([0.0, 1.0, 0.0, 1.0, 5.0, 5.0, 6.0]).change_points == ()


def test_detect_many_equals_a_loop_of_detect():
    data = {"step": step(), "spread": spread(), "flat": noise(300, 12), "short": step(40, 20)}
    table = quarn.detect_many(data)
    frames = [quarn.detect(v).to_frame().assign(series=k) for k, v in data.items()]
    expected = pd.concat(frames, ignore_index=True)[list(table.columns)]
    pd.testing.assert_frame_equal(table, expected)
    assert set(table["kind"]) <= {"level", "slope", "spread", "shape", "pattern"}


def test_detect_many_refuses_an_option_before_naming_any_series():
    with pytest.raises(ValueError, match=r"^alpha must be above 0 for the confirm method"):
        quarn.detect_many({"good": step()}, alpha=0.0)


def test_detect_many_names_the_failing_series():
    with pytest.raises(ValueError, match="series 'bad': series contains 1 NaN"):
        quarn.detect_many(
            {"good": step(), "bad": [1.0, float("nan"), 2.0, 3.0]}, missing="raise"
        )


def test_kinds_and_p_values_survive_json_and_pickle():
    import pickle

    found = quarn.detect(np.concatenate([step(), spread()]))
    assert quarn.DetectionResult.from_json(found.to_json()) == found
    back = pickle.loads(pickle.dumps(found))
    assert back == found and [p.kind for p in back.change_points] == [
        p.kind for p in found.change_points
    ]


def test_the_command_line_runs_the_method_by_default(tmp_path):
    (tmp_path / "x.txt").write_text("".join(f"{float(v)!r}\n" for v in step()))
    run = [sys.executable, "-m", "quarn", "detect", "x.txt"]
    text = subprocess.run(run, capture_output=True, text=True, cwd=tmp_path, check=True).stdout
    assert "kind" in text and "level" in text
    document = json.loads(
        subprocess.run(
            [*run, "--json"], capture_output=True, text=True, cwd=tmp_path, check=True
        ).stdout
    )
    (item,) = document
    assert item["method"] == "confirm"
    assert [(p["position"], p["kind"]) for p in item["change_points"]] == [
        (p.position, p.kind) for p in quarn.detect(step()).change_points
    ]
    native = subprocess.run(
        [*run, "--method", "native", "--window-sizes", "10-12"],
        capture_output=True,
        text=True,
        cwd=tmp_path,
    )
    assert native.returncode == 0 and "kind" not in native.stdout
    refused = subprocess.run([*run, "--n-perm", "50"], capture_output=True, text=True, cwd=tmp_path)
    assert refused.returncode == 2
    assert refused.stderr == (
        "quarn: error: --n-perm does not apply to --method confirm; "
        "it is an option of method 'native'\n"
    )
