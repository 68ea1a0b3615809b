#!/usr/bin/env bash
# Cross-builds the core library (quarn-core) and its C++ tests for 64-bit
# Windows with MinGW-w64 and runs the tests under Wine. It catches what a
# Linux build hides: 32-bit long (LLP64), POSIX-only calls, compiler
# intrinsics without a fallback, and the Windows C runtime's maths.
#
#   1. Debian packages: the MinGW-w64 compilers (posix threads) and Wine,
#      installed with apt-get when missing (needs root).
#   2. oneTBB for MinGW-w64, built from Debian's onetbb source package: the
#      Windows oneTBB of PyPI (tbb-devel) is built with MSVC, whose C++
#      symbol names MinGW-w64 cannot link against.
#   3. A check that the C runtime's fma rounds once (cmake/windows/fma_probe.cpp).
#      The runtime of MinGW-w64 10 (Debian 12) rounds twice; the test
#      programs then get the processor's fused multiply-add instruction in
#      its place (cmake/windows/fma_instruction.c), so that they test
#      quarn's code rather than that runtime, and the script says so.
#   4. The core and its tests, built with the project's warnings (-Wall
#      -Wextra); any compiler warning fails the script.
#   5. ctest, every test program under Wine.
#
# Takes about 4 minutes on two cores when the packages are installed (1 of
# them for oneTBB, built once), 2 to 4 more to install them; everything
# lands in build/windows. scripts/test.sh runs it (QUARN_SKIP_WINDOWS=1
# leaves it out).
# What it cannot check: the extension modules (module/, engine/), which need
# a Windows CPython, and the MSVC-only branches of the core (intrinsics
# under _MSC_VER), which MinGW-w64 does not take.
#
# Usage: bash scripts/windows_core.sh
set -euo pipefail

root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
build="$root/build/windows"
mkdir -p "$build"
started=$SECONDS
step() { echo "=== $* ($((SECONDS - started)) s)"; }

# 1. Packages.
step "Debian packages"
missing=()
for package in g++-mingw-w64-x86-64-posix wine64 xz-utils; do
    dpkg -s "$package" >/dev/null 2>&1 || missing+=("$package")
done
if ! grep -rqsE '^(deb-src|Types:.*deb-src)' /etc/apt/sources.list /etc/apt/sources.list.d/; then
    # apt-get source needs the source index of Debian's own archive.
    codename=$(. /etc/os-release && echo "$VERSION_CODENAME")
    cat >/etc/apt/sources.list.d/quarn-debian-src.sources <<EOF
Types: deb-src
URIs: http://deb.debian.org/debian
Suites: $codename $codename-updates
Components: main
Signed-By: /usr/share/keyrings/debian-archive-keyring.gpg
EOF
    refresh=1
fi
if [ ${#missing[@]} -gt 0 ] || [ -n "${refresh:-}" ]; then
    apt-get update -qq
fi
if [ ${#missing[@]} -gt 0 ]; then
    DEBIAN_FRONTEND=noninteractive apt-get install -y -qq "${missing[@]}" >/dev/null
fi
wine=$(command -v wine || echo /usr/lib/wine/wine64)
mingw=x86_64-w64-mingw32
runtime_dlls="$(ls -d /usr/lib/gcc/$mingw/*-posix | sort -V | tail -1)"

# CMake and Ninja from PyPI, as for the other builds.
venv="$build/venv"
if [ ! -x "$venv/bin/cmake" ]; then
    python3 -m venv "$venv"
    "$venv/bin/python" -m pip install --quiet cmake ninja 2> >(grep -v '^WARNING: Location' >&2)
fi
cmake="$venv/bin/cmake"
toolchain=(-G Ninja -DCMAKE_MAKE_PROGRAM="$venv/bin/ninja"
    -DCMAKE_TOOLCHAIN_FILE="$root/cmake/windows/mingw-w64.cmake"
    -DCMAKE_CROSSCOMPILING_EMULATOR="$wine" -DCMAKE_BUILD_TYPE=Release)

# Wine: its own prefix, no window, no offer to install Mono or Gecko.
export WINEPREFIX="$build/wineprefix" WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
tbb="$build/tbb-install"
# Where the test programs find their DLLs: the MinGW-w64 C++ runtime, its
# threads, and oneTBB.
export WINEPATH="Z:$runtime_dlls;Z:/usr/$mingw/lib;Z:$tbb/bin"

# 2. oneTBB.
if [ ! -f "$tbb/lib/cmake/TBB/TBBConfig.cmake" ]; then
    step "oneTBB from Debian's source package, built with MinGW-w64"
    mkdir -p "$build/src"
    (cd "$build/src" && apt-get source -qq --download-only onetbb 2>&1 | grep -v "unsandboxed" || true)
    tarball=$(ls "$build"/src/onetbb_*.orig.tar.* | sort -V | tail -1)
    rm -rf "$build/src/oneTBB"
    mkdir -p "$build/src/oneTBB"
    tar -xf "$tarball" -C "$build/src/oneTBB" --strip-components=1
    # The release predates CMake 4, which refuses its minimum version.
    "$cmake" -S "$build/src/oneTBB" -B "$build/tbb" "${toolchain[@]}" \
        -DCMAKE_POLICY_VERSION_MINIMUM=3.5 -DCMAKE_INSTALL_PREFIX="$tbb" \
        -DTBB_TEST=OFF -DTBB_EXAMPLES=OFF -DTBBMALLOC_BUILD=OFF -DTBB_STRICT=OFF \
        >"$build/tbb-configure.log" 2>&1
    "$cmake" --build "$build/tbb" >"$build/tbb-build.log" || { tail -50 "$build/tbb-build.log"; exit 1; }
    "$cmake" --install "$build/tbb" >/dev/null
fi

# 3. The runtime's fma.
step "the C runtime's fma"
extra=()
$mingw-g++-posix -std=c++17 -O2 -static "$root/cmake/windows/fma_probe.cpp" -o "$build/fma_probe.exe"
if "$wine" "$build/fma_probe.exe"; then
    echo "fma rounds once"
elif grep -qw fma /proc/cpuinfo; then
    echo "NOTE: the MinGW-w64 runtime's fma rounds twice (above); the test programs use the"
    echo "      processor's fused multiply-add instruction instead (cmake/windows/fma_instruction.c)."
    $mingw-gcc-posix -O2 -mfma -c "$root/cmake/windows/fma_instruction.c" -o "$build/fma_instruction.o"
    rm -f "$build/libquarn_fma.a"
    $mingw-ar rcs "$build/libquarn_fma.a" "$build/fma_instruction.o"
    extra+=(-DCMAKE_CXX_STANDARD_LIBRARIES="$build/libquarn_fma.a")
else
    echo "NOTE: the MinGW-w64 runtime's fma rounds twice and this processor has no fused"
    echo "      multiply-add instruction: the quantile test of bootstrap_test will fail."
fi

# 4. The core and its tests.
step "quarn-core and its tests, built with MinGW-w64"
"$cmake" -S "$root" -B "$build/core" "${toolchain[@]}" "${extra[@]}" \
    -DQUARN_BUILD_EXTENSION=OFF -DQUARN_BUILD_TESTS=ON -DTBB_DIR="$tbb/lib/cmake/TBB" \
    >"$build/core-configure.log" || { cat "$build/core-configure.log"; exit 1; }
"$cmake" --build "$build/core" >"$build/core-build.log" 2>&1 || { cat "$build/core-build.log"; exit 1; }
if grep -i "warning" "$build/core-build.log"; then
    echo "the MinGW-w64 build of the core has warnings (above)" >&2
    exit 1
fi
echo "built without warnings"

# 5. The tests, under Wine.
step "C++ core tests under Wine ($("$wine" --version))"
(cd "$build/core" && "$venv/bin/ctest" --output-on-failure)
step "done"
