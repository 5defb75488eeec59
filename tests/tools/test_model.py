"""The tools' robot model against the robot tables of Wbt_env."""

import copy

import mujoco
import numpy as np
import pytest

import trackscope  # noqa: F401
from motion_env_wbt import Wbt_env

from trackscope_tools import robot

import clips


@pytest.fixture(scope="module")
def env(tmp_path_factory):
    root = tmp_path_factory.mktemp("model")
    clips.write_standard(root)
    return Wbt_env(str(root))


@pytest.fixture(scope="module")
def model():
    return robot.load_model()


def test_bodies_are_orig_names_in_order(model, env):
    assert [model.body(i).name for i in range(model.nbody)] == env.orig_names
    # target_indices maps the clip's body axis onto model body ids
    assert [model.body(i).name for i in env.target_indices] == env.target_names


def test_joints_ranges_and_motors_follow_the_tables(model, env):
    assert model.jnt_type[0] == mujoco.mjtJoint.mjJNT_FREE
    assert [model.joint(i).name for i in range(1, model.njnt)] == env.orig_names_joint
    np.testing.assert_array_equal(model.jnt_range[1:, 0], env.action_min)
    np.testing.assert_array_equal(model.jnt_range[1:, 1], env.action_max)
    # actuators drive the joints in model order, limited to the effort limits
    assert [model.actuator_trnid[a, 0] for a in range(model.nu)] == list(range(1, model.njnt))
    effort = np.asarray(env.effort_limit_sim)[env.target_indices_action]
    np.testing.assert_array_equal(model.actuator_ctrlrange[:, 1], effort)
    np.testing.assert_array_equal(model.actuator_ctrlrange[:, 0], -effort)
    # armature is what the gains are tuned for: kp = armature * (2 pi 10 Hz)^2
    kp = np.asarray(env.kp)[env.target_indices_action]
    np.testing.assert_allclose(model.dof_armature[6:] * (2 * np.pi * 10) ** 2, kp, rtol=1e-6)


def test_loads_cleanly_with_plausible_size(model):
    data = mujoco.MjData(model)
    mujoco.mj_forward(model, data)
    assert all(w.number == 0 for w in data.warning)
    assert model.body_subtreemass[1] == pytest.approx(35.0, abs=0.5)
    top = data.geom("head").xpos[2] + model.geom("head").size[0]
    sole = data.geom("left_foot").xpos[2] - model.geom("left_foot").size[2]
    assert top - sole == pytest.approx(1.33, abs=0.05)   # zero pose, legs straight


def _contacts(model, data, qpos):
    data.qpos[:] = qpos
    mujoco.mj_kinematics(model, data)
    mujoco.mj_collision(model, data)
    return [tuple(model.body(model.geom_bodyid[g]).name for g in data.contact.geom[i]) for i in range(data.ncon)]


def test_feet_are_the_only_contacts_of_a_normal_stance(model):
    from trackscope_tools.builtin import builtin_motion
    near = copy.copy(model)
    near.geom_margin[:] = 0.0025         # a pair's margins add: within 5 mm counts, not only touching
    data = mujoco.MjData(near)
    feet = {("world", "left_ankle_roll_link"), ("world", "right_ankle_roll_link")}
    poses = [robot.default_qpos(model)[None]] + [builtin_motion(name, model, seconds=2.5).qpos()
                                                 for name in ("stand", "squat_turn")]
    for qpos in np.concatenate(poses):
        assert set(_contacts(near, data, qpos)) == feet


def test_every_link_lands_on_the_floor(model):
    """Lying on its back, then on its front, the robot rests on its links
    instead of sinking through the floor."""
    data = mujoco.MjData(model)
    bodies = {model.geom_bodyid[g] for g in robot.robot_geoms(model)}
    assert bodies == {model.geom_bodyid[g] for g in range(model.ngeom) if model.geom_bodyid[g] > 0}
    for angle in (-np.pi / 2, np.pi / 2):
        mujoco.mj_resetData(model, data)
        data.qpos[2] = 0.3
        data.qpos[3:7] = [np.cos(angle / 2), 0, np.sin(angle / 2), 0]
        for _ in range(300):
            mujoco.mj_step(model, data)
        assert data.qpos[2] > 0.05
        touching = {model.body(model.geom_bodyid[g]).name for g in data.contact.geom[:data.ncon].ravel()}
        assert touching - {"world", "left_ankle_roll_link", "right_ankle_roll_link"}
