#!/usr/bin/env bash
# Copies the Python package (sources and data, no byte code or built
# extension) into STAGE/quarn, next to an extension installed there by
# `cmake --install`, so that PYTHONPATH=STAGE imports that build.
# Usage: bash scripts/stage_package.sh STAGE
set -euo pipefail
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
# Absolute, since the copy below runs from inside the package: a relative
# STAGE would land in the source tree.
mkdir -p "$1"
stage=$(cd "$1" && pwd)
(cd "$root/python/quarn" && find . -name __pycache__ -prune -o -type f ! -name '*.so' -print |
    while read -r file; do
        mkdir -p "$stage/quarn/$(dirname "$file")"
        cp "$file" "$stage/quarn/$file"
    done)
