#!/usr/bin/env bash
# Builds and runs the tests under the sanitizers, one mode per call:
#
#   tools/sanitize.sh asan     C++ tests with AddressSanitizer and UBSan (build/asan),
#                              and a short run of the stress program
#   tools/sanitize.sh tsan     C++ tests and the stress program with ThreadSanitizer (build/tsan)
#   tools/sanitize.sh python   the Python tests against the module built with AddressSanitizer
#                              and UBSan (build/asan-py); the interpreter itself is not built
#                              with them, so the runtime is preloaded
#   tools/sanitize.sh all      the three in turn
#   tools/sanitize.sh python-tsan
#                              the thread tests on free-threaded CPython built with
#                              ThreadSanitizer, against the module built with it (build/tsan-py);
#                              builds that interpreter first when it is missing, which takes
#                              long, so `all` leaves it out and the test command runs it as a
#                              stage of its own
#
# Works from a fresh clone (as root it installs the Debian packages it
# needs) and exits non-zero on any failing test and on any sanitizer report.
# STRESS_SECONDS overrides how long the stress program runs in asan and tsan.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$(pwd)

usage() {
    echo "usage: $0 asan|tsan|python|python-tsan|all" >&2
    exit 64
}
[ $# -eq 1 ] || usage

generator=()
command -v ninja >/dev/null && generator=(-G Ninja)
jobs=$(nproc 2>/dev/null || echo 2)

source tools/debian.sh
source tools/ctest.sh

# The runtime library of a sanitizer as the compiler links it; fails when
# the compiler does not have it.
runtime_library() {
    local path
    path=$(g++ -print-file-name="$1")
    if [ "$path" = "$1" ] || [ ! -e "$path" ]; then
        echo "g++ has no $1; install its sanitizer runtimes" >&2
        exit 1
    fi
    echo "$path"
}

# -O1, as sanitizer builds usually are: it compiles in about half the time
# of -O2, which is most of a run, and the tests stay fast.
build_type=(-DCMAKE_BUILD_TYPE=RelWithDebInfo "-DCMAKE_CXX_FLAGS_RELWITHDEBINFO=-O1 -g")

configure_and_build() {  # build dir, sanitizers, extra cmake arguments...
    local dir=$1 sanitizers=$2
    shift 2
    cmake -S . -B "$dir" "${generator[@]}" "${build_type[@]}" \
        -DHALVORN_SANITIZE="$sanitizers" "$@" >/dev/null
    cmake --build "$dir" --parallel "$jobs"
}

# The module alone, built with the given sanitizers for one interpreter.
build_module() {  # build dir, sanitizers, python
    cmake -S . -B "$1" "${generator[@]}" "${build_type[@]}" \
        -DHALVORN_SANITIZE="$2" -DHALVORN_BUILD_MODULE=ON \
        -DHALVORN_BUILD_TESTS=OFF -DPython_EXECUTABLE="$3" >/dev/null
    cmake --build "$1" --parallel "$jobs" --target halvorn
    # Laid out as the wheel lays it out, in $1/site: the extension, the
    # console script's module, the halvornfs package and the metadata that
    # names its fsspec entry point, side by side.
    rm -rf "$1/site"
    cmake --install "$1" --prefix "$1/site" >/dev/null
    python3 tools/dist_info.py "$1/site"
}

# Fails unless the interpreter imports halvorn from the sanitized build: an
# installed halvorn must not stand in for it.
check_module_from() {  # label, python, module dir
    local found
    found=$("$2" -c 'import halvorn; print(halvorn.__file__)')
    case $found in
        "$3"/*) echo "$1: testing $found" ;;
        *)
            echo "$1: halvorn comes from $found, not from $3" >&2
            return 1
            ;;
    esac
}

# Runs pytest; any report file the sanitizers left fails the run, also one
# written by a child process whose test looked only at its exit status.
pytest_with_reports() {  # label, python, reports dir, pytest arguments...
    local label=$1 python=$2 reports=$3 status=0
    shift 3
    "$python" -m pytest -q -p no:cacheprovider "$@" || status=$?
    if compgen -G "$reports/*" >/dev/null; then
        echo "$label: sanitizer reports:" >&2
        cat "$reports"/* >&2
        status=1
    fi
    return "$status"
}

run_stress() {  # program, label, threads
    local seconds=${STRESS_SECONDS:-20}
    echo "== $2: stress program, $3 threads for $seconds s"
    if ! "$1" --threads "$3" --seconds "$seconds"; then
        echo "$2: the stress program failed" >&2
        return 1
    fi
}

mode_asan() {
    echo "== asan: C++ tests with AddressSanitizer and UBSan (build/asan)"
    need_debian_packages g++ cmake libgtest-dev
    runtime_library libasan.so >/dev/null
    runtime_library libubsan.so >/dev/null
    configure_and_build build/asan address,undefined \
        -DHALVORN_BUILD_TESTS=ON -DHALVORN_BUILD_MODULE=OFF
    export ASAN_OPTIONS=detect_stack_use_after_return=1:strict_init_order=1
    export UBSAN_OPTIONS=halt_on_error=1:print_stacktrace=1
    run_ctest build/asan asan
    STRESS_SECONDS=${STRESS_SECONDS:-10} run_stress \
        build/asan/tests/cpp/stress/halvorn_core_stress asan 4
}

mode_tsan() {
    echo "== tsan: C++ tests and the stress program with ThreadSanitizer (build/tsan)"
    need_debian_packages g++ cmake libgtest-dev
    runtime_library libtsan.so >/dev/null
    configure_and_build build/tsan thread -DHALVORN_BUILD_TESTS=ON -DHALVORN_BUILD_MODULE=OFF
    # A report fails the process that made it, at once.
    export TSAN_OPTIONS=halt_on_error=1:second_deadlock_stack=1
    run_ctest build/tsan tsan
    run_stress build/tsan/tests/cpp/stress/halvorn_core_stress tsan 4
}

mode_python() {
    echo "== python: the Python tests on the module built with AddressSanitizer and UBSan (build/asan-py)"
    need_debian_packages g++ cmake
    local python asan module_dir reports
    python=$(python3 -c 'import sys; print(sys.executable)')
    if ! "$python" -c 'import sysconfig, os, sys
sys.exit(not os.path.exists(os.path.join(sysconfig.get_paths()["include"], "Python.h")))'; then
        need_debian_packages python3-dev
    fi
    "$python" -c 'import pytest, hypothesis, numpy, mypy' 2>/dev/null ||
        "$python" -m pip install -q --disable-pip-version-check -r tests/requirements.txt
    asan=$(runtime_library libasan.so)
    runtime_library libubsan.so >/dev/null

    build_module build/asan-py address,undefined "$python"
    module_dir=$root/build/asan-py/site

    # Reports go to files, so that one made in a child process (the shell
    # tests start interpreters of their own) is seen even when the test that
    # started it only looks at the exit status.
    reports=$root/build/asan-py/reports
    rm -rf "$reports" && mkdir -p "$reports"
    export LD_PRELOAD=$asan
    export ASAN_OPTIONS=detect_leaks=0:log_path=$reports/asan
    export UBSAN_OPTIONS=halt_on_error=1:print_stacktrace=1:log_path=$reports/ubsan
    export PYTHONPATH=$module_dir
    export PYTHONNOUSERSITE=1

    check_module_from python "$python" "$module_dir"
    local status=0
    pytest_with_reports python "$python" "$reports" tests/python || status=$?
    unset LD_PRELOAD
    return "$status"
}

mode_python_tsan() {
    echo "== python-tsan: the thread tests on free-threaded CPython and the module, both with ThreadSanitizer"
    need_debian_packages g++ cmake
    runtime_library libtsan.so >/dev/null
    local python prefix venv module_dir reports
    python=$(bash tools/free_threaded_python.sh --tsan)
    prefix=$(dirname "$(dirname "$python")")
    venv=$root/build/venv-3.13t-tsan

    # Setting up runs the instrumented interpreter through pip and CMake:
    # what it would report there is CPython's business, not these tests'.
    export TSAN_OPTIONS=report_bugs=0
    if ! "$venv/bin/python" -c "" 2>/dev/null; then
        rm -rf "$venv"
        "$python" -m venv "$venv"
    fi
    # The thread tests need pytest and its plugins alone; the other
    # requirements serve other files and cost minutes under the sanitizer.
    # Wheels only: for free-threaded builds some releases are sources that
    # need a Rust toolchain.
    local requirements
    mapfile -t requirements < <(grep -E '^pytest' tests/requirements.txt)
    PIP_ONLY_BINARY=:all: "$venv/bin/python" -m pip install -q --disable-pip-version-check \
        "${requirements[@]}"
    build_module build/tsan-py thread "$python"
    module_dir=$root/build/tsan-py/site

    export PYTHONPATH=$module_dir
    export PYTHONNOUSERSITE=1
    export PYTHON_GIL=0
    check_module_from python-tsan "$venv/bin/python" "$module_dir"

    # CPython's own suppressions for its free-threading races, and nothing
    # of ours. Reports go to files, as in the python mode, so one made in a
    # child interpreter is seen too; the first one ends its process.
    reports=$root/build/tsan-py/reports
    rm -rf "$reports" && mkdir -p "$reports"
    export TSAN_OPTIONS="suppressions=$prefix/tsan/suppressions_free_threading.txt:halt_on_error=1:second_deadlock_stack=1:log_path=$reports/tsan"
    pytest_with_reports python-tsan "$venv/bin/python" "$reports" tests/python/test_threads.py
}

case $1 in
    asan) mode_asan ;;
    tsan) mode_tsan ;;
    python) mode_python ;;
    python-tsan) mode_python_tsan ;;
    all)
        status=0
        for mode in asan tsan python; do
            start=$SECONDS
            # Each mode in a process of its own: its settings stay its own,
            # and a failure stops that mode (errexit is off inside an if).
            if bash "$0" "$mode"; then
                echo "== $mode: passed in $((SECONDS - start)) s"
            else
                echo "== $mode: FAILED after $((SECONDS - start)) s" >&2
                status=1
            fi
        done
        exit "$status"
        ;;
    *) usage ;;
esac
