#!/usr/bin/env bash
# Coverage-guided fuzzing of the extension's Python boundary with atheris.
#
#   bash fuzz/run_boundary.sh MODE [libFuzzer flags...]
#
# MODE selects how the extension is built (with clang, into build/fuzz-MODE):
#   cov   native coverage only (-fsanitize=fuzzer-no-link): fast, for the bulk
#   asan  native coverage with AddressSanitizer and UndefinedBehaviorSanitizer
# The interpreter is not instrumented, so libFuzzer (and for asan the
# sanitizer runtimes) are preloaded as one shared library built from clang's
# runtime archives; atheris then uses that libFuzzer and sees the coverage of
# the native code as well as that of the harness.
#
# The corpus grows in build/fuzz-corpus/boundary; the committed seeds in
# fuzz/corpus/boundary are read too. Crashes and findings are written to the
# current directory (crash-*). Example, a bounded single-process run:
#   bash fuzz/run_boundary.sh cov -runs=1000000 -max_len=2048
#
# Environment: FUZZ_PYTHON, an interpreter with atheris and numpy (default:
# a venv made under build/fuzz-venv); TBB_DIR when that interpreter has no
# tbb-devel; CXX (default clang++-19).
set -euo pipefail

root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
mode=${1:?usage: run_boundary.sh cov|asan [libFuzzer flags...]}
shift
cxx=${CXX:-clang++-19}
command -v "$cxx" >/dev/null || {
    echo "$cxx not found; on Debian: apt-get install clang-19 libclang-rt-19-dev" >&2
    exit 1
}

if [ -n "${FUZZ_PYTHON:-}" ]; then
    python=$FUZZ_PYTHON
else
    venv="$root/build/fuzz-venv"
    [ -x "$venv/bin/python" ] || python3 -m venv "$venv"
    "$venv/bin/python" -m pip install --quiet atheris numpy "tbb-devel==2023.2.0" cmake ninja
    python="$venv/bin/python"
fi
export PATH="$(dirname "$python"):$PATH"

case "$mode" in
    cov) sanitize="fuzzer-no-link"; archives=(fuzzer_no_main) ;;
    asan) sanitize="address,undefined,fuzzer-no-link"; archives=(asan asan_cxx fuzzer_no_main) ;;
    *) echo "unknown mode $mode" >&2; exit 2 ;;
esac

build="$root/build/fuzz-$mode"
stage="$build/stage"
cmake -S "$root" -B "$build" -G Ninja -DCMAKE_CXX_COMPILER="$cxx" \
    -DCMAKE_BUILD_TYPE=Release -DCMAKE_CXX_FLAGS="-g" -DQUARN_SANITIZE="$sanitize" \
    -DPython_EXECUTABLE="$python" ${TBB_DIR:+-DTBB_DIR="$TBB_DIR"} \
    -DCMAKE_INSTALL_PREFIX="$stage" >"$build.configure.log"
cmake --build "$build" >"$build.build.log" || { cat "$build.build.log"; exit 1; }
rm -rf "$stage"
cmake --install "$build" >/dev/null
bash "$root/scripts/stage_package.sh" "$stage"

# One shared library with libFuzzer (and the sanitizer runtimes): the
# archives minus ASan's .preinit_array object, which a DSO cannot carry.
runtime_dir=$("$cxx" -print-runtime-dir)
[ -e "$runtime_dir/libclang_rt.fuzzer_no_main-x86_64.a" ] ||
    runtime_dir="$("$cxx" -print-resource-dir)/lib/linux"
preload="$build/runtime.so"
work=$(mktemp -d)
objects=()
for archive in "${archives[@]}"; do
    cp "$runtime_dir/libclang_rt.$archive-x86_64.a" "$work/$archive.a"
    ar d "$work/$archive.a" asan_preinit.cpp.o 2>/dev/null || true
    objects+=("$work/$archive.a")
done
"$cxx" -shared -o "$preload" -Wl,--whole-archive "${objects[@]}" -Wl,--no-whole-archive \
    -lpthread -ldl -lrt -lm
rm -rf "$work"

corpus="$root/build/fuzz-corpus/boundary"
mkdir -p "$corpus"
export ASAN_OPTIONS="detect_leaks=0:halt_on_error=1:abort_on_error=1:quarantine_size_mb=64"
export UBSAN_OPTIONS="halt_on_error=1:print_stacktrace=1"
# Under ASan the interpreter's objects come from the checked allocator too,
# so a reference released once too often shows as a use after free.
[ "$mode" = asan ] && export PYTHONMALLOC=malloc
LD_PRELOAD="$preload" PYTHONPATH="$stage" \
    "$python" "$root/fuzz/fuzz_boundary.py" "$@" "$corpus" "$root/fuzz/corpus/boundary"
