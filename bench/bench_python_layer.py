"""Cost of the Python layer: quarn.detect against quarn_detector on the same
series (list and numpy input), and the command line's reading of a CSV file.

    python bench/bench_python_layer.py [--repeats N] [--sizes 10000,100000]
"""

import argparse
import os
import sys
import tempfile

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))

from _harness import median_time  # noqa: E402
from _series import piecewise_noise  # noqa: E402

import quarn  # noqa: E402
from quarn.cli.readers import Layout, read_columns  # noqa: E402


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--repeats", type=int, default=5)
    parser.add_argument("--sizes", default="10000,100000,1000000")
    args = parser.parse_args()
    try:
        import numpy
    except ImportError:
        numpy = None

    print(f"{'n':>9} {'input':>6} {'native s':>9} {'detect s':>9} {'overhead':>9}")
    for n in (int(s) for s in args.sizes.split(",")):
        values = piecewise_noise(n)
        inputs = [("list", values)]
        if numpy is not None:
            inputs.append(("numpy", numpy.asarray(values)))
        repeats = args.repeats if n < 10**6 else max(3, args.repeats // 2)
        for label, series in inputs:
            quarn.detect(series)  # warm-up
            native, _ = median_time(lambda: quarn.quarn_detector(series), repeats)
            friendly, _ = median_time(lambda: quarn.detect(series), repeats)
            print(f"{n:>9} {label:>6} {native:>9.3f} {friendly:>9.3f} {friendly / native - 1:>8.1%}")

    print(f"\n{'rows':>9} {'read + parse CSV s':>19}")
    for n in (int(s) for s in args.sizes.split(",")):
        with tempfile.TemporaryDirectory() as folder:
            path = os.path.join(folder, "series.csv")
            with open(path, "w") as handle:
                handle.write("t,value\n")
                handle.writelines(f"{i},{v!r}\n" for i, v in enumerate(piecewise_noise(n)))
            seconds, _ = median_time(
                lambda: read_columns(path, Layout(columns=["value"], time_column="t")),
                args.repeats,
            )
        print(f"{n:>9} {seconds:>19.3f}")


if __name__ == "__main__":
    main()
