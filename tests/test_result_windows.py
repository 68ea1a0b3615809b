"""A detection's window results are built when first looked up: the result
reads, compares, copies and pickles as if they had been built at once."""

import copy
import pickle

import pytest

import quarn
from quarn.result import FrozenMapping, WindowResult
from sample_series import piecewise

np = pytest.importorskip("numpy")

SERIES = piecewise(1200, levels=(0.0, 2.0, -1.0), scales=(1.0, 3.0), seed=11)


@pytest.fixture(params=["confirm", "native"])
def fresh(request):
    """A new result each time, none of its window results looked up yet."""
    options = {"method": request.param}
    if request.param == "native":
        options.update(window_sizes=[10, 25, 60], n_perm=60)
    return lambda: quarn.detect(SERIES, **options)


@pytest.mark.parametrize(
    "travel",
    [
        pytest.param(lambda r: pickle.loads(pickle.dumps(r)), id="pickle"),
        pytest.param(copy.deepcopy, id="deepcopy"),
        pytest.param(copy.copy, id="copy"),
        pytest.param(lambda r: quarn.DetectionResult.from_json(r.to_json()), id="json"),
    ],
)
def test_an_untouched_result_travels_whole(fresh, travel):
    moved = travel(fresh())
    reference = fresh()
    assert list(moved.window_results) == list(reference.window_results)
    for size, window in reference.window_results.items():
        assert moved.window_results[size] == window
        assert not moved.window_results[size].statistics.flags.writeable
    assert moved == reference


def test_lookups_in_any_order_give_the_same_windows(fresh):
    first, second = fresh(), fresh()
    sizes = list(first.window_results)
    assert sizes == sorted(sizes) and sizes
    backwards = {size: second.window_results[size] for size in reversed(sizes)}
    for size in sizes:
        window = first.window_results[size]
        assert isinstance(window, WindowResult) and window.window_size == size
        assert first.window_results[size] is window  # built once
        assert window == backwards[size]
    assert repr(first.window_results) == repr(FrozenMapping(dict(second.window_results)))
    assert first.window_results == FrozenMapping(backwards)
    assert first.to_dict() == second.to_dict()


def test_the_mapping_stays_read_only(fresh):
    windows = fresh().window_results
    with pytest.raises(TypeError):
        windows[5] = None  # type: ignore[index]
    with pytest.raises(KeyError):
        windows[3]
    assert 3 not in windows
    assert isinstance(pickle.loads(pickle.dumps(windows)), FrozenMapping)


def test_the_engines_windows_are_made_once_and_in_order():
    from quarn import _engine, _runner
    from quarn.options import check_options

    options = check_options({"method": "confirm"})
    (detection,) = _engine.run(
        [np.asarray(SERIES)], **_runner.engine_arguments(options), skip_missing=False
    )
    windows = detection["windows"]
    sizes = windows.window_sizes
    assert len(windows) == len(sizes) >= 2 and list(sizes) == sorted(set(sizes))
    last = windows[-1]
    assert last is windows[len(sizes) - 1] and last["window_size"] == sizes[-1]
    assert [window["window_size"] for window in windows] == list(sizes)
    for bad in (len(sizes), -len(sizes) - 1):
        with pytest.raises(IndexError):
            windows[bad]
    del detection, windows
    assert not last["statistics"].flags.writeable and np.isfinite(last["statistics"]).all()


def test_threads_reading_a_fresh_result_get_the_same_windows(fresh):
    from concurrent.futures import ThreadPoolExecutor

    reference = fresh()
    shared = fresh()
    sizes = list(reference.window_results)

    def read(offset):
        turned = sizes[offset % len(sizes):] + sizes[: offset % len(sizes)]
        return {size: shared.window_results[size] for size in turned}

    with ThreadPoolExecutor(4) as pool:
        seen = list(pool.map(read, range(8)))
    for found in seen:
        assert found == dict(reference.window_results)
