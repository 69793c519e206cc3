#!/usr/bin/env bash
# One-time set-up of a fresh machine: system packages, the .venv with
# CPython 3.13, and the Python build and test requirements. Idempotent and
# quick when everything is already there.
set -euo pipefail
cd "$(dirname "$0")/.."

source tools/need_packages.sh

# GoogleTest for the native suites; clang-format for make format-check.
[ -f /usr/include/gtest/gtest.h ] || need_packages libgtest-dev
command -v clang-format-19 >/dev/null 2>&1 || need_packages clang-format-19
# The compiler cache every build tree uses (the Makefile's launcher).
command -v ccache >/dev/null 2>&1 || need_packages ccache

python=$(tools/find_python.sh || true)
if [ -z "$python" ]; then
    need_packages python3.13 python3.13-venv python3.13-dev
    python=$(tools/find_python.sh)
fi
if [ "$python" = /usr/bin/python3.13 ]; then
    # Debian splits venv support and the C headers into their own packages.
    need_packages python3.13-venv python3.13-dev
fi

if [ ! -x .venv/bin/python ] || ! .venv/bin/python -c 'import sys; sys.exit(sys.version_info[:2] != (3, 13))'; then
    rm -rf .venv
    "$python" -m venv .venv
fi

stamp=.venv/.requirements-installed
if [ ! -f "$stamp" ] || [ requirements-dev.txt -nt "$stamp" ]; then
    .venv/bin/python -m pip install --quiet --disable-pip-version-check --upgrade pip
    .venv/bin/python -m pip install --quiet --disable-pip-version-check -r requirements-dev.txt
    touch "$stamp"
fi
