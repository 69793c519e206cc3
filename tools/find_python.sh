#!/usr/bin/env bash
# Prints the path of a working CPython 3.13 interpreter, or fails.
# Order: python3.13 on PATH (pyenv shims on PATH may exist without working),
# then pyenv's installed 3.13 builds, then Debian's /usr/bin/python3.13.
set -u

works() {
    "$1" -c 'import sys; sys.exit(0 if sys.version_info[:2] == (3, 13) else 1)' >/dev/null 2>&1
}

if command -v python3.13 >/dev/null 2>&1 && works python3.13; then
    python3.13 -c 'import sys; print(sys.executable)'
    exit 0
fi
if command -v pyenv >/dev/null 2>&1; then
    for candidate in "$(pyenv root)"/versions/3.13*/bin/python3.13; do
        if [ -x "$candidate" ] && works "$candidate"; then
            echo "$candidate"
            exit 0
        fi
    done
fi
for candidate in "${HOME:-/root}"/.pyenv/versions/3.13*/bin/python3.13 /usr/bin/python3.13; do
    if [ -x "$candidate" ] && works "$candidate"; then
        echo "$candidate"
        exit 0
    fi
done
echo "no CPython 3.13 found (tried PATH, pyenv, /usr/bin/python3.13)" >&2
exit 1
