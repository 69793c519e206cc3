#!/usr/bin/env bash
# Set-up for the documentation site: KaTeX and Node.js (the formulas are
# typeset at build time) and headless Chromium, all from Debian (the site and
# its check never touch the network), and the `docs` extra of pyproject.toml
# in .venv. Idempotent and quick when done.
set -euo pipefail
cd "$(dirname "$0")/.."

source tools/need_packages.sh

need_packages libjs-katex nodejs chromium chromium-driver

stamp=.venv/.docs-requirements-installed
if [ ! -f "$stamp" ] || [ pyproject.toml -nt "$stamp" ]; then
    # Only the extra's requirements: the package itself is installed by
    # `make install` from the build tree.
    requirements=$(.venv/bin/python - <<'PY'
import tomllib
with open("pyproject.toml", "rb") as f:
    print("\n".join(tomllib.load(f)["project"]["optional-dependencies"]["docs"]))
PY
)
    # shellcheck disable=SC2086
    .venv/bin/python -m pip install --quiet --disable-pip-version-check $requirements
    touch "$stamp"
fi
