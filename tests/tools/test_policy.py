"""ONNX tracking policies in the simulation loop: observation terms against
the simulator's state, metadata and orders, the size check, refusals, and
short runs through trackscope-replay."""

import contextlib
import json

import mujoco
import numpy as np
import onnx
import pytest
from onnx import TensorProto, helper
from scipy.spatial.transform import Rotation

import trackscope  # noqa: F401  (registers motion_env_wbt)
from motion_env_wbt import Wbt_env
from trackscope_tools import observations, render, robot, simulation
from trackscope_tools.builtin import builtin_motion
from trackscope_tools.clipfile import clip_path, read_clip, write_clip
from trackscope_tools.cli.policy import main as policy_main
from trackscope_tools.cli.replay import main as replay_main
from trackscope_tools.controllers.policy import PolicyController, write_reference_policy
from trackscope_tools.recording import clip_qpos, record_clip
from trackscope_tools.report import rms
from trackscope_tools.simrobot import SimRobot

ALT_TERMS = ("actions", "joint_vel", "base_ang_vel", "projected_gravity", "command", "joint_pos",
             "motion_anchor_ori_b", "motion_anchor_pos_b", "base_lin_vel")


@pytest.fixture(scope="module")
def root(tmp_path_factory):
    root = tmp_path_factory.mktemp("policy")
    model = robot.load_model()
    for name in ("stand", "squat_turn"):
        write_clip(clip_path(root, name), record_clip(model, builtin_motion(name, model, seconds=1.6)))
    return root


@pytest.fixture(scope="module")
def policies(root):
    model_order = list(robot.tables().orig_names_joint)
    return {"reference": write_reference_policy(root / "reference.onnx"),
            "alternative": write_reference_policy(root / "alternative.onnx", joint_names=model_order,
                                                  terms=ALT_TERMS, action_scale=0.5)}


def test_terms_against_the_simulator_state(root, policies):
    """Every term, built from the robot state alone (IMU, encoders, odometry),
    against an independent SciPy computation on the simulator's perturbed
    state of an off-origin clip, joints in the model's order (not the clip's)."""
    robot_sim = SimRobot(robot.MODEL_PATH)
    model, data = robot_sim.model, robot_sim.data
    clip = simulation.Clip(Wbt_env(str(root), file="squat_turn"), model)
    controller = PolicyController(policies["alternative"])
    clip.env.reset()
    ref, _ = simulation.query(clip.env, 30)
    qpos, qvel = simulation.reference_state(model, clip, ref)
    rng = np.random.default_rng(3)
    qpos[:3] += [0.05, -0.04, 0.03]
    base = Rotation.from_rotvec([0.1, -0.15, 0.3]) * Rotation.from_quat(qpos[[4, 5, 6, 3]])
    qpos[3:7] = base.as_quat()[[3, 0, 1, 2]]
    qpos[7:] += rng.normal(0, 0.05, 29)
    qvel[:] = rng.normal(0, 0.5, model.nv)
    robot_sim.reset(qpos, qvel)
    state = robot_sim.state()
    controller.reset(clip, state)
    last = rng.normal(0, 1, 29)
    own = controller.own.set(state)
    tick = observations.Tick(state, own, clip.env, ref, controller.joints, controller.default, last,
                             controller.anchor)

    stored = read_clip(clip_path(root, "squat_turn"))
    torso = model.body("torso_link").id
    r_robot = Rotation.from_quat(data.xquat[torso][[1, 2, 3, 0]])
    r_ref = Rotation.from_quat(stored["body_quat_w"][30, 9][[1, 2, 3, 0]])
    rel = (r_robot.inv() * r_ref).as_matrix()
    velocity = np.zeros(6)
    mujoco.mj_objectVelocity(model, data, mujoco.mjtObj.mjOBJ_XBODY, 1, velocity, 1)
    ref_q = clip_qpos(stored)[30, 7:]                       # model order through the tables' maps
    ref_qd = stored["joint_vel"][30][robot.tables().target_indices_action]
    expected = {
        "command": np.concatenate([ref_q, ref_qd]),
        "motion_anchor_pos_b": r_robot.inv().apply(stored["body_pos_w"][30, 9] - data.xpos[torso]),
        "motion_anchor_ori_b": rel[:, :2].reshape(6),
        "base_lin_vel": base.inv().apply(data.qvel[:3]),
        "base_ang_vel": velocity[:3],
        "projected_gravity": base.inv().apply([0, 0, -1.0]),
        "joint_pos": data.qpos[7:] - robot.default_qpos(model)[7:],
        "joint_vel": data.qvel[6:],
        "actions": last,
    }
    assert set(expected) == set(observations.TERMS)
    for name, value in expected.items():
        # the state holds float32 values, as the robot's messages do
        np.testing.assert_allclose(observations.TERMS[name].compute(tick), value, atol=2e-6, err_msg=name)
    # Another anchor body goes through the alignment; for the torso it must agree with the queries.
    aligned = observations.Tick(state, own, clip.env, ref, controller.joints, controller.default, last,
                                observations.Anchor("torso_link", torso, 9, queried=False))
    for got, want in zip(aligned.reference_anchor, tick.reference_anchor):
        np.testing.assert_allclose(got, want, atol=1e-12)
    vector = observations.observe(ALT_TERMS, tick)
    offsets = {n: (o, s) for n, o, s in controller.policy.layout}
    for name in ALT_TERMS:
        o, s = offsets[name]
        np.testing.assert_allclose(vector[o:o + s], expected[name], atol=1e-5, err_msg=name)
    # Without odometry the terms that need it are named and the run is refused before its first step.
    assert observations.odometry_terms(ALT_TERMS) == tuple(n for n in ("motion_anchor_pos_b", "base_lin_vel")
                                                           if n in ALT_TERMS)


def test_metadata_orders_and_fallbacks(root, policies, tmp_path):
    """Another term order, the model's joint order and its own scale track as
    the default policy does; a policy without metadata runs on the tables."""
    model = robot.load_model()
    bare = onnx.load(policies["reference"])
    del bare.metadata_props[:]
    onnx.save(bare, tmp_path / "bare.onnx")
    errors = {}
    for kind, path in [*policies.items(), ("bare", tmp_path / "bare.onnx")]:
        controller = PolicyController(path)
        clip = simulation.Clip(Wbt_env(str(root), file="squat_turn"), model)
        record = simulation.run_clip(clip, model, controller, gantry=float("inf"))
        assert record["fall_time_s"] is None and record["banded"].all()
        errors[kind] = record["joint_err"]
        if kind == "bare":
            assert set(controller.policy.source.values()) == {
                "environment target_names_joint", "environment default_joint_pos", "environment action_scales",
                "environment kp", "environment kd", "default term list", "environment anchor body"}
        if kind == "alternative":
            np.testing.assert_allclose(controller.scale, 0.5)
            assert controller.joints.names == list(robot.tables().orig_names_joint)
    assert rms(errors["reference"]) < 0.05
    np.testing.assert_allclose(errors["alternative"], errors["reference"], atol=1e-3)
    np.testing.assert_allclose(errors["bare"], errors["reference"], atol=1e-3)


def linear_model(path, inputs, outputs=29):
    """A policy file: a MatMul per input (summed), float32 [batch, N] each."""
    nodes, inits, names = [], [], []
    for k, n in enumerate(inputs):
        inits.append(helper.make_tensor(f"w{k}", TensorProto.FLOAT, [n, outputs], np.zeros(n * outputs)))
        nodes.append(helper.make_node("MatMul", [f"in{k}", f"w{k}"], [f"y{k}"]))
        names.append(f"y{k}")
    nodes.append(helper.make_node("Sum", names, ["actions"]))
    graph = helper.make_graph(nodes, "g", [helper.make_tensor_value_info(f"in{k}", TensorProto.FLOAT, ["batch", n])
                                           for k, n in enumerate(inputs)],
                              [helper.make_tensor_value_info("actions", TensorProto.FLOAT, ["batch", outputs])], inits)
    model = helper.make_model(graph, opset_imports=[helper.make_opsetid("", 17)])
    model.ir_version = 9
    onnx.save(model, path)
    return str(path)


@pytest.mark.parametrize("kind, fragments", [
    ("size", ["150 values", "add up to 160", "command 58", "motion_anchor_ori_b 6", "actions 29"]),
    ("not_onnx", ["is not an ONNX model"]),
    ("two_inputs", ["takes one input", "this one takes 2"]),
    ("outputs", ["holds 12 values", "29 actions"]),
    ("joint_names", ["joint_names must name", "unknown: knee"]),
])
def test_policies_that_cannot_drive_are_refused(root, tmp_path, capsys, kind, fragments):
    path = tmp_path / "p.onnx"
    if kind == "size":
        linear_model(path, [150])
    elif kind == "not_onnx":
        path.write_text("not a model\n")
    elif kind == "two_inputs":
        linear_model(path, [160, 3])
    elif kind == "outputs":
        linear_model(path, [160], outputs=12)
    else:
        model = onnx.load(linear_model(path, [160]))
        helper.set_model_props(model, {"joint_names": ",".join(["knee"] + list(robot.tables().target_names_joint[1:]))})
        onnx.save(model, path)
    out = tmp_path / "out"
    assert replay_main(["--root", str(root), "--policy", str(path), "--no-render", "--out", str(out)]) == 1
    err = capsys.readouterr().err
    assert "Traceback" not in err and err.count("\n") == 1
    for fragment in fragments:
        assert fragment in err
    assert not out.exists()                                 # refused before the first tick
    if kind == "size":
        assert policy_main(["inspect", str(path)]) == 1
        printed = capsys.readouterr()
        assert "BAD   input size 150, terms 160" in printed.out and "add up to 160" in printed.err


@pytest.mark.parametrize("gantry", ["always", "off"])
def test_replay_runs_a_policy(root, policies, tmp_path, capsys, gantry):
    out = tmp_path / "out"
    assert replay_main(["--root", str(root), "--policy", policies["reference"], "--gantry", gantry,
                        "--no-render", "--out", str(out)]) == (0 if gantry == "always" else 1)
    summary = json.loads((out / "summary.json").read_text())
    assert summary["policy_latency_us"]["median"] > 0 and "query_latency_us" in summary
    log = np.load(out / "log.npz")
    for clip in summary["clips"]:
        ticks = clip["ticks"]
        assert log[f"{clip['name']}/observation"].shape == (ticks, 160)
        assert log[f"{clip['name']}/action"].shape == log[f"{clip['name']}/target"].shape == (ticks, 29)
        if gantry == "always":
            assert clip["success"] and clip["fall_time_s"] is None and clip["joint_rms_rad"] < 0.05
        else:                                               # PD to the reference does not balance
            assert not clip["success"] and 0 < clip["fall_time_s"] < 1.6 and ticks < clip["frames"]
    assert "policy (observation and inference) per tick" in capsys.readouterr().out


def test_a_malformed_clip_is_refused_before_the_first_tick(root, tmp_path, capsys):
    clip = read_clip(clip_path(root, "stand"))
    clip["body_quat_w"] = clip["body_quat_w"][:, :10]
    write_clip(clip_path(tmp_path, "short"), clip)
    assert replay_main(["--root", str(tmp_path), "--clips", "short", "--no-render", "--out", str(tmp_path)]) == 1
    err = capsys.readouterr().err
    assert "body_quat_w has shape (80, 10, 4)" in err and "Traceback" not in err


def test_nonfinite_actions_hold_the_targets_and_fail_the_clip(root, tmp_path):
    path = linear_model(tmp_path / "nan.onnx", [160])
    model = onnx.load(path)
    model.graph.initializer[0].CopyFrom(helper.make_tensor("w0", TensorProto.FLOAT, [160, 29],
                                                           np.full(160 * 29, np.nan)))
    onnx.save(model, path)
    out = tmp_path / "out"
    assert replay_main(["--root", str(root), "--clips", "stand", "--policy", path, "--gantry", "always",
                        "--no-render", "--out", str(out)]) == 1
    summary = json.loads((out / "summary.json").read_text())
    clip = summary["clips"][0]
    assert clip["nonfinite_actions"] == clip["ticks"] - 1 and not clip["success"] and not summary["success"]
    assert clip["joint_rms_rad"] < 1.0 and np.isfinite(np.load(out / "log.npz")["stand/torque"]).all()


class FakeViewer:
    """The passive viewer's surface that LiveView uses, without a window."""

    def __init__(self, model, data, key_callback):
        self.press = key_callback
        self.user_scn = mujoco.MjvScene(model, maxgeom=200)

    def is_running(self):
        return True

    def lock(self):
        return contextlib.nullcontext()

    def sync(self):
        pass

    def close(self):
        pass


def test_live_keys_release_the_gantry_and_reset_the_clip(root, policies, monkeypatch):
    monkeypatch.setattr(render.time, "sleep", lambda s: None)
    model = robot.load_model()
    live = render.LiveView(model, "free", viewer=FakeViewer)
    presses = {5: render.KEY_RELEASE, 8: render.KEY_RESET}

    def watch(sim, step):
        if step in presses:
            live.handle.press(presses.pop(step))
        return live.watch(sim, step)

    clip = simulation.Clip(Wbt_env(str(root), file="stand"), model)
    controller = PolicyController(policies["reference"])
    first = simulation.run_clip(clip, model, controller, gantry=float("inf"), watch=watch)
    assert first["reset"] and first["ticks"] == 9
    assert first["banded"][:6].all() and not first["banded"][6:].any()
    again = simulation.run_clip(clip, model, controller, gantry=float("inf"), watch=watch)
    assert "reset" not in again and again["banded"].all() and again["ticks"] == clip.frames
    assert live.handle.user_scn.ngeom > 0
