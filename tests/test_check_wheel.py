"""The wheel check of scripts/check_wheel.py on made-up and installed files."""

import importlib.util
import sys
import zipfile
from pathlib import Path

import pytest

import quarn._quarn_native as native

SCRIPT = Path(__file__).resolve().parents[1] / "scripts" / "check_wheel.py"
spec = importlib.util.spec_from_file_location("check_wheel", SCRIPT)
check_wheel = importlib.util.module_from_spec(spec)
spec.loader.exec_module(check_wheel)


@pytest.mark.parametrize(
    "member, symbol",
    [
        ("quarn/_quarn_native.cpython-313-x86_64-linux-gnu.so", "PyInit__quarn_native"),
        ("quarn/_engine.cp313-win_amd64.pyd", "PyInit__engine"),
        ("quarn/_engine.abi3.so", "PyInit__engine"),
    ],
)
def test_each_module_must_export_its_own_init(member, symbol):
    assert check_wheel.extension_modules([member, "quarn/libtbb.so.12", "quarn/x.py"]) == [member]
    assert check_wheel.init_symbol(member) == symbol


def test_a_wheel_without_licences_or_runtime_fails(tmp_path):
    wheel = tmp_path / "quarn-0.0-py3-none-any.whl"
    with zipfile.ZipFile(wheel, "w") as archive:
        archive.writestr("quarn/__init__.py", "")
        archive.writestr("quarn-0.0.dist-info/licenses/LICENSE", "MIT")
    failures = " ".join(check_wheel.check(wheel))
    assert "LICENSES/oneTBB.txt missing" in failures
    assert "oneTBB runtime library is missing" in failures
    assert "no extension module" in failures


@pytest.mark.skipif(not sys.platform.startswith("linux"), reason="ELF files")
def test_exported_symbols_of_real_libraries():
    pytest.importorskip("elftools")
    assert check_wheel.exported_symbols(Path(native.__file__)) == {"PyInit__quarn_native"}
    runtime = Path(native.__file__).with_name("libtbb.so.12")
    if runtime.exists():
        exported = check_wheel.exported_symbols(runtime)
        assert len(exported) > 10 and "PyInit__quarn_native" not in exported
