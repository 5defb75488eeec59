#!/usr/bin/env bash
# Main job: set everything up (scripts/setup.sh), write the built-in clips and
# check them, then replay them through Wbt_env in MuJoCo (trackscope-replay)
# with the whole-body controller on the robot's own feet (its default;
# --controller pd is the welded tracking run). Leaves replay.mp4, contact_sheet.png,
# tracking_error.png, summary.json and log.npz in out/. Extra arguments go to
# trackscope-replay (see its --help).
# Then the robot's wire: trackscope-sim (the simulated robot, a DDS peer on
# loopback) and trackscope-deploy (the controller side as on the robot) run
# the whole-body controller on step_in_place from a stand, the gantry let go
# before the run (scripts/dds-demo.sh); outputs in out/dds/.
set -euo pipefail
cd "$(dirname "$0")/.."
source scripts/venv.sh
bash scripts/setup.sh
bin="$VENV/bin"
clips=(stand squat_turn step_in_place)
files=()
for clip in "${clips[@]}"; do files+=("out/assets/motion_npz/$clip.npz"); done
"$bin/trackscope-clip" builtin --root out
"$bin/trackscope-clip" inspect "${files[@]}"
"$bin/trackscope-clip" check "${files[@]}"
"$bin/trackscope-replay" --root out --clips "${clips[@]}" --out out "$@"
exec bash scripts/dds-demo.sh
