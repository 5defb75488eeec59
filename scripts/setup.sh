#!/usr/bin/env bash
# Fresh-machine setup shared by the test, demo and benchmark commands: a
# virtualenv per interpreter (scripts/venv.sh), torch==2.13.0, the other
# dependencies, and the extension and the tools package (tools/) built from
# this checkout.  Every version comes from constraints.txt (PIP_CONSTRAINT,
# which isolated builds see too).  Extra arguments are more packages.
set -euo pipefail
cd "$(dirname "$0")/.."
source scripts/venv.sh

identity='import sys; print("Python %s (%s)" % (sys.version.split()[0], sys.base_prefix))'
want=$("$PYTHON" -c "$identity")
if [ -e "$VENV" ]; then
    have=$("$VENV/bin/python" -c "$identity" 2>/dev/null) || have="no working interpreter"
    if [ "$have" != "$want" ]; then
        echo "error: $VENV holds $have, but PYTHON=$PYTHON is $want." >&2
        echo "       Remove $VENV, or name another virtualenv with VENV=..." >&2
        exit 2
    fi
fi

export PIP_CONSTRAINT="$PWD/constraints.txt"
started=$SECONDS
step_start=$SECONDS
step() { step_start=$SECONDS; echo "==> $*"; }
done_step() { echo "    done in $((SECONDS - step_start)) s"; }

echo "==> $VENV: $want"
if [ ! -x "$VENV/bin/python" ]; then
    step "creating $VENV"
    "$PYTHON" -m venv "$VENV"
    done_step
fi
pip=("$VENV/bin/python" -m pip install --disable-pip-version-check)

if [ "$("$VENV/bin/python" -c 'import importlib.metadata as m; print(m.version("torch").split("+")[0])' 2>/dev/null)" = 2.13.0 ]; then
    echo "==> torch 2.13.0 already installed"
else
    step "torch==2.13.0 (a CPU build where this machine has one; otherwise, on x86_64, PyPI's CUDA build: about 2.7 GB to download, 4.6 GB installed)"
    "${pip[@]}" "torch==2.13.0"
    done_step
fi

deps=(numpy scipy mujoco pytest hypothesis pyelftools tqdm matplotlib pillow imageio imageio-ffmpeg
      onnxruntime onnx qpsolvers daqp proxsuite osqp clarabel)
step "dependencies: ${deps[*]} $*"
"${pip[@]}" "${deps[@]}" "$@"
done_step

# A pip run of their own: resolved together with the above, pip backtracks
# through dozens of 50 MB node.js wheels on Python 3.10.
step "type checkers: mypy pyright"
"${pip[@]}" mypy "pyright[nodejs]"
done_step

# One pip run for both, so the tools' dependency on trackscope is met by this
# checkout, never looked up on a registry.
step "building and installing trackscope and trackscope-tools from this checkout (about a minute)"
"${pip[@]}" --config-settings=build-dir="build/wheel-$("$VENV/bin/python" -c 'import sys; print("%d.%d" % sys.version_info[:2])')" . -e ./tools
done_step
echo "==> set up in $((SECONDS - started)) s"
