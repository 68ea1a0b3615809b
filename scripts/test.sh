#!/usr/bin/env bash
# Runs the whole test suite: the C++ core tests (ctest), the same tests under
# AddressSanitizer and UndefinedBehaviorSanitizer and, built for Windows with
# MinGW-w64, under Wine, a check of the built wheel
# (licences, exported symbols, auditwheel), and the Python tests (pytest)
# against the package installed from that wheel, under python3 and, when the
# machine has it, python3.13; with the first interpreter also the typing
# checks (mypy --strict, pyright, pyright --verifytypes) and the
# documentation build (sphinx-build -W, with its examples and doctests).
# Everything it needs is installed into virtual environments under build/.
set -euo pipefail

root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
build="$root/build/test"
mkdir -p "$build"

# Interpreters to test with: python3, plus python3.13 when one runs here
# (a pyenv shim may exist without the version being selected).
interpreters=("$(command -v python3)")
find_python313() {
    local candidate
    for candidate in python3.13 "$(command -v pyenv >/dev/null 2>&1 && pyenv root)"/versions/3.13*/bin/python3.13; do
        if [ -n "$candidate" ] && "$candidate" -c 'import sys; assert sys.version_info[:2] == (3, 13)' >/dev/null 2>&1; then
            command -v "$candidate" 2>/dev/null || echo "$candidate"
            return 0
        fi
    done
    return 1
}
if py313=$(find_python313); then
    if [ "$("$py313" -c 'import sys; print(sys.prefix)')" != "$(python3 -c 'import sys; print(sys.prefix)')" ]; then
        interpreters+=("$py313")
    fi
fi

# pip, quietly: only its real problems reach the log.
pip_quiet() {  # pip_quiet VENV ARGS...
    local venv=$1
    shift
    "$venv/bin/python" -m pip install --quiet "$@" 2> >(grep -v '^WARNING: Location' >&2)
}

make_venv() {  # make_venv PYTHON DIR
    if [ ! -x "$2/bin/python" ]; then
        "$1" -m venv "$2"
    fi
    pip_quiet "$2" --upgrade pip
    pip_quiet "$2" "tbb-devel==2023.2.0" "nanobind==3.1.0" cmake ninja pytest numpy pandas matplotlib \
        auditwheel
}

# Least share of the public interface whose types pyright knows, in percent.
MIN_TYPE_COMPLETENESS=98

# Typing checks of the installed package: the typing test file under mypy
# --strict and pyright, and pyright's completeness score of the package.
check_types() {  # check_types VENV
    local venv=$1 score
    (cd "$build" && "$venv/bin/python" -m mypy --strict --cache-dir "$build/mypy-cache" \
        "$root/tests/typing/check_types.py") || return 1
    PATH="$venv/bin:$PATH" pyright -p "$root/tests/typing/pyrightconfig.json" || return 1
    score=$(cd "$build" && PATH="$venv/bin:$PATH" pyright --verifytypes quarn --ignoreexternal \
        --outputjson | "$venv/bin/python" -c \
        'import json, sys; print(round(100 * json.load(sys.stdin)["typeCompleteness"]["completenessScore"], 1))')
    echo "pyright --verifytypes quarn: $score% of the public interface typed"
    "$venv/bin/python" -c "import sys; sys.exit(0 if $score >= $MIN_TYPE_COMPLETENESS else 1)" || {
        echo "type completeness below $MIN_TYPE_COMPLETENESS%" >&2
        return 1
    }
}

# The documentation, warnings as errors: the HTML pages (running the gallery
# examples and the guide's figures) and the guide's doctests.
build_docs() {  # build_docs VENV
    local venv=$1
    rm -rf "$build/docs" "$root/docs/auto_examples" "$root/docs/sg_execution_times.rst"
    "$venv/bin/sphinx-build" -W --keep-going -q -b html "$root/docs" "$build/docs/html" || return 1
    "$venv/bin/sphinx-build" -W --keep-going -q -b doctest -D plot_gallery=0 \
        "$root/docs" "$build/docs/doctest" || return 1
    grep -E "^ *[0-9]+ (tests|passed)" "$build/docs/doctest/output.txt" | tail -1
    echo "documentation: $build/docs/html/index.html"
}

status=0
first=1
first_python=1
for python in "${interpreters[@]}"; do
    version=$("$python" -c 'import sys; print("%d.%d" % sys.version_info[:2])')
    venv="$build/venv-$version"
    echo "=== Python $version ($python)"
    make_venv "$python" "$venv"

    if [ "$first" = 1 ]; then
        first=0
        echo "=== C++ core tests"
        cmake -S "$root" -B "$build/core" -G Ninja -DQUARN_BUILD_EXTENSION=OFF \
            -DQUARN_BUILD_TESTS=ON -DPython_EXECUTABLE="$venv/bin/python" \
            -DCMAKE_MAKE_PROGRAM="$venv/bin/ninja" >"$build/core-configure.log"
        cmake --build "$build/core" >"$build/core-build.log" || { cat "$build/core-build.log"; exit 1; }
        (cd "$build/core" && ctest --output-on-failure) || status=1

        # The same tests against an AddressSanitizer + UBSan build; any
        # report fails the run. QUARN_SKIP_SANITIZE=1 leaves it out.
        if [ "${QUARN_SKIP_SANITIZE:-0}" != 1 ]; then
            echo "=== sanitizer build (scripts/sanitize.sh)"
            QUARN_PYTHON="$venv/bin/python" bash "$root/scripts/sanitize.sh" || status=1
        fi

        # The core and its tests built for Windows with MinGW-w64 and run
        # under Wine (installs its Debian packages; about 4 minutes, 8 on a
        # fresh machine). QUARN_SKIP_WINDOWS=1 leaves it out.
        if [ "${QUARN_SKIP_WINDOWS:-0}" != 1 ]; then
            echo "=== Windows build of the core under Wine (scripts/windows_core.sh)"
            bash "$root/scripts/windows_core.sh" || status=1
        fi
    fi

    echo "=== wheel (Python $version)"
    rm -rf "$build/wheel-$version"
    "$venv/bin/python" -m pip wheel --quiet --no-deps -w "$build/wheel-$version" "$root" \
        2> >(grep -v '^WARNING: Location' >&2)
    wheel=$(ls "$build/wheel-$version"/quarn-*.whl)
    "$venv/bin/python" "$root/scripts/check_wheel.py" "$wheel" || status=1

    echo "=== pip install the wheel with [plot,dask,sktime] (Python $version)"
    pip_quiet "$venv" --force-reinstall --no-deps "$wheel"
    pip_quiet "$venv" "$wheel[plot,dask,sktime]"
    if [ "$first_python" = 1 ]; then
        first_python=0
        pip_quiet "$venv" "$wheel[docs,typing]"
        echo "=== typing (Python $version)"
        check_types "$venv" || status=1
        echo "=== documentation (Python $version)"
        build_docs "$venv" || status=1
    fi
    echo "=== pytest (Python $version)"
    # Run from outside the source tree so the installed package is tested.
    (cd "$build" && "$venv/bin/python" -m pytest -p no:cacheprovider -q --rootdir "$root/tests" "$root/tests") || status=1
done
exit $status
