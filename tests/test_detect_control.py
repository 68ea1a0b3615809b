"""quarn.detect and quarn.detect_many as good citizens: Ctrl-C, other
Python threads and progress, through the package's own calls.

No outcome here depends on timing or load: Ctrl-C is sent once the
detection reports progress (so it is known to be running), and reports are
checked for their order and their end, not counted. How soon Ctrl-C is
answered is measured in bench/bench_engine_interrupt.py."""

import json
import os
import subprocess
import sys
import textwrap

import pytest

import quarn
from helpers import sweep_positions, works_alongside

np = pytest.importorskip("numpy")

HANG_GUARD = 120  # seconds; a guard against hangs, not a speed limit

INTERRUPT_SCRIPT = """
    import json, signal, sys, threading, time
    import numpy as np
    import quarn
    if sys.argv[1] == "detect_many":
        import pandas  # which detect_many imports (with pyarrow, when installed)

    call = sys.argv[1]
    values = np.random.default_rng(1).normal(size=10**7) + 5.0
    small = np.random.default_rng(7).normal(size=600) + np.repeat([0.0, 3.0, 0.0], 200)
    expected = quarn.detect(small, method="native", n_perm=50)

    from helpers import resident_bytes

    def resident():
        # Freed memory that the C library keeps for reuse is no leak.
        return resident_bytes(trim=True)

    running = threading.Event()
    reports = []

    def progress(done, total):
        reports.append((done, total))
        running.set()

    def interrupt():
        running.wait()
        signal.pthread_kill(threading.main_thread().ident, signal.SIGINT)

    before = resident()
    helper = threading.Thread(target=interrupt, daemon=True)
    helper.start()
    try:
        if call == "detect":
            quarn.detect(values, progress=progress)
        else:
            quarn.detect_many([values[i::4] for i in range(4)], progress=progress)
        outcome = "finished"
    except KeyboardInterrupt:
        outcome = "interrupted"
    helper.join()
    print(json.dumps({"outcome": outcome,
                      "stopped_early": all(done < total for done, total in reports),
                      "correct": quarn.detect(small, method="native", n_perm=50) == expected,
                      "grown": resident() - before}))
"""


def _interrupted(call):
    # The script imports this folder's helpers.
    environment = dict(os.environ, PYTHONPATH=os.pathsep.join(p for p in sys.path if p))
    done = subprocess.run([sys.executable, "-c", textwrap.dedent(INTERRUPT_SCRIPT), call],
                          capture_output=True, text=True, timeout=HANG_GUARD, env=environment)
    assert done.returncode == 0, done.stderr
    report = json.loads(done.stdout)
    assert report["outcome"] == "interrupted"
    return report


@pytest.mark.parametrize("call", ["detect", "detect_many"])
def test_ctrl_c_stops_a_long_detection_and_the_next_call_works(call):
    report = _interrupted(call)
    assert report["stopped_early"]  # no final report: the run did not finish
    assert report["correct"]


@pytest.mark.parametrize("call", ["detect", "detect_many"])
def test_interrupted_detection_keeps_rss_and_references_flat(call):
    # The scaled copy of the series (80 MB) and the stopped run are freed.
    assert _interrupted(call)["grown"] < 32 * 2**20


def test_other_threads_keep_running_during_detect():
    # Progress is reported at most every 0.1 s, and only when more positions
    # were swept. The native method sweeps through its whole run; the
    # default method sweeps its candidate windows in a fraction of its run,
    # which can fit between two reports, so that its first report would be
    # the last (and the other thread would start only once the call
    # returned). Both methods wait on the engine the same way.
    series = np.random.default_rng(3).normal(size=3 * 10**6) + 100.0  # seconds
    assert works_alongside(
        lambda progress: quarn.detect(series, method="native", progress=progress))


def test_progress_reports_in_order_up_to_the_total():
    series = np.random.default_rng(4).normal(size=4 * 10**5)
    calls = []
    found = quarn.detect(series, method="native", n_perm=1000,
                         progress=lambda done, total: calls.append((done, total)))
    total = sweep_positions(series.size)
    # How many reports come before the last depends on the machine's speed.
    assert calls[-1] == (total, total)
    assert all(t == total for _, t in calls)
    assert [d for d, _ in calls] == sorted(d for d, _ in calls)
    assert "progress" not in found.options
    assert found == quarn.detect(series, method="native", n_perm=1000)


def test_an_exception_in_progress_stops_detect():
    series = np.random.default_rng(5).normal(size=10**6)

    def progress(done, total):
        raise ZeroDivisionError(f"stopped at {done} of {total}")

    with pytest.raises(ZeroDivisionError):
        quarn.detect(series, progress=progress)
    assert quarn.detect(series[:500], method="native", n_perm=20).n_samples == 500
