#!/usr/bin/env bash
# Builds the libFuzzer targets of the core library (fuzz/core/fuzz_*.cpp)
# with clang, AddressSanitizer and UndefinedBehaviorSanitizer, into
# build/fuzz-core (or the directory given as the first argument).
#
# Needs a clang whose C++23 mode compiles <expected> from the installed
# libstdc++ (clang 14 does not: it lacks -std=c++23 and its concepts level
# leaves libstdc++ 12's <expected> empty); Debian bookworm's clang-19 and
# libclang-rt-19-dev do. oneTBB comes from the Python environment that has
# tbb-devel (QUARN_PYTHON, default python3), or from TBB_DIR.
#
# Run a target (one process, bounded in time), growing a corpus under build/
# from the committed seeds, e.g.:
#   mkdir -p build/fuzz-core/corpus/distance
#   build/fuzz-core/fuzz_distance -max_total_time=600 -max_len=4096 \
#       build/fuzz-core/corpus/distance fuzz/corpus/distance
# Replay the seeds only (a quick regression check):
#   build/fuzz-core/fuzz_distance -runs=0 fuzz/corpus/distance
set -euo pipefail

root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
out=${1:-$root/build/fuzz-core}
cxx=${CXX:-clang++-19}
python=${QUARN_PYTHON:-python3}

command -v "$cxx" >/dev/null || {
    echo "$cxx not found; on Debian: apt-get install clang-19 libclang-rt-19-dev" >&2
    exit 1
}
if [ -z "${TBB_DIR:-}" ]; then
    TBB_DIR=$("$python" - <<'PY'
import importlib.metadata as m, pathlib
for f in m.files("tbb-devel") or []:
    if f.name == "TBBConfig.cmake":
        print(pathlib.Path(f.locate()).resolve().parent)
        break
PY
)
fi
[ -n "$TBB_DIR" ] || { echo "oneTBB not found: set TBB_DIR or QUARN_PYTHON" >&2; exit 1; }
tbb_prefix=$(cd "$TBB_DIR/../../.." && pwd)

sanitize=(-fsanitize=address,undefined -fno-sanitize-recover=all -fno-omit-frame-pointer)
common=(-std=c++23 -O1 -g -ffp-contract=off -fno-fast-math -Wall -Wextra
        -I"$root/quarn-core/include" -I"$tbb_prefix/include")

mkdir -p "$out/obj"
objects=()
for source in "$root"/quarn-core/src/*.cpp; do
    object="$out/obj/$(basename "${source%.cpp}").o"
    "$cxx" "${common[@]}" "${sanitize[@]}" -fsanitize=fuzzer-no-link -c "$source" -o "$object"
    objects+=("$object")
done
for target in "$root"/fuzz/core/fuzz_*.cpp; do
    name=$(basename "${target%.cpp}")
    "$cxx" "${common[@]}" "${sanitize[@]}" -fsanitize=fuzzer -I"$root/fuzz/core" "$target" \
        "${objects[@]}" -L"$tbb_prefix/lib" -ltbb -Wl,-rpath,"$tbb_prefix/lib" -o "$out/$name"
    echo "built $out/$name"
done
