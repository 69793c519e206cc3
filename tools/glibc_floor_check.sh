#!/usr/bin/env bash
# The x86-64 cp313 wheel on the oldest glibc this project checks it on:
# Debian 11 (bullseye, glibc 2.31, which has neither __libc_single_threaded
# nor arc4random, so the wheel's own definitions of them are what runs).
#   * a bullseye root made with debootstrap (tools/debian_root.sh), cached
#     outside the clone;
#   * CPython 3.13 built inside it from Debian's source (trixie's python3.13,
#     fetched on this machine by tools/cpython_source.sh), cached in the root;
#   * the wheel from `make wheel` (dist/; built first when missing), with
#     NumPy's and pandas' manylinux wheels, in a fresh venv there, and the
#     pytest suite against it. The test-only extension modules are not built there (bullseye's
#     GCC 10 has no C++23), so their tests are skipped, as in the CI wheel
#     builds.
# Usage: tools/glibc_floor_check.sh
#   (run by `make glibc-floor`, after `make wheel`, and by the glibc-floor
#   stage of test-platforms; about 7 minutes when the root and its
#   interpreter must be made, 2.5 minutes when they are cached)
set -euo pipefail
cd "$(dirname "$0")/.."
start=$SECONDS
source tools/debian_root.sh

cp313_wheel() { ls dist/larkspur-*-cp313-cp313-manylinux*_x86_64.whl 2>/dev/null | head -n 1 || true; }
wheel=$(cp313_wheel)
if [ -z "$wheel" ]; then
    make --no-print-directory wheel
    wheel=$(cp313_wheel)
fi

debian_root bullseye bullseye build-essential libssl-dev zlib1g-dev libffi-dev libbz2-dev liblzma-dev \
    libsqlite3-dev libexpat1-dev xz-utils ca-certificates
root=$DEBIAN_ROOT
# sed, not head, reads all of ldd's output: under pipefail an early close
# would fail the stage on ldd's SIGPIPE.
in_root "$root" 'ldd --version | sed -n 1p'

if [ ! -e "$root/opt/python3.13/.complete" ]; then
    interpreter_start=$SECONDS
    orig=$(tools/cpython_source.sh 3.13)
    rm -rf "$root/work/cpython" "$root/opt/python3.13"
    mkdir -p "$root/work/cpython"
    tar -xf "$orig" -C "$root/work/cpython" --strip-components=1
    in_root "$root" "cd /work/cpython && ./configure -q --prefix=/opt/python3.13 --with-ensurepip=install >/dev/null \
        && make -s -j ${JOBS:-2} >/dev/null && make -s altinstall >/dev/null"
    rm -rf "$root/work/cpython"
    touch "$root/opt/python3.13/.complete"
    echo "glibc-floor: CPython 3.13 built in the bullseye root in $((SECONDS - interpreter_start)) s"
fi

copy_tree "$root" work/larkspur
rm -rf "$root/work/dist"
mkdir -p "$root/work/dist"
cp "$wheel" "$root/work/dist/"
in_root "$root" "
    rm -rf /work/check
    /opt/python3.13/bin/python3.13 -m venv /work/check
    /work/check/bin/python -m pip install --quiet --disable-pip-version-check --only-binary=:all: \\
        /work/dist/$(basename "$wheel") 'numpy>=2' -r /work/larkspur/requirements-test.txt
    /work/check/bin/python -c 'import ctypes, platform, larkspur, larkspur_tools._batch, numpy
libc = ctypes.CDLL(None)
print(\"glibc-floor: glibc\", platform.libc_ver()[1], \"NumPy\", numpy.__version__, larkspur.__file__)
assert platform.libc_ver()[1] == \"2.31\"
for name in (\"arc4random\", \"__libc_single_threaded\"):
    assert not hasattr(libc, name), name + \" is in this glibc: the wheel s own definition is not what runs\"'
    cd /work/check && LARKSPUR_NO_SUPPORT_MODULES=1 bin/python -m pytest -q -p no:cacheprovider -n ${JOBS:-2} /work/larkspur/tests/python"
echo "glibc-floor: passed in $((SECONDS - start)) s"
