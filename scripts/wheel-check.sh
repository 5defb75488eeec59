#!/usr/bin/env bash
# The two wheels in a fresh virtualenv: builds the extension's wheel and the
# tools' wheel into build/wheel-check/dist, installs both (with torch==2.13.0
# and the pinned dependencies) into a new virtualenv, checks that the
# extension's wheel holds no model files, and runs the commands from an empty
# directory outside the checkout.
set -euo pipefail
cd "$(dirname "$0")/.."
source scripts/venv.sh
export PIP_CONSTRAINT="$PWD/constraints.txt"
work=$PWD/build/wheel-check
rm -rf "$work/dist" "$work/venv"
mkdir -p "$work/dist"
run=$(mktemp -d)
trap 'rm -rf "$run"' EXIT
pyv=$("$PYTHON" -c 'import sys; print("%d.%d" % sys.version_info[:2])')

echo "==> wheels"
"$PYTHON" -m pip wheel --no-deps -q -w "$work/dist" \
    --config-settings=build-dir="build/wheel-$pyv" . ./tools
ls -l "$work/dist"
if unzip -l "$work"/dist/trackscope-0*.whl | grep -E '\.(xml|stl|obj)$'; then
    echo "wheel-check: the extension's wheel holds model files" >&2
    exit 1
fi

echo "==> fresh virtualenv"
"$PYTHON" -m venv "$work/venv"
pip=("$work/venv/bin/python" -m pip install -q --disable-pip-version-check)
"${pip[@]}" torch==2.13.0
"${pip[@]}" "$work"/dist/*.whl

echo "==> commands from $run"
bin=$work/venv/bin
cd "$run"
"$bin/trackscope-clip" model
"$bin/trackscope-clip" builtin --root . stand
"$bin/trackscope-clip" inspect assets/motion_npz/stand.npz | tail -3
MUJOCO_GL=disable "$bin/trackscope-replay" --root . --clips stand --out replay --no-render | tail -4
echo "wheel-check: ok"
