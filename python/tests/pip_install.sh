#!/usr/bin/env bash
# SPDX-License-Identifier: Apache-2.0
# pip installs the package offline into a fresh virtual environment (with
# the system's packages, so setuptools is Debian's) and imports it from
# there against the libraries of VESTRA_LIB_DIR. pip builds in a copy of
# python/: it writes build/ and *.egg-info beside the sources it builds.
#   pip_install.sh PYTHON3 SOURCE_DIR/python
set -euo pipefail
py=$1
src=$2
tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT
mkdir "$tmp/src"
cp -r "$src/pyproject.toml" "$src/README.md" "$src/vestra" "$tmp/src/"
"$py" -m venv --system-site-packages "$tmp/venv"
"$tmp/venv/bin/python" -m pip install -q --no-build-isolation --no-index --no-cache-dir "$tmp/src"
cd "$tmp"
VENV="$tmp/venv" "$tmp/venv/bin/python" - <<'PY'
import os
import vestra
assert vestra.__file__.startswith(os.environ["VENV"]), vestra.__file__
try:
    vestra.Client("/nonexistent/v.sock")
    raise SystemExit("attach to a missing socket succeeded")
except vestra.VestraError as e:
    assert e.name == "ERR_V2X_SOCKET_CONECT", e
print("pip install: ok", vestra.__version__)
PY
