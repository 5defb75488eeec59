import os
import re
import pathlib
import sys
import zipfile

import numpy as np
import pytest
from scipy.spatial.transform import Rotation

sys.path.insert(0, os.path.dirname(__file__))
import clips  # noqa: E402

import trackscope  # noqa: E402,F401  registers the two other modules
import math_transfrom  # noqa: E402
import motion_env_wbt  # noqa: E402
from motion_env_wbt import Wbt_env, Wbt_env_sim  # noqa: E402

ALIGNMENT_READY = hasattr(math_transfrom.TransformAlignment, "align_quat")
needs_alignment = pytest.mark.skipif(not ALIGNMENT_READY,
                                     reason="TransformAlignment not built yet")
BOTH = [pytest.param(Wbt_env, marks=needs_alignment, id="Wbt_env"),
        pytest.param(Wbt_env_sim, id="Wbt_env_sim")]


class RecordingAlignment:
    """Stands in for TransformAlignment; records calls, aligns nothing."""

    def __init__(self, **kwargs):
        self.calls = [("__init__", kwargs)]

    def set_base(self, **kwargs):
        self.calls.append(("set_base", kwargs))

    def align_pos(self, pos):
        self.calls.append(("align_pos", pos))
        return np.asarray(pos) + 0.0

    def align_quat(self, quat):
        self.calls.append(("align_quat", quat))
        return np.asarray(quat) + 0.0


@pytest.fixture
def root(tmp_path):
    clips.write_standard(tmp_path)
    return tmp_path


@pytest.fixture
def clip(root):
    return dict(np.load(clips.clip_path(root, "stand")))


@pytest.fixture
def fake_align(monkeypatch):
    monkeypatch.setitem(motion_env_wbt.__dict__, "TransformAlignment", RecordingAlignment)


# ---- construction -------------------------------------------------------

TARGET_INDICES = [1, 2, 9, 15, 3, 10, 16, 4, 11, 17, 5, 12, 19, 27, 6, 13, 20, 28, 7, 14,
                  21, 29, 22, 30, 23, 31, 24, 32, 25, 33]
TARGET_INDICES_E = [1, 2, 8, 14, 3, 9, 15, 4, 10, 16, 5, 11, 17, 24, 6, 12, 18, 25, 7, 13,
                    19, 26, 20, 27, 21, 28, 22, 29, 23, 30]
TARGET_INDICES_JOINT = [0, 6, 12, 1, 7, 13, 2, 8, 14, 3, 9, 15, 22, 4, 10, 16, 23, 5, 11, 17,
                        24, 18, 25, 19, 26, 20, 27, 21, 28]
TARGET_INDICES_ACTION = [0, 3, 6, 9, 13, 17, 1, 4, 7, 10, 14, 18, 2, 5, 8, 11, 15, 19, 21, 23,
                         25, 27, 12, 16, 20, 22, 24, 26, 28]
LIST_ATTRS = ["body_index", "motion_anchor_body_index", "robot_anchor_body_index",
              "action_scales", "default_joint_pos", "default_joint_vel", "kp", "kd",
              "effort_limit_sim", "action_min", "action_max", "orig_names", "orig_names_e",
              "target_names", "target_indices", "target_indices_e", "orig_names_joint",
              "target_names_joint", "target_indices_joint", "target_names_action",
              "orig_names_action", "target_indices_action"]


def test_tables(root):
    env = Wbt_env_sim(root)
    assert env.body_index == [0, 4, 10, 18, 5, 11, 19, 9, 16, 22, 28, 17, 23, 29]
    assert env.body_index[env.motion_anchor_body_index[0]] == env.robot_anchor_body_index[0] == 9
    assert env.target_names[9] == "torso_link"
    assert (env.name_to_idx["torso_link"], env.name_to_idx_e["torso_link"]) == (17, 16)
    assert (len(env.orig_names), len(env.orig_names_e), len(env.target_names)) == (35, 31, 30)
    assert env.target_indices == TARGET_INDICES
    assert env.target_indices_e == TARGET_INDICES_E
    assert env.target_indices_joint == TARGET_INDICES_JOINT
    assert env.target_indices_action == TARGET_INDICES_ACTION
    # The maps agree with the name lists they come from.
    assert [env.orig_names[i] for i in env.target_indices] == env.target_names
    assert [env.orig_names_e[i] for i in env.target_indices_e] == env.target_names
    assert [env.orig_names_joint[i] for i in env.target_indices_joint] == env.target_names_joint
    assert all(env.target_indices_action[env.target_indices_joint[k]] == k for k in range(29))
    assert env.target_names_action == env.orig_names_joint
    assert env.orig_names_action == env.target_names_joint
    # Spot checks across the per-joint columns.
    assert env.target_names_joint[16] == "right_shoulder_roll_joint"
    assert env.default_joint_pos[16] == -0.2 and env.default_joint_pos[9] == 0.669
    assert env.kp[3] == 99.09842777666113 and env.kd[25] == 1.06814150219
    assert env.action_scales[25] == 0.0745 and env.effort_limit_sim[3] == 139.0
    assert env.action_min[19] == -1.972222054 and env.action_max[23] == 1.5882
    for name in ["action_scales", "default_joint_pos", "default_joint_vel", "kp", "kd",
                 "effort_limit_sim", "action_min", "action_max"]:
        values = getattr(env, name)
        assert len(values) == 29 and all(type(v) is float for v in values), name
    assert env.control_dt == 0.02 and type(env.sim_decimation) is int


@pytest.mark.parametrize("array, source", [("action_min_a", "action_min"),
                                           ("action_max_a", "action_max"),
                                           ("kp_a", "kp"), ("kd_a", "kd")])
def test_float32_tables(root, array, source):
    env = Wbt_env_sim(root)
    a = getattr(env, array)
    assert a.dtype == np.float32 and a.shape == (29,)
    np.testing.assert_array_equal(a, np.float32(getattr(env, source)))
    assert env.effort_limit.dtype == np.float32 and env.effort_limit.shape == (1, 29)


def test_lists_are_per_instance(root):
    a, b = Wbt_env_sim(root), Wbt_env_sim(root)
    for name in LIST_ATTRS:
        assert getattr(a, name) is not getattr(b, name), name
        getattr(a, name).append(None)
    c = Wbt_env_sim(root)
    for name in LIST_ATTRS:
        assert None not in getattr(b, name) and None not in getattr(c, name), name
    assert a.orig_names_joint is not a.target_names_action


@pytest.mark.parametrize("cls", [Wbt_env, Wbt_env_sim])
@pytest.mark.parametrize("kwargs", [{}, {"file": "stand"}])
def test_missing_current_dir(cls, kwargs):
    with pytest.raises(TypeError) as e:
        cls(**kwargs)
    assert str(e.value) == (f"{cls.__name__}.__init__() missing 1 required positional "
                            "argument: 'current_dir'")


def test_arguments_stored_unchanged(root, fake_align):
    path = pathlib.Path(root)
    env = Wbt_env(current_dir=path, file="stand", time_steps=3.0)
    assert env.current_dir is path and env.file == "stand"
    assert type(env.time_steps) is float and env.time_steps == 3.0
    assert hasattr(env, "motion_init_align") and not hasattr(Wbt_env_sim(root), "motion_init_align")
    assert env.motion_init_align.calls == [("__init__", {"yaw_only": True, "xy_only": True})]
    names = list(vars(env))
    assert names[:3] == ["body_index", "motion_anchor_body_index", "robot_anchor_body_index"]
    assert names[-13:] == (["file", "current_dir", "time_steps", "motion"]
                           + ["stand_" + m for m in clips.MEMBERS]
                           + ["stand_time_step_total", "motion_init_align"])


def test_globals_looked_up_at_call(root, monkeypatch):
    monkeypatch.delitem(motion_env_wbt.__dict__, "np")
    with pytest.raises(NameError, match="^name 'np' is not defined$"):
        Wbt_env_sim(root)


# ---- loading ------------------------------------------------------------

class LoadRecorder:
    """numpy with np.load recorded."""

    def __init__(self):
        self.loaded = []

    def __getattr__(self, name):
        return getattr(np, name)

    def load(self, *args, **kwargs):
        self.loaded.append((args, kwargs))
        self.result = np.load(*args, **kwargs)
        return self.result


@pytest.mark.parametrize("make_dir, suffix", [(str, ""), (lambda p: str(p) + "/", "/"),
                                              (pathlib.Path, "")])
def test_clip_path(root, monkeypatch, make_dir, suffix):
    recorder = LoadRecorder()
    monkeypatch.setitem(motion_env_wbt.__dict__, "np", recorder)
    Wbt_env_sim(make_dir(root))
    assert recorder.loaded == [((f"{root}{suffix}/assets/motion_npz/stand.npz",), {})]


def test_clip_attributes(tmp_path):
    clips.write_standard(tmp_path, frames=7, extra=np.arange(3))
    clips.write_standard(tmp_path, "sub/walk", frames=4, seed=1)
    env = Wbt_env_sim(tmp_path)
    assert env.stand_time_step_total == 7 and type(env.stand_time_step_total) is int
    assert env.stand_joint_pos.shape == (7, 29) and env.stand_fps == 50
    assert not any("extra" in name for name in vars(env))
    np.testing.assert_array_equal(env.motion["extra"], np.arange(3))

    stand = {name: value for name, value in vars(env).items() if name.startswith("stand_")}
    env.file = "sub/walk"
    env.load_motion()
    assert getattr(env, "sub/walk_time_step_total") == 4
    for name, value in stand.items():
        assert getattr(env, name) is value
    np.testing.assert_array_equal(env.joint_pos, getattr(env, "sub/walk_joint_pos")[0])


def test_zero_frame_clip(tmp_path):
    clips.write_standard(tmp_path, frames=0)
    env = Wbt_env_sim(tmp_path)
    assert env.stand_time_step_total == 0
    with pytest.raises(IndexError):
        env.joint_pos


@pytest.mark.parametrize("write, error", [
    (lambda root, name: None, FileNotFoundError),
    (lambda root, name: clips.write_without(root, name, "fps"), KeyError),
    (lambda root, name: clips.write_without(root, name, "body_ang_vel_w"), KeyError),
    (clips.write_object_member, ValueError),
    (lambda root, name: clips.write_pickle(root, name, root / "ran"), ValueError),
    (clips.write_corrupt, zipfile.BadZipFile),
    (clips.write_plain_array, IndexError),
])
def test_failed_load_keeps_previous_clip(root, monkeypatch, write, error):
    write(root, "bad")
    env = Wbt_env_sim(root)
    before = dict(vars(env))
    recorder = LoadRecorder()
    monkeypatch.setitem(motion_env_wbt.__dict__, "np", recorder)
    env.file = "bad"
    with pytest.raises(error):
        env.load_motion()
    after = dict(vars(env))
    assert after.pop("file") == "bad" and before.pop("file") == "stand"
    assert after.keys() == before.keys()
    assert all(after[k] is before[k] for k in before)
    assert not (root / "ran").exists()  # pickled content never runs
    opened = getattr(recorder, "result", None)
    if isinstance(opened, np.lib.npyio.NpzFile):
        assert opened.zip is None and opened.fid is None  # closed


# ---- queries and stepping -------------------------------------------------

FRAME_QUERIES = [("joint_pos", "joint_pos"), ("joint_vel", "joint_vel"),
                 ("body_pos_w", "body_pos_w"), ("body_quat_w", "body_quat_w"),
                 ("body_lin_vel_w", "body_lin_vel_w"), ("body_ang_vel_w", "body_ang_vel_w")]


@pytest.mark.parametrize("cls", BOTH)
@pytest.mark.parametrize("step", [0, 3, -1, -5])
def test_frame_queries_are_views(root, clip, cls, step):
    env = cls(root)
    env.update_time_steps(step)
    for prop, member in FRAME_QUERIES:
        value = getattr(env, prop)
        np.testing.assert_array_equal(value, clip[member][step])
        assert np.shares_memory(value, getattr(env, "stand_" + member))
    command = env.command
    np.testing.assert_array_equal(command, np.concatenate([clip["joint_pos"][step],
                                                           clip["joint_vel"][step]]))
    assert command.shape == (58,) and not np.shares_memory(command, env.stand_joint_pos)
    env.joint_pos[0] = 123.0
    assert env.stand_joint_pos[step, 0] == 123.0


@pytest.mark.parametrize("cls", BOTH)
def test_stepping_beyond_the_clip(root, cls):
    env = cls(root)
    for step in [5, -6]:
        assert env.update_time_steps(step) is None and env.time_steps == step
        for prop in ["joint_pos", "command", "body_quat_w", "anchor_lim_vel_w",
                     "anchor_pos_w"]:
            with pytest.raises(IndexError):
                getattr(env, prop)


@pytest.mark.parametrize("cls", BOTH)
def test_update_time_steps_follows_the_class(root, cls):
    # The store is remembered per class version: a data descriptor or a
    # __setattr__ added later takes over at the next call, as for `self.x = v`.
    class Sub(cls):
        pass

    class Bare(cls):
        def __init__(self):
            pass

    env, seen = Sub(root), []
    for step in (1, 2):
        env.update_time_steps(step)
        assert vars(env)["time_steps"] == step
    Sub.time_steps = property(lambda self: -1, lambda self, value: seen.append(value))
    env.update_time_steps(3)
    assert seen == [3] and env.time_steps == -1
    del Sub.time_steps
    env.update_time_steps(4)
    assert env.time_steps == 4
    Sub.__setattr__ = lambda self, name, value: seen.append((name, value))
    env.update_time_steps(5)
    assert seen[-1] == ("time_steps", 5) and vars(env)["time_steps"] == 4
    bare = Bare()
    bare.update_time_steps(6)
    assert vars(bare) == {"time_steps": 6}
    with pytest.raises(AttributeError) as plain:
        object().time_steps = 7
    with pytest.raises(AttributeError) as ours:
        cls.update_time_steps(object(), 7)
    assert str(ours.value) == str(plain.value)


@pytest.mark.parametrize("step", [0, 2, -1])
def test_anchor_rows(root, clip, step):
    env = Wbt_env_sim(root, time_steps=step)
    for prop, member in [("anchor_pos_w", "body_pos_w"), ("anchor_quat_w", "body_quat_w"),
                         ("anchor_lim_vel_w", "body_lin_vel_w"),
                         ("anchor_ang_vel_w", "body_ang_vel_w")]:
        value = getattr(env, prop)
        np.testing.assert_array_equal(value, clip[member][step, [9]])
        assert not np.shares_memory(value, getattr(env, "stand_" + member))


@pytest.mark.parametrize("cls", BOTH)
def test_fewer_bodies(tmp_path, cls):
    clips.write_clip(tmp_path, "stand", clips.make_clip(bodies=20))
    env = cls(tmp_path)
    assert env.body_pos_w.shape == (20, 3)
    for prop in ["anchor_pos_w", "anchor_quat_w", "anchor_lim_vel_w", "anchor_ang_vel_w"]:
        with pytest.raises(IndexError):
            getattr(env, prop)


@pytest.mark.parametrize("cls", BOTH)
def test_read_only_and_unknown_clip(root, cls):
    env = cls(root)
    for prop in ["command", "joint_pos", "body_pos_w", "anchor_pos_w", "anchor_quat_w",
                 "anchor_lim_vel_w", "anchor_ang_vel_w"]:
        with pytest.raises(AttributeError):
            setattr(env, prop, 0)
    env.file = "walk"
    with pytest.raises(AttributeError, match="walk_joint_pos"):
        env.joint_pos
    with pytest.raises(AttributeError):
        Wbt_env_sim(root).reset()


def test_wbt_env_anchor_goes_through_alignment(root, clip, fake_align):
    env = Wbt_env(root, time_steps=2)
    pos, quat = env.anchor_pos_w, env.anchor_quat_w
    assert pos.shape == (3,) and quat.shape == (4,)
    (_, passed_pos), (_, passed_quat) = env.motion_init_align.calls[1:]
    np.testing.assert_array_equal(passed_pos, clip["body_pos_w"][2, [9]])
    np.testing.assert_array_equal(passed_quat, clip["body_quat_w"][2, [9]][:, [1, 2, 3, 0]])
    assert not np.shares_memory(passed_quat, env.stand_body_quat_w)


def test_reset_bases_on_anchor_frame_zero(root, clip, fake_align):
    env = Wbt_env(root)
    env.update_time_steps(3)
    assert env.reset() is None and env.time_steps == 0
    name, kwargs = env.motion_init_align.calls[-1]
    assert name == "set_base" and list(kwargs) == ["quat", "pos"]
    np.testing.assert_array_equal(kwargs["pos"], clip["body_pos_w"][0, [9]])
    np.testing.assert_array_equal(kwargs["quat"], clip["body_quat_w"][0, [9]][:, [1, 2, 3, 0]])
    assert kwargs["pos"].shape == (1, 3) and kwargs["quat"].shape == (1, 4)
    assert not np.shares_memory(kwargs["pos"], env.stand_body_pos_w)


@needs_alignment
def test_wbt_env_anchor_before_reset(root, clip):
    env = Wbt_env(root, time_steps=1)
    np.testing.assert_allclose(env.anchor_pos_w, clip["body_pos_w"][1, 9], rtol=0, atol=1e-12)
    q = clip["body_quat_w"][1, 9][[1, 2, 3, 0]]
    np.testing.assert_allclose(env.anchor_quat_w, Rotation.from_quat(q).as_quat(), atol=1e-12)


@needs_alignment
def test_reset_expresses_anchor_relative_to_frame_zero(tmp_path):
    arrays = clips.make_clip(frames=4)
    arrays["body_pos_w"][0, 9] = [1.5, -2.0, 0.8]
    base = Rotation.from_euler("xyz", [0.1, -0.2, 0.7]).as_quat()
    arrays["body_quat_w"][0, 9] = base[[3, 0, 1, 2]]
    clips.write_clip(tmp_path, "stand", arrays)
    env = Wbt_env(tmp_path)
    env.update_time_steps(2)
    env.reset()
    np.testing.assert_allclose(env.anchor_pos_w, [0.0, 0.0, 0.8], atol=1e-12)
    euler = Rotation.from_quat(env.anchor_quat_w).as_euler("xyz")
    np.testing.assert_allclose(euler, [0.1, -0.2, 0.0], atol=1e-12)
    assert env.stand_body_pos_w[0, 9, 2] == 0.8  # the base is a copy

    env.update_time_steps(3)
    heading = Rotation.from_euler("z", 0.7)
    expected = heading.inv().apply(arrays["body_pos_w"][3, 9] - [1.5, -2.0, 0.0])
    np.testing.assert_allclose(env.anchor_pos_w, expected, atol=1e-12)


@pytest.mark.parametrize("cls", BOTH)
@pytest.mark.parametrize("step", [0, -1, True, np.int64(2), 2.0, [1, 2], 99])
def test_frame_queries_index_as_numpy_does(root, cls, step):
    """The views the frame queries make are NumPy's own: same dtype, shape,
    strides, flags and memory, whatever indexes them, from any clip layout."""
    env = cls(root)
    env.stand_body_quat_w = np.asfortranarray(env.stand_body_quat_w)
    env.stand_joint_vel = env.stand_joint_vel[::-1]
    env.stand_body_pos_w.flags.writeable = False
    env.update_time_steps(step)
    for prop, member in FRAME_QUERIES:
        clip_array = getattr(env, "stand_" + member)
        try:
            want = clip_array[step]
        except IndexError as exc:
            with pytest.raises(IndexError, match=re.escape(str(exc))):
                getattr(env, prop)
            continue
        got = getattr(env, prop)
        assert (type(got), got.dtype, got.shape, got.strides, got.flags) == \
            (type(want), want.dtype, want.shape, want.strides, want.flags)
        if np.shares_memory(want, clip_array):  # a view: the same one
            assert got.__array_interface__["data"] == want.__array_interface__["data"]
        else:
            assert not np.shares_memory(got, clip_array)
        np.testing.assert_array_equal(got, want)
    env.file = "".join(["st", "and"])  # an equal name, another object
    env.update_time_steps(1)
    np.testing.assert_array_equal(env.joint_pos, env.stand_joint_pos[1])
