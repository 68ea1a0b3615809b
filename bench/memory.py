"""Peak resident memory of one detection on a long series, in a fresh process
each.

    python bench/memory.py package [--sizes 10000000,50000000]
                                   [--calls quarn.detect,engine,native]
    python bench/memory.py core    [--sizes 1000000,10000000]
                                   [--tool PATH] [--baseline PATH]
    python bench/memory.py heap    [--size 10000000] [--call quarn.detect]
                                   [--top 15]

package: quarn.detect, the engine's run of the native method (no centring
and scaling, no result object) and the native module's quarn_detector, each
in a fresh
interpreter. Reports the resident-set high-water mark (ru_maxrss) of the
whole process (interpreter, imports and the float64 series included) before
the call and after it, with the result still held. The series is Gaussian
noise whose level moves every 100,000 values.

core: the core's confirm method per value of the series. Runs
quarn_method_tool once per size on Gaussian noise whose level or spread
changes every 1,000 values, and reads the peak resident memory of that
process as the tool reports it (VmHWM; Linux only: a parent's resource usage
would also count the parent's memory at the fork). A run on 1,000 values
measures the tool's fixed part (code, thread pool); the method's own extra
memory is the peak less the fixed part and the series (8 bytes per value).
With --baseline, a second build runs on the same files right after, and
both are printed side by side.

heap: what is alive at the peak of the heap during one call (Linux, with
heaptrack and heaptrack_print on the PATH): the call runs as in `package`
under heaptrack, and the blocks alive at the moment the heap was largest
are summed by the innermost quarn function that allocated them (numpy's
arrays and the interpreter's own by their allocator). Build the package
with debug information (e.g. pip's -C cmake.build-type=RelWithDebInfo) for
the core's function names; otherwise they show as addresses.
"""

from __future__ import annotations

import argparse
import collections
import os
import re
import shutil
import subprocess
import sys
import tempfile
import textwrap

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)

from _harness import child_peak, sizes  # noqa: E402

CALLS = {
    "quarn.detect": """
        import quarn
        def run(series):
            result = quarn.detect(series)
            return len(result.change_points)
    """,
    "engine": """
        import sys
        sys.path.insert(0, %r)
        import quarn._engine as engine
        from _harness import engine_arguments
        arguments = engine_arguments(scale=False)
        def run(series):
            global result
            (result,) = engine.run([series], **arguments)
            return len(result["table"]["position"])
    """ % HERE,
    "native": """
        import quarn._quarn_native as native
        def run(series):
            global result
            result = native.quarn_detector(series)
            return len(result["out"]["cdf"])
    """,
}


def package(parser, args) -> None:
    calls = [c for c in args.calls.split(",") if c]
    unknown = [c for c in calls if c not in CALLS]
    if unknown:
        parser.error(f"unknown calls: {', '.join(unknown)}")
    print(f"{'call':>13} {'n':>10} {'before MB':>10} {'peak MB':>8} {'call MB':>8} "
          f"{'call B/value':>13} {'seconds':>8} {'change points':>14}")
    for n in sizes(args.sizes):
        for call in calls:
            r = child_peak(call, n, CALLS[call])
            grown = r["peak"] - r["before"]
            print(f"{call:>13} {n:>10} {r['before'] / 1e6:>10.0f} {r['peak'] / 1e6:>8.0f} "
                  f"{grown / 1e6:>8.0f} {grown / n:>13.1f} {r['seconds']:>8.2f} "
                  f"{r['found']:>14}")


def _tool_peak(tool: str, path: str) -> tuple[int, float]:
    """Peak resident bytes and the method's seconds of one run of the tool."""
    run = subprocess.run([tool, "--peak-memory", path], capture_output=True, text=True, check=False)
    words = run.stdout.split()
    if run.returncode != 0 or "peak_rss_bytes" not in words:
        sys.exit(f"{tool} failed on {path}: {run.stderr or run.stdout[-500:]}")
    peak = int(words[words.index("peak_rss_bytes") + 1])
    if peak < 0:
        sys.exit("the tool cannot read its peak memory on this system")
    return peak, float(words[words.index("seconds") + 1])


def core(parser, args) -> None:
    import numpy as np

    from _core_method import CoreMethod
    from _series import piecewise_noise

    found = CoreMethod.find(args.tool)
    if found is None:
        sys.exit("quarn_method_tool not found: build the core with its tests, or give --tool")
    tools = [("baseline", args.baseline)] if args.baseline else []
    tools.append(("tool", found.tool))
    with tempfile.TemporaryDirectory() as folder:
        def series_file(n: int) -> str:
            path = os.path.join(folder, f"{n}.bin")
            np.asarray(piecewise_noise(n), dtype="<f8").tofile(path)
            return path

        small = series_file(1000)
        fixed = {label: _tool_peak(tool, small)[0] for label, tool in tools}
        print("build     n           peak MB  extra B/value  seconds")
        for n in sizes(args.sizes):
            path = series_file(n)
            for label, tool in tools:
                peak, seconds = _tool_peak(tool, path)
                extra = (peak - fixed[label] - 8 * n) / n
                print(f"{label:<9} {n:<11} {peak / 1e6:7.1f}  {extra:13.1f}  {seconds:7.2f}")
            os.remove(path)


def _frame_name(frame: str) -> str:
    """A frame of heaptrack's stacks, "function (file)", as its function
    (without its arguments), or its file when the function is unknown."""
    match = re.fullmatch(r"(.*?) \(([^()]*)\)", frame)
    name = frame if match is None else match.group(1) or match.group(2)
    return name.split("(")[0].replace("quarn::", "") if "quarn::" in name else name


def _peak_owner(stack: list[str]) -> str:
    """Who allocated a block: the two innermost quarn frames, else the
    three innermost frames."""
    ours = [frame for frame in stack if "quarn::" in frame]
    chosen = ours[-2:] if ours else stack[-3:]
    return " <- ".join(_frame_name(frame) for frame in reversed(chosen))


def heap(parser, args) -> None:
    if args.call not in CALLS:
        parser.error(f"unknown call: {args.call}")
    tracker, printer = shutil.which("heaptrack"), shutil.which("heaptrack_print")
    if tracker is None or printer is None:
        sys.exit("heap needs heaptrack and heaptrack_print on the PATH")
    from _harness import _CHILD

    with tempfile.TemporaryDirectory() as folder:
        trace = os.path.join(folder, "trace")
        subprocess.run([tracker, "-o", trace, sys.executable, "-c", _CHILD, args.call,
                        str(args.size), textwrap.dedent(CALLS[args.call])],
                       capture_output=True, text=True, check=True)
        recorded = next(os.path.join(folder, f) for f in os.listdir(folder)
                        if f.startswith("trace"))
        stacks = os.path.join(folder, "stacks.txt")
        subprocess.run([printer, "-f", recorded, "-p", "0", "-a", "0", "-T", "0",
                        "--flamegraph-cost-type", "peak", "-F", stacks],
                       capture_output=True, text=True, check=True)
        owners: collections.Counter[str] = collections.Counter()
        with open(stacks) as lines:
            for line in lines:
                stack, _, size = line.rstrip().rpartition(" ")
                owners[_peak_owner(stack.rstrip(";").split(";"))] += int(size)
    total = sum(owners.values())
    print(f"{args.call} on {args.size} values: {total / 1e6:.1f} MB of heap alive at its peak")
    print(f"{'MB':>8}  allocated by")
    for owner, size in owners.most_common(args.top):
        print(f"{size / 1e6:8.2f}  {owner[:150]}")


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0],
                                     formatter_class=argparse.RawDescriptionHelpFormatter,
                                     epilog="\n".join(__doc__.splitlines()[1:]))
    commands = parser.add_subparsers(dest="command", required=True)
    python = commands.add_parser("package", help="quarn.detect, the engine, the native module")
    python.add_argument("--sizes", default="10000000,50000000", help="series lengths, comma-separated")
    python.add_argument("--calls", default="quarn.detect,engine",
                        help=f"what to measure, comma-separated, of {', '.join(CALLS)}")
    python.set_defaults(run=package)
    tool = commands.add_parser("core", help="the core's confirm method in quarn_method_tool")
    tool.add_argument("--sizes", default="1000000,10000000", help="series lengths, comma-separated")
    tool.add_argument("--tool", help="path of quarn_method_tool")
    tool.add_argument("--baseline", help="path of another quarn_method_tool to compare with")
    tool.set_defaults(run=core)
    snapshot = commands.add_parser("heap", help="what is alive at the heap's peak (heaptrack)")
    snapshot.add_argument("--size", type=int, default=10_000_000, help="series length")
    snapshot.add_argument("--call", default="quarn.detect", help=f"one of {', '.join(CALLS)}")
    snapshot.add_argument("--top", type=int, default=15, help="how many owners to print")
    snapshot.set_defaults(run=heap)
    args = parser.parse_args()
    args.run(parser, args)


if __name__ == "__main__":
    main()
