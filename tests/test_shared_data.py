"""The caller's data changing during a detection: another thread or the
progress callback writes into the array while the engine runs without the
interpreter lock. The engine must read a private copy: no crash, and the
result is that of the values it was given, which the result keeps.

The threaded race runs in a child interpreter, so that a crash fails the
test instead of ending the test run."""

import os
import subprocess
import sys
import textwrap
from array import array

import numpy as np
import pytest

import quarn

HANG_GUARD = 600  # seconds; a hang guard, not a speed limit


def noisy_steps(n, seed=1):
    rng = np.random.default_rng(seed)
    return np.repeat(rng.normal(scale=3.0, size=n // 500), 500)[:n] + rng.normal(size=n)


@pytest.mark.parametrize("method", ["confirm", "native"])
def test_another_thread_changing_the_array_does_not_reach_the_detector(method):
    code = textwrap.dedent(f"""
        import threading
        import numpy as np
        import quarn

        rng = np.random.default_rng(1)
        x = rng.normal(size=1_000_000)
        options = dict(method={method!r})
        if {method!r} == "native":
            options.update(n_perm=40, window_sizes=[50, 200])
        done = False

        def flip():
            while not done:
                np.negative(x, out=x)

        thread = threading.Thread(target=flip)
        thread.start()
        try:
            results = [quarn.detect(x, **options) for _ in range(3)]
        finally:
            done = True
            thread.join()
        for result in results:
            assert not np.shares_memory(result.values, x)
            assert result == quarn.detect(result.values.copy(), **options)
        print("ok", len(results))
    """)
    environment = dict(os.environ, PYTHONPATH=os.pathsep.join(p for p in sys.path if p))
    child = subprocess.run(
        [sys.executable, "-c", code],
        capture_output=True,
        text=True,
        timeout=HANG_GUARD,
        env=environment,
    )
    assert child.returncode == 0, child.stderr[-3000:]
    assert child.stdout.startswith("ok")


@pytest.mark.parametrize("method", ["confirm", "native"])
@pytest.mark.parametrize("damage", ["shuffle", "nan"])
@pytest.mark.parametrize("kind", ["numpy", "view", "array.array"])
def test_a_progress_callback_changing_the_series_does_not_change_the_result(method, damage, kind):
    original = noisy_steps(20_000)
    options = {"method": method}
    if method == "native":
        options.update(n_perm=40, window_sizes=[50, 100])
    expected = quarn.detect(original.copy(), **options)
    if kind == "array.array":
        series = array("d", original.tolist())
        x = np.frombuffer(series, dtype=np.float64)  # writes reach the caller's array
    else:
        x = original.copy()
        series = x[:] if kind == "view" else x
    rng = np.random.default_rng(7)

    def progress(done, total):
        if damage == "shuffle":
            rng.shuffle(x)
        else:
            x[:] = np.nan

    result = quarn.detect(series, progress=progress, **options)
    assert result == expected
    assert np.array_equal(result.values, original)


def test_detect_many_reads_private_copies():
    a, b = noisy_steps(6_000, seed=2), noisy_steps(6_000, seed=3)
    expected = quarn.detect_many({"a": a.copy(), "b": b.copy()})

    def progress(done, total):
        a[:] = np.nan
        b[::-1].sort()

    assert quarn.detect_many({"a": a, "b": b}, progress=progress).equals(expected)


def test_the_result_keeps_the_array_the_detector_read():
    # One private copy, not two: the result's values are the array the
    # detector was given, which the caller cannot reach.
    x = noisy_steps(3_000)
    result = quarn.detect(x)
    assert not np.shares_memory(result.values, x)
    x[:] = 0.0
    assert np.array_equal(result.values, noisy_steps(3_000))
