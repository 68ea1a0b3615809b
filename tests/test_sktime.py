"""quarn.sktime.QuarnDetector: sktime's own conformance checks, equality with
quarn.detect, and its use in pipelines, wrappers and clones."""

import inspect

import numpy as np
import pytest

import quarn
from quarn.options import OPTIONS
from sample_series import gauss_step, piecewise

pd = pytest.importorskip("pandas")
pytest.importorskip("sktime")
from sklearn.base import clone  # noqa: E402
from sktime.detection.compose import DetectorAsTransformer  # noqa: E402
from sktime.transformations.series.detrend import Detrender  # noqa: E402
from sktime.utils import check_estimator  # noqa: E402

from quarn.sktime import QuarnDetector  # noqa: E402

NATIVE = {"method": "native", "window_sizes": [8, 10, 12], "n_perm": 60}
TWO_STEPS = piecewise(300, levels=(0.0, 3.0, 0.5), seed=5)
DAYS = pd.date_range("2024-01-01", periods=len(TWO_STEPS), freq="D")


def test_check_estimator_passes_every_check():
    results = check_estimator(QuarnDetector, raise_exceptions=True, verbose=False)
    assert len(results) > 50
    assert {outcome for outcome in results.values()} == {"PASSED"}


def test_parameters_are_the_options_of_detect_with_their_defaults():
    parameters = list(inspect.signature(QuarnDetector).parameters.values())
    assert [p.name for p in parameters] == [option.name for option in OPTIONS]
    assert [p.default for p in parameters] == [option.default for option in OPTIONS]
    assert QuarnDetector().get_params() == {option.name: option.default for option in OPTIONS}
    for option in OPTIONS:
        assert f"{option.name}: {option.help.split()[0]}" in QuarnDetector.__doc__


@pytest.mark.parametrize("options", [{}, {"alpha": 0.2, "seed": 9}, NATIVE], ids=repr)
@pytest.mark.parametrize(
    "X, series",
    [
        # sktime hands a numpy array over as a frame with a default index.
        (np.asarray(TWO_STEPS), pd.Series(TWO_STEPS)),
        (pd.Series(TWO_STEPS, name="level"), pd.Series(TWO_STEPS, name="level")),
        (pd.DataFrame({"level": TWO_STEPS}, index=DAYS), pd.Series(TWO_STEPS, DAYS, name="level")),
    ],
    ids=["numpy", "Series", "DataFrame with DatetimeIndex"],
)
def test_results_equal_those_of_detect(options, X, series):
    detector = QuarnDetector(**options).fit(X)
    expected = quarn.detect(series, **options)
    assert expected.positions  # the series has changes to find
    assert detector.predict_result(X) == expected
    found = detector.predict(X)
    assert list(found.columns) == ["ilocs"] and found["ilocs"].dtype == np.int64
    assert found["ilocs"].tolist() == list(expected.positions)
    assert detector.predict_points(X)["ilocs"].tolist() == list(expected.positions)
    table = expected.to_frame()
    pd.testing.assert_frame_equal(
        detector.predict_scores(X), table[["score", "probability", "p_value"]]
    )
    bounds = [0, *expected.positions, len(TWO_STEPS)]
    segments = detector.predict_segments(X)["ilocs"]
    assert [(s.left, s.right) for s in segments] == list(zip(bounds[:-1], bounds[1:]))


def test_gaps_are_left_out_and_positions_stay_those_of_the_series():
    gappy = np.asarray(TWO_STEPS, dtype=float).copy()
    gappy[5:40:3] = np.nan
    X = pd.Series(gappy)
    detector = QuarnDetector().fit(X)
    expected = quarn.detect(X)
    assert expected.n_missing == np.isnan(gappy).sum() and expected.positions
    assert detector.predict(X)["ilocs"].tolist() == list(expected.positions)


def test_series_with_a_datetime_index_keeps_its_labels():
    y = pd.Series(TWO_STEPS, index=DAYS)
    detector = QuarnDetector()
    positions = detector.fit(y).predict(y)["ilocs"].tolist()
    labels = [point.label for point in detector.predict_result(y).change_points]
    assert labels == [DAYS[p] for p in positions]
    marks = detector.fit_transform(y)
    assert marks.index.equals(DAYS)
    assert np.flatnonzero(marks["labels"].to_numpy()).tolist() == positions


# sktime's forecasters announce a coming change of one of their defaults.
@pytest.mark.filterwarnings("ignore:The default of config:FutureWarning")
def test_in_a_pipeline_after_a_detrender():
    # A linear trend with a jump of the level: detrended first, then searched.
    y = pd.Series([0.02 * i + v for i, v in enumerate(gauss_step(300, at=180, seed=4))])
    pipeline = Detrender() * QuarnDetector()
    found = pipeline.fit(y).predict(y)
    residuals = Detrender().fit_transform(y)
    assert found.equals(QuarnDetector().fit(residuals).predict(residuals))
    assert any(abs(p - 180) <= 3 for p in found["ilocs"])


def test_as_a_transformer_marks_the_change_points():
    y = pd.Series(TWO_STEPS)
    marks = DetectorAsTransformer(QuarnDetector(**NATIVE)).fit_transform(y)
    expected = quarn.detect(y, **NATIVE).positions
    assert len(marks) == len(y)
    assert np.flatnonzero(marks.to_numpy().ravel()).tolist() == list(expected)


def test_clone_and_refit():
    first, second = pd.Series(TWO_STEPS), pd.Series(gauss_step(250, at=90, seed=8))
    detector = QuarnDetector(alpha=0.01, seed=5).fit(first)
    for twin in (clone(detector), detector.clone()):
        assert twin.get_params() == detector.get_params() and not twin.is_fitted
    assert twin.fit(second).predict(second).equals(detector.predict(second))
    twin.set_params(**NATIVE)
    assert twin.fit(second).predict_result(second) == quarn.detect(second, alpha=0.01, seed=5, **NATIVE)
    assert detector.get_params()["method"] == "confirm"


@pytest.mark.parametrize(
    "options, X, error, message",
    [
        ({}, pd.DataFrame({"a": TWO_STEPS, "b": TWO_STEPS}), ValueError,
         "QuarnDetector takes a univariate series, but X has 2 columns"),
        ({"missing": "raise"}, pd.Series([1.0, np.nan] * 20), ValueError,
         "series contains 20 NaN"),
        ({"alpha": 2}, pd.Series(TWO_STEPS), ValueError, "alpha must be a fraction"),
        ({"n_perm": 10}, pd.Series(TWO_STEPS), ValueError, "n_perm does not apply"),
    ],
    ids=["two columns", "missing values", "alpha out of range", "option of another method"],
)
def test_refusals_name_the_problem(options, X, error, message):
    detector = QuarnDetector(**options).fit(X)
    for method in (detector.predict, detector.predict_result, detector.predict_points):
        with pytest.raises(error, match=message):
            method(X)


def test_predict_before_fit_is_refused():
    from sktime.exceptions import NotFittedError

    with pytest.raises(NotFittedError):
        QuarnDetector().predict_result(pd.Series(TWO_STEPS))
