#!/usr/bin/env bash
# Prints the path of a free-threaded CPython (configure --disable-gil) built
# from Debian's source package, building it first when its cache is missing.
# Usage: tools/free_threaded_python.sh [VERSION] [plain|tsan] [cached]
#   VERSION  3.13 (default) or 3.14: the source comes from the first of
#            trixie, forky, sid whose source pool serves pythonVERSION; fails
#            (exit 2) when none does.
#   tsan     the interpreter built with ThreadSanitizer (--with-thread-sanitizer)
#   cached   never build: exit 3 when the interpreter is not in the cache
# The interpreter lives outside the clone, in $LARKSPUR_CACHE (default
# /var/cache/larkspur)/pythonVERSIONt[-tsan]; a build takes ~10 minutes on two
# cores and is kept until the directory is removed. Messages go to stderr,
# the path alone to stdout.
set -euo pipefail
cd "$(dirname "$0")/.."
version=${1:-3.13}
variant=${2:-plain}
cache=${LARKSPUR_CACHE:-/var/cache/larkspur}
suffix=""
[ "$variant" = tsan ] && suffix=-tsan
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
need_packages build-essential dpkg-dev libssl-dev zlib1g-dev libffi-dev libbz2-dev liblzma-dev \
    libsqlite3-dev libreadline-dev libexpat1-dev

status=0
orig=$(tools/cpython_source.sh "$version") || status=$?
[ $status = 0 ] || exit $status

# Upstream's tarball as it is (Debian's patches serve its own layout).
work=$cache/build-python${version}t$suffix
rm -rf "$work" "$prefix"
mkdir -p "$work"
tar -xf "$orig" -C "$work" --strip-components=1
configure=(--prefix="$prefix" --disable-gil --with-ensurepip=install --without-static-libpython)
# The TSan interpreter runs only the threaded tests: without CPython's own
# test suite (half the library, and so half the bytecode that installing
# compiles, which under TSan takes most of the build's time). The plain one
# keeps _testcapi, which the allocation-failure tests use.
[ "$variant" = tsan ] && configure+=(--with-thread-sanitizer --disable-test-modules)
(cd "$work" && ./configure -q "${configure[@]}" >/dev/null && make -s -j "${JOBS:-2}" >/dev/null \
    && make -s altinstall >/dev/null)
rm -rf "$work"
"$python" -c 'import sys; assert not sys._is_gil_enabled()'
touch "$prefix/.complete"
echo "free_threaded_python: built CPython $version free-threaded ($variant) in $((SECONDS - start)) s"
echo "$python" >&3
