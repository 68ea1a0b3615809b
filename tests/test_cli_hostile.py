"""The command line under careless or hostile use: odd file names and
cells, huge settings, outputs with nothing to show, very wide files."""

import os
import subprocess
import sys

import pytest

from sample_series import gauss_step

ENV = {**os.environ, "MPLBACKEND": "Agg"}
VALUES = gauss_step(n=200, at=100, shift=5.0, seed=1, digits=6)
LINES = "".join(f"{v}\n" for v in VALUES)


def run(*args, cwd=None, stdin=None):
    return subprocess.run(
        [sys.executable, "-m", "quarn", *map(str, args)],
        input=stdin,
        capture_output=True,
        text=True,
        cwd=cwd,
        env=ENV,
    )


@pytest.mark.parametrize(
    "args",
    [["--alpha", "1e-300"], ["--method", "native", "--window-sizes", "400"]],
    ids=["nothing kept", "window too long"],
)
def test_demo_with_nothing_found(args):
    done = run("demo", *args)
    assert done.returncode == 0, done.stderr
    assert "no change points found" in done.stdout
    assert "fault in quarn" not in done.stderr


def test_detect_with_nothing_found(tmp_path):
    (tmp_path / "x.txt").write_text(LINES)
    done = run("detect", "x.txt", "--alpha", "1e-300", cwd=tmp_path)
    assert done.returncode == 0, done.stderr


def test_a_huge_window_size_costs_no_memory_and_is_not_blamed_on_reading(tmp_path):
    (tmp_path / "col.txt").write_text(LINES)
    done = run(
        "detect", "col.txt", "--method", "native", "--n-perm", "20",
        "--window-sizes", f"5,6,{10**18}", cwd=tmp_path,
    )
    assert done.returncode == 0, done.stderr
    assert f"window size {10**18} needs at least" in done.stderr
    assert "reading" not in done.stderr


def test_warnings_of_a_very_wide_file_are_summarised(tmp_path):
    columns = 40
    rows = [",".join(f"c{i}" for i in range(columns))]
    rows += [",".join(str((r * 7 + i) % 5) for i in range(columns)) for r in range(30)]
    (tmp_path / "wide.csv").write_text("\n".join(rows) + "\n")
    done = run(
        "detect", "wide.csv", "--method", "native", "--window-sizes", "20", "--n-perm", "10",
        cwd=tmp_path,
    )
    assert done.returncode == 0, done.stderr
    warnings = done.stderr.splitlines()
    assert len(warnings) < 10
    assert warnings[-1].startswith(f"quarn: warning: ... and {columns - len(warnings) + 1} more")
