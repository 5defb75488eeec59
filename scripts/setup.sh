#!/usr/bin/env bash
# Fresh-machine setup shared by the test, demo and benchmark commands: a
# virtualenv per interpreter (scripts/venv.sh), torch==2.13.0, the other
# dependencies, and the extension and the tools package (tools/) built from
# this checkout.  Every version comes from constraints.txt (PIP_CONSTRAINT,
# which isolated builds see too).
#
#   bash scripts/setup.sh [--tests] [PACKAGE...]
#
# --tests adds what only the test suite uses (pytest, Hypothesis, pyelftools,
# the type checkers); PACKAGEs are installed with the dependencies.  Prints
# one line per step with its seconds; pip's output goes to a log file (its
# path is printed), whose last lines are shown when a step fails.
set -euo pipefail
cd "$(dirname "$0")/.."
source scripts/venv.sh

tests=0
extra=()
for arg in "$@"; do
    case $arg in
        --tests) tests=1 ;;
        *) extra+=("$arg") ;;
    esac
done

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
name=$(basename "$VENV")
log="$PWD/build/setup-${name#.}.log"
mkdir -p build
: >"$log"
started=$SECONDS
echo "setup: $VENV, $want; pip's output in $log"

# step LABEL COMMAND...: one line, finished with the seconds the command took;
# on failure the log's last lines and its path, and the command's status.
step() {
    local label=$1 start=$SECONDS status=0
    shift
    printf 'setup: %s ... ' "$label"
    printf '\n==> %s\n$ %s\n' "$label" "$*" >>"$log"
    "$@" >>"$log" 2>&1 || status=$?
    if [ "$status" = 0 ]; then
        echo "$((SECONDS - start)) s"
        return
    fi
    echo "failed after $((SECONDS - start)) s (status $status)"
    {
        echo "setup: the last lines of $log:"
        tail -n 30 "$log" | sed 's/^/    /'
        echo "setup: $label failed; pip's full output is in $log"
    } >&2
    exit "$status"
}

if [ ! -x "$VENV/bin/python" ]; then
    step "virtualenv $VENV" "$PYTHON" -m venv "$VENV"
fi
pip=("$VENV/bin/python" -m pip install --disable-pip-version-check)

if [ "$("$VENV/bin/python" -c 'import importlib.metadata as m; print(m.version("torch").split("+")[0])' 2>/dev/null)" = 2.13.0 ]; then
    echo "setup: torch 2.13.0 already installed"
else
    # A CPU build where this machine has one; otherwise, on x86_64, PyPI's
    # CUDA build: about 2.7 GB to download, 4.6 GB installed.
    step "torch==2.13.0 (on x86_64 without a local CPU build: a 2.7 GB download)" "${pip[@]}" "torch==2.13.0"
fi

deps=(numpy scipy mujoco tqdm matplotlib pillow imageio imageio-ffmpeg
      onnxruntime onnx qpsolvers daqp proxsuite osqp clarabel cyclonedds)
[ "$tests" = 1 ] && deps+=(pytest hypothesis pyelftools)
step "dependencies (${#deps[@]} packages${extra[*]:+, and ${extra[*]}})" "${pip[@]}" "${deps[@]}" "${extra[@]}"

if [ "$tests" = 1 ]; then
    # A pip run of their own: resolved together with the above, pip backtracks
    # through dozens of 50 MB node.js wheels on Python 3.10.
    step "type checkers for the tests (mypy, pyright)" "${pip[@]}" mypy "pyright[nodejs]"
fi

# One pip run for both, so the tools' dependency on trackscope is met by this
# checkout, never looked up on a registry.
pyv=$("$VENV/bin/python" -c 'import sys; print("%d.%d" % sys.version_info[:2])')
step "trackscope and trackscope-tools built and installed from this checkout" \
    "${pip[@]}" --config-settings=build-dir="build/wheel-$pyv" . -e ./tools
echo "setup: ready in $((SECONDS - started)) s"
