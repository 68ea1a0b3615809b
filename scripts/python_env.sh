# The interpreter of the check scripts (sourced by them, not run):
# $QUARN_PYTHON when it is set, or else a virtual environment made once in
# DIR, with PACKAGE... installed or brought up to date.
#
#   quarn_python DIR PACKAGE...    sets $python

quarn_python() {
    if [ -n "${QUARN_PYTHON:-}" ]; then
        python=$QUARN_PYTHON
        return
    fi
    local venv=$1
    shift
    if [ ! -x "$venv/bin/python" ]; then
        python3 -m venv "$venv"
    fi
    "$venv/bin/python" -m pip install --quiet --upgrade pip
    "$venv/bin/python" -m pip install --quiet "$@"
    python="$venv/bin/python"
}
