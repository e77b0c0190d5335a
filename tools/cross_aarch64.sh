#!/usr/bin/env bash
# Cross-builds the core, the terminal and the C++ tests for 64-bit Arm Linux
# and runs them under qemu-user: GoogleTest first, from Debian's sources and
# with the same cross compiler (build/aarch64/googletest), then this tree
# (build/aarch64/halvorn), CTest, and a short run of the stress program.
# As root it installs the Debian packages it needs. STRESS_SECONDS sets how
# long the stress program runs (10 by default).
set -euo pipefail
cd "$(dirname "$0")/.."
root=$(pwd)

source tools/debian.sh
source tools/ctest.sh
need_debian_packages g++-aarch64-linux-gnu googletest qemu-user-static cmake

generator=()
command -v ninja >/dev/null && generator=(-G Ninja)
jobs=$(nproc 2>/dev/null || echo 2)
toolchain=(-DCMAKE_TOOLCHAIN_FILE="$root/cmake/aarch64-linux-gnu.cmake")
out=build/aarch64
gtest_prefix=$root/$out/googletest-install

if [ ! -f "$gtest_prefix/lib/cmake/GTest/GTestConfig.cmake" ]; then
    echo "== aarch64: GoogleTest from /usr/src/googletest"
    cmake -S /usr/src/googletest -B "$out/googletest" "${generator[@]}" "${toolchain[@]}" \
        -DCMAKE_BUILD_TYPE=Release -DCMAKE_INSTALL_PREFIX="$gtest_prefix" >/dev/null
    cmake --build "$out/googletest" --parallel "$jobs"
    cmake --install "$out/googletest" >/dev/null
fi

echo "== aarch64: core, terminal and C++ tests"
cmake -S . -B "$out/halvorn" "${generator[@]}" "${toolchain[@]}" \
    -DCMAKE_BUILD_TYPE=RelWithDebInfo -DHALVORN_BUILD_TESTS=ON -DHALVORN_BUILD_MODULE=OFF \
    -DGTest_DIR="$gtest_prefix/lib/cmake/GTest" >/dev/null
cmake --build "$out/halvorn" --parallel "$jobs"

tests=$out/halvorn/tests/cpp/halvorn_core_tests
stress=$out/halvorn/tests/cpp/stress/halvorn_core_stress
# Proof that what ran was Arm code, not a host build by mistake.
for program in "$tests" "$stress"; do
    readelf -h "$program" | grep -q 'Machine: *AArch64' || {
        echo "$program is not an AArch64 program" >&2
        exit 1
    }
done

# qemu-user ignores a program's limit on its address space (the limit would
# bind the emulator itself), so a test that needs memory to run out cannot
# make it run out here.
needs_address_space_limit=HostileRegressions.MemoryRunningOutInARemovalLeavesEveryFileWhole
echo "aarch64: not run under emulation: $needs_address_space_limit"
run_ctest "$out/halvorn" aarch64 -E "^$needs_address_space_limit\$"

seconds=${STRESS_SECONDS:-10}
echo "== aarch64: stress program, 4 threads for $seconds s under qemu-user"
qemu=$(command -v qemu-aarch64-static || command -v qemu-aarch64)
"$qemu" -L /usr/aarch64-linux-gnu "$stress" --threads 4 --seconds "$seconds"
