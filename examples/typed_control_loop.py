"""Step through a motion clip as a typed control loop would.

Reads <project>/assets/motion_npz/<clip>.npz (scripts/demo.sh writes the
clips "stand" and "squat_turn" under out/), resets the reference to the
clip's first frame and prints, per tick, the anchor body's yaw and height
relative to it and the torso's world yaw rebuilt from the pelvis and the
waist pitch.
Written to pass `mypy --strict` and pyright against the installed stubs.
"""

from __future__ import annotations

import argparse
import math
import sys
from typing import Optional, Sequence

import numpy as np
from numpy.typing import NDArray

import trackscope  # noqa: F401  registers math_transfrom and motion_env_wbt
from math_transfrom import imu_quat_to_euler, pelvis_to_torso_quat, quat_apply, xyzw_to_wxyz
from motion_env_wbt import Wbt_env

PELVIS_ROW = 0  # "pelvis" on the clip's body axis (Wbt_env.target_names)


def heading_deg(quat_wxyz: NDArray[np.float64]) -> float:
    """Yaw of a [w, x, y, z] quaternion, in degrees."""
    _, _, yaw = imu_quat_to_euler(quat_wxyz)
    return math.degrees(float(yaw))


def run(project: str, clip: str, steps: Optional[int]) -> list[str]:
    env = Wbt_env(project, file=clip)
    env.reset()
    # Clip arrays are stored under the clip's name: stand_joint_pos, ...
    total = int(getattr(env, env.file + "_time_step_total"))
    # Joint columns as the clips record them, in the order of target_names_joint.
    waist_column = env.target_names_joint.index("waist_pitch_joint")
    lines: list[str] = []
    for step in range(total if steps is None else min(steps, total)):
        env.update_time_steps(step)
        anchor_xyzw = env.anchor_quat_w                   # [x, y, z, w], aligned
        anchor_wxyz = xyzw_to_wxyz(anchor_xyzw)           # [w, x, y, z]
        forward = quat_apply(anchor_wxyz, np.array([1.0, 0.0, 0.0]))
        pelvis_wxyz = env.body_quat_w[PELVIS_ROW]         # [w, x, y, z], world
        waist_pitch = float(env.joint_pos[waist_column])
        torso_wxyz = pelvis_to_torso_quat(pelvis_wxyz, waist_pitch)
        lines.append(
            f"t={step * env.control_dt:6.2f}s  anchor yaw {heading_deg(anchor_wxyz):7.2f} deg"
            f" (from frame 0)  height {env.anchor_pos_w[2]:.3f} m  forward {np.round(forward, 3)}"
            f"  torso yaw {heading_deg(torso_wxyz):7.2f} deg (world)")
    return lines


def main(argv: Optional[Sequence[str]] = None) -> int:
    parser = argparse.ArgumentParser(description=__doc__,
                                     formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("project", help="directory holding assets/motion_npz/<clip>.npz")
    parser.add_argument("--clip", default="stand", help="clip name (default: stand)")
    parser.add_argument("--steps", type=int, default=None,
                        help="ticks to run (default: the whole clip)")
    args = parser.parse_args(argv)
    for line in run(args.project, args.clip, args.steps):
        print(line)
    return 0


if __name__ == "__main__":
    sys.exit(main())
