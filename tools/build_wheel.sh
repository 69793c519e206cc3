#!/usr/bin/env bash
# The wheel users install, for one interpreter of this machine's architecture:
# built by scikit-build-core with the wheel's link settings
# (LARKSPUR_MANYLINUX_COMPAT), then repaired by auditwheel, which tags it
# manylinux_2_28 (or older) and refuses a module that needs a newer glibc or
# C++ runtime than that policy allows; its report is printed.
# Usage: tools/build_wheel.sh PYTHON RAW DIST [pip wheel options...]
#   PYTHON  the interpreter the wheel is for; it builds without isolation, so
#           scikit-build-core must be installed in it
#   RAW     emptied, then receives the wheel as built
#   DIST    receives the repaired wheel (other wheels there are left alone)
# auditwheel and patchelf are taken from PATH; cmake and ninja too, unless
# PYTHON's environment has them.
set -euo pipefail
cd "$(dirname "$0")/.."
python=$1 raw=$2 dist=$3
shift 3
rm -rf "$raw"
mkdir -p "$dist"
"$python" -m pip wheel --quiet --disable-pip-version-check --no-build-isolation --no-deps \
    -C cmake.define.LARKSPUR_MANYLINUX_COMPAT=ON "$@" -w "$raw" .
built=$(ls "$raw"/larkspur-*.whl)
auditwheel repair --plat "manylinux_2_28_$(uname -m)" -w "$dist" "$built"
# The repaired wheel keeps the built one's name up to its platform tag.
auditwheel show "$dist/$(basename "$built" | sed 's/-linux_[^-]*\.whl$//')"-*manylinux*.whl
