#!/usr/bin/env bash
# Leak check of the native extension under valgrind (memcheck): builds the
# extension with debug information, stages it with the Python package into
# build/valgrind/pyX.Y/stage, and runs every case of tests/test_leaks.py (every
# function, on success and on each failure path) a few times in one
# interpreter with PYTHONMALLOC=malloc, so that valgrind sees every
# allocation. Then it sorts the report: leaks and memory errors whose stack
# passes through the extension or the oneTBB runtime are attributed to the
# module; the interpreter's own leftovers at exit are only counted.
#
# Fails when anything is attributed to the module.
#
# Usage: bash scripts/leak_check.sh
# Environment:
#   QUARN_PYTHON      interpreter of an environment with cmake, ninja,
#                     tbb-devel, numpy and pytest (default: a venv made under
#                     build/valgrind/venv)
#   QUARN_LEAK_CALLS  calls per case (default 5)
set -euo pipefail

root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
mkdir -p "$root/build/valgrind"

command -v valgrind >/dev/null || { echo "valgrind is not installed" >&2; exit 2; }

source "$root/scripts/python_env.sh"
quarn_python "$root/build/valgrind/venv" "tbb-devel==2023.2.0" cmake ninja pytest numpy
export PATH="$(dirname "$python"):$PATH"
version=$("$python" -c 'import sys; print("%d.%d" % sys.version_info[:2])')
build="$root/build/valgrind/py$version"
stage="$build/stage"
mkdir -p "$build"

echo "=== build (RelWithDebInfo) into $stage"
cmake -S "$root" -B "$build/cmake" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
    -DPython_EXECUTABLE="$python" -DCMAKE_INSTALL_PREFIX="$stage" >"$build/configure.log"
cmake --build "$build/cmake" >"$build/build.log" || { cat "$build/build.log"; exit 1; }
cmake --install "$build/cmake" >/dev/null
bash "$root/scripts/stage_package.sh" "$stage"

driver="$build/driver.py"
cat >"$driver" <<'PY'
import os
import sys

sys.path.insert(0, os.environ["QUARN_TESTS"])
import test_leaks  # noqa: E402

calls = int(os.environ.get("QUARN_LEAK_CALLS", "5"))
for case in test_leaks.CASES:
    for _ in range(calls if case.cost == 1 else 1):
        case.call()
print(f"{len(test_leaks.CASES)} cases, {calls} calls each")
PY

log="$build/memcheck.log"
echo "=== valgrind memcheck, log in $log"
(cd "$build" && PYTHONMALLOC=malloc PYTHONPATH="$stage" QUARN_TESTS="$root/tests" \
    valgrind --tool=memcheck --leak-check=full --show-leak-kinds=definite,indirect,possible \
    --num-callers=50 --suppressions="$root/scripts/valgrind-quarn.supp" \
    --log-file="$log" "$python" "$driver")

"$python" - "$log" <<'PY'
import re
import sys

text = open(sys.argv[1]).read()
records = re.split(r"\n==\d+== \n", text)
ours = ("_quarn_native", "libtbb", "quarn::", "tbb::")
kinds = {}
attributed = []
for record in records:
    lines = [line.split("== ", 1)[-1] for line in record.splitlines()]
    if not lines:
        continue
    head = lines[0]
    leak = re.search(r"are (definitely|indirectly|possibly) lost", head)
    error = re.match(r"(Invalid \w+|Conditional jump|Use of uninitialised|Mismatched|"
                     r"Syscall param|Source and destination|Argument)", head)
    if not (leak or error):
        continue
    kind = leak.group(1) + " lost" if leak else error.group(1)
    kinds[kind] = kinds.get(kind, 0) + 1
    if any(mark in record for mark in ours):
        attributed.append("\n".join(lines[:14]))

for line in text.splitlines():
    if re.search(r"(definitely lost|indirectly lost|possibly lost|still reachable|"
                 r"suppressed|ERROR SUMMARY):", line):
        print(line.split("== ", 1)[-1].strip())
print("records by kind (whole process):",
      ", ".join(f"{k}: {v}" for k, v in sorted(kinds.items())) or "none")
if attributed:
    print(f"{len(attributed)} record(s) attributed to the module:")
    for record in attributed:
        print(record)
        print("--")
    sys.exit(1)
print("nothing attributed to the module")
PY
