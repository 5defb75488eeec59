#!/usr/bin/env bash
# Main job: set everything up (scripts/setup.sh), write the built-in clips and
# check them, then replay them through Wbt_env in MuJoCo (trackscope-replay).
# Leaves replay.mp4, contact_sheet.png, tracking_error.png, summary.json and
# log.npz in out/. Extra arguments go to trackscope-replay (see its --help).
set -euo pipefail
cd "$(dirname "$0")/.."
source scripts/venv.sh
bash scripts/setup.sh
bin="$VENV/bin"
"$bin/trackscope-clip" builtin --root out
"$bin/trackscope-clip" inspect out/assets/motion_npz/stand.npz out/assets/motion_npz/squat_turn.npz
exec "$bin/trackscope-replay" --root out --clips stand squat_turn --out out "$@"
