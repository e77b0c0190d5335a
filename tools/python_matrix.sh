#!/usr/bin/env bash
# Runs the Python suite (tools/python_suite.sh) on every CPython version the
# package declares in pyproject.toml's classifiers, each in its own virtual
# environment with the module built for it, and ends with a table of the
# versions and their results. A declared version with no interpreter on this
# machine is skipped, and the table says so; the run fails if any suite
# fails or if no version could be run at all.
#
# An interpreter is taken from pyenv's versions (PYENV_ROOT, ~/.pyenv by
# default; the newest patch release of each version) or else from
# pythonX.Y on PATH. Free-threaded builds are left out: they are not the
# interpreter the classifiers speak of.
set -euo pipefail
cd "$(dirname "$0")/.."

versions=$(sed -n 's/^ *"Programming Language :: Python :: \(3\.[0-9]*\)",$/\1/p' pyproject.toml)
[ -n "$versions" ] || {
    echo "no Python versions among the classifiers of pyproject.toml" >&2
    exit 1
}

# Succeeds if $1 runs and is a CPython of version $2 with the GIL.
is_cpython() {
    "$1" - "$2" >/dev/null 2>&1 <<'PY'
import platform, sys, sysconfig
wanted = tuple(int(part) for part in sys.argv[1].split("."))
assert platform.python_implementation() == "CPython"
assert sys.version_info[:2] == wanted
assert not sysconfig.get_config_var("Py_GIL_DISABLED")
PY
}

find_python() {  # version, e.g. 3.12
    local root=${PYENV_ROOT:-$HOME/.pyenv} candidate
    for candidate in $(ls -d "$root/versions/$1".* 2>/dev/null | grep -E "/$1\.[0-9]+$" | sort -V -r); do
        if is_cpython "$candidate/bin/python3" "$1"; then
            echo "$candidate/bin/python3"
            return
        fi
    done
    candidate=$(command -v "python$1" || true)
    if [ -n "$candidate" ] && is_cpython "$candidate" "$1"; then
        echo "$candidate"
    fi
}

rows=()
ran=0
failed=0
for version in $versions; do
    python=$(find_python "$version")
    if [ -z "$python" ]; then
        echo "== Python $version: no interpreter on this machine, skipped"
        rows+=("$version|skipped: no interpreter on this machine")
        continue
    fi
    echo "== Python $version: $python"
    log=$(mktemp)
    status=0
    bash tools/python_suite.sh "$python" "py$version" 2>&1 | tee "$log" | grep -v '^WARNING: Location' ||
        status=$?
    ran=$((ran + 1))
    result=$(tail -1 "$log" | sed 's/^[^:]*: //')
    rm -f "$log"
    if ((status)); then
        failed=$((failed + 1))
        result="FAILED: $result"
    fi
    rows+=("$version|$result")
done

echo
printf '%-8s %s\n' "python" "result"
for row in "${rows[@]}"; do
    printf '%-8s %s\n' "${row%%|*}" "${row#*|}"
done
((ran)) || {
    echo "no declared Python version has an interpreter here" >&2
    exit 1
}
((failed == 0))
