#!/usr/bin/env bash
# Makes sure a free-threaded CPython 3.13 (built with --disable-gil) is
# installed, building it when it is not, and prints its interpreter's path
# on standard output; everything else goes to standard error and the log.
#
#   tools/free_threaded_python.sh          the plain free-threaded interpreter
#   tools/free_threaded_python.sh --tsan   one built with ThreadSanitizer too; CPython's
#                                          own TSan suppressions are kept in <prefix>/tsan/
#
# The source is the orig tarball of Debian 13's python3.13, fetched with
# `apt-get source` through a source list of our own, so the package
# registries are all the build needs and the system's apt configuration
# stays as it is. The interpreter is installed outside the clone, under
#   HALVORN_FT_PYTHON_PREFIX       (default $XDG_CACHE_HOME/halvorn/cpython-3.13t)
#   HALVORN_FT_TSAN_PYTHON_PREFIX  (default $XDG_CACHE_HOME/halvorn/cpython-3.13t-tsan)
# (XDG_CACHE_HOME is ~/.cache when unset), so a second run on the same
# machine only checks it and prints its path.
# A build takes minutes; its output goes to <prefix>.log.
set -euo pipefail
cd "$(dirname "$0")/.."

tsan=false
case ${1:-} in
    "") ;;
    --tsan) tsan=true ;;
    *)
        echo "usage: $0 [--tsan]" >&2
        exit 64
        ;;
esac

cache=${XDG_CACHE_HOME:-$HOME/.cache}/halvorn
if $tsan; then
    prefix=${HALVORN_FT_TSAN_PYTHON_PREFIX:-$cache/cpython-3.13t-tsan}
else
    prefix=${HALVORN_FT_PYTHON_PREFIX:-$cache/cpython-3.13t}
fi
python=$prefix/bin/python3.13t
log=$prefix.log

# An interpreter counts as installed once its build finished (the marker is
# written last) and it runs as a free-threaded build.
installed() {
    [ -e "$prefix/.halvorn-complete" ] && [ -x "$python" ] &&
        "$python" -c 'import sys, sysconfig
sys.exit(not sysconfig.get_config_var("Py_GIL_DISABLED"))' >/dev/null 2>&1
}

if installed; then
    echo "$python"
    exit 0
fi

mkdir -p "$(dirname "$prefix")"
# Two runs at once (a test run beside a hand-started build) would both
# build into the same place: the second waits and then finds it installed.
exec 9>"$prefix.lock"
if ! flock -n 9; then
    echo "free-threaded python: another run is building $prefix; waiting" >&2
    flock 9
fi
if installed; then
    echo "$python"
    exit 0
fi

source tools/debian.sh
# A compiler, and what pip and venv need of the interpreter: ssl and zlib
# for downloads and wheels, ctypes (libffi) for the packages that load libraries.
need_debian_packages build-essential pkg-config xz-utils libssl-dev zlib1g-dev libffi-dev

# The mirror this machine's Debian already uses, from its one-line or
# deb822 source lists; the security archive is not it.
debian_mirror() {
    local uri
    uri=$(cat /etc/apt/sources.list /etc/apt/sources.list.d/*.list \
        /etc/apt/sources.list.d/*.sources 2>/dev/null |
        grep -oE '(https?|file)://[^ ]*/debian/?( |$)' | grep -v security | head -n 1 |
        tr -d ' ') || true
    echo "${uri:-http://deb.debian.org/debian}"
}

# Fetches the orig tarball into $cache/source and prints its path. apt
# checks the download against the signed release file.
fetch_source() {
    local apt_dir=$cache/apt source_dir=$cache/source tarball
    tarball=$(ls "$source_dir"/python3.13_3.13.*.orig.tar.xz 2>/dev/null | tail -n 1) || true
    if [ -n "$tarball" ]; then
        echo "$tarball"
        return 0
    fi
    mkdir -p "$apt_dir/sources.list.d" "$apt_dir/lists/partial" \
        "$apt_dir/cache/archives/partial" "$source_dir"
    cat >"$apt_dir/sources.list.d/trixie-source.sources" <<EOF
Types: deb-src
URIs: $(debian_mirror)
Suites: trixie
Components: main
Signed-By: /usr/share/keyrings/debian-archive-keyring.gpg
EOF
    local apt_options=(
        -o Dir::Etc::SourceList=/dev/null
        -o "Dir::Etc::SourceParts=$apt_dir/sources.list.d"
        -o "Dir::State::Lists=$apt_dir/lists"
        -o "Dir::Cache=$apt_dir/cache"
        -o APT::Sandbox::User=root
    )
    apt-get "${apt_options[@]}" update -qq >&2
    (cd "$source_dir" && apt-get "${apt_options[@]}" source -qq --download-only python3.13 >&2)
    ls "$source_dir"/python3.13_3.13.*.orig.tar.xz | tail -n 1
}

work=""
# The build tree goes whatever happens; a failed build leaves nothing at $prefix.
trap '[ -z "$work" ] || rm -rf "$work"' EXIT

build() {
    local tarball source staging started=$SECONDS
    # CPython's own test modules are neither built nor installed: nothing
    # here runs CPython's tests, and they are a good part of the build.
    local configure_options=(--prefix="$prefix" --disable-gil --disable-test-modules)
    local install_options=()
    tarball=$(fetch_source)
    echo "free-threaded python: building from $(basename "$tarball") into $prefix" \
        "(log: $log)" >&2
    work=$(mktemp -d "$cache/build.XXXXXX")
    tar -xJf "$tarball" -C "$work"
    source=$(echo "$work"/Python-3.13.*)
    staging=$work/staging
    if $tsan; then
        # Installing runs the new interpreter to compile the whole standard
        # library to bytecode and to install pip: under the sanitizer that is
        # a quarter of an hour, more than the build. Modules are compiled when
        # first imported instead, and a venv brings its own pip.
        configure_options+=(--with-thread-sanitizer --with-ensurepip=no)
        install_options+=(PYTHON_FOR_BUILD=true)
        # -O1, as our own sanitizer builds: it compiles in far less time than
        # CPython's -O3, and the thread tests stay quick.
        configure_options+=("OPT=-g -O1 -Wall")
        # The new interpreter runs during the build: without CPython's own
        # suppressions its known races would flood the log.
        export TSAN_OPTIONS="suppressions=$source/Tools/tsan/suppressions_free_threading.txt"
    else
        configure_options+=(--with-ensurepip=install)
    fi
    (
        cd "$source"
        ./configure "${configure_options[@]}"
        make -j2
        # Installed into a staging folder first, then moved into place, so an
        # interrupted install never looks like a finished one.
        make install DESTDIR="$staging" COMPILEALL_OPTS=-j2 "${install_options[@]}"
    ) >"$log" 2>&1 || {
        echo "free-threaded python: the build failed; the end of $log:" >&2
        tail -n 30 "$log" >&2
        return 1
    }
    rm -rf "$prefix"
    mv "$staging$prefix" "$prefix"
    if $tsan; then
        mkdir -p "$prefix/tsan"
        cp "$source"/Tools/tsan/*.txt "$prefix/tsan/"
    fi
    touch "$prefix/.halvorn-complete"
    echo "free-threaded python: built in $((SECONDS - started)) s" | tee -a "$log" >&2
}

build
if ! installed; then
    echo "free-threaded python: $python was built but does not run without the GIL" >&2
    exit 1
fi
echo "$python"
