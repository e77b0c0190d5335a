#!/usr/bin/env bash
# Runs the Python suite on 64-bit Arm under qemu-user: the extension is
# cross-built on this machine for the Python of a Debian arm64 root
# (build/aarch64/debian-root), and pytest runs in that Python, emulated.
#
# The root is made once with debootstrap's first stage, which only
# downloads: the packages are then unpacked without running their scripts,
# since nothing here can run Arm programs except through qemu-user. The
# emulated interpreter sees the root's files in place of the host's (qemu's
# -L) and the host's everywhere else, so the tree, /tmp and /dev are shared.
# The test requirements come from Debian's arm64 packages, so no Python
# package is built under emulation. Two are left out, and the tests that
# need them skip themselves: mypy, since the stubs say the same on every
# machine and are checked on every interpreter natively, and the notebook
# kernel, whose test of many thousand reads would take minutes emulated.
# As root it installs the Debian packages it needs; DEBIAN_MIRROR overrides
# where the root's packages come from. Extra arguments go to pytest.
set -euo pipefail
cd "$(dirname "$0")/.."
here=$(pwd)

source tools/debian.sh
need_debian_packages g++-aarch64-linux-gnu qemu-user-static debootstrap cmake

generator=()
command -v ninja >/dev/null && generator=(-G Ninja)
jobs=$(nproc 2>/dev/null || echo 2)
out=$here/build/aarch64
root=$out/debian-root
python=$root/usr/local/bin/python3
packages=python3,libpython3-dev,python3-pytest,python3-hypothesis,python3-numpy

make_root() {
    echo "== aarch64 Python: Debian arm64 root ($root)"
    rm -rf "$root"
    mkdir -p "$out"
    debootstrap --foreign --arch=arm64 --variant=minbase --include="$packages" bookworm \
        "$root" "${DEBIAN_MIRROR:-http://deb.debian.org/debian}" >"$out/debootstrap.log"
    local deb
    for deb in "$root"/var/cache/apt/archives/*.deb; do
        dpkg-deb -x "$deb" "$root"
    done
    rm -f "$root"/var/cache/apt/archives/*.deb
    # What the packages' own scripts would have done: numpy finds BLAS and
    # LAPACK through links that Debian's alternatives make.
    local libs=$root/usr/lib/aarch64-linux-gnu
    ln -sf blas/libblas.so.3 "$libs/libblas.so.3"
    ln -sf lapack/liblapack.so.3 "$libs/liblapack.so.3"
    # The host's devices, terminals, /proc and /tmp, not the root's empty
    # stand-ins: qemu falls back to a host path only when the root lacks it.
    rm -rf "$root"/{dev,proc,sys,tmp,run}
    # The interpreter as the tests start it again (sys.executable): a host
    # script that runs the Arm one under qemu. Beside the root's own
    # interpreter, so that it finds its standard library.
    mkdir -p "$(dirname "$python")"
    cat >"$python" <<SH
#!/bin/sh
exec $(command -v qemu-aarch64-static) -L "$root" -0 "\$0" "$root/usr/bin/python3" "\$@"
SH
    chmod +x "$python"
    "$python" -c 'import platform; assert platform.machine() == "aarch64"'
    echo "$packages" >"$root/.complete"
}

[ "$(cat "$root/.complete" 2>/dev/null)" = "$packages" ] || make_root

echo "== aarch64 Python: the extension, cross-built"
# Debian's pyconfig.h picks the one of its architecture by path: the root's
# include folder of that architecture must be on the include path, and the
# cross compiler's own headers before the rest of the root's.
mkdir -p "$out/python-include"
ln -sfn "$root/usr/include/aarch64-linux-gnu" "$out/python-include/aarch64-linux-gnu"
include=$("$python" -c 'import sysconfig; print(sysconfig.get_paths()["include"])')
cmake -S . -B "$out/module" "${generator[@]}" \
    -DCMAKE_TOOLCHAIN_FILE="$here/cmake/aarch64-linux-gnu.cmake" -DCMAKE_BUILD_TYPE=Release \
    -DHALVORN_BUILD_MODULE=ON -DHALVORN_BUILD_TESTS=OFF \
    -DPython_EXECUTABLE="$python" -DPython_INCLUDE_DIR="$include" \
    -DCMAKE_CXX_FLAGS="-isystem $out/python-include" >/dev/null
cmake --build "$out/module" --parallel "$jobs"
# Laid out as the wheel lays it out: the extension, the console script's
# module, the halvornfs package and the metadata that names its fsspec entry
# point, side by side.
module_dir=$out/site
rm -rf "$module_dir"
cmake --install "$out/module" --prefix "$module_dir" >/dev/null
python3 tools/dist_info.py "$module_dir"

# qemu-user ignores a program's limit on its address space (the limit would
# bind the emulator itself): memory cannot be made to run out here. And the
# resident memory a process reports is the emulator's, its cache of
# translated code included, so a peak measured against a line's length says
# nothing of the module there.
needs_address_space_limit=test_running_out_of_memory_is_a_memory_error
needs_own_resident_memory=test_a_line_costs_at_most_twice_its_length
echo "== aarch64 Python: pytest under qemu-user (not run: $needs_address_space_limit," \
    "$needs_own_resident_memory)"
export PYTHONPATH=$module_dir
export PYTHONNOUSERSITE=1
found=$("$python" -c 'import halvorn, platform; print(platform.machine(), halvorn.__file__)')
[[ $found == "aarch64 $module_dir/"* ]] || {
    echo "aarch64 Python: expected the Arm build of halvorn, found $found" >&2
    exit 1
}
"$python" -m pytest -q -rs -p no:cacheprovider tests/python \
    --deselect "tests/python/test_hostile_input.py::$needs_address_space_limit" \
    --deselect "tests/python/test_hostile_input.py::$needs_own_resident_memory" "$@"
