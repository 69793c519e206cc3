#!/usr/bin/env bash
# Runs the pytest suite against NumPy 1.26. NumPy 1.x has no wheel for
# CPython 3.13, so the extension and the test modules are built for CPython
# 3.12 (pyenv's or Debian's) into build/numpy1 with their own venv.
# Without a CPython 3.12 the check is skipped unless NUMPY1_REQUIRED=1.
set -euo pipefail
cd "$(dirname "$0")/.."
dir=build/numpy1
jobs=${JOBS:-2}

py312=""
for candidate in "$(pyenv root 2>/dev/null || echo "$HOME/.pyenv")"/versions/3.12*/bin/python3.12 /usr/bin/python3.12; do
    if [ -x "$candidate" ] && "$candidate" -c 'import venv' 2>/dev/null; then py312=$candidate; break; fi
done
if [ -z "$py312" ]; then
    echo "numpy1: skipped: no CPython 3.12 found"
    [ "${NUMPY1_REQUIRED:-0}" = 1 ] && exit 1
    exit 0
fi

[ -x "$dir/venv/bin/python" ] || "$py312" -m venv "$dir/venv"
"$dir/venv/bin/python" -m pip install --quiet --disable-pip-version-check \
    "numpy>=1.26,<2" "pandas<2.3" -r requirements-test.txt cmake ninja
# The project's one configure definition (CMakePresets.json), with this
# venv's cmake and ninja.
PATH="$PWD/$dir/venv/bin:$PATH" "$dir/venv/bin/cmake" --preset native -B "$dir" -DLARKSPUR_PYTHON_VERSION=3.12 \
    -DPython_EXECUTABLE="$PWD/$dir/venv/bin/python" >/dev/null
"$dir/venv/bin/cmake" --build "$dir" -j "$jobs" --target larkspur _batch _borrow_participant _binding_probe
"$dir/venv/bin/python" -c 'import numpy; print("numpy1: NumPy", numpy.__version__)'
LARKSPUR_MODULE_DIR="$PWD/$dir" LARKSPUR_SUPPORT_DIR="$PWD/$dir/python_support" \
    "$dir/venv/bin/python" -m pytest -q -p no:cacheprovider -n "$jobs" tests/python
