#!/usr/bin/env bash
# Runs the whole Python suite on free-threaded CPython 3.13 with the GIL
# off, building that interpreter first on a machine that lacks it (see
# tools/free_threaded_python.sh), then checks that importing halvorn leaves
# the GIL off on its own: a module that does not declare itself safe without
# the GIL makes the interpreter turn it back on, with a RuntimeWarning.
set -euo pipefail
cd "$(dirname "$0")/.."

python=$(bash tools/free_threaded_python.sh)
# For free-threaded interpreters the newest hypothesis and mypy's parser
# (ast-serialize, with librt beside it) publish sources only, whose builds
# need a Rust toolchain from crates.io: wheels only for those makes pip take
# their newest releases that have wheels. Wheels only for everything would
# go back years instead, for the notebook kernel, whose tornado builds from
# source with the C compiler alone. pandas and pyarrow publish free-threaded
# wheels for some releases only, and pyarrow's sources need Arrow's C++
# libraries: wheels only for those too.
export PIP_ONLY_BINARY=hypothesis,ast-serialize,librt,pandas,pyarrow
status=0
PYTHON_GIL=0 bash tools/python_suite.sh "$python" 3.13t "$@" || status=$?

# Checked also after a failing suite: the two tell different things.
echo "== 3.13t: importing halvorn, warnings as errors, leaves the GIL off"
env -u PYTHON_GIL build/venv-3.13t/bin/python -W error -c '
import sys
import halvorn
assert not sys._is_gil_enabled(), "importing halvorn enabled the GIL"
' || status=1
exit "$status"
