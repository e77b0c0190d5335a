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

apt_packages=(g++ cmake libgtest-dev strace)
missing=()
for package in "${apt_packages[@]}"; do
    dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q "ok installed" || missing+=("$package")
done
if ((${#missing[@]})); then
    if [ "$(id -u)" -eq 0 ]; then
        apt-get update -qq
        DEBIAN_FRONTEND=noninteractive apt-get install -y -qq "${missing[@]}"
    else
        echo "Missing Debian packages: ${missing[*]} (run as root to install them)" >&2
        exit 1
    fi
fi

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
