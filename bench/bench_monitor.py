"""quarn.Monitor side by side with river's drift detectors, on seeded streams.

river (pip install river) is needed for the comparison only; without it
only quarn's figures are printed. Every detector runs at its defaults
(KSWIN with seed=0, its only random part, for reproducibility).

Prints, per detector:
- false alarms per 10^5 values on change-free Gaussian, AR(1) (phi 0.5 and
  0.8), Student t (3 df) and seasonal noise (a sine of period 24, amplitude
  2, plus Gaussian noise);
- detection delay (median, 90th percentile) and missed changes over 30
  streams per change: level shifts of 1 and 2 sd, spread doubling and
  halving, and a change of shape at equal mean and variance (Gaussian to a
  centred exponential); the change is at value 1000 of 2000, a change is
  missed when nothing is detected from it to the end;
- throughput with one value per call and with batches of 1,000, as ratios
  to ADWIN's one-value rate;
- the monitor's memory (state size and process resident memory) after 10^5
  and 10^7 values.

Run: python bench/bench_monitor.py [--quick] [--throughput]
"""

from __future__ import annotations

import argparse
import os
import pickle
import time

import numpy as np

import quarn

try:
    from river import drift
except ImportError:  # the comparison is optional
    drift = None

CHANGE_AT = 1000
STREAM = 2000
STREAMS = 30


def noise(kind: str, n: int, rng: np.random.Generator) -> np.ndarray:
    if kind == "gaussian":
        return rng.standard_normal(n)
    if kind == "student t3":
        return rng.standard_t(3, n)
    if kind == "seasonal":
        return 2 * np.sin(2 * np.pi * np.arange(n) / 24) + rng.standard_normal(n)
    phi = {"AR(1) 0.5": 0.5, "AR(1) 0.8": 0.8}[kind]
    e = rng.standard_normal(n) * np.sqrt(1 - phi * phi)  # unit marginal variance
    values = np.empty(n)
    previous = 0.0
    for i in range(n):
        values[i] = previous = phi * previous + e[i]
    return values


NOISES = ("gaussian", "AR(1) 0.5", "AR(1) 0.8", "student t3", "seasonal")


def changed(kind: str, rng: np.random.Generator) -> np.ndarray:
    values = rng.standard_normal(STREAM)
    after = slice(CHANGE_AT, None)
    if kind == "level +1 sd":
        values[after] += 1.0
    elif kind == "level +2 sd":
        values[after] += 2.0
    elif kind == "spread x2":
        values[after] *= 2.0
    elif kind == "spread x0.5":
        values[after] *= 0.5
    elif kind == "shape (exp)":
        values[after] = rng.exponential(size=STREAM - CHANGE_AT) - 1.0
    return values


CHANGES = ("level +1 sd", "level +2 sd", "spread x2", "spread x0.5", "shape (exp)")


# Detectors: each returns the indices at which it raised a detection.
def quarn_detections(values: np.ndarray) -> list[int]:
    return [alarm.detected_at for alarm in quarn.Monitor().update(values)]


def river_detections(make):
    def run(values: np.ndarray) -> list[int]:
        detector = make()
        found = []
        for i, value in enumerate(values.tolist()):
            detector.update(value)
            if detector.drift_detected:
                found.append(i)
        return found

    return run


def detectors() -> dict:
    found = {"quarn": quarn_detections}
    if drift is not None:
        found["ADWIN"] = river_detections(drift.ADWIN)
        found["PageHinkley"] = river_detections(drift.PageHinkley)
        found["KSWIN"] = river_detections(lambda: drift.KSWIN(seed=0))
    return found


def false_alarms(run, kind: str, streams: int, length: int, seed: int) -> float:
    rng = np.random.default_rng(seed)
    count = sum(len(run(noise(kind, length, rng))) for _ in range(streams))
    return count * 1e5 / (streams * length)


def delays(run, kind: str, seed: int) -> tuple[float, float, int]:
    rng = np.random.default_rng(seed)
    found, missed = [], 0
    for _ in range(STREAMS):
        after = [i for i in run(changed(kind, rng)) if i >= CHANGE_AT]
        if after:
            found.append(after[0] - CHANGE_AT)
        else:
            missed += 1
    if not found:
        return float("nan"), float("nan"), missed
    return float(np.median(found)), float(np.percentile(found, 90)), missed


def rate_one_value(update, values: list[float]) -> float:
    # Processor time of this process: other work on the machine does not
    # count against either side.
    start = time.process_time()
    for value in values:
        update(value)
    return len(values) / (time.process_time() - start)


def resident_mb() -> float:
    """Resident memory of this process (Linux; NaN elsewhere)."""
    try:
        with open("/proc/self/statm") as handle:
            pages = int(handle.read().split()[1])
    except OSError:
        return float("nan")
    return pages * os.sysconf("SC_PAGE_SIZE") / 1e6


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--quick", action="store_true", help="fewer values (a smoke run)")
    parser.add_argument("--throughput", action="store_true", help="only the throughput figures")
    args = parser.parse_args()
    scale = 10 if args.quick else 1
    runs = detectors()
    print(f"river available: {drift is not None}; streams seeded; quarn defaults "
          f"{quarn.Monitor().options}")

    if args.throughput:
        throughput(scale)
        return

    print("\nFalse alarms per 10^5 change-free values (values run in brackets)")
    print(f"{'noise':<12}" + "".join(f"{name:>22}" for name in runs))
    for index, kind in enumerate(NOISES):
        cells = []
        for name, run in runs.items():
            streams, length = {"quarn": (20, 100_000), "KSWIN": (2, 10_000)}.get(
                name, (4, 50_000)
            )
            streams = max(1, streams // scale)
            rate = false_alarms(run, kind, streams, length, seed=100 + index)
            cells.append(f"{rate:.2f} ({streams * length:.0e})")
        print(f"{kind:<12}" + "".join(f"{cell:>22}" for cell in cells))

    print(f"\nDetection delay: median / 90th percentile (missed of {STREAMS})")
    print(f"{'change':<12}" + "".join(f"{name:>22}" for name in runs))
    for index, kind in enumerate(CHANGES):
        cells = []
        for run in runs.values():
            median, p90, missed = delays(run, kind, seed=200 + index)
            cells.append(f"{median:.0f} / {p90:.0f} ({missed})")
        print(f"{kind:<12}" + "".join(f"{cell:>22}" for cell in cells))

    throughput(scale)
    memory(scale)


def batch_rate(values: np.ndarray) -> float:
    monitor = quarn.Monitor()
    start = time.process_time()
    for at in range(0, len(values), 1000):
        monitor.update(values[at : at + 1000])
    return len(values) / (time.process_time() - start)


def throughput(scale: int, repeats: int = 5) -> None:
    print(f"\nThroughput, values per second, median of {repeats} "
          "(ratio to ADWIN's one value per call)")
    values = np.random.default_rng(300).standard_normal(200_000 // scale)
    listed = values.tolist()
    rates: dict[str, list[float]] = {"adwin": [], "one": [], "batch": []}
    for _ in range(repeats):  # interleaved, so that load changes touch all alike
        rates["one"].append(rate_one_value(quarn.Monitor().update, listed))
        rates["batch"].append(batch_rate(values))
        if drift is not None:
            rates["adwin"].append(rate_one_value(drift.ADWIN().update, listed))
    one, batch = float(np.median(rates["one"])), float(np.median(rates["batch"]))
    base = None
    if drift is not None:
        base = float(np.median(rates["adwin"]))
        print(f"ADWIN one value per call:   {base:12.3g}  (1.00)")
    for label, rate in (("quarn one value per call:", one), ("quarn batches of 1,000:", batch)):
        ratio = f"({rate / base:.2f})" if base else ""
        print(f"{label:<27} {rate:12.3g}  {ratio}")


def memory(scale: int) -> None:
    print("\nMemory of one monitor (values fed from one reused buffer of 10^5)")
    monitor = quarn.Monitor()
    rng = np.random.default_rng(400)
    buffer = np.empty(100_000)
    for target in (100_000, 1_000_000, 10_000_000 // scale):
        while monitor.n_seen < target:
            rng.standard_normal(out=buffer)
            monitor.update(buffer)
        print(f"after {monitor.n_seen:>10} values: state {len(pickle.dumps(monitor)):>7} bytes, "
              f"process resident {resident_mb():7.1f} MB, alarms {len(monitor.alarms)}")


if __name__ == "__main__":
    main()
