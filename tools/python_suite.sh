#!/usr/bin/env bash
# Runs the whole Python test suite on one interpreter:
#
#   tools/python_suite.sh PYTHON LABEL
#
# PYTHON is the interpreter (a path or a command name); LABEL names its
# virtual environment, build/venv-LABEL, which is kept between runs so that
# the test requirements are not fetched again. The module is built for that
# interpreter and installed afresh every time, then tests/requirements.txt as
# it stands, then pytest runs tests/python. The last line says how it went:
#
#   LABEL (Python X.Y.Z): N passed
#
# Extra arguments for pytest can come after LABEL (for example -x or -k).
set -euo pipefail
cd "$(dirname "$0")/.."

if [ $# -lt 2 ]; then
    echo "usage: $0 PYTHON LABEL [PYTEST ARGUMENTS...]" >&2
    exit 64
fi
python=$1
label=$2
shift 2

venv=build/venv-$label
log=$venv/pytest.log

# A venv left half-made by an interrupted run (or made by an interpreter
# that has since been removed) is made again.
if ! "$venv/bin/python" -c "" 2>/dev/null; then
    rm -rf "$venv"
    "$python" -m venv "$venv"
fi
pip=("$venv/bin/python" -m pip -q --disable-pip-version-check)
"${pip[@]}" install -U pip
# Reinstalled from this tree every time: same version number, new code. The
# build folder is per wheel tag, so each interpreter rebuilds incrementally.
"${pip[@]}" install --force-reinstall --no-deps .
"${pip[@]}" install -r tests/requirements.txt

version=$("$venv/bin/python" -c 'import platform; print(platform.python_version())')
echo "== $label (Python $version): pytest"
status=0
"$venv/bin/python" -m pytest -q -p no:cacheprovider tests/python "$@" 2>&1 | tee "$log" ||
    status=$?
summary=$(grep -E '^=*.* in [0-9.]+s' "$log" | tail -1 | sed -E 's/^=+ //; s/ in [0-9.]+s.*//')
echo "$label (Python $version): ${summary:-no summary, see $log}"
exit "$status"
