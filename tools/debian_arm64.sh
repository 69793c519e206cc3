# Sourced: Debian's arm64 packages through this machine's own package
# source, without touching the system's apt state.
#   arm64_apt DIR SUITE   a private apt configuration in DIR (its own sources
#                         list, lists, cache and an empty status file) for
#                         SUITE's arm64 packages, its lists updated; apt-get
#                         takes it from the array ARM64_APT
#   debian_mirror         the mirror of this machine's sources lists

debian_mirror() {
    local uri
    uri=$(cat /etc/apt/sources.list /etc/apt/sources.list.d/*.list /etc/apt/sources.list.d/*.sources 2>/dev/null \
        | grep -v '^[[:space:]]*#' | grep -oE '(https?|file)://[^ ]*/debian/?( |$)' | head -n 1 | tr -d ' ' || true)
    echo "${uri:-http://deb.debian.org/debian}"
}

arm64_apt() {
    local apt suite=$2
    mkdir -p "$1"
    apt=$(realpath "$1")
    mkdir -p "$apt/etc/parts" "$apt/state/lists/partial" "$apt/cache/archives/partial"
    : > "$apt/state/status"
    echo "deb [arch=arm64 signed-by=/usr/share/keyrings/debian-archive-keyring.gpg] $(debian_mirror) $suite main" \
        > "$apt/etc/sources.list"
    ARM64_APT=(-o Dir::Etc::sourcelist="$apt/etc/sources.list" -o Dir::Etc::sourceparts="$apt/etc/parts"
               -o Dir::Etc::preferencesparts="$apt/etc/parts" -o Dir::State="$apt/state"
               -o Dir::State::status="$apt/state/status" -o Dir::Cache="$apt/cache"
               -o APT::Architecture=arm64 -o APT::Architectures::=arm64 -o Debug::NoLocking=1
               -o Acquire::Check-Valid-Until=false)
    apt-get "${ARM64_APT[@]}" -qq update
}
