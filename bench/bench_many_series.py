"""Many series on one machine: quarn.detect_many against a loop of
quarn.detect and, with --engine, the engine's run of the native method on
all series against loops of it on one series and of the native
quarn_detector given numpy arrays.

Default: 2,000 series of 5,000 values (noise with a change of level or
spread at a random place), default options. The ways run in turn,
--repeats rounds (rotating which goes first); the script checks that the
package's two ways give the same table and the engine's ways the native
results, and prints for each way the median, the fastest and the slowest
wall time, the processors the process kept busy (its processor time over
the wall time: near 2 on two free processors, near 1 when other work holds
one of them) and the ratio of its median to the first way's of its layer.
The load average before and after tells whether the machine was free.

    python bench/bench_many_series.py [--series 2000] [--length 5000] [--repeats 3] [--engine]
"""

import argparse
import os
import statistics
import sys

import pandas as pd

import quarn
import quarn._engine as engine
import quarn._quarn_native as native
from quarn._frames import COLUMNS

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))

from _harness import engine_arguments, processors, rounds  # noqa: E402
from _series import make_batch  # noqa: E402


def loop(batch):
    frames = [quarn.detect(series).to_frame().assign(series=i) for i, series in enumerate(batch)]
    return pd.concat(frames, ignore_index=True)[["series", *COLUMNS]]


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--series", type=int, default=2000)
    parser.add_argument("--length", type=int, default=5000)
    parser.add_argument("--repeats", type=int, default=3)
    parser.add_argument("--engine", action="store_true",
                        help="also time the engine and the native module (native method)")
    args = parser.parse_args()
    batch = make_batch(args.series, args.length)
    layers = [{"loop of detect": lambda: loop(batch),
               "detect_many": lambda: quarn.detect_many(batch)}]
    if args.engine:
        arguments = engine_arguments(scale=False)
        layers.append({
            "native loop": lambda: [native.quarn_detector(s) for s in batch],
            "engine loop": lambda: [engine.run([s], **arguments)[0] for s in batch],
            "engine many": lambda: engine.run(batch, **arguments),
        })
    ways = {name: way for layer in layers for name, way in layer.items()}
    load_before = os.getloadavg()
    times, busy, found = rounds(ways, args.repeats)
    load_after = os.getloadavg()

    pd.testing.assert_frame_equal(found["loop of detect"], found["detect_many"])
    if args.engine:
        expected = found["native loop"]
        for name in ("engine loop", "engine many"):
            for r, e in zip(found[name], expected):
                out = e["out"]["leaders_segment_votes"]
                assert r["table"]["position"].tolist() == list(out)
                assert r["table"]["votes"].tolist() == list(out.values())
    print(f"{args.series} series x {args.length} values, {processors()} processors, "
          f"{args.repeats} rounds; the same {len(found['detect_many'])} change points "
          "both ways" + ("; engine change points identical to the native ones" if args.engine else ""))
    print(f"load average (1 min) {load_before[0]:.2f} before, {load_after[0]:.2f} after")
    medians = {name: statistics.median(times[name]) for name in ways}
    print(f"{'way':>15} {'median s':>9} {'min s':>7} {'max s':>7} {'cpus busy':>10} "
          f"{'vs first':>9}")
    for layer in layers:
        first = medians[next(iter(layer))]
        for name in layer:
            print(f"{name:>15} {medians[name]:>9.2f} {min(times[name]):>7.2f} "
                  f"{max(times[name]):>7.2f} {statistics.median(busy[name]):>10.2f} "
                  f"{first / medians[name]:>8.2f}x")


if __name__ == "__main__":
    main()
