#!/usr/bin/env bash
# Fresh-machine setup shared by the test and benchmark commands: a virtualenv
# of its own, the CPU build of torch, the other dependencies and the
# extension built from this checkout.  Extra arguments are more packages.
set -euo pipefail
cd "$(dirname "$0")/.."

PYTHON=${PYTHON:-python3}
VENV=${VENV:-.venv}

[ -x "$VENV/bin/python" ] || "$PYTHON" -m venv "$VENV"
pip=("$VENV/bin/python" -m pip install --quiet --disable-pip-version-check)
"${pip[@]}" "torch==2.13.0"
"${pip[@]}" numpy scipy mujoco pytest hypothesis tqdm matplotlib imageio imageio-ffmpeg "$@"
"${pip[@]}" --config-settings=build-dir=build/wheel .
