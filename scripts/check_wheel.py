"""Checks a built wheel of quarn before it is installed or published.

    python scripts/check_wheel.py WHEEL

- the licence files travel in the wheel's .dist-info/licenses;
- the oneTBB runtime sits next to the extension modules;
- every extension module exports exactly its own PyInit_<name> function and
  nothing else (ELF wheels; read with pyelftools);
- on Linux, ``auditwheel show`` accepts the wheel: it names a manylinux
  platform tag and needs no shared library outside the wheel except the
  system ones that the tag allows.

Prints what it found (sizes, platform tag) and exits 1 on any failure.
"""

from __future__ import annotations

import re
import subprocess
import sys
import tempfile
import zipfile
from pathlib import Path, PurePosixPath

LICENCES = ("LICENSE", "LICENSES/oneTBB.txt", "LICENSES/oneTBB-third-party-programs.txt")
TBB_RUNTIMES = ("libtbb.so.12", "tbb12.dll")
EXTENSION_SUFFIXES = (".so", ".pyd")


def extension_modules(names: list[str]) -> list[str]:
    """Members that are Python extension modules (not bundled libraries)."""
    found = []
    for name in names:
        path = PurePosixPath(name)
        if path.suffix in EXTENSION_SUFFIXES and not path.name.startswith("lib"):
            found.append(name)
    return found


def init_symbol(member: str) -> str:
    """The initialisation function a module file must export: PyInit_ and
    the module name (the file name up to its first dot)."""
    return "PyInit_" + PurePosixPath(member).name.split(".")[0]


def exported_symbols(path: Path) -> set[str]:
    """Defined global and weak symbols of an ELF file's dynamic table."""
    from elftools.elf.elffile import ELFFile

    with path.open("rb") as handle:
        table = ELFFile(handle).get_section_by_name(".dynsym")
        if table is None:
            return set()
        return {
            symbol.name
            for symbol in table.iter_symbols()
            if symbol.name
            and symbol["st_shndx"] != "SHN_UNDEF"
            and symbol["st_info"]["bind"] in ("STB_GLOBAL", "STB_WEAK")
            and symbol["st_info"]["type"] != "STT_NOTYPE"
        }


def has_debug_info(path: Path) -> bool:
    from elftools.elf.elffile import ELFFile

    with path.open("rb") as handle:
        return ELFFile(handle).get_section_by_name(".debug_info") is not None


def auditwheel_show(wheel: Path) -> tuple[bool, str]:
    """Runs auditwheel show; returns (accepted, summary)."""
    shown = subprocess.run(
        [sys.executable, "-m", "auditwheel", "show", str(wheel)], capture_output=True, text=True
    )
    text = " ".join((shown.stdout + shown.stderr).split())
    if shown.returncode != 0:
        return False, f"auditwheel show failed: {text}"
    tag = re.search(r'consistent with the following platform tag: "([^"]+)"', text)
    if tag is None:
        return False, f"auditwheel show named no platform tag: {text}"
    if "external shared libraries" in text:
        return False, f"the wheel needs libraries from outside it: {text}"
    if not tag.group(1).startswith(("manylinux", "musllinux")):
        return False, f"auditwheel gives no manylinux tag, only {tag.group(1)}"
    return True, f"auditwheel: {tag.group(1)}"


def check(wheel: Path) -> list[str]:
    """Returns the failures found in the wheel (empty when it is good)."""
    failures = []
    with zipfile.ZipFile(wheel) as archive:
        names = archive.namelist()
        licences = [n.split("/licenses/", 1)[1] for n in names if ".dist-info/licenses/" in n]
        for licence in LICENCES:
            if licence not in licences:
                failures.append(f"licence file {licence} missing from the wheel")
        runtimes = [n for n in names if PurePosixPath(n).name in TBB_RUNTIMES]
        if not runtimes:
            failures.append("the oneTBB runtime library is missing from the wheel")
        modules = extension_modules(names)
        if not modules:
            failures.append("no extension module in the wheel")
        print(f"wheel: {wheel.name}, {wheel.stat().st_size:,} bytes")
        with tempfile.TemporaryDirectory() as scratch:
            for member in runtimes + modules:
                path = Path(archive.extract(member, scratch))
                size = archive.getinfo(member).file_size
                elf = path.read_bytes()[:4] == b"\x7fELF"
                debug = " (with debug information)" if elf and has_debug_info(path) else ""
                print(f"  {member}: {size:,} bytes{debug}")
                if member in modules and elf:
                    exported = exported_symbols(path)
                    if exported != {init_symbol(member)}:
                        failures.append(
                            f"{member} exports {sorted(exported)}, "
                            f"expected only {init_symbol(member)}"
                        )
    if sys.platform.startswith("linux"):
        accepted, summary = auditwheel_show(wheel)
        print(f"  {summary}")
        if not accepted:
            failures.append(summary)
    return failures


def main(argv: list[str]) -> int:
    if len(argv) != 1:
        print(__doc__.strip().splitlines()[2].strip(), file=sys.stderr)
        return 2
    failures = check(Path(argv[0]))
    for failure in failures:
        print(f"FAILED: {failure}", file=sys.stderr)
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
