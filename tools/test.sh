#!/usr/bin/env bash
# Installs what the tests need, then runs every test: the C++ core through
# CTest and the Python module through pytest on every supported interpreter,
# then the C++ and Python tests on aarch64 under emulation, the sdist and
# the wheel from fresh environments, the tests under the sanitizers and each
# fuzzer for a bounded time. Safe to run on a fresh machine (as root it
# installs Debian packages itself) and again on a used one. `--quick` stops
# after the ordinary C++ and Python tests.
#
# Every step is a named stage; a table of the stages and their times closes
# the run, also when a stage fails.
set -euo pipefail
cd "$(dirname "$0")/.."

quick=false
[ "${1:-}" = "--quick" ] && quick=true

stage_names=()
stage_seconds=()
run_started=$SECONDS

print_stage_table() {
    local i
    ((${#stage_names[@]})) || return 0
    echo
    printf '%-44s %8s\n' "stage" "seconds"
    for i in "${!stage_names[@]}"; do
        printf '%-44s %8s\n' "${stage_names[$i]}" "${stage_seconds[$i]}"
    done
    printf '%-44s %8s\n' "total" "$((SECONDS - run_started))"
}
trap print_stage_table EXIT

# stage NAME COMMAND...: runs one step and records how long it took; a
# failing step ends the run with its status, after the table.
stage() {
    local name=$1 started=$SECONDS status
    shift
    echo "== $name"
    # A subshell of its own, outside any || list, so that `set -e` holds
    # inside the step's functions too.
    set +e
    (
        set -e
        "$@"
    )
    status=$?
    set -e
    stage_names+=("$name")
    if ((status)); then
        stage_seconds+=("FAILED")
        exit "$status"
    fi
    stage_seconds+=("$((SECONDS - started))")
}

generator=()
command -v ninja >/dev/null && generator=(-G Ninja)

setup() {
    source tools/debian.sh
    need_debian_packages g++ cmake ccache libgtest-dev strace
    python3 -m pip install -q --disable-pip-version-check -r tests/requirements.txt
}

cpp_tests() {
    cmake -S . -B build/tests "${generator[@]}" -DCMAKE_BUILD_TYPE=RelWithDebInfo \
        -DHALVORN_BUILD_TESTS=ON -DHALVORN_BUILD_MODULE=OFF >/dev/null
    cmake --build build/tests --parallel
    ctest --test-dir build/tests --output-on-failure --parallel 2
}

stage "Setup" setup
stage "C++ tests" cpp_tests
stage "Python tests" bash tools/python_matrix.sh

$quick && exit 0

stage "aarch64 C++ tests" bash tools/cross_aarch64.sh
stage "aarch64 Python tests" bash tools/aarch64_python.sh
stage "sdist and wheel" bash tools/artifacts.sh
stage "Sanitizers" bash tools/sanitize.sh all
stage "Python 3.13t, GIL off" bash tools/free_threaded_suite.sh
stage "Thread tests under TSan" bash tools/sanitize.sh python-tsan
stage "Fuzzing" bash tools/fuzz.sh "${FUZZ_SECONDS:-60}"
