"""Hostile sizes: the largest values that the size arguments accept, and a
very long series. Every call gives its specified result, or fails promptly
with MemoryError or ValueError; none crashes, hangs or starts a crowd of
threads.

The hostile calls run in a child interpreter, so that a crash or a hang fails
the test (the timeouts are generous hang guards, not speed limits) instead
of taking the test run down."""

import json
import os
import subprocess
import sys
import textwrap
import time

import pytest

import quarn._quarn_native as native
from helpers import bits, thread_count
from sample_series import piecewise

MAX = 2**64 - 1
HANG_GUARD = 300  # seconds; the calls below take well under one


# 200 values with a level shift at 100: windows of 10 to 20 all have
# positions, and thresholds are computed.
SERIES = piecewise(200, levels=(0.0, 4.0), seed=12345)

EMPTY_WINDOW = {
    "change_points": [],
    "starts": [],
    "statistics": [],
    "tapered_block_bootstrap_threshold": [],
    "localized_regions": [],
}
EMPTY_OUT = {"leaders_segment_votes": {}, "leaders_scores": {}, "leaders_probs": {}, "cdf": []}


def child_environment():
    return dict(os.environ, PYTHONPATH=os.pathsep.join(p for p in sys.path if p))


def isolated(expression, timeout=HANG_GUARD):
    """Evaluates `expression` in a child interpreter, with `native`, `SERIES`
    and `MAX` defined. Returns the name of the exception raised (None on
    success), its message and the bit image of the result."""
    code = textwrap.dedent(f"""
        import json
        import quarn._quarn_native as native
        from helpers import bits
        SERIES = {SERIES!r}
        MAX = {MAX}
        try:
            result = {expression}
            outcome = {{"error": None, "bits": repr(bits(result))}}
        except Exception as error:
            outcome = {{"error": type(error).__name__, "message": str(error)}}
        print(json.dumps(outcome))
    """)
    process = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True,
                             timeout=timeout, env=child_environment())
    assert process.returncode == 0, (
        f"child exited with {process.returncode}: {process.stderr[-3000:]}")
    return json.loads(process.stdout.splitlines()[-1])


@pytest.mark.parametrize(
    "expression, error",
    [
        # 2^64 - 1 replicates of a threshold: an impossible allocation.
        ("native.quarn_detector(SERIES, n_perm=MAX)", "MemoryError"),
        ("native.quarn_detector(SERIES, n_perm=MAX, workers=2)", "MemoryError"),
        ("native.quarn_detector(SERIES, n_perm=MAX, workers=MAX)", "MemoryError"),
        ("native.quarn_detector(SERIES, n_perm=MAX, window_sizes=[10], b=MAX, tol=MAX)",
         "MemoryError"),
        ("native.quarn_single_window(SERIES, 10, n_perm=MAX)", "MemoryError"),
        # Past the largest array the library can describe (length_error) ...
        ("native.quarn_single_window(SERIES, 10, n_perm=2**60)", "MemoryError"),
        # ... and an array it can describe but no machine can hold (bad_alloc).
        ("native.quarn_single_window(SERIES, 10, n_perm=2**59)", "MemoryError"),
        ("native.quarn_detector(SERIES, n_perm=2**59, window_sizes=[10, 12])", "MemoryError"),
        # Taper ramps far longer than any block.
        ("native.quarn_detector(SERIES, taper_ratio=1e308, n_perm=8)", "ValueError"),
        ("native.quarn_single_window(SERIES, 10, taper_ratio=float('inf'), n_perm=8)",
         "ValueError"),
    ],
)
def test_impossible_sizes_fail_promptly(expression, error):
    outcome = isolated(expression)
    assert outcome["error"] == error, outcome


@pytest.mark.parametrize(
    "hostile, equivalent",
    [
        # A block length above 2w is cut to 2w.
        ("native.quarn_single_window(SERIES, 10, n_perm=64, b=MAX)",
         "native.quarn_single_window(SERIES, 10, n_perm=64, b=20)"),
        ("native.quarn_detector(SERIES, n_perm=64, b=MAX)",
         "native.quarn_detector(SERIES, n_perm=64, b=10**6)"),
        # Every gap is within the tolerance: one segment, as with tol = n.
        ("native.quarn_detector(SERIES, n_perm=64, tol=MAX)",
         "native.quarn_detector(SERIES, n_perm=64, tol=len(SERIES))"),
        # The number of workers never changes a result.
        ("native.quarn_detector(SERIES, n_perm=64, workers=MAX)",
         "native.quarn_detector(SERIES, n_perm=64)"),
        ("native.quarn_detector(SERIES, n_perm=64, workers=MAX, b=MAX, tol=MAX, seed=MAX,"
         " batch_size=MAX)",
         "native.quarn_detector(SERIES, n_perm=64, b=10**6, tol=len(SERIES), seed=MAX)"),
        # No position: the replicates are never drawn, whatever n_perm asks.
        ("native.quarn_single_window(SERIES, 2**63, n_perm=MAX)",
         "native.quarn_single_window(SERIES, 2**63)"),
    ],
)
def test_largest_values_give_the_specified_result(hostile, equivalent):
    outcome = isolated(hostile)
    assert outcome["error"] is None, outcome
    assert outcome["bits"] == repr(bits(eval(equivalent)))


def test_tolerance_of_max_gives_one_segment():
    result = native.quarn_detector(SERIES, n_perm=64, tol=MAX)
    out = result["out"]
    points = {p for cps in result["cp_dict"].values() for p in cps}
    votes = sum(len(set(cps)) for cps in result["cp_dict"].values())
    assert len(points) > 1
    assert len(out["leaders_segment_votes"]) == 1
    assert list(out["leaders_segment_votes"].values()) == [votes]
    assert list(out["leaders_probs"].values()) == [1.0]


@pytest.mark.parametrize("window_size", [2**63, MAX])
def test_window_size_beyond_any_series(window_size):
    assert isolated(f"native.quarn_single_window(SERIES, {window_size})")["bits"] == \
        repr(bits(EMPTY_WINDOW))
    expected = {"cp_dict": {window_size: []}, "window_results": {window_size: EMPTY_WINDOW},
                "out": EMPTY_OUT}
    outcome = isolated(f"native.quarn_detector(SERIES, window_sizes=[{window_size}])")
    assert outcome["bits"] == repr(bits(expected))


def test_huge_window_sizes_beside_an_ordinary_one():
    outcome = isolated("native.quarn_detector(SERIES, window_sizes=[2**63, 10, MAX], n_perm=64)")
    # Sizes of 10^6 and 10^7 leave the series without positions just the
    # same, and sort the same way around 10.
    reference = native.quarn_detector(SERIES, window_sizes=[10**6, 10, 10**7], n_perm=64)
    huge = {10**6: 2**63, 10**7: MAX}

    def rekey(mapping):
        return {huge.get(key, key): value for key, value in mapping.items()}

    expected = {"cp_dict": rekey(reference["cp_dict"]),
                "window_results": rekey(reference["window_results"]),
                "out": reference["out"]}
    assert list(expected["window_results"]) == [10, 2**63, MAX]
    assert expected["window_results"][MAX] == EMPTY_WINDOW
    assert outcome["bits"] == repr(bits(expected))


# --- threads ---------------------------------------------------------------

THREAD_CHILD = """
import json
import quarn._quarn_native as native
from helpers import same, thread_count as threads

SERIES = {series!r}
MAX = {max}

if {warm}:
    native.quarn_detector(SERIES, n_perm=64)  # the default pool exists first
expected = native.quarn_detector(SERIES, n_perm=64)
print("running", flush=True)
same_results = all(same(native.quarn_detector(SERIES, n_perm=64, workers=MAX), expected)
                   for _ in range({calls}))
print(json.dumps({{"same": same_results, "threads_after": threads()}}), flush=True)
"""


def _thread_count(pid):
    try:
        return thread_count(pid)
    except OSError:
        return 0


@pytest.mark.skipif(not os.path.exists("/proc/self/status"), reason="needs /proc")
@pytest.mark.parametrize("warm", [False, True], ids=["first-parallel-work", "after-default-pool"])
def test_max_workers_starts_no_crowd_of_threads(warm):
    # Whatever the pool is asked for, it never runs more threads than the
    # machine has processors; the count is sampled from outside while the
    # calls run (the calls hold the interpreter lock, so no thread of the
    # child itself could look).
    limit = (os.cpu_count() or 1) + 4
    code = THREAD_CHILD.format(series=SERIES, max=MAX, warm=warm, calls=30)
    process = subprocess.Popen([sys.executable, "-c", code], stdout=subprocess.PIPE,
                               stderr=subprocess.PIPE, text=True, env=child_environment())
    peak = 0
    deadline = time.monotonic() + HANG_GUARD
    try:
        while process.poll() is None:
            assert time.monotonic() < deadline, "child hangs"
            peak = max(peak, _thread_count(process.pid))
            time.sleep(0.001)
        stdout, stderr = process.communicate()
    finally:
        if process.poll() is None:
            process.kill()
            process.wait()
    assert process.returncode == 0, stderr[-3000:]
    facts = json.loads(stdout.splitlines()[-1])
    assert facts["same"]
    assert peak <= limit, f"{peak} threads during the calls"
    assert facts["threads_after"] <= limit


# --- a long series -----------------------------------------------------------

LONG_CHILD = """
import json
import time

import numpy as np

import quarn._quarn_native as native

n = {n}
rng = np.random.default_rng(2024)
x = rng.normal(0.0, 1.0, n)
changes = list(range(n // 10, n, n // 10))
for i, c in enumerate(changes):
    x[c:] += 3.0 if i % 2 == 0 else -3.0

start = time.perf_counter()
result = native.quarn_detector(x)
seconds = time.perf_counter() - start

problems = []
if list(result) != ["cp_dict", "window_results", "out"]:
    problems.append("keys")
if list(result["window_results"]) != list(range(10, 21)):
    problems.append("window sizes")
for w, window in result["window_results"].items():
    p = n // w - 1
    starts = np.asarray(window["starts"], dtype=np.uint64)
    if not np.array_equal(starts, np.arange(p, dtype=np.uint64) * np.uint64(w)):
        problems.append((w, "starts"))
    if len(window["statistics"]) != p or len(window["tapered_block_bootstrap_threshold"]) != p:
        problems.append((w, "profile lengths"))
    if not np.isfinite(np.asarray(window["tapered_block_bootstrap_threshold"])).all():
        problems.append((w, "thresholds"))
    points = window["change_points"]
    regions = window["localized_regions"]
    if points != result["cp_dict"][w] or len(points) != len(regions):
        problems.append((w, "change points"))
    if not all(a < c < b for c, (a, b) in zip(points, regions)):
        problems.append((w, "change point outside its region"))

# One window size bit for bit against the single-window entry point.
single = native.quarn_single_window(x, 15)
mine = result["window_results"][15]
for key in ("change_points", "starts", "statistics", "tapered_block_bootstrap_threshold"):
    if np.asarray(single[key]).tobytes() != np.asarray(mine[key]).tobytes():
        problems.append((15, key, "differs from quarn_single_window"))
if single["localized_regions"] != mine["localized_regions"]:
    problems.append((15, "regions differ from quarn_single_window"))

# Every shift of three standard deviations has a leader next to it that most
# window sizes agree on.
scores = result["out"]["leaders_scores"]
leaders = np.asarray(sorted(scores), dtype=np.int64)
for c in changes:
    near = leaders[np.abs(leaders - c) <= 20]
    if not any(scores[int(k)] >= 0.5 for k in near):
        problems.append(("change not found", c))

print(json.dumps({{"seconds": seconds, "problems": [str(p) for p in problems],
                   "leaders": len(scores)}}))
"""


def test_ten_million_values_with_default_arguments():
    pytest.importorskip("numpy")
    process = subprocess.run([sys.executable, "-c", LONG_CHILD.format(n=10**7)],
                             capture_output=True, text=True, timeout=1800,
                             env=child_environment())
    assert process.returncode == 0, process.stderr[-3000:]
    facts = json.loads(process.stdout.splitlines()[-1])
    print(f"10^7 values, default arguments: {facts['seconds']:.1f} s, "
          f"{facts['leaders']} leaders")
    assert facts["problems"] == []


@pytest.mark.skipif(not sys.platform.startswith("linux"), reason="address-space limit via rlimit")
def test_worker_threads_that_cannot_start_give_the_pool_message():
    # No room is left for the stacks of new worker threads, so the dedicated
    # pool cannot start its threads: the call reports it as a ValueError.
    code = textwrap.dedent("""
        import os, resource
        import quarn._quarn_native as native
        series = [float(i % 13) + (i // 300) for i in range(3000)]
        with open("/proc/self/statm") as statm:
            used = int(statm.read().split()[0]) * os.sysconf("SC_PAGE_SIZE")
        resource.setrlimit(resource.RLIMIT_AS,
                           (used + 4 * 2**20, resource.getrlimit(resource.RLIMIT_AS)[1]))
        try:
            native.quarn_detector(series, n_perm=64, workers=4)
            print("no error")
        except Exception as error:
            print(type(error).__name__, error)
    """)
    process = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True,
                             timeout=HANG_GUARD, env=child_environment())
    assert process.returncode == 0, process.stderr[-3000:]
    outcome = process.stdout.strip()
    if outcome in ("no error", "MemoryError"):
        pytest.skip("threads could still start under this limit")
    assert outcome.startswith("ValueError failed to build oneTBB thread pool: "), outcome
