# Sourced by the set-up scripts: need_packages PACKAGE... installs with
# apt-get those of the named Debian packages that are not installed yet
# (running `apt-get update` once per script first). Needs root only when
# something is missing.
apt_updated=0
need_packages() {
    local missing=()
    for package in "$@"; do
        dpkg -s "$package" >/dev/null 2>&1 || missing+=("$package")
    done
    [ ${#missing[@]} -gt 0 ] || return 0
    if [ "$(id -u)" != 0 ]; then
        echo "$(basename "$0"): need root to install ${missing[*]} with apt-get" >&2
        exit 1
    fi
    if [ "$apt_updated" = 0 ]; then
        DEBIAN_FRONTEND=noninteractive apt-get update -qq
        apt_updated=1
    fi
    DEBIAN_FRONTEND=noninteractive apt-get install -y -qq "${missing[@]}" >/dev/null
}
