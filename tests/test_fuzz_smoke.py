"""Smoke run of the boundary fuzzing harness (fuzz/fuzz_boundary.py).

The harness decodes bytes into calls of the native functions with hostile
arguments and checks every outcome. Here it replays the committed seed
corpus and a few hundred random inputs, without atheris; the checks of the
harness itself are tested on results broken on purpose.
"""

import importlib.util
import math
import pathlib
import random
import sys

import pytest

FUZZ = pathlib.Path(__file__).resolve().parents[1] / "fuzz"
CORPUS = FUZZ / "corpus" / "boundary"

if not (FUZZ / "fuzz_boundary.py").is_file():
    pytest.skip("fuzz/ is not part of this tree", allow_module_level=True)


def load_harness():
    spec = importlib.util.spec_from_file_location("fuzz_boundary", FUZZ / "fuzz_boundary.py")
    module = importlib.util.module_from_spec(spec)
    sys.modules.setdefault("fuzz_boundary", module)
    spec.loader.exec_module(module)
    return module


harness = load_harness()


def run_inputs(inputs):
    """Runs every input; returns the failures as (label, message)."""
    failures = []
    for label, data in inputs:
        try:
            harness.one_input(data)
        except harness.Finding as finding:
            failures.append((label, str(finding)[:300]))
        except Exception as error:  # a harness error is a failure too
            failures.append((label, "%s: %s" % (type(error).__name__, error)))
    return failures


def test_seed_corpus_replays_cleanly():
    files = sorted(CORPUS.iterdir())
    assert len(files) >= 50
    failures = run_inputs((path.name, path.read_bytes()) for path in files)
    assert failures == []


@pytest.mark.parametrize("seed", [1, 2, 3])
def test_random_inputs_run_cleanly(seed):
    rng = random.Random(seed)
    inputs = []
    for index in range(120):
        size = rng.choice([0, 1, 4, 16, 64, 256, 1024])
        inputs.append(("seed %d input %d" % (seed, index),
                       bytes(rng.randrange(256) for _ in range(size))))
    assert run_inputs(inputs) == []


def test_every_function_is_reached_by_the_corpus():
    reached = set()
    for path in sorted(CORPUS.iterdir()):
        reached.add(harness.Call(harness.Source(path.read_bytes())).name)
    assert reached == set(harness.FUNCTIONS)


# --- the harness's checks catch broken results ------------------------------

def call_of(name, **values):
    call = harness.Call(harness.Source(b"\x00"))
    call.name = name
    call.values = dict(values)
    return call


SERIES = [0.0] * 10 + [10.0] * 10


def window_result(**changes):
    result = {"change_points": [10], "starts": [0, 5, 10], "statistics": [0.0, 10.0, 0.0],
              "tapered_block_bootstrap_threshold": [0.0, 0.0, 0.0],
              "localized_regions": [(5, 15)]}
    result.update(changes)
    return result


def detector_result(**out_changes):
    out = {"leaders_segment_votes": {10: 1}, "leaders_scores": {10: 1.0},
           "leaders_probs": {10: 1.0}, "cdf": [(10, 1.0)]}
    out.update(out_changes)
    return {"cp_dict": {5: [10]}, "window_results": {5: window_result()}, "out": out}


def test_checks_accept_a_correct_single_window_result():
    harness.check_result(call_of("quarn_single_window", series=SERIES, window_size=5, n_perm=20),
                         window_result())


def test_checks_accept_a_correct_detector_result():
    harness.check_result(call_of("quarn_detector", series=SERIES, window_sizes=[5.0], tol=2,
                                 n_perm=20), detector_result())


@pytest.mark.parametrize(
    "name, values, result",
    [
        ("refine_cusum", {"series": [1.0, 2.0, 3.0]}, 3),  # split beyond n - 1
        ("refine_cusum", {"series": [1.0, 2.0, 3.0]}, 0),
        ("refine_cusum", {"series": [0.0, 0.0, 0.0, 10.0, 10.0, 10.0]}, 2),  # not the maximum
        ("swal_statistic", {"series": [1.0, 2.0, 3.0]}, 1.0),  # not an int
        ("refine_wasserstein", {"series": [1.0, 2.0, 3.0]}, (1, [math.nan, 0.5])),  # too short
        ("refine_wasserstein", {"series": [1.0, 2.0, 3.0]}, (2, [math.nan, 0.5, 0.25])),
        ("refine_wasserstein", {"series": [1.0, 2.0, 3.0]}, [1, [math.nan, 0.5, 0.25]]),
        ("wasserstein_statistic", {"left": [0.0, 1.0], "right": [0.5]}, 0.25),  # wrong value
        ("ipm_statistic", {"left": [0.0], "right": [1.0]}, -1.0),
        ("quarn_single_window", {"series": SERIES, "window_size": 5},
         window_result(starts=[0, 5])),  # lengths differ
        ("quarn_single_window", {"series": SERIES, "window_size": 5},
         window_result(change_points=[15])),  # not strictly inside its region
        ("quarn_single_window", {"series": SERIES, "window_size": 5},
         window_result(localized_regions=[(5, 12)])),  # not on window boundaries
        ("quarn_single_window", {"series": SERIES, "window_size": 5},
         window_result(localized_regions=[[5, 15]])),  # a list, not a tuple
        ("quarn_single_window", {"series": SERIES, "window_size": 5, "n_perm": 0},
         window_result()),  # thresholds without replicates
        ("quarn_detector", {"series": SERIES, "window_sizes": [5.0], "tol": 2},
         detector_result(cdf=[(10, 0.5)])),  # cdf does not end at 1
        ("quarn_detector", {"series": SERIES, "window_sizes": [5.0], "tol": 2},
         detector_result(leaders_scores={11: 1.0})),  # leaders differ
        ("quarn_detector", {"series": SERIES, "window_sizes": [6.0], "tol": 2},
         detector_result()),  # window sizes differ
        ("quarn_detector", {"series": SERIES, "window_sizes": [5.0], "tol": 2},
         detector_result(leaders_segment_votes={10: 2})),  # votes differ from the reference
    ],
)
def test_checks_reject_broken_results(name, values, result):
    with pytest.raises(harness.Finding):
        harness.check_result(call_of(name, **values), result)


@pytest.mark.parametrize(
    "error",
    [RuntimeError("unexpected native exception"), SystemError("error return without exception"),
     KeyError("x"), harness.Misused("str subclass compared with ==")],
)
def test_checks_reject_exceptions_outside_the_contract(error):
    with pytest.raises(harness.Finding):
        harness.check_exception(call_of("refine_cusum"), error)


def test_checks_want_the_cause_of_a_prefixed_error_kept():
    error = TypeError("argument 'series': planted type error")
    with pytest.raises(harness.Finding):
        harness.check_exception(call_of("refine_cusum"), error)
    error.__cause__ = harness.Planted("cause")
    harness.check_exception(call_of("refine_cusum"), error)
