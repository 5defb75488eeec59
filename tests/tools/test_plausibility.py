"""Physical plausibility: clips with one defect each, made by construction
on the model, caught by the figure that names the defect."""

import json
import os

import mujoco
import numpy as np
import pytest
from scipy.spatial.transform import Rotation

from trackscope_tools import plausibility, robot
from trackscope_tools.builtin import builtin_motion
from trackscope_tools.cli.clip import main as clip_main
from trackscope_tools.clipfile import write_clip
from trackscope_tools.motion import Motion
from trackscope_tools.recording import record_clip

FPS = 50


@pytest.fixture(scope="module")
def model():
    return robot.load_model()


@pytest.fixture(scope="module")
def tables():
    return robot.tables()


def still(model, tables, frames=60):
    """The default pose, feet flat on the floor, held."""
    return np.tile(robot.default_qpos(model, tables), (frames, 1))


def joint(tables, name):
    return 7 + list(tables.orig_names_joint).index(name)


def clip_of(model, tables, qpos):
    return record_clip(model, Motion.from_qpos(qpos), tables)


def defective(model, tables, frames=90):
    """Feet 2.4 cm through the floor in the first third, the whole robot
    2.5 cm above it in the second, and sliding forward at 9 cm/s throughout."""
    qpos = still(model, tables, frames)
    qpos[:, 0] += 0.09 * np.arange(frames) / FPS
    third = frames // 3
    qpos[:third, 2] -= 0.024
    qpos[third:2 * third, 2] += 0.025
    return qpos


def test_floor_figures_match_the_construction(model, tables):
    result = plausibility.check_clip(clip_of(model, tables, defective(model, tables)), model, tables)
    checks = result["checks"]
    assert checks["penetration_m"] == pytest.approx(0.024, abs=1e-9)
    assert checks["floating_fraction"] == pytest.approx(1 / 3)
    assert checks["foot_skate_mps"] == pytest.approx(0.09, rel=1e-6)
    assert result["verdict"] == "fail"
    assert set(result["worst_frames"]["penetration_m"]) <= set(range(30))
    assert set(result["worst_frames"]["floating_fraction"]) <= set(range(30, 60))


def arm_through_chest(q, t, model, tables):
    q[:, joint(tables, "left_shoulder_roll_joint")] = -0.5


def knee_bent_backwards(q, t, model, tables):
    q[:, joint(tables, "left_knee_joint")] = -0.3


def wrist_spun(q, t, model, tables):
    q[:, joint(tables, "left_wrist_yaw_joint")] = np.sin(2 * np.pi * 6 * t)     # 37.7 rad/s peak


def leaning_on_the_toes(q, t, model, tables, angle=0.4):
    """The whole pose tipped forward about the front edge of the soles."""
    data = mujoco.MjData(model)
    data.qpos[:] = q[0]
    mujoco.mj_kinematics(model, data)
    foot = model.geom("left_foot")
    toe = data.geom(foot.id).xpos + data.geom(foot.id).xmat.reshape(3, 3) @ [foot.size[0], 0, -foot.size[2]]
    lean = Rotation.from_euler("y", angle)
    q[:, :3] = toe + lean.apply(q[0, :3] - toe)
    q[:, 3:7] = (lean * Rotation.from_quat(q[0, [4, 5, 6, 3]])).as_quat()[[3, 0, 1, 2]]


def held_above_the_floor(q, t, model, tables):
    q[:, 2] += 0.05


def pushed_sideways(q, t, model, tables):
    q[:, 1] += 0.5 * 15.0 * t ** 2          # 1.5 g with a friction coefficient of 1


def ballistic_hop(q, t, model, tables):
    """Take-off at 2 m/s at 0.5 s, free fall to the landing."""
    flight = t - 0.5
    q[:, 2] += np.where((flight > 0) & (flight < 2 * 2.0 / 9.81), 2.0 * flight - 0.5 * 9.81 * flight ** 2, 0)


# (how the defect is made, the figure that names it, its level, the clip's verdict)
DEFECTS = [
    (arm_through_chest, "self_collision_m", "fail", "fail"),
    (knee_bent_backwards, "joint_limit_margin_rad", "fail", "fail"),
    (wrist_spun, "joint_vel_max_rad_s", "fail", "fail"),
    (leaning_on_the_toes, "com_support_margin_m", "warn", "fail"),
    (held_above_the_floor, "root_residual_ratio", "fail", "fail"),
    (pushed_sideways, "root_residual_ratio", "fail", "fail"),
    (ballistic_hop, "floating_fraction", "warn", "warn"),     # jumps float: a warning at most
]


@pytest.mark.parametrize("make, key, level, verdict", DEFECTS, ids=[d[0].__name__ for d in DEFECTS])
def test_each_defect_is_caught_by_its_figure(model, tables, make, key, level, verdict):
    qpos = still(model, tables, 100)
    make(qpos, np.arange(len(qpos)) / FPS, model, tables)
    result = plausibility.check_clip(clip_of(model, tables, qpos), model, tables)
    checks = result["checks"]
    assert plausibility.VERDICTS[plausibility.FIGURES[key].level(checks[key])] == level
    assert result["verdict"] == verdict
    assert result["worst_frames"][key]
    if key == "self_collision_m":
        assert result["details"][key] == "torso_link/left_elbow_link"
    if key == "joint_limit_margin_rad":
        assert checks[key] == pytest.approx(-0.3 + 0.087267, abs=1e-6)
    if key == "com_support_margin_m":
        assert checks["root_residual_ratio"] >= plausibility.FIGURES["root_residual_ratio"].fail
    if key == "floating_fraction":      # in flight nothing pushes, and nothing needs to
        assert checks["root_residual_ratio"] < 1e-3


@pytest.mark.parametrize("name", ["stand", "squat_turn"])
def test_builtin_clips_pass(model, tables, name):
    clip = record_clip(model, builtin_motion(name, model, tables, seconds=2.5), tables)
    result = plausibility.check_clip(clip, model, tables, name=name)
    assert result["verdict"] == "pass", result["reasons"]


def test_check_command_on_a_folder(model, tables, tmp_path, capsys):
    folder = tmp_path / "clips"
    write_clip(folder / "stand.npz", clip_of(model, tables, still(model, tables)))
    write_clip(folder / "sub" / "bad_floor.npz", clip_of(model, tables, defective(model, tables)))
    (folder / "broken.npz").write_bytes(b"not a clip")
    report = tmp_path / "check.json"
    assert clip_main(["check", str(folder), "--json", str(report)]) == 1
    out = capsys.readouterr().out
    assert "bad_floor" in out and "cannot read the clip" in out
    clips = {c["name"]: c for c in json.loads(report.read_text())["clips"]}
    assert {n: c["verdict"] for n, c in clips.items()} == {"broken": "fail", "stand": "pass", "bad_floor": "fail"}
    assert set(clips["stand"]["checks"]) == set(clips["stand"]["worst_frames"]) == set(plausibility.FIGURES)
    assert os.path.getsize(folder / "plausibility.png") > 0
    assert not [f for f in os.listdir(tmp_path) if f.endswith(".tmp")]
    assert clip_main(["check", str(folder / "stand.npz")]) == 0
    assert clip_main(["check", str(tmp_path / "missing")]) == 1
    assert "no such clip" in capsys.readouterr().err


SQUARE = [[0, 0], [1, 0], [1, 1], [0, 1], [0.5, 0.5], [1, 0.5]]     # with inner and edge points


@pytest.mark.parametrize("points, c, margin", [
    (SQUARE, [0.5, 0.4], 0.4),            # inside: distance to the nearest edge
    (SQUARE, [2.0, 0.5], -1.0),           # outside beside an edge
    (SQUARE, [2.0, 2.0], -np.sqrt(2)),    # outside beyond a corner
    ([[0, 0], [1, 0], [0.5, 0]], [0.5, 0.0], 0.0),     # a segment has no inside
    ([[0, 0], [1, 0]], [0.5, 0.3], -0.3),
    ([[0.2, 0.1], [0.2, 0.1]], [0.2, 0.4], -0.3),      # one point
])
def test_support_margin(points, c, margin):
    assert plausibility.support_margin(np.array(points, float), np.array(c, float)) == pytest.approx(margin)


def test_check_over_workers_prints_what_one_process_prints(model, tables, tmp_path, capsys):
    folder = tmp_path / "clips"
    for k in range(3):
        write_clip(folder / f"stand{k}.npz", clip_of(model, tables, still(model, tables)))
    write_clip(folder / "bad_floor.npz", clip_of(model, tables, defective(model, tables)))
    (folder / "broken.npz").write_bytes(b"not a clip")
    outputs = {}
    for jobs in (1, 2, 3):
        assert clip_main(["check", str(folder), "--jobs", str(jobs), "--plot", str(tmp_path / "p.png")]) == 1
        outputs[jobs] = capsys.readouterr().out
    assert outputs[1] == outputs[2] == outputs[3]
    assert "3 pass, 0 warn, 2 fail" in outputs[1]
    assert clip_main(["check", str(folder), "--jobs", "0"]) == 2
