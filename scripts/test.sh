#!/usr/bin/env bash
# Sets up everything on a fresh machine and runs the test suite:
# a virtualenv of its own, the CPU build of torch, the other dependencies,
# the extension built from this checkout, then pytest.
set -euo pipefail
cd "$(dirname "$0")/.."

PYTHON=${PYTHON:-python3}
VENV=${VENV:-.venv}

[ -x "$VENV/bin/python" ] || "$PYTHON" -m venv "$VENV"
pip=("$VENV/bin/python" -m pip install --quiet --disable-pip-version-check)
"${pip[@]}" "torch==2.13.0"
"${pip[@]}" numpy scipy mujoco pytest hypothesis
"${pip[@]}" --config-settings=build-dir=build/wheel .
exec "$VENV/bin/python" -m pytest -q "$@"
