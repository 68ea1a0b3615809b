"""The engine as a good citizen of the interpreter: Ctrl-C, other Python
threads, progress callbacks, interpreter exit, fork, and references.

No outcome here depends on the machine's speed or load: Ctrl-C is sent
once the run reports progress (so it is known to be running), and progress
is checked for its order, its end and its spacing, never for a count. How
soon Ctrl-C is answered is measured in bench/bench_engine_interrupt.py; the
heartbeat bound below is far above what a held lock would allow."""

import json
import os
import subprocess
import sys
import textwrap
import threading
import time

import numpy as np
import pytest

import quarn._quarn_native as native
from helpers import engine, native_run, native_run_many, sweep_positions, works_alongside, same
from helpers import detection_as_native

HANG_GUARD = 120  # seconds; a guard against hangs, not a speed limit

SMALL = np.random.default_rng(7).normal(size=600) + np.repeat([0.0, 3.0, 0.0], 200)


def run_script(source, *args, timeout=HANG_GUARD):
    """Runs a Python script in a fresh interpreter; returns (code, stdout, stderr)."""
    # The scripts import this folder's helpers.
    environment = dict(os.environ, PYTHONPATH=os.pathsep.join(p for p in sys.path if p))
    completed = subprocess.run(
        [sys.executable, "-c", textwrap.dedent(source), *map(str, args)],
        capture_output=True, text=True, timeout=timeout, env=environment)
    return completed.returncode, completed.stdout, completed.stderr


INTERRUPT_SCRIPT = """
    import json, os, signal, subprocess, sys, threading, time
    import numpy as np
    import quarn._quarn_native as native
    from helpers import detection_as_native, native_run, native_run_many

    sender, call = sys.argv[1], sys.argv[2]
    values = np.random.default_rng(1).normal(size=10**7)

    from helpers import resident_bytes as resident

    running = threading.Event()
    reports = []

    def progress(done, total):
        reports.append((done, total))
        if not running.is_set():
            running.set()
            if sender == "process":
                child.stdin.write("go\\n")
                child.stdin.flush()

    def from_thread():
        running.wait()
        signal.pthread_kill(threading.main_thread().ident, signal.SIGINT)

    kill_from_child = (
        "import os, signal, sys; sys.stdin.readline(); "
        "os.kill(int(sys.argv[1]), signal.SIGINT)")
    batch = [values[i::4].copy() for i in range(4)] if call == "many" else None
    references = sys.getrefcount(values)
    before = resident()
    if sender == "thread":
        helper = threading.Thread(target=from_thread, daemon=True)
        helper.start()
    else:
        child = subprocess.Popen([sys.executable, "-c", kill_from_child, str(os.getpid())],
                                 stdin=subprocess.PIPE, text=True)
    try:
        if call == "one":
            native_run(values, progress=progress)
        else:
            native_run_many(batch, progress=progress)
        outcome = "finished"
    except KeyboardInterrupt:
        outcome = "interrupted"
    if sender == "thread":
        helper.join()
    else:
        child.stdin.close()
        child.wait()
    small = np.random.default_rng(7).normal(size=600) + np.repeat([0.0, 3.0, 0.0], 200)
    correct = detection_as_native(native_run(small, n_perm=50)) == native.quarn_detector(
        small.tolist(), n_perm=50)
    print(json.dumps({"outcome": outcome, "correct": correct,
                      "stopped_early": all(done < total for done, total in reports),
                      "grown": resident() - before,
                      "references": sys.getrefcount(values) - references}))
"""


@pytest.mark.parametrize("call", ["one", "many"])
@pytest.mark.parametrize("sender", ["thread", "process"])
def test_ctrl_c_interrupts_a_long_run_and_the_next_call_works(sender, call):
    code, out, err = run_script(INTERRUPT_SCRIPT, sender, call)
    assert code == 0, err
    report = json.loads(out)
    assert report["outcome"] == "interrupted"
    assert report["stopped_early"]  # no final report: the run did not finish
    assert report["correct"]


@pytest.mark.parametrize("call", ["one", "many"])
def test_interrupted_runs_keep_rss_and_references_flat(call):
    code, out, err = run_script(INTERRUPT_SCRIPT, "thread", call)
    assert code == 0, err
    report = json.loads(out)
    assert report["outcome"] == "interrupted"
    # The stopped run's buffers are released, the series is not held.
    assert report["grown"] < 32 * 2**20
    assert report["references"] == 0


def test_other_threads_keep_running_during_a_call():
    series = np.random.default_rng(3).normal(size=4 * 10**6)  # seconds
    assert works_alongside(lambda progress: native_run(series, progress=progress))


def _record(calls):
    def progress(done, total):
        calls.append((time.perf_counter(), done, total))
    return progress


@pytest.mark.parametrize(
    "call, total",
    [(lambda p: native_run(SMALL, n_perm=40, progress=p), sweep_positions(600)),
     (lambda p: native_run(SMALL, window_sizes=[7], n_perm=40, progress=p),
      sweep_positions(600, [7])),
     (lambda p: native_run(np.resize(SMALL, 2000), window_sizes=[10, 13, 700, 5000], n_perm=20,
                           progress=p), 199 + 152 + 1 + 0),
     (lambda p: engine.run([SMALL], progress=p),
      sweep_positions(600, engine.method_window_sizes(600))),
     (lambda p: native_run_many([SMALL, SMALL[:300], SMALL[:2]], window_sizes=[4, 9],
                                n_perm=40, progress=p),
      None)],
    ids=["native", "one window size", "sizes beyond the series", "confirm", "many failing"],
)
def test_runs_end_with_one_final_report(call, total):
    # A short run usually reports once, at the end; a slow or loaded machine
    # may add reports before it.
    calls = []
    if total is None:
        with pytest.raises(engine.DetectorError):
            call(_record(calls))
        assert all(done < t for _, done, t in calls)  # a failed run has no final report
        return
    call(_record(calls))
    reports = [(done, t) for _, done, t in calls]
    assert reports[-1] == (total, total)
    assert all(done < total and t == total for done, t in reports[:-1])


def test_progress_is_ordered_throttled_and_complete():
    series = np.random.default_rng(4).normal(size=10**6)
    calls = []
    start = time.perf_counter()
    native_run(series, progress=_record(calls))
    total = sweep_positions(series.size)
    assert calls[-1][1:] == (total, total)
    assert all(t == total for _, _, t in calls)
    done = [d for _, d, _ in calls]
    assert done == sorted(done) and done[0] > 0
    # At most one call per 0.1 s, plus the final one: a lower bound on the
    # spacing, which no load can break.
    times = [start] + [when for when, _, _ in calls[:-1]]
    assert all(later - earlier >= 0.095 for earlier, later in zip(times, times[1:]))


def test_progress_of_many_series_counts_all_positions():
    series = [np.random.default_rng(i).normal(size=60000) for i in range(6)]
    calls = []
    native_run_many(series, n_perm=100, progress=_record(calls))
    total = sum(sweep_positions(s.size) for s in series)
    assert calls[-1][1:] == (total, total)
    done = [d for _, d, _ in calls]
    assert done == sorted(done)


@pytest.mark.parametrize("raise_at", ["first", "final"])
def test_an_exception_in_the_callback_stops_the_run(raise_at):
    series = np.random.default_rng(5).normal(size=10**6)
    total = sweep_positions(series.size)

    def progress(done, total_):
        if raise_at == "first" or done == total:
            raise ZeroDivisionError(f"stop at {done}")

    with pytest.raises(ZeroDivisionError):
        native_run(series, progress=progress)
    expected = native.quarn_detector(SMALL.tolist(), n_perm=30)
    assert same(detection_as_native(native_run(SMALL, n_perm=30)), expected)


def test_calls_from_many_python_threads_match_serial_calls():
    options = [dict(n_perm=64), dict(n_perm=70, workers=2, change_type="var"),
               dict(window_sizes=[5, 9], n_perm=100, workers=1)]
    expected = [detection_as_native(native_run(SMALL, **o)) for o in options]
    results = [None] * 12

    def work(i):
        results[i] = detection_as_native(native_run(SMALL, **options[i % 3]))

    threads = [threading.Thread(target=work, args=(i,)) for i in range(12)]
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join(HANG_GUARD)
    assert all(same(results[i], expected[i % 3]) for i in range(12))


EXIT_SCRIPT = """
    import sys, threading, time
    import numpy as np
    from helpers import native_run, native_run_many

    values = np.random.default_rng(1).normal(size=10**7)
    threading.Thread(target=native_run, args=(values,), daemon=True).start()
    if sys.argv[1] == "many":
        threading.Thread(target=native_run_many, args=([values, values],),
                         daemon=True).start()
    time.sleep(0.5)
    print("leaving", flush=True)
"""


@pytest.mark.parametrize("threads", ["one", "many"])
def test_interpreter_exits_promptly_while_daemon_threads_detect(threads):
    # The timeout is a hang guard: without the exit hook the interpreter
    # would wait for the daemon threads' detections to end (minutes).
    code, out, err = run_script(EXIT_SCRIPT, threads, timeout=HANG_GUARD)
    assert (code, out.strip()) == (0, "leaving"), err


FORK_SCRIPT = """
    import os, sys, threading
    import numpy as np
    import quarn._quarn_native as native
    from helpers import detection_as_native, native_run, native_run_many

    small = np.random.default_rng(7).normal(size=600) + np.repeat([0.0, 3.0, 0.0], 200)
    expected = native.quarn_detector(small.tolist(), n_perm=70)
    native_run(small, n_perm=70)
    busy = None
    if sys.argv[1] == "busy":
        # Another thread is inside a long engine call while the fork happens.
        values = np.random.default_rng(1).normal(size=3 * 10**6)
        busy = threading.Thread(target=native_run, args=(values,), kwargs={"n_perm": 50})
        busy.start()
    pid = os.fork()
    if pid == 0:
        ok = detection_as_native(native_run(small, n_perm=70)) == expected
        ok = ok and detection_as_native(native_run_many([small, small], n_perm=70)[1]) == expected
        os._exit(0 if ok else 3)
    _, status = os.waitpid(pid, 0)
    if busy is not None:
        busy.join()
    print(os.waitstatus_to_exitcode(status))
"""


@pytest.mark.skipif(not hasattr(os, "fork"), reason="no fork")
@pytest.mark.parametrize("parent", ["idle", "busy"])
def test_forked_children_detect(parent):
    code, out, err = run_script(FORK_SCRIPT, parent)
    assert code == 0, err
    assert out.strip() == "0"


FAILING_CALLS = [
    ("ok", lambda a: native_run(a, window_sizes=[5, 6], n_perm=10)),
    ("many ok", lambda a: native_run_many([a, a], window_sizes=[5], n_perm=10)),
    ("confirm ok", lambda a: engine.run([a])),
    ("detector error", lambda a: native_run(a, change_type="fork")),
    ("block error", lambda a: native_run(a, window_sizes=[3])),
    ("many error", lambda a: native_run_many([a, a[:2]])),
    ("type error", lambda a: native_run(a, center=1)),
    ("callback error", lambda a: native_run(a, n_perm=10, progress=lambda d, t: 1 / 0)),
]


@pytest.mark.parametrize("name, call", FAILING_CALLS, ids=[c[0] for c in FAILING_CALLS])
def test_no_reference_is_kept(name, call):
    argument = np.arange(60.0) % 7
    before = sys.getrefcount(argument)
    for _ in range(30):
        try:
            call(argument)
        except (ValueError, TypeError, ZeroDivisionError):
            pass
    assert sys.getrefcount(argument) == before
