"""The options table: it must agree with quarn.detect, the command line, the
native detector and the README, and its checks must say what is allowed."""

import inspect
from pathlib import Path

import pytest

import quarn
from quarn import options
from quarn.cli import parser as cli
from quarn._checks import shown
from quarn.options import OPTIONS, check_options, native_arguments, parse_window_sizes

README = Path(__file__).resolve().parent.parent / "README.md"


def _dask_detect_many():
    return pytest.importorskip("quarn.dask", exc_type=ImportError).detect_many


@pytest.mark.parametrize(
    ("function", "leading", "left_out"),
    [
        (lambda: quarn.detect, ["series"], ()),
        (lambda: quarn.detect_many, ["data", "by", "time", "value"], ()),
        # A cluster's partitions report no progress to the caller.
        (_dask_detect_many, ["ddf", "by", "time", "value", "shuffle"], ("progress",)),
    ],
    ids=["detect", "detect_many", "dask.detect_many"],
)
def test_signature_matches_the_table(function, leading, left_out):
    parameters = list(inspect.signature(function()).parameters.values())
    assert [p.name for p in parameters[: len(leading)]] == leading
    keywords = parameters[len(leading) :]
    table = [o for o in OPTIONS if o.name not in left_out]
    assert [p.name for p in keywords] == [o.name for o in table]
    for parameter, option in zip(keywords, table):
        assert parameter.kind is inspect.Parameter.KEYWORD_ONLY
        assert parameter.default == option.default, option.name


def test_native_keywords_exist_with_the_same_defaults():
    native = inspect.signature(quarn.quarn_detector).parameters
    checked = check_options({"method": "native"})
    for name, value in native_arguments(checked).items():
        assert name in native
    for option in OPTIONS:
        if option.native is not None and native[option.native].default is not None:
            assert native[option.native].default == checked[option.name], option.name


# A command-line text and the value it must reach quarn.detect with, for
# every option of the table that has a flag.
GIVEN = {
    "method": ("NATIVE", "native"), "window_sizes": ("7,9", (7, 9)), "n_perm": ("4", 4), "alpha": ("0.5", 0.5),
    "confidence": ("0.8", 0.8), "seed": ("5", 5), "tol": ("6", 6), "workers": ("3", 3), "change_type": ("VAR", "var"),
    "block_length": ("8", 8), "taper_ratio": ("0.25", 0.25), "center": (None, False),
    "missing": ("RAISE", "raise"),
}


def test_every_flag_reaches_detect_through_the_table():
    # The samples run the native method; an option of the confirm method
    # alone is checked with that method.
    flags, expected = [], check_options({})
    for option in OPTIONS:
        assert option.help.endswith(".") and option.default_text, option.name
        if option.flag is None:
            continue
        assert option.name in GIVEN, f"add a command-line sample for {option.name}"
        text, value = GIVEN[option.name]
        if "native" not in option.methods:
            args = cli.build_parser().parse_args(["detect", "x.csv", option.flag, text])
            assert cli._detector_options(args)[option.name] == value
            continue
        flags += [f"--no-{option.flag[2:]}"] if option.switch else [option.flag, text]
        expected[option.name] = value
    expected["confidence"] = None  # not an option of the native method
    args = cli.build_parser().parse_args(["detect", "x.csv", *flags])
    assert cli._detector_options(args) == expected


def test_docstring_describes_every_option():
    doc = quarn.detect.__doc__
    assert "(options)" not in doc
    lines = [line.strip() for line in doc.splitlines()]
    for option in OPTIONS:
        assert any(line.startswith(f"{option.name}: {option.help[:30]}") for line in lines)


@pytest.mark.skipif(not README.exists(), reason="needs the source tree's README")
def test_readme_holds_the_generated_options_table():
    assert options.markdown_table() in README.read_text(encoding="utf-8")


@pytest.mark.parametrize(
    "text, sizes",
    [("10-20", tuple(range(10, 21))), ("10,12,15", (10, 12, 15)), (" 5 , 7-8", (5, 7, 8)),
     ("3-3", (3,)), ("9998-9999,1-9998", tuple(range(9998, 10000)) + tuple(range(1, 9999)))],
)
def test_window_sizes_text(text, sizes):
    assert parse_window_sizes(text, "--window-sizes") == sizes


@pytest.mark.parametrize(
    "text, message",
    [("0", "window size must be an integer from 1 to 18446744073709551615, got 0"),
     ("18446744073709551616", "got 18446744073709551616"),
     ("5-18446744073709551616", "got 18446744073709551616"),
     ("1-10001", "at most 10000 window sizes"),
     ("9999-10000,1-9999", "at most 10000 window sizes"),
     ("10-", "must be sizes like 10-20"), ("-5", "must be sizes like 10-20")],
)
def test_bad_window_sizes_text(text, message):
    with pytest.raises(ValueError, match="^--window-sizes") as info:
        parse_window_sizes(text, "--window-sizes")
    assert message in str(info.value)


def test_unknown_options_are_refused():
    with pytest.raises(TypeError, match="unknown option 'alpha_q'"):
        check_options({"alpha_q": 0.1})


@pytest.mark.parametrize(
    "value, text",
    [("x" * 1000, "'xxxxxxxx"), (10**5000, "an integer of about 5001 digits"),
     (list(range(10**5)), "(688890 characters)")],
    ids=["text", "integer", "list"],
)
def test_shown_values_are_short(value, text):
    assert text in shown(value) and len(shown(value)) <= 110
