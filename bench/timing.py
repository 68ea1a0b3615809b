"""Wall and processor time of detection calls: medians of repeated runs.

    python bench/timing.py defaults      [--sizes 100000,1000000] [--repeats 5]
    python bench/timing.py peers         [--sizes 1000,...,1000000] [--repeats 3]
                                         [--binseg-limit 100000]
    python bench/timing.py core          [--sizes 100000,1000000] [--repeats 5] [--tool PATH]
    python bench/timing.py detector      [--sizes 10000,100000,1000000] [--repeats 5]
    python bench/timing.py single-window [--n 100000] [--window 10] [--repeats 7]

defaults: ``quarn.detect(x)`` (the confirm method), ``quarn.detect(x,
method="native")`` and ``quarn.quarn_detector(x)`` run alternately on
Gaussian noise whose level or spread changes every 1,000 values and on pure
noise; medians, the ratio defaults / native module and the share of the
processors the process got (the machine may be shared).

peers: the defaults next to ruptures Binseg(l2) (penalty 2 log(n) var(x))
and the native method, on noise with a level shift of 1.5 standard
deviations every 1,000 values; ratios of wall and processor time. Binseg
runs up to --binseg-limit values; above, its time is extrapolated by a power
law through the two largest sizes it ran ("est."). The three calls take
turns, so every call of quarn starts after another tool ran: the way a
script calls it once. A second table times quarn's calls back to back (the
same call again right after, as a loop over many series does) next to the
same Binseg medians. The two differ most on short series on a machine whose
idle processors sleep: a call that begins after a pause may find the pool's
other threads asleep, and on a virtual machine a processor woken from a long
sleep can take a millisecond or more to run them, so that such a call runs
mostly on one processor.

core: the core's confirm method next to the native detector inside the
core's command-line runner (quarn_method_tool, which times the call itself).

detector: quarn_detector with default arguments on a list and a numpy array,
one worker and the default pool; processor time over wall time shows how
many cores a run kept busy.

single-window: quarn_single_window on noise with one level shift.
"""

from __future__ import annotations

import argparse
import math
import os
import random
import statistics
import sys

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))

import numpy as np  # noqa: E402

from _harness import alternate, median_time, median_wall_and_cpu, processors, sizes  # noqa: E402
from _series import piecewise_noise  # noqa: E402

import quarn  # noqa: E402


def defaults(args) -> None:
    calls = {
        "defaults": lambda x: quarn.detect(x),
        "native method": lambda x: quarn.detect(x, method="native"),
        "quarn_detector": lambda x: quarn.quarn_detector(x),
    }
    cpus = processors()
    print(f"processors: {cpus}")
    header = "".join(f"{name + ' s':>18}" for name in calls)
    print(f"{'series':>10} {'n':>8}{header} {'ratio':>6} {'cpu share':>10}")
    for n in sizes(args.sizes):
        inputs = {
            "piecewise": np.asarray(piecewise_noise(n)),
            "noise": np.random.default_rng(5).normal(size=n),
        }
        for label, x in inputs.items():
            times, cpu = alternate(calls, x, args.repeats)
            medians = {name: statistics.median(values) for name, values in times.items()}
            share = sum(map(sum, cpu.values())) / sum(map(sum, times.values())) / cpus
            cells = "".join(f"{medians[name]:18.3f}" for name in calls)
            ratio = medians["defaults"] / medians["quarn_detector"]
            print(f"{label:>10} {n:>8}{cells} {ratio:6.2f} {share:10.2f}")


def _extrapolate(seen, n):
    """Time at n by a power law through the last two (size, time) pairs."""
    if len(seen) < 2:
        return math.nan
    (n0, t0), (n1, t1) = seen[-2:]
    return t1 * (n / n1) ** (math.log(t1 / t0) / math.log(n1 / n0))


def peers(args) -> None:
    import _peers
    from _shifts import level_shifts

    if not _peers.available():
        sys.exit("ruptures is not installed")
    calls = {
        "defaults": lambda x: quarn.detect(x),
        "binseg": _peers.binseg,
        "native": lambda x: quarn.detect(x, method="native"),
    }
    print(f"processors: {processors()}; load average (1 min) {os.getloadavg()[0]:.2f} before; "
          f"medians of {args.repeats}")
    print(f"{'n':>9} {'defaults s':>11} {'Binseg s':>14} {'native s':>10} "
          f"{'Binseg/defaults':>16} {'defaults/native':>16} {'us/value':>9} "
          f"{'cpu Binseg/def':>15} {'cpu def/native':>15}")
    seen: dict[str, list[tuple[int, float]]] = {"wall": [], "cpu": []}
    warm_rows = []
    for n in sizes(args.sizes):
        x = level_shifts(n)
        quarn.detect(x[: min(n, 1000)])  # warm up
        skip = {"binseg"} if n > args.binseg_limit else set()
        times, cpu = alternate(calls, x, args.repeats, skip=skip)
        medians = {"wall": {name: statistics.median(v) for name, v in times.items() if v},
                   "cpu": {name: statistics.median(v) for name, v in cpu.items() if v}}
        estimated = bool(skip)
        for kind, table in medians.items():
            if estimated:
                table["binseg"] = _extrapolate(seen[kind], n)
            else:
                seen[kind].append((n, table["binseg"]))
        wall, proc = medians["wall"], medians["cpu"]
        binseg_cell = f"{wall['binseg']:.3f}" + (" est." if estimated else "")
        print(f"{n:>9} {wall['defaults']:>11.4f} {binseg_cell:>14} {wall['native']:>10.4f} "
              f"{wall['binseg'] / wall['defaults']:>16.1f} "
              f"{wall['defaults'] / wall['native']:>16.2f} "
              f"{wall['defaults'] / n * 1e6:>9.2f} "
              f"{proc['binseg'] / proc['defaults']:>15.1f} "
              f"{proc['defaults'] / proc['native']:>15.2f}")
        warm = {name: median_wall_and_cpu(lambda call=calls[name]: call(x), args.repeats)
                for name in ("defaults", "native")}
        warm_rows.append((n, warm, wall["binseg"], proc["binseg"], estimated))
    print("\nback to back (each quarn call right after the same call):")
    print(f"{'n':>9} {'defaults s':>11} {'native s':>10} {'Binseg/defaults':>16} "
          f"{'defaults/native':>16} {'cpu Binseg/def':>15} {'cpu def/native':>15}")
    for n, warm, binseg_wall, binseg_cpu, estimated in warm_rows:
        (d_wall, _, d_cpu), (n_wall, _, n_cpu) = warm["defaults"], warm["native"]
        mark = " est." if estimated else ""
        print(f"{n:>9} {d_wall:>11.4f} {n_wall:>10.4f} "
              f"{f'{binseg_wall / d_wall:.1f}{mark}':>16} {d_wall / n_wall:>16.2f} "
              f"{f'{binseg_cpu / d_cpu:.1f}{mark}':>15} {d_cpu / n_cpu:>15.2f}")
    print(f"load average (1 min) {os.getloadavg()[0]:.2f} after")


def core(args) -> None:
    from _core_method import CoreMethod

    tool = CoreMethod.find(args.tool)
    if tool is None:
        sys.exit("quarn_method_tool not found: build the core with its tests, or give --tool")
    print(f"cpus available: {processors()}")
    print(f"{'series':>10} {'n':>8} {'native s':>9} {'method s':>9} {'ratio':>6} "
          f"{'leaders':>8} {'changes':>8}")
    for n in sizes(args.sizes):
        inputs = {
            "piecewise": np.asarray(piecewise_noise(n)),
            "noise": np.random.default_rng(0).standard_normal(n),
        }
        for label, values in inputs.items():
            native_times, method_times = [], []
            leaders = changes = 0
            for _ in range(args.repeats):
                native = tool.run_detailed([values], extra=("--native",))[0]
                method = tool.run_detailed([values])[0]
                native_times.append(native["seconds"])
                method_times.append(method["seconds"])
                leaders, changes = len(native["points"] or []), len(method["points"] or [])
            native_median = statistics.median(native_times)
            method_median = statistics.median(method_times)
            print(f"{label:>10} {n:>8} {native_median:>9.3f} {method_median:>9.3f} "
                  f"{method_median / native_median:>6.2f} {leaders:>8} {changes:>8}")


def detector(args) -> None:
    print(f"cpus available: {processors()}")
    print(f"{'n':>9} {'input':>6} {'workers':>7} {'median s':>9} {'min s':>8} {'max s':>8} "
          f"{'cpu s':>8} {'leaders':>8}")
    for n in sizes(args.sizes):
        values = piecewise_noise(n)
        repeats = args.repeats if n < 10**6 else max(3, args.repeats // 2)
        for label, series in (("list", values), ("numpy", np.asarray(values))):
            for workers in (1, None):
                def run():
                    return quarn.quarn_detector(series, workers=workers)

                result = run()  # warm-up, also the reported result
                median, times, cpu = median_wall_and_cpu(run, repeats)
                leaders = len(result["out"]["cdf"])
                print(f"{n:>9} {label:>6} {workers or 'pool':>7} {median:>9.3f} {min(times):>8.3f} "
                      f"{max(times):>8.3f} {cpu:>8.3f} {leaders:>8}")


def single_window(args) -> None:
    rng = random.Random(0)
    half = args.n // 2
    series = [rng.gauss(0.0, 1.0) for _ in range(half)]
    series += [rng.gauss(3.0, 1.0) for _ in range(args.n - half)]

    result = quarn.quarn_single_window(series, args.window)
    median, times = median_time(lambda: quarn.quarn_single_window(series, args.window),
                                args.repeats)
    print(f"n={args.n} window={args.window} positions={len(result['starts'])} "
          f"change_points={len(result['change_points'])}")
    print(f"median {median:.4f} s  min {min(times):.4f} s  max {max(times):.4f} s "
          f"over {args.repeats} runs")


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0],
                                     formatter_class=argparse.RawDescriptionHelpFormatter,
                                     epilog="\n".join(__doc__.splitlines()[1:]))
    commands = parser.add_subparsers(dest="command", required=True)
    for name, function, size_default, repeats in (
        ("defaults", defaults, "100000,1000000", 5),
        ("peers", peers, "1000,5000,20000,100000,1000000", 3),
        ("core", core, "100000,1000000", 5),
        ("detector", detector, "10000,100000,1000000", 5),
    ):
        command = commands.add_parser(name, help=f"see {os.path.basename(__file__)} --help")
        command.add_argument("--sizes", default=size_default, help="series lengths, comma-separated")
        command.add_argument("--repeats", type=int, default=repeats)
        command.set_defaults(run=function)
    commands.choices["peers"].add_argument("--binseg-limit", type=int, default=100000)
    commands.choices["core"].add_argument("--tool", help="path of quarn_method_tool")
    window = commands.add_parser("single-window", help="quarn_single_window on one level shift")
    window.add_argument("--n", type=int, default=100_000)
    window.add_argument("--window", type=int, default=10)
    window.add_argument("--repeats", type=int, default=7)
    window.set_defaults(run=single_window)
    args = parser.parse_args()
    args.run(args)


if __name__ == "__main__":
    main()
