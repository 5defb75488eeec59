#!/usr/bin/env bash
# Main job: set everything up (scripts/setup.sh, plus numpy-quaternion as a
# peer), then run the benchmark.  Extra arguments go to bench/bench.py.
set -euo pipefail
cd "$(dirname "$0")/.."
source scripts/venv.sh
bash scripts/setup.sh numpy-quaternion
exec "$VENV/bin/python" bench/bench.py "$@"
