#!/usr/bin/env bash
# Builds the libFuzzer targets of fuzz/ with clang-16 in build/fuzz and runs
# each for the given number of seconds (default 60) on a scratch copy of its
# seed corpus, so that the inputs a run discovers never land in the
# repository. Prints the executions of each target and exits non-zero if any
# of them crashed, hung or broke an invariant; the input that did it is kept
# in build/fuzz/crashes/<target>/.
set -euo pipefail
cd "$(dirname "$0")/.."

seconds="${1:-60}"
if ! [[ "$seconds" =~ ^[1-9][0-9]*$ ]]; then
    echo "usage: tools/fuzz.sh [seconds-per-target]" >&2
    exit 2
fi

source tools/debian.sh
need_debian_packages clang-16 libclang-rt-16-dev cmake

generator=()
command -v ninja >/dev/null && generator=(-G Ninja)
cmake -S . -B build/fuzz "${generator[@]}" -DCMAKE_CXX_COMPILER=clang++-16 \
    -DCMAKE_BUILD_TYPE=RelWithDebInfo -DHALVORN_BUILD_FUZZ=ON -DHALVORN_BUILD_MODULE=OFF \
    -DHALVORN_BUILD_TESTS=OFF -DHALVORN_BUILD_BENCH=OFF -DHALVORN_SANITIZE= >/dev/null
cmake --build build/fuzz --parallel

scratch="$(mktemp -d)"
trap 'rm -rf "$scratch"' EXIT
failed=()
for target in core terminal paths; do
    work="$scratch/$target"
    mkdir -p "$work/corpus" "$work/artifacts"
    cp fuzz/corpus/"$target"/* "$work/corpus/"
    status=0
    "build/fuzz/fuzz/${target}_fuzz" "$work/corpus" -max_total_time="$seconds" -timeout=10 \
        -rss_limit_mb=2048 -print_final_stats=1 -artifact_prefix="$work/artifacts/" \
        >"$work/log" 2>&1 || status=$?
    executions="$(sed -n 's/^stat::number_of_executed_units: *//p' "$work/log")"
    # A run cut short by a crash prints no final figures; its last status line counts.
    [ -n "$executions" ] || executions="$(grep -o '^#[0-9]*' "$work/log" | tail -n 1 | tr -d '#')"
    if [ "$status" -eq 0 ]; then
        echo "$target: ${executions:-0} executions in ${seconds} s, no crash"
    else
        failed+=("$target")
        kept="build/fuzz/crashes/$target"
        mkdir -p "$kept"
        cp "$work/artifacts/"* "$kept/" 2>/dev/null || true
        echo "$target: FAILED (exit $status) after ${executions:-0} executions; inputs in $kept"
        tail -n 40 "$work/log"
    fi
done

if ((${#failed[@]})); then
    echo "fuzzing failed: ${failed[*]}" >&2
    exit 1
fi
