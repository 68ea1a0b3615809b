"""The quarn command line, run as `python -m quarn` in a subprocess."""

import json
import os
import pty
import signal
import subprocess
import sys
import time
from pathlib import Path

import pytest

import quarn
from helpers import CLI_ENV, same
from helpers import run_cli as run
from sample_series import gauss_step, piecewise
from quarn.serialize import from_jsonable

ENV = CLI_ENV


VALUES = gauss_step(n=200, at=100, shift=5.0, seed=1, digits=6)
OTHER = gauss_step(n=200, at=60, shift=5.0, seed=2, digits=6)


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
    by_number = run("detect", "two.csv", "three.csv", "--column", "3", "--method", "native", "--window-sizes", "12,15", cwd=tmp_path)
    assert by_number.returncode == 0, by_number.stderr
    assert positions(by_number.stdout) == 2 * expected(OTHER, method="native", window_sizes=[12, 15])


@pytest.mark.parametrize(
    "flags, options",
    [
        ([], {}),
        (
            ["--method", "native", "--window-sizes", "10-12,20", "--n-perm", "40", "--alpha", "0.05", "--seed", "9",
             "--tol", "0", "--workers", "1", "--change-type", "Distribution", "--block-length", "6",
             "--taper-ratio", "0.25", "--no-center"],
            {"method": "native", "window_sizes": [10, 11, 12, 20], "n_perm": 40, "alpha": 0.05, "seed": 9, "tol": 0,
             "workers": 1, "change_type": "distribution", "block_length": 6, "taper_ratio": 0.25,
             "center": False},
        ),
    ],
)
def test_json_round_trips_to_the_result_of_detect(tmp_path, flags, options):
    (tmp_path / "x.txt").write_text("".join(f"{v}\n" for v in VALUES))
    done = run("detect", "x.txt", "--json", *flags, cwd=tmp_path)
    assert done.returncode == 0, done.stderr
    (item,) = json.loads(done.stdout)
    expected = quarn.detect(VALUES, **options)
    assert same(from_jsonable(item["result"]), expected.to_dict())
    assert [p["position"] for p in item["change_points"]] == list(expected.positions)


def test_json_has_one_shape_for_one_series_and_many(tmp_path):
    rows = "".join(f"d{i},{a},{b}\n" for i, (a, b) in enumerate(zip(VALUES, OTHER)))
    (tmp_path / "x.csv").write_text("day,a,b\n" + rows)
    many = json.loads(run("detect", "x.csv", "--json", "--time-column", "day", cwd=tmp_path).stdout)
    one = json.loads(run("detect", "x.csv", "--json", "--column", "b", cwd=tmp_path).stdout)
    demo = json.loads(run("demo", "--json", cwd=tmp_path).stdout)
    keys = [
        "file", "column", "n_values", "n_missing", "time_column", "method", "change_points",
        "segments", "warnings",
        "result",
    ]
    for item in many + one + demo:
        assert list(item) == keys
    assert [(d["file"], d["column"], d["time_column"]) for d in many] == [
        ("x.csv", "a", "day"), ("x.csv", "b", "day")]
    assert same(from_jsonable(many[1]["result"]), from_jsonable(one[0]["result"]))
    assert same(from_jsonable(one[0]["result"]), quarn.detect(OTHER).to_dict())
    for point in many[1]["change_points"]:
        assert point["time"] == f"d{point['position']}"
    assert all(point["time"] is None for point in one[0]["change_points"])


@pytest.mark.parametrize(
    "content, args, status, message",
    [
        (None, ["missing.csv"], 1, "missing.csv: no such file"),
        ("", ["data.csv"], 1, "data.csv: the file is empty"),
        ("\n\n", ["data.csv"], 1, "the file is empty"),
        ("value\n", ["data.csv"], 1, "header but no data rows"),
        ("1\n2\nabc\n4\n", ["data.csv"], 1, "data.csv, line 3: 'abc' is not a number"),
        ("t,v\n1,2\n2,x\n3,4\n", ["data.csv", "--column", "v"], 1, "line 3, column 2 ('v'): 'x' is not a number"),
        ("t,v\n1,2\n2,\n3,4\n", ["data.csv", "--missing", "raise", "--column", "v"], 1, "line 3, column 2 ('v'): missing value (an empty cell)"),
        ("v\n1\nNaN\n3\n4\n", ["data.csv", "--missing", "raise"], 1, "line 3, column 1 ('v'): missing value ('NaN')"),
        ("v\n1\nNA\n3\n4\n", ["data.csv", "--missing", "raise"], 1, "missing value ('NA'); remove or fill in"),
        ("1\n2\n\n4\n5\n", ["data.csv", "--missing", "raise"], 1, "line 3: missing value (an empty line)"),
        ("t,v\n1,2\n2\n3,4\n", ["data.csv", "--column", "v"], 1, "data.csv, line 3: 1 field, but the header has 2"),
        ("t,v\n1,2\n2,3,4\n3,4\n", ["data.csv"], 1, "line 3: 3 fields, but the header has 2"),
        ("1\n-inf\n3\n", ["data.csv"], 1, "line 2: infinite value ('-inf')"),
        ("1\n2\n", ["data.csv"], 1, "2 values, but at least 3 are needed"),
        ("date,v\n2020-01-01,1\n", ["data.csv"], 1, "'2020-01-01' is not a number (for time stamps use --time-column"),
        ("t,v\n1,2\n2,3\n3,4\n", ["data.csv", "--column", "w"], 2, "unknown column 'w'; columns are \"'t', 'v'\""),
        ("t,v\n1,2\n2,3\n3,4\n", ["data.csv", "--column", "3"], 2, "no column number 3; the file has 2 columns"),
        ("1,2.5\n2,3.5\n3,4.5\n", ["data.csv", "--column", "v"], 2, "no header row, so choose columns by number"),
        ("t,v\n1,2\n2,3\n3,4\n", ["data.csv", "--time-column", "v", "--column", "v"], 2, "both a data column and the time column"),
        ("1\n2\n3\n", ["data.csv", "--method", "native", "--window-sizes", "0"], 2,
         "--window-sizes: window size must be an integer from 1 to 18446744073709551615, got 0"),
        ("1\n2\n3\n", ["data.csv", "--method", "native", "--window-sizes", "99999999999999999999"], 2,
         "--window-sizes: window size must be an integer from 1 to 18446744073709551615, got 99999999999999999999"),
        ("1\n2\n3\n", ["data.csv", "--method", "native", "--window-sizes", "ten"], 2, "must be sizes like 10-20 or 10,12,15"),
        ("1\n2\n3\n", ["data.csv", "--method", "native", "--window-sizes", "20-10"], 2, "the range 20-10 runs downwards"),
        ("1\n2\n3\n", ["data.csv", "--method", "native", "--window-sizes", "1-99999999"], 2, "at most 10000 window sizes"),
        ("1\n2\n3\n", ["data.csv", "--alpha", "5"], 2, "--alpha must be a fraction from 0 to 1 (0.05 means 5%), got 5.0"),
        ("1\n2\n3\n", ["data.csv", "--alpha", "nan"], 2, "--alpha must be a fraction from 0 to 1"),
        ("1\n2\n3\n", ["data.csv", "--method", "native", "--n-perm", "0"], 2, "--n-perm must be an integer from 1 to 1000000, got 0"),
        ("1\n2\n3\n", ["data.csv", "--method", "native", "--n-perm", "99999999999999999999"], 2,
         "--n-perm must be an integer from 1 to 1000000, got 99999999999999999999"),
        ("1\n2\n3\n", ["data.csv", "--workers", "99999999999999999999"], 2,
         "--workers must be an integer from 0 to 18446744073709551615"),
        ("1\n2\n3\n", ["data.csv", "--seed", "-1"], 2, "--seed must be an integer from 0 to"),
        ("1\n2\n3\n", ["data.csv", "--seed", "x" * 5000], 2, "--seed must be an integer, got 'xxxx"),
        ("1\n2\n3\n", ["data.csv", "--method", "native", "--change-type", "median"], 2, "--change-type must be 'mean', 'var' or 'distribution', got 'median'"),
        ("1\n2\n3\n", ["data.csv", "--method", "native", "--taper-ratio", "3"], 2, "--taper-ratio must be a fraction from 0 to 1"),
        ("1\n2\n3\n", ["data.csv", "--decimal", ";"], 2, "argument --decimal: invalid choice"),
        ("1\n2\n3\n", ["data.csv", "--delimiter", "ab"], 2, "--delimiter must be one character"),
        ("1\n2\n3\n", ["data.csv", "--plot", "picture.unknown"], 2, "cannot tell the picture format"),
        ("1\n2\n3\n", ["data.csv", "--frobnicate"], 2, "unrecognized arguments: --frobnicate"),
        ("1\n2\n3\n", ["data.csv", "-", "-"], 2, "standard input ('-') can be read only once"),
        ("".join(f"{v}\n" for v in VALUES), ["data.csv", "--method", "native", "--window-sizes", "3"], 2, "need an explicit block_length"),
        ("".join(f"{v}\n" for v in VALUES), ["data.csv", "--method", "native", "--window-sizes", "1", "--block-length", "5"], 2, "window size 1 is too small"),
    ],
)
def test_bad_input_is_one_line_and_a_status(tmp_path, content, args, status, message):
    if content is not None:
        (tmp_path / "data.csv").write_text(content)
    done = run("detect", *args, cwd=tmp_path)
    assert done.returncode == status
    assert done.stdout == ""
    assert done.stderr.count("\n") == 1 and done.stderr.startswith("quarn: error: ")
    assert message in done.stderr
    assert len(done.stderr) < 400


@pytest.mark.parametrize(
    "content, message",
    [
        (b"\x89PNG\r\n\x1a\n\xff\xd8", "not UTF-8 text (undecodable byte at offset 0)"),
        (b"1\n2\n\x00\x00\x00", "not a text file (a NUL byte at offset 4)"),
        ("1\n2\n3\n".encode("utf-16"), "UTF-16 text; save it as UTF-8"),
        (b"1" * (5 << 20), "line 1: longer than 4194304 bytes"),
    ],
    ids=["binary", "nul", "utf-16", "no-line-end"],
)
def test_non_text_is_refused_in_one_line(tmp_path, content, message):
    (tmp_path / "blob.bin").write_bytes(content)
    done = run("detect", "blob.bin", cwd=tmp_path)
    assert (done.returncode, done.stderr.count("\n"), done.stdout) == (1, 1, "")
    assert message in done.stderr


def test_directories_are_data_errors(tmp_path):
    done = run("detect", ".", cwd=tmp_path)
    assert (done.returncode, done.stderr.count("\n")) == (1, 1)
    assert "is a directory" in done.stderr


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


def run_on_terminal(*args, cwd):
    """Runs the command with standard error on a pseudo-terminal; returns
    the completed process and what the terminal showed."""
    controller, terminal = pty.openpty()
    try:
        done = run(*args, cwd=cwd, stderr=terminal)
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
    return done, shown


# Forty level shifts: with many replicates, a run several times longer than
# the engine's progress interval (0.1 s) even on a fast, idle machine.
SHIFTS = piecewise(4000, levels=(0.0, 3.0) * 20, seed=4)


@pytest.mark.parametrize(
    "files, label",
    [(["a.txt"], b"% a.txt: column 1"), (["a.txt", "b.txt", "c.txt"], b"% 3 series")],
    ids=["one series", "three files"],
)
def test_progress_bar_on_a_terminal_follows_the_detector(tmp_path, files, label):
    for name in files:
        (tmp_path / name).write_text("".join(f"{v!r}\n" for v in SHIFTS))
    done, shown = run_on_terminal("detect", *files, "--method", "native", "--n-perm", "15000", cwd=tmp_path)
    assert done.returncode == 0, shown
    # The bar moves within the run (shares below 100 %), stays on its line
    # and is erased at the end.
    shares = [int(part.split(b"%")[0]) for part in shown.split(b"] ")[1:]]
    assert shares and min(shares) < 100 and shares == sorted(shares)
    assert label in shown and b"\n" not in shown and shown.endswith(b"\r")
    assert positions(done.stdout) == len(files) * expected(SHIFTS, method="native", n_perm=15000)


def test_no_progress_bar_off_a_terminal(tmp_path):
    for name in "abc":
        (tmp_path / f"{name}.txt").write_text("".join(f"{v}\n" for v in VALUES))
    done = run("detect", "a.txt", "b.txt", "c.txt", cwd=tmp_path)
    assert (done.returncode, done.stderr) == (0, "")
    assert positions(done.stdout) == 3 * expected(VALUES)


def test_demo_shows_change_points_and_annotations(tmp_path):
    done = run("demo", cwd=tmp_path)
    assert done.returncode == 0, done.stderr
    assert done.stdout.startswith("Well Log: 675 values")
    assert "annotator 13" in done.stdout
    assert positions(done.stdout) == expected(quarn.load_dataset().values)


def test_demo_plot(tmp_path):
    pytest.importorskip("matplotlib")
    done = run("demo", "--plot", "demo.png", cwd=tmp_path)
    assert done.returncode == 0, done.stderr
    assert (tmp_path / "demo.png").read_bytes().startswith(b"\x89PNG")


def test_demo_json_and_options(tmp_path):
    done = run("demo", "--json", "--seed", "5", cwd=tmp_path)
    assert done.returncode == 0, done.stderr
    (item,) = json.loads(done.stdout)
    expected = quarn.detect(quarn.load_dataset().values, seed=5)
    assert same(from_jsonable(item["result"]), expected.to_dict())


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


@pytest.mark.skipif(not os.path.exists("/dev/full"), reason="needs /dev/full")
@pytest.mark.parametrize("args", [["demo"], ["demo", "--json"], ["detect", "x.txt"]])
def test_a_full_disk_is_one_line(tmp_path, args):
    (tmp_path / "x.txt").write_text("".join(f"{v}\n" for v in VALUES))
    with open("/dev/full", "w") as full:
        done = run(*args, cwd=tmp_path, stdout=full)
    assert done.returncode == 1
    assert done.stderr == "quarn: error: cannot write the output (No space left on device)\n"


def test_a_closed_pipe_ends_quietly(tmp_path):
    process = subprocess.Popen(
        [sys.executable, "-m", "quarn", "demo"], stdout=subprocess.PIPE, stderr=subprocess.PIPE,
        env=ENV, cwd=tmp_path,
    )
    process.stdout.close()  # the reader goes away before anything is written
    stderr = process.stderr.read().decode()
    assert process.wait(timeout=120) == 1
    assert stderr == ""


def test_running_out_of_memory_is_one_line_naming_the_work(tmp_path):
    # No option value exhausts memory any more (n_perm is bounded): the
    # engine's MemoryError is made up here.
    (tmp_path / "x.txt").write_text("".join(f"{v}\n" for v in VALUES))
    script = (
        "import sys, quarn.detection as detection\n"
        "def exhausted(*args, **kwargs):\n    raise MemoryError\n"
        "detection.run_detector = exhausted\n"
        "from quarn.cli import main\n"
        "sys.exit(main(sys.argv[1:]))\n"
    )
    done = subprocess.run(
        [sys.executable, "-c", script, "detect", "x.txt", "--method", "native", "--n-perm",
         "1000000"], capture_output=True, text=True, cwd=tmp_path, env=ENV,
    )
    assert done.returncode == 1
    assert done.stderr == (
        "quarn: error: not enough memory for analysing x.txt, column 1 (200 values, "
        "native method, 1000000 replicates, window sizes '10-20')\n")


def _wait_until(ready, fallback, guard=120.0):
    """Waits until ready() holds, asking every few milliseconds; where /proc
    cannot tell (other systems), sleeps `fallback` seconds instead."""
    if not os.path.isdir("/proc/self/task"):
        time.sleep(fallback)
        return
    deadline = time.monotonic() + guard  # a hang guard, not a speed limit
    while not (state := ready()):
        if state is None:  # /proc does not say (no access)
            time.sleep(fallback)
            return
        assert time.monotonic() < deadline, "the command line never got there"
        time.sleep(0.005)


def _blocked_reading_stdin(pid):
    try:
        with open(f"/proc/{pid}/syscall") as syscall:
            fields = syscall.read().split()
    except PermissionError:
        return None
    except OSError:
        return False
    # read(0, ...) on x86-64 and aarch64 (syscalls 0 and 63).
    return len(fields) > 1 and fields[0] in ("0", "63") and int(fields[1], 16) == 0


def _engine_loaded(pid):
    with open(f"/proc/{pid}/maps") as maps:
        return "_engine" in maps.read()


def _thread_count(pid):
    return len(os.listdir(f"/proc/{pid}/task"))


def test_an_interrupted_run_exits_130(tmp_path):
    process = subprocess.Popen(
        [sys.executable, "-m", "quarn", "detect", "-"], stdin=subprocess.PIPE,
        stdout=subprocess.PIPE, stderr=subprocess.PIPE, env=ENV,
    )
    process.stdin.write(b"1\n2\n")
    process.stdin.flush()
    _wait_until(lambda: _blocked_reading_stdin(process.pid), fallback=1.0)
    process.send_signal(signal.SIGINT)
    _, stderr = process.communicate(timeout=60)
    process.stdin.close()
    assert process.returncode == 130
    assert stderr.decode() == "quarn: error: interrupted\n"


@pytest.mark.parametrize("files", [["a.txt"], ["a.txt", "b.txt"]], ids=["one", "many"])
def test_ctrl_c_during_the_detection_exits_130_at_once(tmp_path, files):
    for name in files:
        (tmp_path / name).write_text("".join(f"{v!r}\n" for v in SHIFTS))
    process = subprocess.Popen(
        [sys.executable, "-m", "quarn", "detect", *files, "--method", "native", "--n-perm", "200000"],
        stdout=subprocess.PIPE, stderr=subprocess.PIPE, env=ENV, cwd=tmp_path,
    )
    # Once the engine is loaded, a new thread means the detection has begun
    # (it runs for many seconds more).
    _wait_until(lambda: _engine_loaded(process.pid), fallback=2.0)
    threads = _thread_count(process.pid)
    _wait_until(lambda: _thread_count(process.pid) > threads, fallback=0.0)
    process.send_signal(signal.SIGINT)
    # The timeout is a hang guard (the detection alone would take minutes);
    # how soon Ctrl-C is answered is measured in bench/.
    stdout, stderr = process.communicate(timeout=120)
    assert process.returncode == 130
    assert (stdout, stderr) == (b"", b"quarn: error: interrupted\n")


def test_an_option_the_detector_refuses_is_one_line_for_many_columns(tmp_path):
    rows = [f"{a},{b}\n" for a, b in zip(VALUES, OTHER)]
    (tmp_path / "x.csv").write_text("a,b\n" + "".join(rows))
    done = run("detect", "x.csv", "x.csv", "--method", "native", "--window-sizes", "3", cwd=tmp_path)
    assert (done.returncode, done.stdout, done.stderr.count("\n")) == (2, "", 1)
    assert "need an explicit block_length" in done.stderr


def test_window_sizes_too_large_for_a_column_are_reported(tmp_path):
    (tmp_path / "x.csv").write_text("x\n" + "".join(f"{v}\n" for v in VALUES[:192]))
    done = run("detect", "x.csv", "--method", "native", "--window-sizes", "1000", cwd=tmp_path)
    assert done.returncode == 0
    assert done.stderr == (
        "quarn: warning: x.csv: window size 1000 needs at least 2000 values; column 'x' has "
        "192, so it analysed nothing and no change point can be found\n")
    assert "not analysed" in done.stdout
    some = run("detect", "x.csv", "--method", "native", "--window-sizes", "10,96-97,120", "--json", cwd=tmp_path)
    (item,) = json.loads(some.stdout)
    assert item["warnings"] == [
        "window sizes 97,120 need at least 194 to 240 values; column 'x' has 192, "
        "so they analysed nothing"]
    assert some.stderr == f"quarn: warning: x.csv: {item['warnings'][0]}\n"


def test_columns_too_short_for_the_confirm_method_are_reported(tmp_path):
    # The method chooses no window size for 8 values; its smallest is named.
    rows = [f"{a},{b}\n" for a, b in zip(VALUES[:8], OTHER)]
    (tmp_path / "x.csv").write_text("a,b\n" + "".join(rows))
    done = run("detect", "x.csv", "--method", "confirm", cwd=tmp_path)
    assert done.returncode == 0
    assert done.stderr == "".join(
        f"quarn: warning: x.csv: window size 5 needs at least 10 values; column '{name}' has "
        "8, so it analysed nothing and no change point can be found\n" for name in "ab")
    assert done.stdout.count("not analysed") == 2


def test_offset_and_scale_do_not_change_what_the_command_finds(tmp_path):
    (tmp_path / "x.txt").write_text("".join(f"{v!r}\n" for v in VALUES))
    (tmp_path / "y.txt").write_text("".join(f"{v * 1e-200 + 1e-192!r}\n" for v in VALUES))
    found = [json.loads(run("detect", name, "--json", cwd=tmp_path).stdout)[0]
             for name in ("x.txt", "y.txt")]
    assert found[0]["change_points"]
    assert [p["position"] for p in found[0]["change_points"]] == [
        p["position"] for p in found[1]["change_points"]]


def test_help_lists_every_option_of_the_table():
    from quarn.options import OPTIONS

    for command in ("detect", "demo"):
        done = run(command, "--help")
        assert done.returncode == 0
        for option in OPTIONS:
            if option.flag is not None:
                assert option.flag in done.stdout
    assert "(default confirm)" in run("demo", "--help").stdout
