# Sourced by the scripts that run in the project's virtualenv: chooses the
# interpreter and its virtualenv, and exports both.
#   PYTHON  interpreter (default python3)
#   VENV    virtualenv (default .venv for python3, .venv-<major.minor> when
#           PYTHON is given), created by scripts/setup.sh
if [ -n "${PYTHON:-}" ]; then
    if ! version=$("$PYTHON" -c 'import sys; print("%d.%d" % sys.version_info[:2])' 2>/dev/null); then
        echo "error: PYTHON=$PYTHON does not run a Python interpreter" >&2
        exit 2
    fi
    VENV=${VENV:-.venv-$version}
else
    PYTHON=python3
    VENV=${VENV:-.venv}
fi
export PYTHON VENV
