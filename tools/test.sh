#!/usr/bin/env bash
# Installs what the tests need, then runs every test: the C++ core through
# CTest and the Python module through pytest, then the same tests under the
# sanitizers and each fuzzer for a bounded time. Safe to run on a fresh
# machine (as root it installs Debian packages itself) and again on a used
# one. `--quick` stops after the ordinary C++ and Python tests.
set -euo pipefail
cd "$(dirname "$0")/.."

quick=false
[ "${1:-}" = "--quick" ] && quick=true

source tools/debian.sh
need_debian_packages g++ cmake libgtest-dev strace

python3 -m pip install -q --disable-pip-version-check -r tests/requirements.txt

generator=()
command -v ninja >/dev/null && generator=(-G Ninja)

echo "== C++ tests"
cmake -S . -B build/tests "${generator[@]}" -DCMAKE_BUILD_TYPE=RelWithDebInfo \
    -DHALVORN_BUILD_TESTS=ON -DHALVORN_BUILD_MODULE=OFF >/dev/null
cmake --build build/tests --parallel
ctest --test-dir build/tests --output-on-failure --parallel 2

echo "== Python tests"
python3 -m pip install -q --disable-pip-version-check .
python3 -m pytest -q tests/python

$quick && exit 0

echo "== Sanitizers"
bash tools/sanitize.sh all

echo "== Fuzzing"
bash tools/fuzz.sh "${FUZZ_SECONDS:-60}"
