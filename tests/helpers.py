"""Shared test helpers."""

import math
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


def largest_heartbeat_gap(call, tries=3, enough=0.05):
    """Runs call() while another thread wakes every millisecond, and returns
    the longest it waited between two wake-ups, the best of a few tries (a
    loaded machine may delay a thread now and then; the interpreter lock
    held through a whole call would delay it every time)."""
    import threading
    import time

    best = float("inf")
    for _ in range(tries):
        gaps = []
        stop = threading.Event()

        def heartbeat():
            last = time.perf_counter()
            while not stop.is_set():
                time.sleep(0.001)
                now = time.perf_counter()
                gaps.append(now - last)
                last = now

        thread = threading.Thread(target=heartbeat)
        thread.start()
        try:
            call()
        finally:
            stop.set()
            thread.join()
        best = min(best, max(gaps))
        if best < enough:
            break
    return best
