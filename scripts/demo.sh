#!/usr/bin/env bash
# Main job: set everything up (scripts/setup.sh), write the built-in clips and
# check them, then replay them through Wbt_env with PD tracking in MuJoCo.
# Leaves replay.mp4, contact_sheet.png, tracking_error.png and summary.json
# in out/. Extra arguments go to tools/replay.py (see its --help).
set -euo pipefail
cd "$(dirname "$0")/.."
source scripts/venv.sh
bash scripts/setup.sh
py="$VENV/bin/python"
"$py" tools/clip.py builtin --root out
"$py" tools/clip.py inspect out/assets/motion_npz/stand.npz out/assets/motion_npz/squat_turn.npz
exec "$py" tools/replay.py --root out --clips stand squat_turn --out out "$@"
