"""Conversion of a numeric series at the native boundary: buffer route
(numpy array read in place) against the generic routes (iterating a list
of floats, iterating an ndarray subclass that yields numpy scalars).

The timed call is quarn_single_window(series, 0): it converts and validates
the series, then fails on window_size, so nothing else is measured.

    python bench/bench_conversion.py [--size N] [--repeats R]
"""

import argparse
import statistics
import time

import numpy

import quarn._quarn_native as native


class SubArray(numpy.ndarray):
    """Not exactly numpy.ndarray: takes the iterating route."""


def convert(series):
    try:
        native.quarn_single_window(series, 0)
    except ValueError as error:
        assert str(error) == "window_size must be positive", error
    else:
        raise AssertionError("window_size 0 was accepted")


def median_seconds(series, repeats):
    convert(series)  # warm-up
    times = []
    for _ in range(repeats):
        start = time.perf_counter()
        convert(series)
        times.append(time.perf_counter() - start)
    return statistics.median(times)


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--size", type=int, default=10**6)
    parser.add_argument("--repeats", type=int, default=15)
    options = parser.parse_args()

    values = numpy.random.default_rng(0).normal(size=options.size)
    strided = numpy.random.default_rng(1).normal(size=2 * options.size)[::2]
    cases = [
        ("float64 ndarray (buffer)", values),
        ("float64 ndarray, step 2 (buffer)", strided),
        ("float32 ndarray (buffer)", values.astype(numpy.float32)),
        ("int64 ndarray (buffer)", (values * 1000).astype(numpy.int64)),
        ("list of float (generic)", values.tolist()),
        ("float64 ndarray subclass (generic)", values.view(SubArray)),
    ]
    print(f"{options.size} values, median of {options.repeats} runs")
    medians = {}
    for name, series in cases:
        medians[name] = median_seconds(series, options.repeats)
        print(f"  {name:36s} {medians[name] * 1e3:9.3f} ms")

    buffer = medians["float64 ndarray (buffer)"]
    print("ratios (generic / buffer, float64):")
    print(f"  list of float       {medians['list of float (generic)'] / buffer:7.1f}x")
    print(f"  ndarray subclass    {medians['float64 ndarray subclass (generic)'] / buffer:7.1f}x")


if __name__ == "__main__":
    main()
