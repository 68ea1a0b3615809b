"""Shared test helpers."""

import math
import os
import struct


def bits(value):
    """A comparable image of a result: floats by their bit patterns, dicts
    as ordered item lists (so key order counts), lists and tuples kept apart."""
    if isinstance(value, float):
        return ("float", struct.unpack("<Q", struct.pack("<d", value))[0])
    if isinstance(value, dict):
        return ("dict", [(bits(k), bits(v)) for k, v in value.items()])
    if isinstance(value, list):
        return ("list", [bits(v) for v in value])
    if isinstance(value, tuple):
        return ("tuple", [bits(v) for v in value])
    return (type(value).__name__, value)


def same(a, b):
    """Equal bit for bit, including types, key order and NaN payloads."""
    return bits(a) == bits(b)


def same_detection(a, b, rel=1e-9):
    """Two detector results that agree in every change point, region, vote,
    score and probability, and whose statistics and thresholds agree to a
    relative `rel` (NaN matching NaN): a result of the rescaled series
    against the native result of the series itself."""
    if a["cp_dict"] != b["cp_dict"] or not same(a["out"], b["out"]):
        return False
    if list(a["window_results"]) != list(b["window_results"]):
        return False
    for size, found in a["window_results"].items():
        other = b["window_results"][size]
        for key in ("change_points", "starts", "localized_regions"):
            if found[key] != other[key]:
                return False
        for key in ("statistics", "tapered_block_bootstrap_threshold"):
            if len(found[key]) != len(other[key]):
                return False
            for x, y in zip(found[key], other[key]):
                if not (math.isnan(x) and math.isnan(y)) and not math.isclose(x, y, rel_tol=rel, abs_tol=1e-300):
                    return False
    return True


def works_alongside(call):
    """Runs call(progress) while another Python thread waits for the first
    progress report and then does some work that needs the interpreter
    lock. Returns whether that work was done before the call returned: it
    is when the call releases the lock while it computes (a call that held
    it would not let the thread run before it ended). The call must run
    long after its first report (seconds); no time is measured."""
    import threading

    started = threading.Event()
    finished = False
    done_during_call = []

    def progress(done, total):
        if done < total:
            started.set()

    def work():
        started.wait()
        total = 0
        for i in range(10_000):  # Python bytecode: needs the lock throughout
            total += i
        done_during_call.append(not finished)

    thread = threading.Thread(target=work, daemon=True)
    thread.start()
    try:
        call(progress)
    finally:
        finished = True
        started.set()
        thread.join()
    return done_during_call == [True]


def run_arguments(method="confirm", **given):
    """Keyword arguments of the engine's run: every option of `method` at its
    default from the options table, then `given` on top."""
    from quarn._runner import engine_arguments
    from quarn.options import check_options

    arguments = engine_arguments(check_options({"method": method}))
    return {**arguments, "skip_missing": False, **given}


#: The native module's names of two options, and the engine's.
_ENGINE_NAMES = {"alpha_q": "alpha", "b": "block_length"}


def native_run_many(batch, **given):
    """The engine's run of the native method on every series of `batch`,
    unscaled (the detector sees the values as quarn_detector does): one
    detection dict per series. `given` holds options by the native
    module's names (alpha_q, b) or the engine's, on top of the options
    table's defaults."""
    import quarn._engine

    given = {_ENGINE_NAMES.get(name, name): value for name, value in given.items()}
    return quarn._engine.run(batch, **run_arguments("native", scale=False, **given))


def native_run(series, **given):
    """native_run_many on one series: its detection dict."""
    (found,) = native_run_many([series], **given)
    return found


def sweep_positions(n, window_sizes=range(10, 21)):
    """The positions that the sweeps of `window_sizes` (by default the
    native method's) visit over n values, counted apart from the engine: a
    window size w has n // w - 1 positions, none where it exceeds n / 2."""
    return sum(max(n // w - 1, 0) for w in window_sizes)


class _Engine:
    """quarn._engine, with the options table's defaults filled in for run
    (the engine itself takes every option explicitly); everything else as
    it is."""

    def __getattr__(self, name):
        import quarn._engine

        return getattr(quarn._engine, name)

    def run(self, series, method="confirm", **given):
        """run() with the options table's defaults of the method, then
        `given` (the table's names, e.g. n_perm=40, skip_missing=True)."""
        import quarn._engine

        return quarn._engine.run(series, **run_arguments(method, **given))


#: ``from helpers import engine`` in place of ``import quarn._engine as engine``.
engine = _Engine()


#: The environment of the command-line runs: plots drawn off screen.
CLI_ENV = {**os.environ, "MPLBACKEND": "Agg"}


def run_cli(*args, stdin=None, cwd=None, stderr=None, stdout=None):
    """Runs ``python -m quarn`` with `args` in a fresh interpreter; output
    captured as text unless `stderr` or `stdout` say otherwise."""
    import subprocess
    import sys

    return subprocess.run(
        [sys.executable, "-m", "quarn", *map(str, args)],
        input=stdin,
        stdout=subprocess.PIPE if stdout is None else stdout,
        stderr=subprocess.PIPE if stderr is None else stderr,
        text=True,
        cwd=cwd,
        env=CLI_ENV,
    )


def thread_count(pid="self"):
    """The threads of a process (this one by default); needs /proc."""
    with open(f"/proc/{pid}/status") as status:
        for line in status:
            if line.startswith("Threads:"):
                return int(line.split()[1])
    return 0


def resident_bytes(trim=False):
    """Resident set size of this process now (needs /proc/self/statm). With
    `trim`, freed memory that the C library keeps for reuse is handed back
    first (glibc), so that what remains is what the process still holds."""
    if trim:
        import ctypes

        try:
            ctypes.CDLL(None).malloc_trim(0)
        except (AttributeError, OSError):
            pass
    with open("/proc/self/statm") as statm:
        return int(statm.read().split()[1]) * os.sysconf("SC_PAGE_SIZE")


def window_as_native(window):
    """The native dictionary of an engine window dict (quarn_single_window's)."""
    from quarn.result import WindowResult

    return WindowResult.from_engine(window).to_dict()


def detection_as_native(detection):
    """The native dictionary of an engine detection dict of the native
    method (quarn_detector's), through the package's one builder of it,
    DetectionResult.to_dict."""
    import numpy as np

    from quarn.result import build_result

    return build_result(detection, np.zeros(detection["n"]), None, {}).to_dict()


def consensus_of(window_change_points, tol):
    """The native consensus of per-window change points, written out apart
    from the core: a point's votes are the window sizes that report it;
    points at most `tol` from their predecessor chain into one segment,
    led by its most voted point (the first on ties) with the segment's
    total votes; the score is that share of the window sizes, at most 1;
    probabilities are the scores times the reciprocal of their sum.
    Returns {leader: (votes, score, probability, cdf)}."""
    votes = {}
    for points in window_change_points.values():
        for point in set(points):
            votes[point] = votes.get(point, 0) + 1
    segments = []
    for point in sorted(votes):
        if segments and point - segments[-1][-1] <= tol:
            segments[-1].append(point)
        else:
            segments.append([point])
    n_windows = float(len(window_change_points))
    leaders = {}
    for members in segments:
        leader = max(members, key=lambda p: (votes[p], -p))
        total = sum(votes[p] for p in members)
        leaders[leader] = (total, min(total / n_windows, 1.0))
    if not leaders:
        return {}
    total = 0.0
    for _, score in leaders.values():  # in ascending order, one rounding each
        total += score  # (sum() of floats compensates its rounding since Python 3.12)
    reciprocal = 1.0 / total
    found, running = {}, 0.0
    for leader, (total, score) in leaders.items():
        running += score * reciprocal
        found[leader] = (total, score, score * reciprocal, running)
    return found
