"""The quarn command line, run as `python -m quarn` in a subprocess."""

import json
import os
import pty
import random
import subprocess
import sys
from pathlib import Path

import pytest

import quarn
from helpers import same
from quarn.datasets import DEMO_OPTIONS
from quarn.serialize import from_jsonable

ENV = {**os.environ, "MPLBACKEND": "Agg"}


def run(*args, stdin=None, cwd=None, stderr=subprocess.PIPE):
    return subprocess.run(
        [sys.executable, "-m", "quarn", *map(str, args)],
        input=stdin,
        stdout=subprocess.PIPE,
        stderr=stderr,
        text=True,
        cwd=cwd,
        env=ENV,
    )


def step(n=200, at=100, seed=1):
    rng = random.Random(seed)
    return [round(rng.gauss(0.0, 1.0) + (5.0 if i >= at else 0.0), 6) for i in range(n)]


VALUES = step()
OTHER = step(seed=2, at=60)


def positions(stdout):
    """Change-point positions from the table(s), in order of appearance."""
    found = []
    for line in stdout.splitlines():
        first = line.split()[0] if line.strip() else ""
        if line.startswith("  ") and first.isdigit():
            found.append(int(first))
    return found


def expected(values, **options):
    return list(quarn.detect(values, **options).positions)


LINES = "".join(f"{v}\n" for v in VALUES)
ROWS = [(i, v) for i, v in enumerate(VALUES)]


@pytest.mark.parametrize(
    "name, text, args",
    [
        ("plain.txt", LINES, []),
        ("no_final_newline.txt", LINES.rstrip("\n"), []),
        ("trailing_blank_lines.txt", "\n" + LINES + "\n\n", []),
        ("header.csv", "value\n" + LINES, ["--column", "value"]),
        ("two.csv", "t,value\n" + "".join(f"{i},{v}\n" for i, v in ROWS), ["--column", "value"]),
        ("semicolon.csv", "t;value\n" + "".join(f"{i};{v}\n" for i, v in ROWS), ["--column", "2"]),
        ("tabs.tsv", "t\tvalue\n" + "".join(f"{i}\t{v}\n" for i, v in ROWS), ["--time-column", "t"]),
        ("tabs.dat", "".join(f"{i}\t{v}\n" for i, v in ROWS), ["--time-column", "1"]),
        ("windows.csv", "\ufefft,value\r\n" + "".join(f"{i},{v}\r\n" for i, v in ROWS), ["--column", "value"]),
        ("quoted.csv", '"t","value"\n' + "".join(f'"{i}", "{v}"\n' for i, v in ROWS), ["--column", "value"]),
    ],
)
def test_files_of_every_layout_are_read(tmp_path, name, text, args):
    (tmp_path / name).write_text(text, encoding="utf-8", newline="")
    done = run("detect", name, *args, cwd=tmp_path)
    assert done.returncode == 0, done.stderr
    assert done.stderr == ""
    assert positions(done.stdout) == expected(VALUES)


def test_standard_input(tmp_path):
    done = run("detect", "-", stdin="".join(f"{v}\n" for v in VALUES))
    assert done.returncode == 0, done.stderr
    assert "<stdin>" in done.stdout
    assert positions(done.stdout) == expected(VALUES)


def test_columns_files_and_time_labels(tmp_path):
    rows = "".join(f"2020-01-{i:03d},{a},{b}\n" for i, (a, b) in enumerate(zip(VALUES, OTHER)))
    (tmp_path / "two.csv").write_text("date,a,b\n" + rows)
    (tmp_path / "three.csv").write_text("".join(f"0,1,{v}\n" for v in OTHER))
    done = run("detect", "two.csv", "--time-column", "date", cwd=tmp_path)
    assert done.returncode == 0, done.stderr
    assert positions(done.stdout) == expected(VALUES) + expected(OTHER)
    assert "column 'a'" in done.stdout and "column 'b'" in done.stdout
    assert f"2020-01-{expected(VALUES)[0]:03d}" in done.stdout
    by_number = run("detect", "two.csv", "three.csv", "--column", "3", "--window-sizes", "12,15", cwd=tmp_path)
    assert by_number.returncode == 0, by_number.stderr
    assert positions(by_number.stdout) == 2 * expected(OTHER, window_sizes=[12, 15])


@pytest.mark.parametrize(
    "options, native",
    [
        ([], {}),
        (
            ["--window-sizes", "10-12,20", "--n-perm", "40", "--alpha", "0.05", "--seed", "9",
             "--tol", "0", "--workers", "1", "--change-type", "Distribution", "--block-length", "6",
             "--taper-ratio", "0.25", "--no-center"],
            {"window_sizes": [10, 11, 12, 20], "n_perm": 40, "alpha_q": 0.05, "seed": 9, "tol": 0,
             "workers": 1, "change_type": "distribution", "b": 6, "taper_ratio": 0.25, "center": False},
        ),
    ],
)
def test_json_round_trips_to_the_native_result(tmp_path, options, native):
    (tmp_path / "x.txt").write_text("".join(f"{v}\n" for v in VALUES))
    done = run("detect", "x.txt", "--json", *options, cwd=tmp_path)
    assert done.returncode == 0, done.stderr
    assert same(from_jsonable(json.loads(done.stdout)), quarn.quarn_detector(VALUES, **native))


def test_json_of_several_series_names_each(tmp_path):
    (tmp_path / "x.csv").write_text("a,b\n" + "".join(f"{a},{b}\n" for a, b in zip(VALUES, OTHER)))
    done = run("detect", "x.csv", "--json", cwd=tmp_path)
    assert done.returncode == 0, done.stderr
    document = json.loads(done.stdout)
    assert [(d["file"], d["column"]) for d in document] == [("x.csv", "a"), ("x.csv", "b")]
    assert same(from_jsonable(document[1]["result"]), quarn.quarn_detector(OTHER))


@pytest.mark.parametrize(
    "content, args, status, message",
    [
        (None, ["missing.csv"], 1, "missing.csv: no such file"),
        ("", ["data.csv"], 1, "data.csv: the file is empty"),
        ("\n\n", ["data.csv"], 1, "the file is empty"),
        ("value\n", ["data.csv"], 1, "header but no data rows"),
        ("1\n2\nabc\n4\n", ["data.csv"], 1, "data.csv, line 3: 'abc' is not a number"),
        ("t,v\n1,2\n2,x\n3,4\n", ["data.csv", "--column", "v"], 1, "line 3, column 2 ('v'): 'x' is not a number"),
        ("t,v\n1,2\n2,\n3,4\n", ["data.csv", "--column", "v"], 1, "line 3, column 2 ('v'): missing value (an empty cell)"),
        ("v\n1\nNaN\n3\n4\n", ["data.csv"], 1, "line 3, column 1 ('v'): missing value ('NaN')"),
        ("v\n1\nNA\n3\n4\n", ["data.csv"], 1, "missing value ('NA'); remove or fill in"),
        ("1\n2\n\n4\n5\n", ["data.csv"], 1, "line 3: missing value (an empty line)"),
        ("t,v\n1,2\n2\n3,4\n", ["data.csv", "--column", "v"], 1, "the line has only 1 field"),
        ("1\n-inf\n3\n", ["data.csv"], 1, "line 2: infinite value ('-inf')"),
        ("1\n2\n", ["data.csv"], 1, "2 values, but at least 3 are needed"),
        ("date,v\n2020-01-01,1\n", ["data.csv"], 1, "'2020-01-01' is not a number (for time stamps use --time-column"),
        ("t,v\n1,2\n2,3\n3,4\n", ["data.csv", "--column", "w"], 2, "unknown column 'w'; columns are 't', 'v'"),
        ("t,v\n1,2\n2,3\n3,4\n", ["data.csv", "--column", "3"], 2, "no column number 3; the file has 2 columns"),
        ("1,2\n2,3\n3,4\n", ["data.csv", "--column", "v"], 2, "no header row, so choose columns by number"),
        ("t,v\n1,2\n2,3\n3,4\n", ["data.csv", "--time-column", "v", "--column", "v"], 2, "both a data column and the time column"),
        ("1\n2\n3\n", ["data.csv", "--window-sizes", "0"], 2, "argument --window-sizes"),
        ("1\n2\n3\n", ["data.csv", "--window-sizes", "ten"], 2, "expected sizes like 10-20 or 10,12,15"),
        ("1\n2\n3\n", ["data.csv", "--window-sizes", "20-10"], 2, "argument --window-sizes"),
        ("1\n2\n3\n", ["data.csv", "--alpha", "5"], 2, "argument --alpha: must be between 0 and 1"),
        ("1\n2\n3\n", ["data.csv", "--n-perm", "0"], 2, "argument --n-perm: must be at least 1"),
        ("1\n2\n3\n", ["data.csv", "--seed", "-1"], 2, "argument --seed"),
        ("1\n2\n3\n", ["data.csv", "--change-type", "median"], 2, "invalid choice: 'median'"),
        ("1\n2\n3\n", ["data.csv", "--taper-ratio", "3"], 2, "argument --taper-ratio"),
        ("1\n2\n3\n", ["data.csv", "--plot", "picture.unknown"], 2, "cannot tell the picture format"),
        ("1\n2\n3\n", ["data.csv", "--frobnicate"], 2, "unrecognized arguments: --frobnicate"),
        ("1\n2\n3\n", ["data.csv", "-", "-"], 2, "standard input ('-') can be read only once"),
        ("".join(f"{v}\n" for v in VALUES), ["data.csv", "--window-sizes", "3"], 2, "need an explicit block_length"),
        ("".join(f"{v}\n" for v in VALUES), ["data.csv", "--window-sizes", "1", "--block-length", "5"], 2, "window size 1 is too small"),
    ],
)
def test_bad_input_is_one_line_and_a_status(tmp_path, content, args, status, message):
    if content is not None:
        (tmp_path / "data.csv").write_text(content)
    done = run("detect", *args, cwd=tmp_path)
    assert done.returncode == status
    assert done.stdout == ""
    assert done.stderr.count("\n") == 1 and "Traceback" not in done.stderr
    assert message in done.stderr


def test_non_text_and_directories_are_data_errors(tmp_path):
    (tmp_path / "blob.bin").write_bytes(b"\xff\xfe\x00\x01")
    for target, message in [("blob.bin", "not UTF-8 text"), (".", "is a directory")]:
        done = run("detect", target, cwd=tmp_path)
        assert (done.returncode, done.stderr.count("\n")) == (1, 1)
        assert message in done.stderr


def test_plot_writes_a_png(tmp_path):
    pytest.importorskip("matplotlib")
    (tmp_path / "x.csv").write_text("a,b\n" + "".join(f"{a},{b}\n" for a, b in zip(VALUES, OTHER)))
    done = run("detect", "x.csv", "--plot", "out.png", cwd=tmp_path)
    assert done.returncode == 0, done.stderr
    picture = (tmp_path / "out.png").read_bytes()
    assert picture.startswith(b"\x89PNG\r\n\x1a\n") and len(picture) > 10_000


def test_plot_into_a_missing_folder_is_one_line(tmp_path):
    pytest.importorskip("matplotlib")
    (tmp_path / "x.txt").write_text("".join(f"{v}\n" for v in VALUES))
    done = run("detect", "x.txt", "--plot", "no/such/dir/out.png", cwd=tmp_path)
    assert (done.returncode, done.stderr.count("\n")) == (1, 1)
    assert "cannot write" in done.stderr


@pytest.mark.parametrize("on_terminal", [True, False])
def test_progress_bar_only_on_a_terminal(tmp_path, on_terminal):
    for name in "abc":
        (tmp_path / f"{name}.txt").write_text("".join(f"{v}\n" for v in VALUES))
    if not on_terminal:
        done = run("detect", "a.txt", "b.txt", "c.txt", cwd=tmp_path)
        assert (done.returncode, done.stderr) == (0, "")
        return
    controller, terminal = pty.openpty()
    try:
        done = run("detect", "a.txt", "b.txt", "c.txt", cwd=tmp_path, stderr=terminal)
        os.close(terminal)
        terminal = None
        shown = b""
        while True:
            try:
                chunk = os.read(controller, 4096)
            except OSError:
                break
            if not chunk:
                break
            shown += chunk
    finally:
        os.close(controller)
        if terminal is not None:
            os.close(terminal)
    assert done.returncode == 0
    assert b"] 1/3 b.txt" in shown and b"] 3/3" in shown and shown.endswith(b"\r")
    assert positions(done.stdout) == 3 * expected(VALUES)


def test_demo_shows_change_points_and_annotations(tmp_path):
    done = run("demo", cwd=tmp_path)
    assert done.returncode == 0, done.stderr
    assert done.stdout.startswith("Well Log: 675 values")
    assert "annotator 13" in done.stdout
    assert positions(done.stdout) == expected(quarn.load_dataset().values, **DEMO_OPTIONS)


def test_demo_plot(tmp_path):
    pytest.importorskip("matplotlib")
    done = run("demo", "--plot", "demo.png", cwd=tmp_path)
    assert done.returncode == 0, done.stderr
    assert (tmp_path / "demo.png").read_bytes().startswith(b"\x89PNG")


def test_demo_json_and_options(tmp_path):
    done = run("demo", "--json", "--seed", "5", cwd=tmp_path)
    assert done.returncode == 0, done.stderr
    native = quarn.quarn_detector(
        quarn.load_dataset().values,
        window_sizes=list(DEMO_OPTIONS["window_sizes"]),
        alpha_q=DEMO_OPTIONS["alpha"],
        seed=5,
    )
    assert same(from_jsonable(json.loads(done.stdout)), native)


def test_usage_without_a_command():
    done = run()
    assert done.returncode == 2 and done.stderr.count("\n") == 1


def test_console_script_is_installed(tmp_path):
    script = Path(sys.executable).with_name("quarn")
    if not script.exists():
        pytest.skip("the console script lives elsewhere in this environment")
    done = subprocess.run([script, "detect", "-"], input="1\n2\n3\n4\n", capture_output=True, text=True, env=ENV)
    assert done.returncode == 0, done.stderr
    assert "4 values" in done.stdout
