"""The options of :func:`quarn.detect`, in one table.

Every option is one :class:`Option` record: its name, default, check,
help text, command-line flag and the keyword ``quarn_detector`` takes it
under. The table drives the checks and defaults of :func:`quarn.detect`, the
arguments of ``quarn detect`` and ``quarn demo``, the native keywords, the
``Args`` of ``quarn.detect``'s docstring and the options table of the README
(:func:`markdown_table`). Adding an option means adding a row here and a
keyword to ``quarn.detect``'s signature; a test checks that they agree.
"""

from __future__ import annotations

import functools
import math
import numbers
from collections.abc import Callable, Iterable, Mapping
from dataclasses import dataclass
from typing import Any

from quarn._checks import (
    MAX_UNSIGNED,
    NOT_PLAIN,
    check_callback,
    check_switch,
    fraction,
    integer_in,
    optional,
    parse_integer,
    parse_number,
    parse_text,
    plain,
    shown,
)

#: Window sizes used when none are given: every size from 10 to 20.
DEFAULT_WINDOW_SIZES: tuple[int, ...] = tuple(range(10, 21))

#: Bootstrap replicates behind every threshold of the native method.
DEFAULT_N_PERM = 300

#: The kinds of change the detector can look for.
CHANGE_TYPES: tuple[str, ...] = ("mean", "var", "distribution")

#: The detection methods: "confirm" (the default) keeps the candidates of
#: the multi-window detector that tests on the stretches between their
#: neighbours confirm; "native" is the multi-window detector's own consensus,
#: exactly as ``quarn_detector`` computes it.
METHODS: tuple[str, ...] = ("confirm", "native")

#: The method used when none is given.
DEFAULT_METHOD = "confirm"

#: What to do with missing values (NaN, None, pandas NA, masked entries):
#: "skip" detects on the values that are there, "raise" refuses the series.
MISSING_CHOICES: tuple[str, ...] = ("skip", "raise")

#: Largest seed the detector accepts.
MAX_SEED = MAX_UNSIGNED

#: Most bootstrap replicates per threshold: far beyond what a steadier
#: threshold needs, and the memory of one threshold (8 bytes a replicate,
#: one threshold per worker thread at a time) stays small.
MAX_N_PERM = 1_000_000

#: Most window sizes one ``--window-sizes`` value may expand to.
MAX_WINDOW_SIZES = 10_000


@dataclass(frozen=True)
class Option:
    """One option of :func:`quarn.detect`.

    Attributes:
        name: Keyword of :func:`quarn.detect`.
        default: Default value (as :func:`quarn.detect` receives it).
        check: ``check(value, subject)`` returns the value normalised, or
            raises TypeError/ValueError whose message starts with ``subject``.
        help: What the option means, in plain words; used in the docstring,
            the command-line help and the README.
        flag: Command-line flag, or None when the command line lacks it.
        metavar: Placeholder of the value in the command-line help.
        parse: ``parse(text, subject)`` turns command-line text into the
            Python value that ``check`` then reads; raises ValueError with a
            message that starts with ``subject``.
        native: Keyword of ``quarn_detector``, or None when the option is
            not passed to it.
        default_text: The default in words, for help texts and the README.
        switch: The flag is an on/off switch (``--center``/``--no-center``).
        recorded: Whether a result records the option among the options it
            was computed with (False for what only concerns the call, such
            as its progress callback).
        methods: The methods the option applies to. Given explicitly (not
            None) to another method, it is refused.
        method_defaults: The value None stands for, by method, where it
            depends on the method; None then means "the method's default".
    """

    name: str
    default: Any
    check: Callable[[Any, str], Any]
    help: str
    flag: str | None
    metavar: str | None
    parse: Callable[[str, str], Any] | None
    native: str | None
    default_text: str
    switch: bool = False
    recorded: bool = True
    methods: tuple[str, ...] = ("confirm", "native")
    method_defaults: Mapping[str, Any] | None = None


# ---------------------------------------------------------------------------
# Checks of the options' own values (the general ones are in quarn._checks).


_window_size = integer_in(1)


def check_confidence(value: Any, subject: str) -> float:
    """A confidence: a number above 0 and below 1."""
    if isinstance(value, bool) or not isinstance(value, numbers.Real):
        raise TypeError(f"{subject} must be a number, got {shown(value)}")
    number = float(value)
    if math.isnan(number) or not 0.0 < number < 1.0:
        raise ValueError(
            f"{subject} must be above 0 and below 1 (0.9 means 90%), got {number!r}"
        )
    return number


def check_window_sizes(value: Any, subject: str) -> tuple[int, ...] | None:
    """Window sizes: None for the method's default, one integer, or an
    iterable of them."""
    if value is None:
        return None
    if isinstance(value, numbers.Integral) and not isinstance(value, bool):
        return (_window_size(value, subject),)
    if isinstance(value, (str, bytes)) or not isinstance(value, Iterable):
        raise TypeError(
            f"{subject} must be a list of positive integers, got {type(value).__name__}"
        )
    sizes = []
    for size in value:
        sizes.append(_window_size(size, f"{subject}[{len(sizes)}]"))
        if len(sizes) > MAX_WINDOW_SIZES:
            raise ValueError(f"{subject} may hold at most {MAX_WINDOW_SIZES} window sizes")
    if not sizes:
        raise ValueError(f"{subject} must not be empty")
    return tuple(sizes)


def check_change_type(value: Any, subject: str) -> str:
    """One of :data:`CHANGE_TYPES`, in any letter case; returned in lower case."""
    if not isinstance(value, str):
        raise TypeError(f"{subject} must be a string, got {type(value).__name__}")
    if value.lower() not in CHANGE_TYPES:
        raise ValueError(
            f"{subject} must be 'mean', 'var' or 'distribution', got {shown(value)}"
        )
    return value.lower()


def check_method(value: Any, subject: str) -> str:
    """One of :data:`METHODS`, in any letter case; returned in lower case."""
    if not isinstance(value, str):
        raise TypeError(f"{subject} must be a string, got {type(value).__name__}")
    if value.lower() not in METHODS:
        raise ValueError(f"{subject} must be 'confirm' or 'native', got {shown(value)}")
    return value.lower()


def check_missing(value: Any, subject: str) -> str:
    """One of :data:`MISSING_CHOICES`, in any letter case; returned in lower case."""
    if not isinstance(value, str):
        raise TypeError(f"{subject} must be a string, got {type(value).__name__}")
    if value.lower() not in MISSING_CHOICES:
        raise ValueError(f"{subject} must be 'skip' or 'raise', got {shown(value)}")
    return value.lower()


def parse_window_sizes(text: str, subject: str) -> tuple[int, ...]:
    """Window sizes written as ranges and lists: ``10-20``, ``10,12,15``, ``5,10-12``."""
    sizes: list[int] = []
    for part in text.split(","):
        low, dash, high = part.strip().partition("-")
        try:
            if not plain(part):
                raise ValueError
            first = int(low)
            last = int(high) if dash else first
        except ValueError:
            note = "" if plain(text) else NOT_PLAIN
            raise ValueError(
                f"{subject} must be sizes like 10-20 or 10,12,15{note}, got {shown(text)}"
            ) from None
        for size in (first, last):
            _window_size(size, f"{subject}: window size")
        if last < first:
            raise ValueError(f"{subject}: the range {part.strip()} runs downwards")
        if last - first >= MAX_WINDOW_SIZES or len(sizes) + last - first >= MAX_WINDOW_SIZES:
            raise ValueError(f"{subject} may hold at most {MAX_WINDOW_SIZES} window sizes")
        sizes.extend(range(first, last + 1))
    return tuple(sizes)


# ---------------------------------------------------------------------------
# The table.

OPTIONS: tuple[Option, ...] = (
    Option(
        name="method",
        default=DEFAULT_METHOD,
        check=check_method,
        help=(
            "'confirm': the multi-window detector proposes candidates, with window "
            "sizes scaled to the series, and a change point is kept only when rank "
            "and trend tests on the whole stretches between its neighbours confirm "
            "it at the overall level alpha; each gets a kind and a p-value. "
            "'native': the multi-window detector's own consensus, as quarn_detector "
            "computes it, on the series centred on its median and scaled by a power of two."
        ),
        flag="--method",
        metavar="METHOD",
        parse=parse_text,
        native=None,
        default_text="confirm",
    ),
    Option(
        name="window_sizes",
        default=None,
        check=check_window_sizes,
        help=(
            "How many values one window holds; every size is run and the sizes vote. "
            "Small windows find changes close together; large windows see small "
            "changes and ignore short spikes. A series needs at least twice a size's "
            "values for that size to analyse it. Native method only (the confirm "
            "method chooses six sizes from about n/100 to n/8)."
        ),
        flag="--window-sizes",
        metavar="SIZES",
        parse=parse_window_sizes,
        native="window_sizes",
        default_text="10 to 20",
        methods=("native",),
        method_defaults={"native": DEFAULT_WINDOW_SIZES},
    ),
    Option(
        name="n_perm",
        default=None,
        check=optional(integer_in(1, MAX_N_PERM)),
        help=(
            "Bootstrap replicates behind every threshold: more are steadier and "
            "proportionally slower; at most 1,000,000."
        ),
        flag="--n-perm",
        metavar="N",
        parse=parse_integer,
        native="n_perm",
        default_text=str(DEFAULT_N_PERM),
        methods=("native",),
        method_defaults={"native": DEFAULT_N_PERM},
    ),
    Option(
        name="alpha",
        default=None,
        check=optional(fraction("0.05 means 5%")),
        help=(
            "False-alarm level, a fraction from 0 to 1 (0.05 means 5%). Confirm "
            "method: the chance of reporting any change point at all on a series "
            "without changes (above 0). Native method: shared out evenly over the "
            "positions of each window size; 1.0 is permissive."
        ),
        flag="--alpha",
        metavar="A",
        parse=parse_number,
        native="alpha_q",
        default_text="0.05 (confirm), 1.0 (native)",
        method_defaults={"confirm": 0.05, "native": 1.0},
    ),
    Option(
        name="confidence",
        default=None,
        check=optional(check_confidence),
        help=(
            "Confirm method: the share of location intervals that hold the true "
            "position of their change, above 0 and below 1 (0.9 means 90%); a "
            "higher confidence gives wider intervals."
        ),
        flag="--confidence",
        metavar="C",
        parse=parse_number,
        native=None,
        default_text="0.9",
        methods=("confirm",),
        method_defaults={"confirm": 0.9},
    ),
    Option(
        name="seed",
        default=123,
        check=integer_in(0),
        help="Seed of the bootstrap: the same seed gives the same result.",
        flag="--seed",
        metavar="S",
        parse=parse_integer,
        native="seed",
        default_text="123",
    ),
    Option(
        name="tol",
        default=None,
        check=optional(integer_in(0)),
        help=(
            "Change points of different window sizes at most this many values "
            "apart (chained) count as one change."
        ),
        flag="--tol",
        metavar="T",
        parse=parse_integer,
        native="tol",
        default_text="2",
        methods=("native",),
        method_defaults={"native": 2},
    ),
    Option(
        name="workers",
        default=None,
        check=optional(integer_in(0)),
        help=(
            "Worker threads; None or 0 uses one per processor. The result does "
            "not depend on it."
        ),
        flag="--workers",
        metavar="N",
        parse=parse_integer,
        native="workers",
        default_text="one per processor",
    ),
    Option(
        name="change_type",
        default=None,
        check=optional(check_change_type),
        help=(
            "What a change point is placed on within a significant stretch: a "
            "shift in 'mean', in spread ('var') or in the whole 'distribution'."
        ),
        flag="--change-type",
        metavar="TYPE",
        parse=parse_text,
        native="change_type",
        default_text="mean",
        methods=("native",),
        method_defaults={"native": "mean"},
    ),
    Option(
        name="block_length",
        default=None,
        check=optional(integer_in(1)),
        help=(
            "Length of the blocks the bootstrap resamples, which keeps short-range "
            "correlation intact; None chooses it from the window size. Window "
            "sizes below 4 need it."
        ),
        flag="--block-length",
        metavar="N",
        parse=parse_integer,
        native="b",
        default_text="from the window size",
        methods=("native",),
    ),
    Option(
        name="taper_ratio",
        default=None,
        check=optional(fraction("0 means no taper")),
        help="Share of every bootstrap block that is faded in and out, 0 to 1.",
        flag="--taper-ratio",
        metavar="R",
        parse=parse_number,
        native="taper_ratio",
        default_text="0.5",
        methods=("native",),
        method_defaults={"native": 0.5},
    ),
    Option(
        name="center",
        default=None,
        check=optional(check_switch),
        help=(
            "Whether each window is centred on its own mean before the bootstrap "
            "(windows are always scaled; the whole series is centred on its median "
            "first)."
        ),
        flag="--center",
        metavar=None,
        parse=None,
        native="center",
        default_text="True",
        switch=True,
        methods=("native",),
        method_defaults={"native": True},
    ),
    Option(
        name="missing",
        default="skip",
        check=check_missing,
        help=(
            "Missing values (NaN, None, pandas NA, masked entries): 'skip' leaves "
            "them out and detects on the values that are there, reporting every "
            "position in the original series (a change point is the first present "
            "value after the change) and their number as n_missing; 'raise' "
            "refuses a series that has any. Infinite values are refused either way."
        ),
        flag="--missing",
        metavar="MODE",
        parse=parse_text,
        native=None,
        default_text="skip",
    ),
    Option(
        name="progress",
        default=None,
        check=check_callback,
        help=(
            "A function called as progress(done, total) with the window positions "
            "swept so far, at most every 0.1 s and once at the end, on the calling "
            "thread; an exception it raises stops the run. Not recorded in the result."
        ),
        flag=None,
        metavar=None,
        parse=None,
        native=None,
        default_text="None",
        recorded=False,
    ),
)

#: The options by name.
BY_NAME: Mapping[str, Option] = {option.name: option for option in OPTIONS}

#: The default of every option, by name.
_DEFAULTS: Mapping[str, Any] = {option.name: option.default for option in OPTIONS}


def defaults() -> dict[str, Any]:
    """The default of every option, by name."""
    return {option.name: option.default for option in OPTIONS}


def check_options(given: Mapping[str, Any], *, cli: bool = False) -> dict[str, Any]:
    """Checks option values and fills in the defaults.

    Args:
        given: Option values by name; options left out take their defaults.
        cli: Name options in messages by their command-line flags.

    Returns:
        Every option under its :func:`quarn.detect` name, in table order,
        normalised (window sizes as a tuple, change type in lower case),
        with the chosen method's defaults filled in; options that do not
        apply to the method are None.

    Raises:
        TypeError: An option is unknown or has the wrong type.
        ValueError: An option is out of range, or does not apply to the
            method.
    """
    if not cli and _all_defaults(given):
        return dict(_checked_defaults())
    return _checked(given, cli)


def _checked(given: Mapping[str, Any], cli: bool) -> dict[str, Any]:
    """:func:`check_options`, every option checked."""
    unknown = [name for name in given if name not in BY_NAME]
    if unknown:
        raise TypeError(f"unknown option {shown(unknown[0])}")
    checked = {
        option.name: option.check(
            given.get(option.name, option.default),
            option.flag if cli and option.flag else option.name,
        )
        for option in OPTIONS
    }
    method = checked["method"]
    for option in OPTIONS:
        value = checked[option.name]
        if method not in option.methods:
            if value is not None:
                subject = option.flag if cli and option.flag else option.name
                chosen = f"--method {method}" if cli else f"method={method!r}"
                allowed = " or ".join(repr(m) for m in option.methods)
                raise ValueError(
                    f"{subject} does not apply to {chosen}; it is an option of method {allowed}"
                )
        elif value is None and option.method_defaults is not None:
            checked[option.name] = option.method_defaults.get(method)
    if method == "confirm" and checked["alpha"] == 0.0:
        subject = "--alpha" if cli else "alpha"
        raise ValueError(f"{subject} must be above 0 for the confirm method, got 0.0")
    return checked


def _all_defaults(given: Mapping[str, Any]) -> bool:
    """Whether every option in ``given`` is a known one at its very default
    (the default object itself, or an equal value of exactly its type), as
    in most calls: the checks' outcome is then known."""
    for name, value in given.items():
        default = _DEFAULTS.get(name, _ABSENT)
        if default is _ABSENT:
            return False  # unknown: the checks refuse it
        if value is not default and (type(value) is not type(default) or value != default):
            return False
    return True


#: Marks an option unknown to the table.
_ABSENT = object()


@functools.cache
def _checked_defaults() -> dict[str, Any]:
    """The checked options of a call that gives none (never changed: copied
    before being handed out)."""
    return _checked({}, False)


def native_arguments(options: Mapping[str, Any]) -> dict[str, Any]:
    """Renames checked options of the native method to the keyword arguments
    of ``quarn_detector``."""
    arguments = {}
    for option in OPTIONS:
        if option.native is not None and option.name in options:
            value = options[option.name]
            arguments[option.native] = list(value) if isinstance(value, tuple) else value
    return arguments


def docstring_args(indent: str = "        ") -> str:
    """The ``Args`` entries of the options, for :func:`quarn.detect`'s docstring."""
    import textwrap

    entries = []
    for option in OPTIONS:
        text = f"{option.name}: {option.help} Default: {option.default_text}."
        entries.append(
            textwrap.fill(
                text, width=79, initial_indent=indent, subsequent_indent=indent + "    "
            )
        )
    return "\n".join(entries)


#: The line of a docstring that :func:`with_options_doc` replaces.
OPTIONS_LINE = "(options): One entry per option, from quarn.options.OPTIONS."


def with_options_doc(doc: str) -> str:
    """Replaces the :data:`OPTIONS_LINE` of a docstring by the options'
    entries, at its indentation (Python 3.13 strips docstring indents)."""
    lines = doc.splitlines(keepends=True)
    for number, line in enumerate(lines):
        if line.strip() == OPTIONS_LINE:
            lines[number] = docstring_args(line[: len(line) - len(line.lstrip())]) + "\n"
    return "".join(lines)


def markdown_table() -> str:
    """The README's table of the options (Python name, flag, default, meaning)."""
    lines = [
        "| Python | command line | methods | default | meaning |",
        "|---|---|---|---|---|",
    ]
    for option in OPTIONS:
        flag = f"`{option.flag}`" if option.flag else ""
        if option.switch and option.flag:
            flag = f"`{option.flag}` / `--no-{option.flag[2:]}`"
        methods = "both" if len(option.methods) == len(METHODS) else ", ".join(option.methods)
        lines.append(
            f"| `{option.name}` | {flag} | {methods} | {option.default_text} | {option.help} |"
        )
    return "\n".join(lines)
