# Sourced by the platform scripts: Debian roots made with debootstrap, kept
# outside the clone under $LARKSPUR_CACHE (default /var/cache/larkspur), and
# commands run inside them with chroot. Needs root.
#   debian_root SUITE NAME PACKAGE...
#       sets DEBIAN_ROOT to $LARKSPUR_CACHE/NAME-root, a minbase root of SUITE
#       with PACKAGE... installed; made only when missing or when the package
#       list changed, so a warm cache costs nothing.
#   in_root ROOT COMMAND...
#       runs COMMAND (a shell command line) in ROOT as root, with /proc, /dev
#       and /sys mounted for its duration.
#   copy_tree ROOT DIR
#       puts the clone's files (tracked and untracked, not ignored) at DIR
#       inside ROOT, replacing what was there.
LARKSPUR_CACHE=${LARKSPUR_CACHE:-/var/cache/larkspur}
DEBIAN_MIRROR=${DEBIAN_MIRROR:-http://deb.debian.org/debian}

debian_root() {
    local suite=$1 name=$2
    shift 2
    DEBIAN_ROOT=$LARKSPUR_CACHE/$name-root
    local wanted="$suite $*"
    if [ "$(cat "$DEBIAN_ROOT/.larkspur-root" 2>/dev/null)" = "$wanted" ]; then return 0; fi
    local start=$SECONDS
    if ! command -v debootstrap >/dev/null; then
        DEBIAN_FRONTEND=noninteractive apt-get install -y -qq debootstrap >/dev/null
    fi
    if [ ! -e "$DEBIAN_ROOT/.larkspur-bootstrapped" ]; then
        rm -rf "$DEBIAN_ROOT"
        mkdir -p "$LARKSPUR_CACHE"
        # An archived suite (bullseye once it leaves the main mirror) is
        # taken from archive.debian.org.
        debootstrap --variant=minbase "$suite" "$DEBIAN_ROOT" "$DEBIAN_MIRROR" >"$LARKSPUR_CACHE/$name-debootstrap.log" 2>&1 \
            || { rm -rf "$DEBIAN_ROOT"
                 debootstrap --variant=minbase "$suite" "$DEBIAN_ROOT" http://archive.debian.org/debian \
                     >"$LARKSPUR_CACHE/$name-debootstrap.log" 2>&1; } \
            || { echo "debian_root: debootstrap $suite failed; see $LARKSPUR_CACHE/$name-debootstrap.log" >&2; return 1; }
        touch "$DEBIAN_ROOT/.larkspur-bootstrapped"
    fi
    # The host's certificate bundle (the network's own authority included)
    # and pip configuration, or neither apt over https nor pip reaches out.
    mkdir -p "$DEBIAN_ROOT/etc/ssl/certs" "$DEBIAN_ROOT/root/.config/pip"
    cp /etc/ssl/certs/ca-certificates.crt "$DEBIAN_ROOT/etc/ssl/certs/ca-certificates.crt"
    printf '[global]\ncert = /etc/ssl/certs/ca-certificates.crt\n' > "$DEBIAN_ROOT/etc/pip.conf"
    [ -e /etc/pip.conf ] && cp /etc/pip.conf "$DEBIAN_ROOT/etc/pip.conf"
    [ -e "$HOME/.config/pip/pip.conf" ] && cp "$HOME/.config/pip/pip.conf" "$DEBIAN_ROOT/root/.config/pip/pip.conf"
    cp /etc/resolv.conf "$DEBIAN_ROOT/etc/resolv.conf" 2>/dev/null || true
    # A snapshot's Release file reads as expired: its date is not checked.
    printf 'Acquire::Check-Valid-Until "false";\nAcquire::Check-Date "false";\nAPT::Install-Recommends "false";\n' \
        > "$DEBIAN_ROOT/etc/apt/apt.conf.d/99larkspur"
    in_root "$DEBIAN_ROOT" "export DEBIAN_FRONTEND=noninteractive; apt-get -qq update && apt-get -qq -y install $* >/dev/null"
    # Again: installing ca-certificates there rebuilds the bundle without it.
    cp /etc/ssl/certs/ca-certificates.crt "$DEBIAN_ROOT/etc/ssl/certs/ca-certificates.crt"
    echo "$wanted" > "$DEBIAN_ROOT/.larkspur-root"
    echo "debian_root: $name ($suite) set up in $((SECONDS - start)) s"
}

in_root() {
    local root=$1
    shift
    local mounted=()
    local point
    for point in proc sys dev dev/pts dev/shm; do
        mkdir -p "$root/$point"
        if ! mountpoint -q "$root/$point"; then
            mount --bind "/$point" "$root/$point" && mounted=("$root/$point" "${mounted[@]}")
        fi
    done
    local status=0
    chroot "$root" /usr/bin/env -i HOME=/root PATH=/usr/local/sbin:/usr/local/bin:/usr/sbin:/usr/bin:/sbin:/bin \
        LANG=C.UTF-8 TERM=dumb /bin/bash -c "set -eo pipefail; $*" || status=$?
    for point in "${mounted[@]}"; do umount "$point" || umount -l "$point"; done
    return $status
}

copy_tree() {
    local root=$1 dir=$2
    rm -rf "${root:?}/${dir:?}"
    mkdir -p "$root/$dir"
    git ls-files -z --cached --others --exclude-standard \
        | while IFS= read -r -d '' file; do [ -e "$file" ] && printf '%s\0' "$file"; done \
        | tar --null -T - -cf - | tar -xf - -C "$root/$dir"
}
