# Sourced by the scripts in tools/: runs a build's C++ tests through CTest,
# showing only what did not pass, and fails unless every one of at least one
# test passed.
#
#   run_ctest BUILD_DIR LABEL [CTEST ARGUMENTS...]
run_ctest() {
    local dir=$1 label=$2 log="$1/ctest.log" count
    shift 2
    ctest --test-dir "$dir" --output-on-failure --parallel "$(nproc 2>/dev/null || echo 2)" "$@" 2>&1 |
        tee "$log" | grep -v -E '^ *(Start +[0-9]+:|[0-9]+/[0-9]+ Test +#[0-9]+: .* Passed)' || true
    count=$(sed -n 's/^[0-9]*% tests passed.* out of \([0-9]*\)$/\1/p' "$log")
    if ! grep -q '^100% tests passed' "$log" || [ -z "$count" ] || [ "$count" -eq 0 ]; then
        echo "$label: the C++ tests failed (log: $log)" >&2
        return 1
    fi
    echo "$label: $count C++ tests run, all passed"
}
