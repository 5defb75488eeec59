"""trackscope-clip: conversion, recording, built-in motions and inspect."""

import os

import mujoco
import numpy as np
import pytest
from scipy.spatial.transform import Rotation

import trackscope  # noqa: F401
from motion_env_wbt import Wbt_env
from trackscope_tools import robot
from trackscope_tools.builtin import builtin_motion
from trackscope_tools.clipfile import write_clip
from trackscope_tools.cli.clip import main as clip_main
from trackscope_tools.motion import Motion, resample
from trackscope_tools.readers import BASE_COLUMNS
from trackscope_tools.recording import record_clip


@pytest.fixture(scope="module")
def tables():
    return robot.tables()


@pytest.fixture(scope="module")
def model():
    return robot.load_model()


@pytest.fixture(scope="module")
def squat(model, tables):
    motion = builtin_motion("squat_turn", model, tables, seconds=2.0)
    return motion, record_clip(model, motion, tables)


def test_recorded_poses_agree_with_mujoco_kinematics(model, tables, squat):
    _, clip = squat
    data = mujoco.MjData(model)
    for t in (0, 37, clip["joint_pos"].shape[0] - 1):
        data.qpos[:3] = clip["body_pos_w"][t, 0]          # pelvis row
        data.qpos[3:7] = clip["body_quat_w"][t, 0]
        data.qpos[7:] = clip["joint_pos"][t][tables.target_indices_action]
        mujoco.mj_kinematics(model, data)
        ids = tables.target_indices
        np.testing.assert_allclose(clip["body_pos_w"][t], data.xpos[ids], atol=1e-12)
        np.testing.assert_allclose(clip["body_quat_w"][t], data.xquat[ids], atol=1e-12)


def test_recorded_velocities_match_finite_differences(squat):
    _, clip = squat
    dt = 1.0 / float(clip["fps"])
    inner = slice(1, -1)
    lin = np.gradient(clip["body_pos_w"], dt, axis=0)
    np.testing.assert_allclose(clip["body_lin_vel_w"][inner], lin[inner], atol=0.02)
    q = clip["body_quat_w"][..., [1, 2, 3, 0]]
    ang = (Rotation.from_quat(q[2:].reshape(-1, 4)) * Rotation.from_quat(q[:-2].reshape(-1, 4)).inv())
    ang = ang.as_rotvec().reshape(q[2:].shape[:-1] + (3,)) / (2 * dt)
    np.testing.assert_allclose(clip["body_ang_vel_w"][inner], ang, atol=0.02)
    np.testing.assert_allclose(clip["joint_vel"][inner],
                               np.gradient(clip["joint_pos"], dt, axis=0)[inner], atol=1e-9)
    assert np.abs(clip["body_lin_vel_w"]).max() > 0.05     # the motion does move


def test_squat_turn_keeps_feet_planted(model, tables, squat):
    _, clip = squat
    for name in ("left_ankle_roll_link", "right_ankle_roll_link"):
        row = tables.target_names.index(name)
        np.testing.assert_allclose(clip["body_pos_w"][:, row] - clip["body_pos_w"][0, row], 0, atol=1e-8)
    base = clip["body_quat_w"][:, 0, [1, 2, 3, 0]]
    yaw = Rotation.from_quat(base).as_euler("xyz")[:, 2]
    assert np.ptp(yaw) > 0.5 and np.ptp(clip["body_pos_w"][:, 0, 2]) > 0.1


def test_csv_columns_by_name_reach_the_environment_in_clip_order(tmp_path, tables, model):
    rng = np.random.default_rng(3)
    frames, joints = 16, list(tables.orig_names_joint)
    angles = np.asarray(tables.default_joint_pos)[tables.target_indices_action] \
        + 0.1 * np.sin(np.linspace(0, 3, frames))[:, None] * rng.uniform(0.5, 1.0, 29)
    header = list(BASE_COLUMNS) + joints
    rows = np.concatenate([np.tile([0.0, 0.0, 0.8, 1.0, 0.0, 0.0, 0.0], (frames, 1)), angles], axis=1)
    order = rng.permutation(len(header))                     # columns in any order
    csv = tmp_path / "walk.csv"
    csv.write_text(",".join(header[i] for i in order) + "\n"
                   + "\n".join(",".join(repr(float(v)) for v in r[order]) for r in rows) + "\n")
    assert clip_main(["convert", str(csv), "--fps", "25", "--root", str(tmp_path)]) == 0
    env = Wbt_env(str(tmp_path), file="walk")
    assert env.walk_time_step_total == 31                    # 0.6 s at 50 Hz
    env.update_time_steps(2)                                 # 0.04 s = source frame 1
    np.testing.assert_allclose(env.joint_pos, angles[1][tables.target_indices_joint], atol=1e-12)


def test_resample_slerps_the_base_orientation():
    quat = np.array([[1.0, 0, 0, 0], [np.cos(0.5), 0, 0, np.sin(0.5)]])   # 0 -> 1 rad yaw
    motion = Motion(10.0, np.array([[0.0, 0, 0], [1.0, 0, 0]]), quat, np.zeros((2, 29)))
    out = resample(motion, 50)
    assert out.frames == 6
    np.testing.assert_allclose(out.base_pos[:, 0], np.linspace(0, 1, 6))
    yaw = Rotation.from_quat(out.base_quat[:, [1, 2, 3, 0]]).as_euler("xyz")[:, 2]
    np.testing.assert_allclose(yaw, np.linspace(0, 1, 6), atol=1e-12)


@pytest.mark.parametrize("spoil, message", [
    (lambda c: c["body_quat_w"].__setitem__((3, 5), c["body_quat_w"][3, 5] * 1.5), "not unit"),
    (lambda c: c.pop("body_ang_vel_w"), "missing member 'body_ang_vel_w'"),
    (lambda c: c["joint_vel"].__imul__(0.0), "joint velocities disagree"),
    (lambda c: c["joint_pos"].__setitem__((4, 9), 3.5), "joint limits: left_knee_joint"),
])
def test_inspect_rejects_a_bad_clip(tmp_path, capsys, squat, spoil, message):
    clip = {k: np.array(v) for k, v in squat[1].items()}
    good = tmp_path / "good.npz"
    write_clip(str(good), clip)
    spoil(clip)
    bad = tmp_path / "bad.npz"
    write_clip(str(bad), clip)
    assert clip_main(["inspect", str(good)]) == 0
    assert clip_main(["inspect", str(bad)]) == 1
    assert message in capsys.readouterr().out


@pytest.mark.parametrize("content, message", [
    ("base_x,base_y\n0,0\n", "missing column(s) base_z"),
    (None, "at least 2 frames"),
])
def test_convert_refuses_bad_input(tmp_path, capsys, content, message):
    path = tmp_path / "m.csv"
    if content is None:
        np.save(tmp_path / "m.npy", np.zeros((1, 36)))
        path = tmp_path / "m.npy"
    else:
        path.write_text(content)
    assert clip_main(["convert", str(path), "--fps", "30", "--root", str(tmp_path)]) == 1
    assert message in capsys.readouterr().err
    assert not (tmp_path / "assets").exists()


def test_written_clip_is_readable_by_others(tmp_path):
    umask = os.umask(0o022)
    try:
        path = write_clip(tmp_path / "c.npz", {"fps": np.array(50)})
    finally:
        os.umask(umask)
    assert os.stat(path).st_mode & 0o777 == 0o644          # not mkstemp's private 0600
    assert [p.name for p in tmp_path.iterdir()] == ["c.npz"]


@pytest.mark.parametrize("case", ["smooth", "random", "sign flips", "still"])
def test_angular_velocity_differences_equal_scipys_rotation_vectors(case):
    from trackscope_tools.clipfile import finite_difference_ang_vel
    rng = np.random.default_rng(3)
    if case == "smooth":
        quat = Rotation.from_rotvec(np.cumsum(rng.normal(scale=0.02, size=(60 * 4, 3)), axis=0)).as_quat()
        quat = quat[:, [3, 0, 1, 2]].reshape(60, 4, 4)
    elif case == "still":
        quat = np.tile([1.0, 0.0, 0.0, 0.0], (5, 4, 1))
    else:
        quat = rng.normal(size=(40, 4, 4))
        if case == "sign flips":
            quat[1::2] *= -1
    n, dt = quat.shape[0], 0.02
    a, b = np.maximum(np.arange(n) - 1, 0), np.minimum(np.arange(n) + 1, n - 1)
    xyzw = quat[..., [1, 2, 3, 0]]
    steps = (Rotation.from_quat(xyzw[b].reshape(-1, 4)) * Rotation.from_quat(xyzw[a].reshape(-1, 4)).inv())
    expect = steps.as_rotvec().reshape(n, -1, 3) / ((b - a) * dt)[:, None, None]
    np.testing.assert_allclose(finite_difference_ang_vel(quat, dt), expect, rtol=0, atol=1e-10)


@pytest.mark.parametrize("case", ["smooth", "random", "sign flips", "still"])
def test_slerp_equals_scipys(case):
    from scipy.spatial.transform import Slerp
    from trackscope_tools.motion import slerp
    rng = np.random.default_rng(5)
    n = 30
    if case == "smooth":
        quat = Rotation.from_rotvec(np.cumsum(rng.normal(scale=0.05, size=(n, 3)), axis=0)).as_quat()[:, [3, 0, 1, 2]]
    elif case == "still":
        quat = np.tile([1.0, 0.0, 0.0, 0.0], (n, 1))
    else:
        quat = rng.normal(size=(n, 4))
        if case == "sign flips":
            quat[1::2] *= -1
    t_in = np.arange(n) / 30.0
    t_out = np.arange(int(t_in[-1] * 50 + 1e-9) + 1) / 50.0
    expect = Slerp(t_in, Rotation.from_quat(quat[:, [1, 2, 3, 0]]))(t_out).as_quat()[:, [3, 0, 1, 2]]
    np.testing.assert_allclose(slerp(t_out, t_in, quat), expect, rtol=0, atol=1e-12)
