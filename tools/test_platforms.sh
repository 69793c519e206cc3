#!/usr/bin/env bash
# The builds beyond GCC on x86-64, each checked as far as this machine can:
#   clang    the whole project built with Clang 19, warnings as errors; the
#            native tests and the pytest suite against that build
#   aarch64  the statistical core and its native tests cross-compiled with
#            g++-aarch64-linux-gnu and run under qemu-user: the same golden
#            bits, and the Advanced SIMD kernel against the plain loop
#   zig      compiled (not linked, not run) with zig's Clang and its own C++
#            library: the core for Windows x86-64; the core and the Python
#            layer for macOS arm64 at the wheels' deployment target
# Usage: tools/test_platforms.sh [clang] [aarch64] [zig]   (default: all)
set -euo pipefail
cd "$(dirname "$0")/.."

VENV=.venv
PY=$VENV/bin/python
CMAKE=$VENV/bin/cmake
CTEST=$VENV/bin/ctest
NINJA=$(realpath $VENV/bin/ninja)
JOBS=${JOBS:-2}
stages=("$@")
[ ${#stages[@]} -gt 0 ] || stages=(clang aarch64 zig)

source tools/need_packages.sh

# The core: every translation unit of numerics/ and src/statistical_tests/.
core_sources=(numerics/*.cpp src/statistical_tests/*.cpp)

stage_clang() {
    need_packages clang-19
    local dir=build/clang
    CC=clang-19 CXX=clang++-19 $CMAKE -S . -B $dir -G Ninja -DCMAKE_MAKE_PROGRAM="$NINJA" \
        -DCMAKE_BUILD_TYPE=Release -DLARKSPUR_BUILD_TESTS=ON -DPython_EXECUTABLE="$(realpath $PY)" >/dev/null
    $CMAKE --build $dir -j "$JOBS"
    $CTEST --test-dir $dir --output-on-failure -j "$JOBS"
    LARKSPUR_MODULE_DIR=$(realpath $dir) LARKSPUR_SUPPORT_DIR=$(realpath $dir)/python_support \
        $PY -m pytest -q -p no:cacheprovider tests/python
    # The suite imported the module from the build tree, and Clang built it.
    LARKSPUR_MODULE_DIR=$(realpath $dir) $PY -c '
import os, sys
sys.path.insert(0, os.environ["LARKSPUR_MODULE_DIR"])
import larkspur
assert larkspur.__file__.startswith(os.environ["LARKSPUR_MODULE_DIR"]), larkspur.__file__'
    readelf -p .comment $dir/larkspur.*.so | grep -q 'clang version 19'
}

stage_aarch64() {
    need_packages g++-aarch64-linux-gnu qemu-user googletest
    local dir=build/aarch64
    $CMAKE -S . -B $dir -G Ninja -DCMAKE_MAKE_PROGRAM="$NINJA" \
        -DCMAKE_TOOLCHAIN_FILE=cmake/aarch64-linux-gnu.cmake -DCMAKE_BUILD_TYPE=Release \
        -DLARKSPUR_CORE_ONLY=ON -DLARKSPUR_BUILD_TESTS=ON -DLARKSPUR_GTEST_SOURCE_DIR=/usr/src/googletest >/dev/null
    $CMAKE --build $dir -j "$JOBS"
    aarch64-linux-gnu-readelf -h $dir/tests/native/core_tests | grep -q 'AArch64'
    local log=$dir/ctest.log
    $CTEST --test-dir $dir --output-on-failure -j "$JOBS" | tee $log
    # The Advanced SIMD kernel must have run, not been skipped.
    local neon_passed
    neon_passed=$(grep -c '/neon \.*   Passed' $log || true)
    if [ "$neon_passed" -lt 3 ]; then
        echo "test-platforms: the neon kernel's differential tests did not all run ($neon_passed passed)" >&2
        exit 1
    fi
}

# macOS deployment target of the wheels (pyproject.toml): the oldest macOS the
# code's use of the C++ library allows. zig's own libc++ headers carry
# Apple's availability markup, which zig turns off for its static libc++;
# turned back on, a call that macOS 11's libc++.dylib lacks is a compile
# error. std::pmr has no such markup, so the objects' undefined symbols are
# checked for it too (its pool resources need macOS 14).
MACOS_TARGET=11.0

stage_zig() {
    $PY -m pip install --quiet --disable-pip-version-check ziglang
    local flags=(-std=c++23 -O2 -I. -ffp-contract=off -fno-fast-math
                 -Wall -Wextra -Wpedantic -Wshadow -Wconversion -Wsign-conversion -Werror)
    # The Python layer against this machine's CPython 3.13 headers: compile
    # only, and only for macOS, whose LP64 type sizes match those headers'.
    local python_include
    python_include=$($PY -c 'import sysconfig; print(sysconfig.get_paths()["include"])')
    local python_sources=(binding/*.cpp array_input/*.cpp src/lib/*.cpp)
    for target in aarch64-macos.$MACOS_TARGET x86_64-windows-gnu; do
        local out=build/zig/$target sources=("${core_sources[@]}") extra=()
        if [[ $target == *macos* ]]; then
            sources+=("${python_sources[@]}")
            extra=(-U_LIBCPP_HAS_VENDOR_AVAILABILITY_ANNOTATIONS -D_LIBCPP_HAS_VENDOR_AVAILABILITY_ANNOTATIONS=1
                   -isystem "$python_include")
        fi
        rm -rf "$out"
        mkdir -p "$out"
        for source in "${sources[@]}"; do
            local object
            object=$out/$(basename "$source" .cpp).o
            $PY -m ziglang c++ -target "$target" "${flags[@]}" "${extra[@]}" -c "$source" -o "$object"
            test -s "$object"
        done
        # Mach-O objects: GNU nm cannot read them, the mangled names can be.
        if [[ $target == *macos* ]] && grep -q 'NSt3__13pmr' "$out"/*.o; then
            echo "test-platforms: std::pmr is referenced; it needs macOS 14, above the target $MACOS_TARGET" >&2
            exit 1
        fi
        echo "zig: compiles for $target (${#sources[@]} files)"
    done
}

for stage in "${stages[@]}"; do
    echo "=== test-platforms: $stage"
    start=$SECONDS
    "stage_$stage"
    echo "=== test-platforms: $stage passed in $((SECONDS - start)) s"
done
