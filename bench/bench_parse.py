"""Reading a large CSV: the command line's table reader before and after the
streaming rewrite, side by side in one run.

Writes a CSV of N values (default 10^7: one column with a header, about 95 MB)
to a temporary folder, then parses it with

- the old reader (``python/quarn/_table.py`` of commit f607b1b, taken from git
  and loaded from a temporary copy), and
- the installed ``quarn.cli.readers``,

each in its own child process, alternating, REPEATS times. Prints the
median parse time, the median peak resident set of the child (the whole
process: interpreter, reader and values), and the ratios.

    python bench/bench_parse.py [--values 10000000] [--repeats 3] [--columns 1]
"""

import argparse
import json
import os
import random
import statistics
import subprocess
import sys
import tempfile

OLD_COMMIT = "f607b1b"
HERE = os.path.dirname(os.path.abspath(__file__))

CHILD = r"""
import importlib.util, json, resource, sys, time
which, path, module_path = sys.argv[1], sys.argv[2], sys.argv[3]
if which == "old":
    spec = importlib.util.spec_from_file_location("old_table", module_path)
    table = importlib.util.module_from_spec(spec)
    sys.modules["old_table"] = table  # dataclasses look their module up
    spec.loader.exec_module(table)
    start = time.perf_counter()
    columns = table.select_columns(table.parse_table(table.read_text(path), path), [], None)
else:
    from quarn.cli.readers import Layout, read_columns
    start = time.perf_counter()
    columns = read_columns(path, Layout())
seconds = time.perf_counter() - start
count = sum(len(c.values) for c in columns)
peak = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss / 1024
print(json.dumps({"seconds": seconds, "peak_mb": peak, "values": count}))
"""


def write_csv(path, n_values, n_columns):
    rng = random.Random(0)
    header = ",".join(f"x{j}" for j in range(n_columns))
    rows = n_values // n_columns
    with open(path, "w") as handle:
        handle.write(header + "\n")
        block = 100_000
        for start in range(0, rows, block):
            lines = []
            for i in range(start, min(rows, start + block)):
                level = 3.0 if (i // 1000) % 2 else 0.0
                lines.append(",".join(f"{level + rng.gauss(0.0, 1.0):.6f}" for _ in range(n_columns)))
            handle.write("\n".join(lines) + "\n")


def old_reader(folder):
    try:
        text = subprocess.run(
            ["git", "show", f"{OLD_COMMIT}:python/quarn/_table.py"],
            cwd=HERE, capture_output=True, text=True, check=True,
        ).stdout
    except (OSError, subprocess.CalledProcessError):
        return None
    path = os.path.join(folder, "old_table.py")
    with open(path, "w") as handle:
        handle.write(text)
    return path


def run(which, csv_path, module_path):
    done = subprocess.run(
        [sys.executable, "-c", CHILD, which, csv_path, module_path or ""],
        capture_output=True, text=True,
    )
    if done.returncode != 0:
        raise SystemExit(f"{which} reader failed:\n{done.stderr}")
    return json.loads(done.stdout)


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--values", type=int, default=10_000_000)
    parser.add_argument("--repeats", type=int, default=3)
    parser.add_argument("--columns", type=int, default=1)
    args = parser.parse_args()
    with tempfile.TemporaryDirectory() as folder:
        csv_path = os.path.join(folder, "series.csv")
        write_csv(csv_path, args.values, args.columns)
        size_mb = os.path.getsize(csv_path) / 1e6
        module_path = old_reader(folder)
        readers = ["old", "new"] if module_path else ["new"]
        found = {which: [] for which in readers}
        for _ in range(args.repeats):
            for which in readers:
                found[which].append(run(which, csv_path, module_path))
    print(f"{args.values} values in {args.columns} column(s), {size_mb:.0f} MB; "
          f"median of {args.repeats} runs each")
    print(f"{'reader':>7} {'parse s':>9} {'peak RSS MB':>12} {'values':>10}")
    medians = {}
    for which in readers:
        seconds = statistics.median(r["seconds"] for r in found[which])
        peak = statistics.median(r["peak_mb"] for r in found[which])
        medians[which] = (seconds, peak)
        print(f"{which:>7} {seconds:>9.2f} {peak:>12.0f} {found[which][0]['values']:>10}")
    if "old" in medians:
        (old_s, old_mb), (new_s, new_mb) = medians["old"], medians["new"]
        print(f"old/new: {old_s / new_s:.1f}x faster, {old_mb / new_mb:.1f}x less memory")
    if not module_path:
        print(f"(old reader not found: needs git and commit {OLD_COMMIT})")


if __name__ == "__main__":
    main()
