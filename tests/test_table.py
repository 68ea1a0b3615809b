"""Reading series from text tables: layout rules, strictness and bounds."""

import os
import subprocess
import sys

import pytest

from quarn.cli import labels as _labels
from quarn.cli import lines as _lines
from quarn.cli import readers as _table
from quarn.cli.readers import DataError, Layout, UsageError, read_columns


def read(tmp_path, content, name="data.csv", **layout):
    path = tmp_path / name
    if isinstance(content, str):
        content = content.encode("utf-8")
    path.write_bytes(content)
    columns = read_columns(str(path), Layout(**layout))
    return {c.name: list(c.values) for c in columns}, columns


def failure(tmp_path, content, name="data.csv", error=DataError, **layout):
    with pytest.raises(error) as info:
        read(tmp_path, content, name, **layout)
    return str(info.value)


@pytest.mark.parametrize(
    "content, layout, expected",
    [
        # The header rule: a name above a number, or only names.
        ("x,1,y\n1,2,3\n4,5,6\n7,8,9\n", {"columns": ["1"]}, {"1": [2, 5, 8]}),
        ("x,1,y\n1,2,3\n4,5,6\n7,8,9\n", {"columns": ["3"]}, {"y": [3, 6, 9]}),
        ("date,value\nd1,1\nd2,2\nd3,3\n", {"time_column": "date"}, {"value": [1, 2, 3]}),
        (",value\n0,1\n1,2\n2,3\n", {"columns": ["value"]}, {"value": [1, 2, 3]}),
        ("2020-01-01,5.5\n2020-01-02,6\n2020-01-03,7\n", {"time_column": "1"},
         {"column 2": [5.5, 6, 7]}),
        ("1,2\n3,4\n5,6\n7,8\n", {"header": True}, {"1": [3, 5, 7], "2": [4, 6, 8]}),
        # One number per line is never split, whatever its look.
        ("1.5\n-2.25\n3e-3\n+4\n", {}, {"column 1": [1.5, -2.25, 3e-3, 4]}),
        ("value\n1\n2\n3\n", {}, {"value": [1, 2, 3]}),
        # Delimiters: sniffed, by extension, blank-separated, forced.
        ("a;b\n1;2\n3;4\n5;6\n", {}, {"a": [1, 3, 5], "b": [2, 4, 6]}),
        ("a|b\n1|2\n3|4\n5|6\n", {}, {"a": [1, 3, 5], "b": [2, 4, 6]}),
        ("t x\n0 1.5\n1  2.5\n2\t3.5\n", {"time_column": "t"}, {"x": [1.5, 2.5, 3.5]}),
        ("  1.0   2.0\n  3.0   4.0\n  5.0   6.0\n", {}, {"column 1": [1, 3, 5], "column 2": [2, 4, 6]}),
        ("a,b\n1,2\n3,4\n5,6\n", {"delimiter": ","}, {"a": [1, 3, 5], "b": [2, 4, 6]}),
        ("a b\n1 2\n3 4\n5 6\n", {"delimiter": "space", "columns": ["b"]}, {"b": [2, 4, 6]}),
        # Decimal commas when asked for.
        ("0,5\n1,288\n-0,25\n", {"decimal": ","}, {"column 1": [0.5, 1.288, -0.25]}),
        ("a;b\n1,5;2\n3;4,25\n5;6\n", {"decimal": ","}, {"a": [1.5, 3, 5], "b": [2, 4.25, 6]}),
        # Quotes, line ends, byte order mark, blank lines around the data.
        ('"t","v"\n"0", "1.5"\n"1","2.5"\n"2","3.5"\n', {"columns": ["v"]}, {"v": [1.5, 2.5, 3.5]}),
        ('t,v\n0,1\n"1",2\n2,3\n', {"columns": ["v"]}, {"v": [1, 2, 3]}),
        ("\ufeffv\r\n1\r\n2\r\n3\r\n", {}, {"v": [1, 2, 3]}),
        ("v\r1\r2\r3\r", {}, {"v": [1, 2, 3]}),
        ("\n\n  \nv\n1\n2\n3", {}, {"v": [1, 2, 3]}),
        ("v\n1\n2\n3\n\n\n  \n", {}, {"v": [1, 2, 3]}),
    ],
)
def test_layouts_are_read(tmp_path, content, layout, expected):
    assert read(tmp_path, content, **layout)[0] == expected


def test_tabs_for_tsv_files_and_time_labels(tmp_path):
    _, (column,) = read(tmp_path, "day\tv\nmon\t1,5\ntue\t2\nwed\t3\n", name="x.tsv",
                           time_column="day", decimal=",")
    assert list(column.values) == [1.5, 2, 3]
    assert (list(column.labels), column.labels_name) == (["mon", "tue", "wed"], "day")


@pytest.mark.parametrize(
    "content, layout, message",
    [
        ("", {}, "data.csv: the file is empty"),
        ("v\n", {}, "the file has a header but no data rows"),
        ("t,v\n1,2\n3\n4,5\n", {}, "data.csv, line 3: 1 field, but the header has 2"),
        ("1,2\n3,4,5\n6,7\n", {}, "data.csv, line 2: 3 fields, but line 1 has 2"),
        ("\n\n1,2\n3,4,5\n", {}, "data.csv, line 4: 3 fields, but line 3 has 2"),
        ("a b\n1 2\n3 4 5\n", {}, "line 3: 3 fields, but the header has 2; with blank-separated"),
        ("t,v\n0,1\n\n2,3\n3,4\n", {}, "line 3: an empty line in a table of 2 columns"),
        ("1\n2\n\n4\n", {}, "data.csv, line 3: missing value (an empty line)"),
        ("NA,1\n2,3\n4,5\n", {}, "line 1, column 1: missing value ('NA')"),
        ("v\n1\nnan\n3\n", {}, "line 3, column 1 ('v'): missing value ('nan')"),
        ("v\n1\n-Infinity\n3\n", {}, "line 3, column 1 ('v'): infinite value ('-Infinity')"),
        ("v\n1\n1_000\n3\n", {}, "line 3, column 1 ('v'): '1_000' is not a number"),
        ("v\n1\n" + "z" * 5000 + "\n3\n", {}, "(5002 characters) is not a number"),
        ("a;b\n1,5;2\n3;4\n", {}, "'1,5' is not a number (a decimal comma? read such numbers with --decimal ,)"),
        ("0,5\n1,288\n-0,25\n", {}, "data.csv, line 3: '-0,25' looks like a number with a decimal comma"),
        ("1,05\n2,5\n3,75\n", {}, "line 1: '1,05' looks like a number with a decimal comma"),
        ("0,5\n12\n1,25\n", {}, "line 2: 1 field, but line 1 has 2; if the commas are decimal commas"),
        ("v\n1.5\n2,5\n3\n", {"decimal": ","}, "line 2, column 1 ('v'): '1.5' has a decimal point"),
        ("v\n1\n2\n", {}, "column 'v': 2 values, but at least 3 are needed"),
        ("a\n1\n2\n3\n", {"header": False}, "line 1: 'a' is not a number"),
        ('t,v\n0,"1\n', {}, "line 2: unexpected end of data (a quote not closed?)"),
    ],
)
def test_bad_tables_fail_naming_the_place(tmp_path, content, layout, message):
    assert message in failure(tmp_path, content, **layout)


@pytest.mark.parametrize(
    "layout, message",
    [
        ({"columns": ["w"]}, "unknown column 'w'; columns are \"'t', 'v'\""),
        ({"columns": ["3"]}, "no column number 3; the file has 2 columns (numbered from 1)"),
        ({"time_column": "v", "columns": ["v"]}, "cannot be both a data column and the time column"),
        ({"time_column": "1", "delimiter": ";"}, "no data column left"),
        ({"delimiter": "ab"}, "--delimiter must be one character"),
        ({"delimiter": ",", "decimal": ","}, "other than the decimal mark"),
    ],
)
def test_column_choices_that_do_not_fit_are_usage_errors(tmp_path, layout, message):
    assert message in failure(tmp_path, "t,v\n1,2\n2,3\n3,4\n", error=UsageError, **layout)


def test_pairs_of_whole_numbers_must_say_what_their_comma_is(tmp_path):
    message = failure(tmp_path, "1,288\n2,5\n3,75\n")
    assert message.endswith(
        "data.csv: every line holds two whole numbers split by a comma (line 1: '1,288'), "
        "which may be one number with a decimal comma; read the file with --decimal , for "
        "decimal commas or --delimiter , for two columns")
    assert read(tmp_path, "1,288\n2,5\n3,75\n", decimal=",")[0] == {"column 1": [1.288, 2.5, 3.75]}
    assert read(tmp_path, "1,288\n2,5\n3,75\n", delimiter=",")[0] == {
        "column 1": [1, 2, 3], "column 2": [288, 5, 75]}
    assert read(tmp_path, "1,2,3\n4,5,6\n7,8,9\n")[0]["column 3"] == [3, 6, 9]
    assert read(tmp_path, "t,n\n1,288\n2,5\n3,75\n")[0]["n"] == [288, 5, 75]


CONTENTS = [
    ("t,v\n" + "".join(f"{i},{i * 0.25 - 3}\n" for i in range(40)), {}),
    ("t,v\r\n" + "".join(f"{i},{i * 0.5}\r\n" for i in range(40)), {}),
    ("t,v\r" + "".join(f"{i},{i * 0.5}\r" for i in range(40)), {"time_column": "t"}),
    ("t;v\n" + "".join(f"é{i};{i},5\n" for i in range(40)), {"decimal": ",", "time_column": "t"}),
    ('"t","v"\n' + "".join(f'"{i}",{i}\n' if i % 7 else f"{i},{i}\n" for i in range(40)), {}),
    ("v\n" + "".join(f"{i}\n" for i in range(40)) + "\n\n", {}),
]


@pytest.mark.parametrize("content, layout", CONTENTS)
@pytest.mark.parametrize("chunk", [1, 2, 3, 7, 64])
def test_chunk_boundaries_do_not_change_what_is_read(tmp_path, monkeypatch, content, layout, chunk):
    whole = read(tmp_path, content, **layout)[1]
    monkeypatch.setattr(_lines, "CHUNK_BYTES", chunk)
    monkeypatch.setattr(_labels, "_BLOCK", 5)
    pieces = read(tmp_path, content, **layout)[1]
    for a, b in zip(whole, pieces, strict=True):
        assert list(a.values) == list(b.values)
        assert (a.labels is None and b.labels is None) or list(a.labels) == list(b.labels)
        if a.labels is not None:
            assert [b.labels[i] for i in (0, 9, -1)] == [a.labels[i] for i in (0, 9, -1)]


def test_a_blank_line_before_more_data_in_a_later_chunk_is_found(tmp_path, monkeypatch):
    monkeypatch.setattr(_lines, "CHUNK_BYTES", 4)
    assert "line 4: missing value (an empty line)" in failure(tmp_path, "1\n2\n3\n\n\n5\n")


def test_the_number_of_values_is_capped(tmp_path, monkeypatch):
    monkeypatch.setattr(_table, "MAX_VALUES", 10)
    read(tmp_path, "".join(f"{i}\n" for i in range(10)))
    message = failure(tmp_path, "".join(f"{i}\n" for i in range(11)))
    assert "data.csv: more than 10 values; quarn reads at most 10 values per file" in message


def test_values_are_exact(tmp_path):
    numbers = [0.1, -1e-300, 1.7976931348623157e308, 5e-324, 123456789.123456789, -0.0]
    values, _ = read(tmp_path, "".join(f"{v!r}\n" for v in numbers))
    assert [v.hex() for v in values["column 1"]] == [v.hex() for v in numbers]


@pytest.mark.parametrize(
    "source",
    ["/dev/zero", "/dev/urandom", "nul-filled"],
)
def test_endless_or_binary_input_fails_at_once_with_little_memory(tmp_path, source):
    if source == "nul-filled":
        source = str(tmp_path / "nul.csv")
        with open(source, "wb") as handle:
            handle.truncate(200 << 20)  # a sparse file of NUL bytes
    elif not os.path.exists(source):
        pytest.skip(f"needs {source}")
    # The growth of the peak resident set while reading (the interpreter's
    # own footprint differs between builds, e.g. under a sanitizer).
    script = (
        "import resource, sys\n"
        "from quarn.cli.readers import DataError, Layout, read_columns\n"
        "def peak(): return resource.getrusage(resource.RUSAGE_SELF).ru_maxrss // 1024\n"
        "before = peak()\n"
        "try:\n"
        "    read_columns(sys.argv[1], Layout())\n"
        "except DataError as error:\n"
        "    print(error)\n"
        "print(peak() - before)\n"
    )
    done = subprocess.run([sys.executable, "-c", script, source], capture_output=True,
                          text=True, timeout=120)
    message, growth_mb = done.stdout.splitlines()
    assert message.startswith(f"{source}: ")
    assert "NUL byte" in message or "not UTF-8" in message or "longer than" in message
    assert int(growth_mb) < 100
