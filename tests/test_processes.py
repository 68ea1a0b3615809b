"""Processes and threads: children started after the parent has used the
worker pool (by fork, forkserver or spawn) compute what the parent computes,
bit for bit and without hanging; a forked child gets a working pool of its
own; Python threads calling at once get what serial calls get.

Every wait has a generous timeout, a guard against hangs, not a speed limit."""

import faulthandler
import json
import multiprocessing
import os
import subprocess
import sys
import threading

import pytest

import quarn._quarn_native as native
from helpers import same
from sample_series import piecewise

HANG_GUARD = 300  # seconds


# Noise with changes in level, spread and both.
SERIES = piecewise(600, levels=(0.0, 3.0, 3.0, -1.0), scales=(1.0, 1.0, 4.0, 0.5), seed=5)

# n_perm of 64 and more: the replicates run as nested parallel work.
CALLS = [
    dict(n_perm=64),
    dict(n_perm=128, workers=2),
    dict(n_perm=64, workers=16, window_sizes=[8, 12, 16, 24]),
    dict(n_perm=96, workers=1, change_type="var"),
    dict(n_perm=80, change_type="distribution", b=5),
]


def detect(kwargs):
    return native.quarn_detector(SERIES, **kwargs)


def single_window(window_size):
    return native.quarn_single_window(SERIES, window_size, n_perm=128)


@pytest.fixture(scope="module")
def expected():
    # Computed first, so the parent's pool exists before any child starts.
    return [detect(kwargs) for kwargs in CALLS], [single_window(w) for w in (10, 15)]


@pytest.mark.parametrize("method", ["fork", "forkserver", "spawn"])
def test_children_compute_what_the_parent_computes(method, expected):
    if method not in multiprocessing.get_all_start_methods():
        pytest.skip(f"no {method} on this platform")
    detections, singles = expected
    context = multiprocessing.get_context(method)
    with context.Pool(2) as pool:
        detect_job = pool.map_async(detect, CALLS, chunksize=1)
        single_job = pool.map_async(single_window, (10, 15), chunksize=1)
        got_detections = detect_job.get(timeout=HANG_GUARD)
        got_singles = single_job.get(timeout=HANG_GUARD)
    assert all(same(a, b) for a, b in zip(got_detections, detections))
    assert all(same(a, b) for a, b in zip(got_singles, singles))


def detect_result(kwargs):
    import quarn

    return quarn.detect(SERIES, **kwargs)


@pytest.mark.parametrize("method", ["fork", "spawn"])
def test_results_come_back_from_a_process_pool(method):
    if method not in multiprocessing.get_all_start_methods():
        pytest.skip(f"no {method} on this platform")
    options = [
        dict(),
        dict(method="native", n_perm=64),
        dict(method="native", n_perm=50, window_sizes=[8, 30], change_type="var"),
    ]
    here = [detect_result(kwargs) for kwargs in options]
    with multiprocessing.get_context(method).Pool(2) as pool:
        there = pool.map_async(detect_result, options).get(timeout=HANG_GUARD)
    assert there == here


def test_parent_keeps_computing_after_children(expected):
    context = multiprocessing.get_context("fork" if "fork" in
                                          multiprocessing.get_all_start_methods() else "spawn")
    with context.Pool(1) as pool:
        pool.map_async(detect, CALLS[:2]).get(timeout=HANG_GUARD)
    assert all(same(detect(kwargs), result) for kwargs, result in zip(CALLS, expected[0]))


# A process of its own, so that no other thread of the test run holds on to
# the pool when it forks.
FORK_SCRIPT = """
import json
import os
import sys
import threading
import time
import warnings

import quarn._quarn_native as native
from helpers import same, thread_count as threads

SERIES = {series!r}
CALLS = {calls!r}
GUARD = {guard}


expected = [native.quarn_detector(SERIES, **kwargs) for kwargs in CALLS]


def fork_and_check(exit_normally=False):
    read, write = os.pipe()
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always")
        pid = os.fork()
    if pid == 0:
        os.close(read)
        results = [native.quarn_detector(SERIES, **kwargs) for kwargs in CALLS]
        report = {{"same": all(same(a, b) for a, b in zip(results, expected)),
                   "threads": threads()}}
        os.write(write, json.dumps(report).encode())
        os.close(write)
        if exit_normally:
            sys.exit(0)  # the whole interpreter shutdown, in the child
        os._exit(0)
    os.close(write)
    deadline = time.monotonic() + GUARD
    while True:
        done, status = os.waitpid(pid, os.WNOHANG)
        if done:
            break
        if time.monotonic() > deadline:
            os.kill(pid, 9)
            os.waitpid(pid, 0)
            return {{"hang": True}}
        time.sleep(0.001)
    with os.fdopen(read) as pipe:
        data = pipe.read()
    report = json.loads(data) if data else {{}}
    report["status"] = status
    report["fork_warnings"] = [str(w.message) for w in caught
                               if issubclass(w.category, DeprecationWarning)]
    return report


facts = {{"parent_threads": threads()}}
facts["after_use"] = fork_and_check()
facts["exit_normally"] = fork_and_check(exit_normally=True)
facts["repeated"] = []
for kwargs in CALLS * 4:
    native.quarn_detector(SERIES, **kwargs)  # fork right after the pool worked
    facts["repeated"].append(fork_and_check())

# A Python thread that has used the pool is still alive while the process forks.
used = threading.Event()
leave = threading.Event()


def user():
    native.quarn_detector(SERIES, **CALLS[0])
    used.set()
    leave.wait()


thread = threading.Thread(target=user)
thread.start()
used.wait()
facts["live_thread"] = fork_and_check()
leave.set()
thread.join()
facts["parent_same_after"] = all(
    same(native.quarn_detector(SERIES, **kwargs), result) for kwargs, result in zip(CALLS, expected))
print(json.dumps(facts))
"""


@pytest.mark.skipif(not hasattr(os, "fork") or not os.path.exists("/proc/self/status"),
                    reason="needs fork and /proc")
def test_forked_children_get_a_working_pool():
    code = FORK_SCRIPT.format(series=SERIES, calls=CALLS, guard=HANG_GUARD)
    environment = dict(os.environ, PYTHONPATH=os.pathsep.join(p for p in sys.path if p))
    process = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True,
                             timeout=3 * HANG_GUARD, env=environment)
    assert process.returncode == 0, process.stderr[-3000:]
    facts = json.loads(process.stdout.splitlines()[-1])

    reports = [facts["after_use"], facts["exit_normally"], *facts["repeated"], facts["live_thread"]]
    for report in reports:
        assert not report.get("hang"), report
        assert report["status"] == 0, report
        assert report["same"], report
    if facts["parent_threads"] >= 2:
        # The pool runs worker threads here (more than one processor), so
        # the child's parallel work must start workers of its own rather
        # than run on its calling thread alone.
        for report in [facts["after_use"], facts["exit_normally"], *facts["repeated"]]:
            assert report["threads"] >= 2, report
    # The pool's threads are stopped before the fork, so the interpreter
    # (3.12 and later) sees no other thread to warn about.
    for report in [facts["after_use"], facts["exit_normally"], *facts["repeated"]]:
        assert report["fork_warnings"] == [], report
    assert facts["parent_same_after"]


def test_eight_threads_at_once_match_serial_calls():
    calls = (CALLS * 2)[:8]
    serial = [detect(kwargs) for kwargs in calls]
    barrier = threading.Barrier(len(calls))
    results = [[] for _ in calls]

    def work(i):
        barrier.wait()
        for _ in range(3):
            results[i].append(detect(calls[i]))

    threads = [threading.Thread(target=work, args=(i,)) for i in range(len(calls))]
    # A call that hangs holds the interpreter lock, so join() alone could not
    # time out; the native watchdog ends the run with every traceback.
    faulthandler.dump_traceback_later(HANG_GUARD, exit=True)
    try:
        for thread in threads:
            thread.start()
        for thread in threads:
            thread.join(timeout=HANG_GUARD)
    finally:
        faulthandler.cancel_dump_traceback_later()
    assert not any(thread.is_alive() for thread in threads), "a thread hangs"
    for i, expected in enumerate(serial):
        assert len(results[i]) == 3
        assert all(same(result, expected) for result in results[i])
