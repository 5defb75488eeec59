#!/usr/bin/env bash
# The main job's second leg, on the robot's wire: trackscope-sim and
# trackscope-deploy as two processes on the loopback configuration, the
# whole-body controller on step_in_place (passive, damping, stand, run,
# damping, by --auto). Needs the set-up and out/assets/motion_npz of
# scripts/demo.sh. Outputs: out/dds/ (deploy) and out/dds/sim/ (simulator).
set -euo pipefail
cd "$(dirname "$0")/.."
source scripts/venv.sh
bin="$VENV/bin"
mkdir -p out/dds
echo "==> the robot's wire: trackscope-sim and trackscope-deploy on loopback"
"$bin/trackscope-sim" --out out/dds/sim &
sim=$!
trap 'kill -INT "$sim" 2>/dev/null || true' EXIT
status=0
"$bin/trackscope-deploy" --root out --clips step_in_place --controller wbc --auto --out out/dds || status=$?
kill -INT "$sim"
wait "$sim" || status=$?
trap - EXIT
exit "$status"
