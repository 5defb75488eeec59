#!/usr/bin/env bash
# Run the test suite against the aarch64 cp311 wheel on
# Debian's arm64 CPython under qemu-user (tools/aarch64_test.py; --help lists
# options; the slow import, sweep and leak tests only with --all).  Installs qemu-user-static and
# mmdebstrap (Debian) and builds the wheel when they are missing.
set -euo pipefail
cd "$(dirname "$0")/.."

if ! command -v qemu-aarch64-static >/dev/null || ! command -v mmdebstrap >/dev/null; then
    echo "installing qemu-user-static and mmdebstrap" >&2
    apt-get update -qq
    DEBIAN_FRONTEND=noninteractive apt-get install -y -qq qemu-user-static mmdebstrap >/dev/null
fi
case " $* " in
    *" --help "*|*" -h "*|*" --wheel "*) ;;
    *) compgen -G "dist/trackscope-*-cp311-*aarch64*.whl" >/dev/null \
           || bash scripts/wheels.sh --python 3.11 --arch aarch64 ;;
esac
VENV=build/aarch64/venv
[ -x "$VENV/bin/python" ] || python3 -m venv "$VENV"
"$VENV/bin/python" -m pip install --quiet --disable-pip-version-check -c constraints.txt packaging
exec "$VENV/bin/python" tools/aarch64_test.py "$@"
