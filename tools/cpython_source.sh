#!/usr/bin/env bash
# Prints the path of upstream CPython's source tarball for VERSION (3.13,
# 3.14, ...) as Debian's source package pythonVERSION carries it, downloading
# it first when the cache lacks it: the first of trixie, forky and sid whose
# source pool serves it. Exit status 2 when none does.
# Usage: tools/cpython_source.sh VERSION
# Debian's source packages come through a private apt configuration (its own
# sources, lists and cache under $LARKSPUR_CACHE/apt-src, default
# /var/cache/larkspur): the system's apt sources stay as they are.
set -euo pipefail
version=$1
cache=${LARKSPUR_CACHE:-/var/cache/larkspur}
apt_dir=$cache/apt-src
tarball() { ls "$apt_dir"/src/python"$version"_*.orig.tar.xz 2>/dev/null | tail -n 1 || true; }
orig=$(tarball)
if [ -z "$orig" ]; then
    mkdir -p "$apt_dir/parts" "$apt_dir/lists/partial" "$apt_dir/cache/archives/partial" "$apt_dir/src"
    suites=(trixie forky sid)
    for suite in "${suites[@]}"; do
        echo "deb-src [signed-by=/usr/share/keyrings/debian-archive-keyring.gpg] http://deb.debian.org/debian $suite main"
    done > "$apt_dir/sources.list"
    options=(-o Dir::Etc::SourceList="$apt_dir/sources.list" -o Dir::Etc::SourceParts="$apt_dir/parts"
             -o Dir::State::Lists="$apt_dir/lists" -o Dir::Cache="$apt_dir/cache"
             -o Acquire::Check-Valid-Until=false -o Debug::NoLocking=1)
    apt-get "${options[@]}" -qq update >&2 || true
    # Suite by suite: a bare package name asks for the newest version in any
    # of them, and when the pool does not serve that one apt does not fall
    # back to an older version that it does serve.
    for suite in "${suites[@]}"; do
        (cd "$apt_dir/src" && apt-get "${options[@]}" -qq --download-only source "python$version/$suite" >&2) || true
        orig=$(tarball)
        [ -z "$orig" ] || break
    done
fi
if [ -z "$orig" ]; then
    echo "cpython_source: no source of CPython $version is reachable" >&2
    exit 2
fi
echo "$orig"
