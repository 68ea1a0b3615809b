"""The package surface: documented native functions, version, licences."""

import ast
import importlib.metadata
import importlib.resources
import inspect
import math
import pickle
import subprocess
import sys

import pytest

import quarn
import quarn._quarn_native as native

NAMES = native.__all__

SERIES = [0.0] * 30 + [5.0] * 30


def stub_reexports():
    """The names the native module's stub takes from the documented functions."""
    stub = importlib.resources.files("quarn").joinpath("_quarn_native.pyi").read_text()
    return {
        alias.asname: alias.name
        for node in ast.parse(stub).body
        if isinstance(node, ast.ImportFrom) and node.module == "quarn._native_functions"
        for alias in node.names
    }


@pytest.mark.parametrize("name", NAMES)
def test_package_function_mirrors_the_native_one(name):
    function, original = getattr(quarn, name), getattr(native, name)
    assert function is not original
    assert original.__doc__ is None  # the extension itself stays undocumented
    assert stub_reexports()[name] == name  # typed and documented as the package's function
    assert "Args:" in function.__doc__ and "Returns:" in function.__doc__
    ours = inspect.signature(function).parameters.values()
    theirs = inspect.signature(original).parameters.values()
    assert [(p.name, p.kind, p.default) for p in ours] == [
        (p.name, p.kind, p.default) for p in theirs
    ]
    assert function.__module__ == "quarn"
    assert pickle.loads(pickle.dumps(function)) is function


@pytest.mark.parametrize(
    "name, args, kwargs",
    [
        ("quarn_detector", (SERIES,), {"window_sizes": [10, 12], "n_perm": 50, "seed": 9}),
        ("quarn_detector", (SERIES, None, 40, 0.05, 7, 0, 1, "PROCESS", "Var", 9, 0.2, False, 1), {}),
        ("quarn_single_window", (SERIES, 10), {"change_type": "distribution", "b": 8}),
        ("refine_cusum", (SERIES,), {}),
        ("refine_wasserstein", (SERIES,), {}),
        ("swal_statistic", (SERIES,), {"change_type": "MEAN"}),
        ("wasserstein_statistic", ([3.0, 1.0, 2.0],), {"right": [2.0]}),
        ("ipm_statistic", ([0.0, 1.0], [0.5]), {}),
    ],
)
def test_package_function_returns_the_native_result(name, args, kwargs):
    ours = getattr(quarn, name)(*args, **kwargs)
    theirs = getattr(native, name)(*args, **kwargs)
    assert repr(ours) == repr(theirs)  # repr: NaN entries compare equal as text


@pytest.mark.parametrize(
    "name, args, kwargs",
    [
        ("wasserstein_statistic", ("abc", [1.0]), {}),
        ("wasserstein_statistic", ([], [1.0]), {}),
        ("quarn_detector", (SERIES,), {"center": 1}),
        ("quarn_detector", (SERIES,), {"backend": None}),
        ("quarn_detector", (SERIES,), {"window_sizes": []}),
        ("quarn_single_window", (SERIES, -1), {}),
        ("swal_statistic", ([1.0, 2.0, 3.0], "Median"), {}),
        ("refine_cusum", ([1.0, math.nan, 3.0],), {}),
    ],
)
def test_package_function_raises_the_native_error(name, args, kwargs):
    with pytest.raises(Exception) as ours:
        getattr(quarn, name)(*args, **kwargs)
    with pytest.raises(Exception) as theirs:
        getattr(native, name)(*args, **kwargs)
    assert type(ours.value) is type(theirs.value)
    assert ours.value.args == theirs.value.args


def test_one_version_everywhere():
    assert quarn.__version__ == importlib.metadata.version("quarn")
    shown = subprocess.run(
        [sys.executable, "-m", "quarn", "--version"], capture_output=True, text=True, check=True
    )
    assert shown.stdout.strip() == f"quarn {quarn.__version__}"


def test_readme_names_are_reachable_from_the_package():
    assert quarn.serialize.from_jsonable is not None
    assert set(quarn.__all__) <= set(dir(quarn))
    for name in ("detect", "detect_many", "DetectionResult", "WindowResult", "QuarnWarning"):
        assert name in quarn.__all__
    assert callable(quarn.DetectionResult.from_json)


@pytest.mark.parametrize("extra, name", [("dask", "detect_many"), ("sktime", "QuarnDetector")])
def test_import_quarn_needs_neither_pandas_nor_the_extras(extra, name):
    code = (
        "import sys, quarn\n"
        "print(sorted(m for m in ('pandas', 'dask', 'sktime', 'sklearn') if m in sys.modules))\n"
        "try:\n"
        f"    quarn.{extra}.{name}\n"
        "except ImportError as exc:\n"
        f"    print('missing:', 'quarn[{extra}]' in str(exc))\n"
        "else:\n"
        "    print('found')\n"
    )
    done = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, check=True)
    first, second = done.stdout.splitlines()
    assert first == "[]"
    assert second in ("found", "missing: True")


def test_licences_travel_with_the_installed_package():
    files = importlib.metadata.files("quarn") or []
    licences = {f.name for f in files if "licenses" in str(f).lower()}
    assert {"LICENSE", "oneTBB.txt", "oneTBB-third-party-programs.txt"} <= licences
    metadata = importlib.metadata.metadata("quarn")
    assert metadata["License-Expression"] == "MIT"
