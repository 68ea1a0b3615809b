"""`quarn watch`: alarms from a pipe and from a growing file, Ctrl-C, bad input.

No assertion depends on timing: output is polled with generous deadlines.
"""

import json
import os
import signal
import subprocess
import sys
import threading
import time

import numpy as np
import pytest

ENV = {**os.environ, "PYTHONUNBUFFERED": "1"}
DEADLINE = 60.0


def stream_text(n=3000, at=2000, shift=2.0, seed=0):
    values = np.random.default_rng(seed).standard_normal(n)
    values[at:] += shift
    return "".join(f"{v:.6f}\n" for v in values)


def watch(*args, stdin=None):
    return subprocess.run(
        [sys.executable, "-m", "quarn", "watch", *map(str, args)],
        input=stdin, capture_output=True, text=True, env=ENV, timeout=120,
    )


def test_a_pipe_is_read_to_its_end():
    done = watch("-", stdin=stream_text())
    assert done.returncode == 0, done.stderr
    (line,) = done.stdout.splitlines()
    assert line.startswith("<stdin>: level change (up) at 2000, detected at 20")
    assert done.stderr == "quarn: watched 3000 values of <stdin>, 1 alarm (end of input)\n"


def test_json_lines_and_time_labels(tmp_path):
    path = tmp_path / "stream.csv"
    rows = stream_text().splitlines()
    path.write_text("time,value\n" + "".join(f"t{i},{v}\n" for i, v in enumerate(rows)))
    done = watch(path, "--column", "value", "--time-column", "time", "--json")
    assert done.returncode == 0, done.stderr
    (record,) = [json.loads(line) for line in done.stdout.splitlines()]
    assert record["position"] == 2000 and record["label"] == "t2000"
    assert record["detected_label"] == f"t{record['detected_at']}"
    assert (record["kind"], record["direction"]) == ("level", "up")


@pytest.mark.parametrize(
    "args, stdin, status, text",
    [
        (["-"], "1\n2\nabc\n", 1, "line 3: 'abc' is not a number"),
        (["-"], "1\n2\nnan\n", 1, "line 3: missing value"),
        (["-"], "1\n2\ninf\n", 1, "line 3: infinite value"),
        (["-", "--warmup", "5"], "1\n", 2, "--warmup must be an integer from 30"),
        (["-", "--false-alarm-run", "x"], "1\n", 2, "--false-alarm-run"),
        (["missing.txt"], None, 1, "missing.txt: no such file"),
    ],
)
def test_bad_input_and_options_fail_with_one_line(args, stdin, status, text):
    done = watch(*args, stdin=stdin)
    assert done.returncode == status
    assert text in done.stderr
    assert "Traceback" not in done.stderr


def test_several_columns_need_a_choice(tmp_path):
    path = tmp_path / "two.csv"
    path.write_text("a,b\n1,2\n3,4\n")
    done = watch(path)
    assert done.returncode == 2 and "choose it with --column" in done.stderr


class Lines:
    """Collects a process's output lines on a thread, to poll without blocking."""

    def __init__(self, pipe):
        self.lines = []
        self.thread = threading.Thread(target=self._read, args=(pipe,), daemon=True)
        self.thread.start()

    def _read(self, pipe):
        for line in pipe:
            self.lines.append(line)

    def wait_for(self, count):
        deadline = time.monotonic() + DEADLINE
        while len(self.lines) < count and time.monotonic() < deadline:
            time.sleep(0.05)
        return self.lines


def test_a_growing_file_is_followed_until_ctrl_c(tmp_path):
    path = tmp_path / "growing.txt"
    text = stream_text()
    cut = text.index("\n", len(text) // 2) + 1
    path.write_text(text[:cut])  # 1500 values, no change yet
    process = subprocess.Popen(
        [sys.executable, "-m", "quarn", "watch", str(path), "--follow"],
        stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True, env=ENV,
    )
    out = Lines(process.stdout)
    try:
        with open(path, "a") as handle:
            handle.write(text[cut:])
        assert len(out.wait_for(1)) == 1, "no alarm from the appended values"
        assert "level change (up) at 2000" in out.lines[0]
        process.send_signal(signal.SIGINT)
        assert process.wait(timeout=DEADLINE) == 130
        assert process.stderr.read() == (
            f"quarn: watched 3000 values of {path}, 1 alarm (interrupted)\n"
        )
    finally:
        if process.poll() is None:
            process.kill()
            process.wait()


def test_ctrl_c_on_a_pipe_ends_with_status_130_and_the_summary():
    process = subprocess.Popen(
        [sys.executable, "-m", "quarn", "watch", "-"],
        stdin=subprocess.PIPE, stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True,
        env=ENV,
    )
    out = Lines(process.stdout)
    try:
        process.stdin.write(stream_text())
        process.stdin.flush()
        assert len(out.wait_for(1)) == 1
        process.send_signal(signal.SIGINT)
        assert process.wait(timeout=DEADLINE) == 130
        assert "watched 3000 values of <stdin>, 1 alarm (interrupted)" in process.stderr.read()
    finally:
        if process.poll() is None:
            process.kill()
            process.wait()
