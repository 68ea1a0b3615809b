"""quarn.detect and quarn.detect_many as good citizens: Ctrl-C, other
Python threads and progress, through the package's own calls.

Timings here are the behaviour under test, with margins far above the
measured values; the speed of the detector is measured in bench/."""

import json
import os
import subprocess
import sys
import textwrap

import pytest

import quarn
from helpers import largest_heartbeat_gap
from quarn._engine import sweep_positions

np = pytest.importorskip("numpy")

HANG_GUARD = 120  # seconds; a guard against hangs, not a speed limit
SANITIZED = "asan" in os.environ.get("LD_PRELOAD", "")
CTRL_C_BOUND = 2.0 if SANITIZED else 0.2

INTERRUPT_SCRIPT = """
    import json, os, signal, sys, threading, time
    import numpy as np
    import quarn
    if sys.argv[1] == "detect_many":
        import pandas  # which detect_many imports (with pyarrow, when installed)

    call = sys.argv[1]
    values = np.random.default_rng(1).normal(size=10**7) + 5.0
    small = np.random.default_rng(7).normal(size=600) + np.repeat([0.0, 3.0, 0.0], 200)
    expected = quarn.detect(small, method="native", n_perm=50)

    def resident():
        with open("/proc/self/statm") as statm:
            return int(statm.read().split()[1]) * os.sysconf("SC_PAGE_SIZE")

    sent = []

    def interrupt():
        time.sleep(0.7)
        sent.append(time.monotonic())
        signal.pthread_kill(threading.main_thread().ident, signal.SIGINT)

    before = resident()
    helper = threading.Thread(target=interrupt)
    helper.start()
    try:
        if call == "detect":
            quarn.detect(values)
        else:
            quarn.detect_many([values[i::4] for i in range(4)])
        outcome, latency = "finished", None
    except KeyboardInterrupt:
        outcome, latency = "interrupted", time.monotonic()
    helper.join()
    print(json.dumps({"outcome": outcome, "latency": latency - sent[0] if latency else None,
                      "correct": quarn.detect(small, method="native", n_perm=50) == expected,
                      "grown": resident() - before}))
"""


def _interrupted(call):
    done = subprocess.run([sys.executable, "-c", textwrap.dedent(INTERRUPT_SCRIPT), call],
                          capture_output=True, text=True, timeout=HANG_GUARD)
    assert done.returncode == 0, done.stderr
    report = json.loads(done.stdout)
    assert report["outcome"] == "interrupted"
    return report


@pytest.mark.parametrize("call", ["detect", "detect_many"])
def test_ctrl_c_stops_a_long_detection_and_the_next_call_works(call):
    report = _interrupted(call)
    assert report["latency"] < CTRL_C_BOUND
    assert report["correct"]


@pytest.mark.parametrize("call", ["detect", "detect_many"])
def test_interrupted_detection_keeps_rss_and_references_flat(call):
    # The scaled copy of the series (80 MB) and the stopped run are freed.
    assert _interrupted(call)["grown"] < 32 * 2**20


def test_other_threads_keep_running_during_detect():
    series = np.random.default_rng(3).normal(size=10**6) + 100.0
    assert largest_heartbeat_gap(lambda: quarn.detect(series)) < 0.05


def test_progress_reports_in_order_up_to_the_total():
    series = np.random.default_rng(4).normal(size=4 * 10**5)
    calls = []
    found = quarn.detect(series, method="native", n_perm=1000,
                         progress=lambda done, total: calls.append((done, total)))
    total = sweep_positions(series.size)
    assert len(calls) >= 2 and calls[-1] == (total, total)
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
