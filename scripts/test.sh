#!/usr/bin/env bash
# Test command: set everything up (scripts/setup.sh, with the test tools),
# then run pytest.
# Extra arguments go to pytest.
set -euo pipefail
cd "$(dirname "$0")/.."
source scripts/venv.sh
bash scripts/setup.sh --tests
exec "$VENV/bin/python" -m pytest -q "$@"
