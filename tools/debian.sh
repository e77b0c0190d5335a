# Sourced by the scripts in tools/: installs the Debian packages a script
# needs when they are missing (as root, after refreshing the package
# lists), or says which are missing and stops.
need_debian_packages() {
    local missing=() package
    for package in "$@"; do
        dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q "ok installed" ||
            missing+=("$package")
    done
    ((${#missing[@]})) || return 0
    if [ "$(id -u)" -ne 0 ]; then
        echo "Missing Debian packages: ${missing[*]} (run as root to install them)" >&2
        exit 1
    fi
    # Another script may be installing at the same moment: wait for its lock.
    apt-get -o DPkg::Lock::Timeout=900 update -qq
    DEBIAN_FRONTEND=noninteractive apt-get -o DPkg::Lock::Timeout=900 install -y -qq \
        "${missing[@]}" >/dev/null
}
