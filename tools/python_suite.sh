#!/usr/bin/env bash
# Runs the whole Python test suite on one interpreter:
#
#   tools/python_suite.sh PYTHON LABEL [PYTEST ARGUMENTS...]
#
# LABEL names the interpreter's virtual environment, build/venv-LABEL, kept
# between runs so the test requirements are not fetched again. The module
# is built for that interpreter and installed afresh each time, then
# tests/requirements.txt, then pytest runs tests/python. The environment
# passes through, so a caller can set PYTHON_GIL and the like.
set -euo pipefail
cd "$(dirname "$0")/.."

if [ $# -lt 2 ]; then
    echo "usage: $0 PYTHON LABEL [PYTEST ARGUMENTS...]" >&2
    exit 64
fi
python=$1
venv=build/venv-$2
shift 2

# A venv left half-made by an interrupted run is made again.
if ! "$venv/bin/python" -c "" 2>/dev/null; then
    rm -rf "$venv"
    "$python" -m venv "$venv"
fi
pip=("$venv/bin/python" -m pip -q --disable-pip-version-check)
# Same version number, new code: the module is reinstalled every time.
"${pip[@]}" install --force-reinstall --no-deps .
"${pip[@]}" install -r tests/requirements.txt
"$venv/bin/python" -m pytest -q -p no:cacheprovider tests/python "$@"
