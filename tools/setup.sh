#!/usr/bin/env bash
# One-time set-up of a fresh machine: system packages, the .venv with
# CPython 3.13, and the Python build and test requirements. Idempotent and
# quick when everything is already there.
set -euo pipefail
cd "$(dirname "$0")/.."

apt_updated=0
apt_install() {
    if [ "$(id -u)" != 0 ]; then
        echo "setup: need root to install $* with apt-get" >&2
        exit 1
    fi
    if [ "$apt_updated" = 0 ]; then
        DEBIAN_FRONTEND=noninteractive apt-get update -qq
        apt_updated=1
    fi
    DEBIAN_FRONTEND=noninteractive apt-get install -y -qq "$@" >/dev/null
}

# GoogleTest for the native suites.
if [ ! -f /usr/include/gtest/gtest.h ]; then
    apt_install libgtest-dev
fi

python=$(tools/find_python.sh || true)
if [ -z "$python" ]; then
    apt_install python3.13 python3.13-venv python3.13-dev
    python=$(tools/find_python.sh)
fi
if [ "$python" = /usr/bin/python3.13 ]; then
    # Debian splits venv support and the C headers into their own packages.
    dpkg -s python3.13-venv python3.13-dev >/dev/null 2>&1 || apt_install python3.13-venv python3.13-dev
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
