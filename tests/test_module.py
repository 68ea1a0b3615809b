"""The native module object: function table, signatures, initialisation."""

import ctypes
import inspect
import subprocess
import sys
import textwrap

import pytest

import quarn
import quarn._engine as engine
import quarn._quarn_native as native

NAMES = [
    "quarn_detector",
    "quarn_single_window",
    "refine_cusum",
    "refine_wasserstein",
    "swal_statistic",
    "wasserstein_statistic",
    "ipm_statistic",
]


def test_all_lists_the_functions_in_table_order():
    assert native.__all__ == NAMES
    assert native.__doc__ == "Native C++ extension module for the Python `quarn` package."


@pytest.mark.parametrize("name", NAMES)
def test_functions_carry_signature_but_no_doc(name):
    function = getattr(native, name)
    assert function.__doc__ is None
    assert function.__text_signature__.startswith("(")
    assert function.__module__ == native.__name__
    assert function.__self__ is native


@pytest.mark.parametrize(
    "name, expected",
    [
        (
            "quarn_detector",
            "(series, window_sizes=None, n_perm=300, alpha_q=1.0, seed=123, tol=2, "
            "workers=None, backend='thread', change_type='mean', b=None, taper_ratio=0.5, "
            "center=True, batch_size=32)",
        ),
        (
            "quarn_single_window",
            "(series, window_size, n_perm=300, alpha_q=1.0, seed=123, change_type='mean', "
            "b=None, taper_ratio=0.5, center=True, batch_size=32)",
        ),
        ("refine_cusum", "(series)"),
        ("refine_wasserstein", "(series)"),
        ("swal_statistic", "(series, change_type='distribution')"),
        ("wasserstein_statistic", "(left, right)"),
        ("ipm_statistic", "(left, right)"),
    ],
)
def test_signatures(name, expected):
    signature = inspect.signature(getattr(native, name))
    assert str(signature) == expected
    kinds = {p.kind for p in signature.parameters.values()}
    assert kinds == {inspect.Parameter.POSITIONAL_OR_KEYWORD}


def test_second_initialisation_returns_the_same_module():
    library = ctypes.PyDLL(native.__file__)
    init = library.PyInit__quarn_native
    init.restype = ctypes.py_object
    assert init() is native
    assert init() is native


@pytest.mark.parametrize("module, init", [(native, "PyInit__quarn_native"),
                                          (engine, "PyInit__engine")])
def test_only_the_init_function_is_exported(module, init):
    if not sys.platform.startswith("linux"):
        pytest.skip("symbol table check uses nm on ELF")
    nm = subprocess.run(
        ["nm", "-D", "--defined-only", module.__file__], capture_output=True, text=True
    )
    if nm.returncode != 0:
        pytest.skip("nm not available")
    symbols = [line.split()[-1] for line in nm.stdout.splitlines() if line.strip()]
    assert symbols == [init]


def test_import_in_a_subinterpreter_is_refused():
    script = textwrap.dedent(
        """
        import _testcapi
        import quarn._quarn_native
        code = (
            "try:\\n"
            "    import quarn._quarn_native\\n"
            "except ImportError as error:\\n"
            "    open(PATH, 'w').write('ImportError: ' + str(error))\\n"
            "else:\\n"
            "    open(PATH, 'w').write('imported')\\n"
        )
        import tempfile, os
        path = os.path.join(tempfile.mkdtemp(), "out.txt")
        _testcapi.run_in_subinterp("PATH = %r\\n" % path + code)
        print(open(path).read())
        """
    )
    result = subprocess.run(
        [sys.executable, "-c", script], capture_output=True, text=True, timeout=120
    )
    if "No module named '_testcapi'" in result.stderr:
        pytest.skip("interpreter built without _testcapi")
    assert result.returncode == 0, result.stderr
    assert result.stdout.startswith("ImportError:")
    assert "subinterpreters" in result.stdout
