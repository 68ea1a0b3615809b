"""The command line under careless or hostile use: odd file names and
cells, huge settings, outputs with nothing to show, very wide files."""

import pytest

from helpers import run_cli as run
from sample_series import gauss_step

VALUES = gauss_step(n=200, at=100, shift=5.0, seed=1, digits=6)
LINES = "".join(f"{v}\n" for v in VALUES)


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


def test_file_names_and_time_labels_reach_the_terminal_escaped(tmp_path):
    name = "evil\n\x1b[31mname.csv"
    rows = ["t,v"] + [f"\x1b[31mday{i}\x07,{(1.0 if i >= 60 else 0.0) + (i % 3) * 0.1}"
                      for i in range(120)]
    (tmp_path / name).write_text("\n".join(rows) + "\n")
    done = run("detect", name, "--time-column", "t", cwd=tmp_path)
    assert done.returncode == 0, done.stderr
    assert "\x1b" not in done.stdout and "\x07" not in done.stdout
    assert done.stdout.startswith("evil\\n\\x1b[31mname.csv, column 'v'")
    assert "\\x1b[31mday60\\x07" in done.stdout
    short = "short\n.csv"
    (tmp_path / short).write_text("1\n2\n")
    for args in ([short], ["missing\x1b[2J.csv"]):
        done = run("detect", *args, cwd=tmp_path)
        assert done.returncode == 1
        assert len(done.stderr.splitlines()) == 1 and "\x1b" not in done.stderr
        assert done.stderr.startswith("quarn: error: ")


@pytest.mark.parametrize(
    "args, message",
    [
        (["--seed", "\u0665"], "--seed must be an integer written with the ASCII digits"),
        (["--seed", "1_000"], "--seed must be an integer written with the ASCII digits"),
        (["--alpha", "\uff10.\uff15"], "--alpha must be a number written with the ASCII digits"),
        (["--method", "native", "--window-sizes", "\u0665-\u0669"],
         "--window-sizes must be sizes like 10-20 or 10,12,15 written with the ASCII digits"),
        (["--plot", ""], "--plot: cannot tell the picture format of ''"),
    ],
    ids=["arabic-indic seed", "underscore seed", "full-width alpha", "arabic-indic sizes",
         "empty plot"],
)
def test_flags_take_ascii_numbers_and_a_real_plot_name(args, message):
    done = run("demo", *args)
    assert done.returncode == 2
    assert message in done.stderr


@pytest.mark.parametrize("cell", ["\u0663", "\uff13", "1\u0660", "1_000"])
def test_data_takes_ascii_numbers_only(tmp_path, cell):
    (tmp_path / "x.txt").write_text(LINES + f"{cell}\n")
    done = run("detect", "x.txt", cwd=tmp_path)
    assert done.returncode == 1
    assert f"x.txt, line 201: {cell!r} is not a number" in done.stderr
    if cell != "1_000":
        assert "ASCII digits 0-9 only" in done.stderr


def test_a_column_number_in_other_digits_is_no_number(tmp_path):
    (tmp_path / "x.csv").write_text("a,b\n" + "".join(f"{v},{v}\n" for v in VALUES))
    done = run("detect", "x.csv", "--column", "\u0662", cwd=tmp_path)
    assert done.returncode == 2
    assert "unknown column '\u0662'" in done.stderr
