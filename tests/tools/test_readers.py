"""Motion readers: one motion in every layout gives one clip; pickles build
nothing but arrays and plain data."""

import os
import pickle

import numpy as np
import pytest

from trackscope_tools import robot
from trackscope_tools.builtin import builtin_motion
from trackscope_tools.cli.clip import main as clip_main
from trackscope_tools.clipfile import clip_path, read_clip
from trackscope_tools.motion import resample
from trackscope_tools.readers import BASE_COLUMNS, load_motion


@pytest.fixture(scope="module")
def motion():
    """squat_turn's first second at 30 fps: base pose (wxyz) and joints."""
    model, tables = robot.load_model(), robot.tables()
    return resample(builtin_motion("squat_turn", model, tables, seconds=1.0), 30)


def xyzw(quat):
    return quat[:, [1, 2, 3, 0]]


def write_sources(folder, m, tables):
    """The motion as each layout holds it; the pickle's quaternions negated
    (the same rotation)."""
    flat = np.concatenate([m.base_pos, m.base_quat, m.joint_pos], axis=1)
    header = list(BASE_COLUMNS) + list(tables.orig_names_joint)
    (folder / "named.csv").write_text(",".join(header) + "\n" + "\n".join(
        ",".join(repr(float(v)) for v in row) for row in flat) + "\n")
    headerless = np.concatenate([m.base_pos, xyzw(m.base_quat), m.joint_pos], axis=1)
    (folder / "bare.csv").write_text("\n".join(",".join(f"{v:.9f}" for v in row) for row in headerless))
    np.save(folder / "array.npy", flat)
    with open(folder / "retarget.pkl", "wb") as f:
        pickle.dump({"fps": 30, "root_pos": m.base_pos.astype(np.float32),
                     "root_rot": -xyzw(m.base_quat), "dof_pos": m.joint_pos,
                     "local_body_pos": None, "link_body_list": ["pelvis"]}, f, protocol=4)


def test_every_layout_gives_the_same_clip(tmp_path, capsys, motion):
    write_sources(tmp_path, motion, robot.tables())
    runs = {"named.csv": ["--fps", "30"], "bare.csv": [], "array.npy": ["--fps", "30"], "retarget.pkl": []}
    for name, extra in runs.items():
        assert clip_main(["convert", str(tmp_path / name), "--root", str(tmp_path)] + extra) == 0
    out = capsys.readouterr().out
    assert "reading bare.csv as headerless 36-column CSV (xyzw quaternions, 30 fps default)" in out
    assert "reading retarget.pkl as retargeting pickle (xyzw quaternions, 30 fps from the file)" in out
    clips = {n: read_clip(clip_path(tmp_path, os.path.splitext(n)[0])) for n in runs}
    ref = clips["named.csv"]
    assert ref["joint_pos"].shape[0] == 49
    for name, clip in clips.items():
        assert clip.keys() == ref.keys()
        for key in ref:
            a, b = ref[key], clip[key]
            if a.dtype.kind == "U":         # the model's name and fingerprint
                assert a == b
                continue
            if key == "body_quat_w":
                b = b * np.sign(np.sum(a * b, axis=-1, keepdims=True))
            np.testing.assert_allclose(b, a, atol=1e-5, err_msg=f"{name}: {key}")


class Mkdir:
    def __init__(self, path):
        self.path = path

    def __reduce__(self):
        return os.mkdir, (self.path,)


@pytest.mark.parametrize("build, message", [
    (lambda d: {"fps": 30, "root_pos": Mkdir(str(d / "ran"))}, "names posix.mkdir"),
    (lambda d: [Mkdir(str(d / "ran"))], "names posix.mkdir"),
    (lambda d: {"fps": 30, "run": os.system}, "names posix.system"),
])
def test_a_pickle_that_would_run_code_is_refused_unrun(tmp_path, build, message):
    path = tmp_path / "hostile.pkl"
    path.write_bytes(pickle.dumps(build(tmp_path)))
    with pytest.raises(robot.ClipError, match=message):
        load_motion(path, joint_names=robot.tables().orig_names_joint)
    assert not (tmp_path / "ran").exists()


def good_pickle(n=4):
    return {"fps": np.float64(25.0), "root_pos": np.zeros((n, 3)),
            "root_rot": np.tile([0.0, 0.0, 0.0, 1.0], (n, 1)), "dof_pos": np.zeros((n, 29), np.float32)}


@pytest.mark.parametrize("protocol", [0, 2, 5])
def test_numpy_pickles_of_every_protocol_load(tmp_path, protocol):
    path = tmp_path / "m.pkl"
    path.write_bytes(pickle.dumps(good_pickle(), protocol=protocol))
    m, _ = load_motion(path, joint_names=robot.tables().orig_names_joint)
    assert m.fps == 25.0 and m.frames == 4
    np.testing.assert_array_equal(m.base_quat, np.tile([1.0, 0, 0, 0], (4, 1)))


@pytest.mark.parametrize("spoil, message", [
    (lambda d: d.pop("dof_pos"), r"missing key\(s\) dof_pos"),
    (lambda d: d.__setitem__("root_rot", np.zeros((4, 3))), r"root_rot has shape \(4, 3\)"),
    (lambda d: d.__setitem__("root_pos", np.zeros((5, 3))), "frame counts differ"),
    (lambda d: d.__setitem__("fps", "30"), "fps must be a positive number"),
])
def test_bad_pickle_contents_are_named(tmp_path, spoil, message):
    content = good_pickle()
    spoil(content)
    path = tmp_path / "m.pkl"
    path.write_bytes(pickle.dumps(content))
    with pytest.raises(robot.ClipError, match=message):
        load_motion(path, joint_names=robot.tables().orig_names_joint)


@pytest.mark.parametrize("name, content, message", [
    ("m.csv", "0," * 35 + "0\n" + "0," * 35 + "0\n" + "0," * 34 + "0\n",
     "row 3 has 35 columns, expected 36"),
    ("m.csv", "0," * 35 + "0\n" + "0," * 35 + "x\n", "row 2, column 36: not a number"),
    ("m.npy", None, "does not say its frame rate: give --fps"),
])
def test_bad_input_is_named(tmp_path, name, content, message):
    path = tmp_path / name
    if content is None:
        np.save(path, np.zeros((3, 36)))
    else:
        path.write_text(content)
    with pytest.raises(robot.ClipError, match=message):
        load_motion(path, joint_names=robot.tables().orig_names_joint)


def test_recorded_velocities_are_mujocos_object_velocities(motion):
    import mujoco
    from trackscope_tools.recording import qpos_velocity, record_clip
    model, tables = robot.load_model(), robot.tables()
    m = resample(motion)
    clip = record_clip(model, m, tables)
    qvel = qpos_velocity(model, m.qpos(), 1.0 / m.fps)
    data, vel = mujoco.MjData(model), np.zeros(6)
    for t in (0, 20, m.frames - 1):
        data.qpos[:], data.qvel[:] = m.qpos()[t], qvel[t]
        mujoco.mj_forward(model, data)
        for k, body in enumerate(tables.target_indices):
            mujoco.mj_objectVelocity(model, data, mujoco.mjtObj.mjOBJ_XBODY, body, vel, 0)
            np.testing.assert_allclose(clip["body_ang_vel_w"][t, k], vel[:3], rtol=0, atol=1e-12)
            np.testing.assert_allclose(clip["body_lin_vel_w"][t, k], vel[3:], rtol=0, atol=1e-12)
