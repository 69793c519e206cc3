#!/usr/bin/env bash
# Prints the path of a free-threaded CPython (configure --disable-gil) built
# from Debian's source package, building it first when its cache is missing.
# Usage: tools/free_threaded_python.sh [VERSION] [plain|tsan|aarch64] [cached]
#   VERSION  3.13 (default) or 3.14: the source comes from the first of
#            trixie, forky, sid whose source pool serves pythonVERSION; fails
#            (exit 2) when none does.
#   tsan     the interpreter built with ThreadSanitizer (--with-thread-sanitizer)
#   aarch64  cross-built for arm64 Linux with g++-aarch64-linux-gnu, to run
#            under qemu-aarch64 (-L a sysroot with glibc 2.36 or newer and
#            Debian's libffi8, zlib1g, libbz2-1.0 and liblzma5)
#   cached   never build: exit 3 when the interpreter is not in the cache
# The interpreter lives outside the clone, in $LARKSPUR_CACHE (default
# /var/cache/larkspur)/pythonVERSIONt[-tsan|-aarch64]; a build takes ~10
# minutes on two cores and is kept until the directory is removed. Messages
# go to stderr, the path alone to stdout.
set -euo pipefail
cd "$(dirname "$0")/.."
version=${1:-3.13}
variant=${2:-plain}
cache=${LARKSPUR_CACHE:-/var/cache/larkspur}
suffix=""
[ "$variant" != plain ] && suffix=-$variant
prefix=$cache/python${version}t$suffix
python=$prefix/bin/python${version}t

if [ -x "$python" ] && [ -e "$prefix/.complete" ]; then
    echo "$python"
    exit 0
fi
[ "${3:-}" != cached ] || exit 3
exec 3>&1 1>&2
start=$SECONDS
source tools/need_packages.sh
if [ "$variant" = aarch64 ]; then
    need_packages g++-aarch64-linux-gnu qemu-user pkgconf
else
    need_packages build-essential dpkg-dev libssl-dev zlib1g-dev libffi-dev libbz2-dev liblzma-dev \
        libsqlite3-dev libreadline-dev libexpat1-dev
fi

status=0
orig=$(tools/cpython_source.sh "$version") || status=$?
[ $status = 0 ] || exit $status

# Upstream's tarball as it is (Debian's patches serve its own layout).
work=$cache/build-python${version}t$suffix
rm -rf "$work" "$prefix"
mkdir -p "$work/src"
tar -xf "$orig" -C "$work/src" --strip-components=1
configure=(--prefix="$prefix" --disable-gil --without-static-libpython)
run=("$python")
# The TSan interpreter runs only the threaded tests: without CPython's own
# test suite (half the library, and so half the bytecode that installing
# compiles, which under TSan takes most of the build's time). The plain one
# keeps _testcapi, which the allocation-failure tests use.
case $variant in
plain) configure+=(--with-ensurepip=install) ;;
tsan) configure+=(--with-ensurepip=install --with-thread-sanitizer --disable-test-modules) ;;
aarch64)
    # A cross build runs none of its own programs: the generated sources,
    # the module set-up and the installed bytecode come from an interpreter
    # on this machine, which runs the new source's Lib/ and so must be of
    # the same release (3.13.0 from find_python.sh fails in linecache
    # against 3.13.5's library): the x86-64 free-threaded one, built from
    # the same tarball. No pip (ensurepip would run the target): the test
    # dependencies come from the host's pip (--target).
    build_python=$(tools/free_threaded_python.sh "$version" plain)
    # The libraries of the modules that NumPy, pandas and the suite import
    # (_ctypes, zlib, _bz2, _lzma) are Debian trixie's arm64 ones, headers
    # and libraries only, unpacked apart from any C library: the cross
    # compiler's glibc 2.36 stays the one linked against (these need 2.34 at
    # most), so the interpreter runs on any newer one. pkg-config sees only
    # them. Whatever else configure looks for is absent from the cross
    # compiler's search paths, and its module is not built (_ssl, _sqlite3,
    # readline, ...).
    source tools/debian_arm64.sh
    arm64_apt "$work/apt" trixie
    mkdir -p "$work/debs"
    (cd "$work/debs" && apt-get "${ARM64_APT[@]}" -qq download libffi-dev libffi8 zlib1g-dev zlib1g \
        libbz2-dev libbz2-1.0 liblzma-dev liblzma5 2>/dev/null)
    deps=$work/deps
    for deb in "$work"/debs/*.deb; do dpkg-deb -x "$deb" "$deps"; done
    # configure cannot run its probes for the target: what they would find
    # on Linux (a pseudo-terminal device, a working getaddrinfo) is given.
    export PKG_CONFIG_LIBDIR=$deps/usr/lib/aarch64-linux-gnu/pkgconfig PKG_CONFIG_SYSROOT_DIR=$deps
    configure+=(--host=aarch64-linux-gnu --build=x86_64-pc-linux-gnu --with-build-python="$build_python"
                --without-ensurepip ac_cv_file__dev_ptmx=yes ac_cv_file__dev_ptc=no ac_cv_buggy_getaddrinfo=no
                CC=aarch64-linux-gnu-gcc CXX=aarch64-linux-gnu-g++ AR=aarch64-linux-gnu-ar
                READELF=aarch64-linux-gnu-readelf
                CPPFLAGS="-I$deps/usr/include -I$deps/usr/include/aarch64-linux-gnu"
                LDFLAGS="-L$deps/usr/lib/aarch64-linux-gnu")
    run=(qemu-aarch64 -L /usr/aarch64-linux-gnu -E LD_LIBRARY_PATH="$deps/usr/lib/aarch64-linux-gnu" "$python")
    ;;
*) echo "free_threaded_python: unknown variant $variant" >&2; exit 1 ;;
esac
(cd "$work/src" && ./configure -q "${configure[@]}" >/dev/null && make -s -j "${JOBS:-2}" >/dev/null \
    && make -s altinstall >/dev/null)
"${run[@]}" -c 'import sys; assert not sys._is_gil_enabled()'
# Without these NumPy, pandas or the suite would not import (a missing
# library makes configure skip its module silently).
[ "$variant" != aarch64 ] || "${run[@]}" -c 'import ctypes, zlib, bz2, lzma, decimal'
rm -rf "$work"
touch "$prefix/.complete"
echo "free_threaded_python: built CPython $version free-threaded ($variant) in $((SECONDS - start)) s"
echo "$python" >&3
