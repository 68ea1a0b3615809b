"""The threads the engine runs detections on: one that ran a detection
serves the next, whatever ended the one before (success, a failure, an
exception from the progress callback), from one Python thread or several;
none is left for a forked child to trip over."""

import os
import sys
import threading

import numpy as np
import pytest

import quarn
from helpers import thread_count

SERIES = np.random.default_rng(3).normal(size=800) + np.repeat([0.0, 2.0, 0.0, -1.0], 200)
HANG_GUARD = 120  # seconds; a guard against hangs, not a speed limit


def _failing(kind):
    if kind == "progress raises":
        with pytest.raises(ZeroDivisionError):
            quarn.detect(SERIES, progress=lambda done, total: 1 / 0)
    elif kind == "bad series":
        with pytest.raises(ValueError):
            quarn.detect(np.array([1.0, np.inf, 2.0, 3.0]))
    else:
        quarn.detect(SERIES)


@pytest.mark.skipif(not os.path.exists("/proc/self/status"), reason="needs /proc")
@pytest.mark.parametrize("between", ["success", "progress raises", "bad series"])
def test_calls_in_turn_reuse_their_threads(between):
    expected = quarn.detect(SERIES)
    for _ in range(3):  # the worker pool is up, and a run thread waits
        _failing(between)
        quarn.detect(SERIES)
    threads = thread_count()
    for _ in range(20):
        _failing(between)
        assert quarn.detect(SERIES) == expected
    # A thread left behind by every call would add 20; the worker pool may
    # still start a thread of its own meanwhile.
    assert thread_count() < threads + 5


def test_threads_calling_at_once_then_in_turn_agree():
    expected = quarn.detect(SERIES)
    results = []
    lock = threading.Lock()

    def work():
        found = [quarn.detect(SERIES) for _ in range(3)]
        with lock:
            results.extend(found)

    callers = [threading.Thread(target=work) for _ in range(6)]
    for caller in callers:
        caller.start()
    for caller in callers:
        caller.join(HANG_GUARD)
    assert len(results) == 18 and all(result == expected for result in results)
    # The threads kept waiting for work serve later calls.
    for _ in range(10):
        assert quarn.detect(SERIES) == expected


FORK_SCRIPT = """
import os, sys, warnings
import numpy as np
import quarn

series = np.random.default_rng(3).normal(size=800) + np.repeat([0.0, 2.0, 0.0, -1.0], 200)
expected = quarn.detect(series)
for _ in range(3):
    quarn.detect(series)  # a run thread now waits for work
with warnings.catch_warnings(record=True) as caught:
    warnings.simplefilter("always")
    pid = os.fork()
if pid == 0:
    ok = all(quarn.detect(series) == expected for _ in range(3))
    os._exit(0 if ok else 3)
_, status = os.waitpid(pid, 0)
ok = quarn.detect(series) == expected
threads = [str(w.message) for w in caught if issubclass(w.category, DeprecationWarning)]
print(os.waitstatus_to_exitcode(status), ok, threads)
"""


@pytest.mark.skipif(not hasattr(os, "fork"), reason="no fork")
def test_forks_after_calls_leave_no_thread_behind():
    import subprocess

    environment = dict(os.environ, PYTHONPATH=os.pathsep.join(p for p in sys.path if p))
    done = subprocess.run([sys.executable, "-c", FORK_SCRIPT], capture_output=True, text=True,
                          timeout=HANG_GUARD, env=environment)
    assert done.returncode == 0, done.stderr[-3000:]
    # The child detects alike; the waiting run thread ended before the fork,
    # so the interpreter (3.12 and later) saw no other thread to warn about.
    assert done.stdout.split("\n")[0] == "0 True []"
