"""The robot boundary and the deploy state machine: the simulated robot's
motors and sensors, the torso from the IMU, the in-process deployment
against the replay, and faults going to damping."""

import json
import os
import random
import signal
import subprocess
import sys

import numpy as np
import pytest
from scipy.spatial.transform import Rotation

import trackscope  # noqa: F401
from math_transfrom import pelvis_to_torso_quat
from motion_env_wbt import Wbt_env
from trackscope_tools import deploy, robot, simulation
from trackscope_tools.boundary import MotorCommand, Remote, motor_torque
from trackscope_tools.builtin import builtin_motion
from trackscope_tools.clipfile import clip_path, write_clip
from trackscope_tools.controllers import PDController, WBCController
from trackscope_tools.controllers.policy import PolicyController, write_reference_policy
from trackscope_tools.recording import record_clip
from trackscope_tools.report import clip_summary
from trackscope_tools.simrobot import RobotOptions, SimRobot
from trackscope_tools.statemodel import StateModel

FIGURES = ("fell", "anchor_pos_rms_m", "joint_rms_rad", "support_force_ratio")


@pytest.fixture(scope="module")
def root(tmp_path_factory):
    root = tmp_path_factory.mktemp("deploy")
    model = robot.load_model()
    write_clip(clip_path(root, "step_in_place"), record_clip(model, builtin_motion("step_in_place", model,
                                                                                   seconds=2.0)))
    write_clip(clip_path(root, "stand"), record_clip(model, builtin_motion("stand", model, seconds=30.0)))
    return str(root)


def clip(root):
    return simulation.Clip(Wbt_env(root, file="step_in_place"), robot.load_model())


def test_motor_torque_is_the_drivers_pd_clipped_and_zero_when_disabled():
    cmd = MotorCommand.pd(np.full(29, 1.0), np.zeros(29), np.full(29, 100.0), np.full(29, 2.0), np.full(29, 3.0))
    cmd.enable[5] = False
    effort = np.full(29, 50.0)
    tau = motor_torque(cmd.rounded(), np.full(29, 0.9), np.full(29, 1.0), effort)
    assert tau[5] == 0.0
    np.testing.assert_allclose(np.delete(tau, 5), 3.0 + 100.0 * 0.1 - 2.0, rtol=1e-6)
    assert motor_torque(cmd.rounded(), np.zeros(29), np.zeros(29), effort)[0] == 50.0
    rounded = cmd.rounded()
    assert rounded.q.dtype == np.float32 and rounded.q[5] == 0.0


def test_imu_torso_and_sensor_options():
    """The torso from the IMU and the waist joints by kinematics equals
    pelvis_to_torso_quat where only waist pitch moves; noise, bias and
    latency change what the state shows only when asked for."""
    robot_sim = SimRobot(robot.MODEL_PATH)
    model = robot_sim.model
    qpos = robot.default_qpos(model)
    qpos[3:7] = Rotation.from_rotvec([0.1, -0.2, 0.7]).as_quat()[[3, 0, 1, 2]]
    pitch = model.joint("waist_pitch_joint")
    qpos[pitch.qposadr[0]] = 0.3
    qvel = np.zeros(robot_sim.model.nv)
    qvel[3:6] = [0.3, -0.2, 0.5]                   # pelvis-frame angular velocity
    robot_sim.reset(qpos, qvel)
    state = robot_sim.state()
    own = StateModel(robot.MODEL_PATH)
    data = own.set(state)
    torso = data.xquat[model.body("torso_link").id]
    expected = pelvis_to_torso_quat(state.imu.quat, float(state.q[list(robot.tables().orig_names_joint)
                                                                  .index("waist_pitch_joint")]))
    assert abs(abs(float(np.dot(torso, expected))) - 1.0) < 1e-6
    np.testing.assert_allclose(own.pelvis_quat(state), qpos[3:7], atol=1e-6)
    np.testing.assert_allclose(state.imu.gyro, [0.3, -0.2, 0.5], atol=1e-6)
    np.testing.assert_allclose(data.qvel[3:6], [0.3, -0.2, 0.5], atol=1e-6)

    noisy = SimRobot(robot.MODEL_PATH, RobotOptions(noise=1.0, gyro_bias=0.1, latency_steps=2))
    noisy.reset(qpos)
    s = noisy.state()
    assert not np.array_equal(s.q, state.q) and abs(float(s.imu.gyro[0]) - 0.1) < 0.05
    noisy.send(MotorCommand.damping(np.ones(29)))
    noisy.step()
    assert not noisy.command.enable.any()           # still the passive command: two steps of latency
    noisy.step()
    noisy.step()
    assert noisy.command.enable.all()


def test_in_process_deployment_gives_the_replays_figures(root):
    """--start-in-run against the simulated robot in this process runs the
    same states and commands as the replay: the same figures."""
    replayed = clip_summary(simulation.run_clip(clip(root), robot.load_model(), WBCController()))
    c = clip(root)
    controller = WBCController()
    sim = SimRobot(controller.model_path)
    simulation.start_pose(c, sim, controller.start_clearance)
    run = deploy.Deployment(deploy.InProcessLink(sim), [c], controller, auto=True, start_in_run=True,
                            log=lambda line: None, tick_budget_s=1.0)
    assert run.serve() == "done"
    deployed = clip_summary(run.records[0])
    for key in FIGURES:
        assert deployed[key] == pytest.approx(replayed[key], abs=1e-9), key
    assert [t["to"] for t in run.transitions] == ["passive", "run", "damping"]
    figures = run.summary_figures()
    assert figures["transport"] == "inprocess" and figures["missed_ticks"] == 0 and not figures["faults"]


class Broken(PDController):
    """PD whose command goes bad at a given tick."""
    base = "free"

    def __init__(self, how, at=5):
        self.how, self.at = how, at

    def tick(self, state, ref):
        command = super().tick(state, ref)
        if ref.step >= self.at:
            if self.how == "nonfinite":
                command.q = np.full(29, np.nan)
            else:                               # drive the left knee far beyond its range
                command.q = command.q.copy()
                command.q[3] = -3.0
                command.kp = np.full(29, 500.0)
        return command


@pytest.mark.parametrize("how, reason", [("nonfinite", "nonfinite"), ("limit", "joint_limit")])
def test_a_fault_sends_the_robot_to_damping(root, how, reason):
    c = clip(root)
    controller = Broken(how)
    sim = SimRobot(controller.model_path)
    simulation.start_pose(c, sim, 0.0)
    sim.band = simulation.BaseTarget(sim.data.qpos[:3].copy(), sim.data.qpos[3:7].copy())
    run = deploy.Deployment(deploy.InProcessLink(sim), [c], controller, auto=True, start_in_run=True,
                            log=lambda line: None, tick_budget_s=1.0)
    assert run.serve() == "fault"
    assert [f.reason for f in run.faults] == [reason] and run.faults[0].state == "run"
    assert run.mode == "damping" and run.transitions[-1]["to"] == "damping"
    # damping after the fault: no stiffness, the tables' damping
    command = run._command(sim.state())
    assert command.enable.all() and not command.kp.any() and command.kd.any()


class CorruptAfter(deploy.InProcessLink):
    """States whose CRC is wrong (dropped, counted) from state `at` on."""

    def __init__(self, robot, at):
        super().__init__(robot)
        self.at, self.count, self.sent = at, 0, []

    def wait_state(self, timeout):
        state = super().wait_state(timeout)
        self.count += 1
        if self.count <= self.at:
            return state
        self.crc_errors += 1
        self.crc_in_row += 1
        return None

    def send(self, command):
        self.sent.append(command)
        super().send(command)


def test_corrupt_states_are_a_crc_fault_and_damping(root):
    c = clip(root)
    controller = WBCController()
    sim = SimRobot(controller.model_path)
    simulation.start_pose(c, sim, 0.0)
    link = CorruptAfter(sim, at=50)
    run = deploy.Deployment(link, [c], controller, auto=True, start_in_run=True, log=lambda line: None,
                            tick_budget_s=1.0, watchdog_s=0.001)
    assert run.serve() == "fault"
    assert [f.reason for f in run.faults] == ["crc"] and link.crc_errors >= deploy.CRC_IN_ROW
    assert run.summary_figures()["crc_errors"] == link.crc_errors
    last = link.sent[-1]
    assert last.enable.all() and not last.kp.any() and last.kd.any()


def test_the_state_machine_by_remote_buttons(root):
    c = clip(root)
    controller = PDController()
    sim = SimRobot(controller.model_path)
    sim.reset(robot.default_qpos(sim.model))
    sim.band = simulation.BaseTarget(sim.data.qpos[:3].copy(), sim.data.qpos[3:7].copy())   # on the gantry
    link = deploy.InProcessLink(sim)
    run = deploy.Deployment(link, [c], controller, log=lambda line: None, tick_budget_s=1.0)
    states = []
    presses = {10: ["start"], 20: ["start"], 1200: ["A"], 1300: ["select"]}

    def state_with_remote():
        s = deploy.InProcessLink.wait_state(link, 0)
        s.remote = Remote.of(presses.get(len(states), []))
        states.append(s)
        return s
    link.wait_state = lambda timeout: state_with_remote()
    assert run.serve() == "done", run.faults
    assert [t["to"] for t in run.transitions] == ["passive", "damping", "stand", "run", "damping"]
    assert run.transitions[-1]["why"] == "stop"


# A domain of this test run's own on loopback, apart from other runs on the machine.
NET = ["--domain", str(random.Random(os.getpid()).randrange(2, 230)), "--interface", "lo"]


def _cli(module, *args):
    return [sys.executable, "-c", f"import sys; from trackscope_tools.cli.{module} import main; "
            "sys.exit(main(sys.argv[1:]))", *NET, *args]


@pytest.fixture
def sim_process(root, tmp_path):
    pytest.importorskip("cyclonedds")
    procs = []

    def start(*extra):
        proc = subprocess.Popen(_cli("sim", "--lockstep", "--sim-dt", "0.005", "--root", root, "--clips",
                                     "step_in_place", "--gantry", "off", "--no-render", "--out",
                                     str(tmp_path / "sim"), *extra),
                                stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True)
        procs.append(proc)
        for line in proc.stdout:            # up once it says where it is
            if "the robot on" in line:
                break
        return proc
    yield start
    for proc in procs:
        if proc.poll() is None:
            proc.send_signal(signal.SIGINT)
            try:
                proc.wait(30)
            except subprocess.TimeoutExpired:
                proc.kill()


def test_dds_lockstep_gives_the_replays_figures_and_a_second_controller_is_refused(root, tmp_path, sim_process):
    sim = sim_process()
    out = tmp_path / "deploy"
    done = subprocess.run(_cli("deploy", "--root", root, "--clips", "step_in_place", "--start-in-run", "--auto",
                               "--lockstep", "--watchdog-ms", "2000", "--tick-budget-ms", "1000", "--out", str(out)),
                          capture_output=True, text=True, timeout=300)
    assert done.returncode == 0, done.stdout + done.stderr
    summary = json.loads((out / "summary.json").read_text())
    assert summary["transport"] == "dds" and summary["crc_errors"] == 0 and not summary["faults"]
    replayed = clip_summary(simulation.run_clip(clip(root), robot.load_model(), WBCController()))
    for key in FIGURES:
        assert summary["clips"][0][key] == pytest.approx(replayed[key], abs=1e-6), key
    # the simulator still runs: a second deploy while a first one writes commands is refused
    first = subprocess.Popen(_cli("deploy", "--root", root, "--clips", "step_in_place", "--out",
                                  str(tmp_path / "first")), stdout=subprocess.PIPE, stderr=subprocess.STDOUT,
                             text=True, env={**os.environ, "PYTHONUNBUFFERED": "1"})
    try:
        for line in first.stdout:           # writing commands once it is passive
            if "-> passive" in line:
                break
        second = subprocess.run(_cli("deploy", "--root", root, "--clips", "step_in_place", "--out",
                                     str(tmp_path / "second")), capture_output=True, text=True, timeout=60)
        assert second.returncode == 2 and "another controller" in second.stderr
        assert len(second.stderr.strip().splitlines()) == 1
    finally:
        first.send_signal(signal.SIGINT)
        first.wait(30)
    sim.send_signal(signal.SIGINT)
    assert sim.wait(30) == 0


def test_the_simulator_killed_mid_run_is_a_watchdog_fault(root, tmp_path, sim_process):
    sim = sim_process("--gantry", "always")         # damping would let it fall: a tilt fault first
    out = tmp_path / "deploy"
    deploy_proc = subprocess.Popen(_cli("deploy", "--root", root, "--clips", "stand", "--auto",
                                        "--lockstep", "--watchdog-ms", "300", "--tick-budget-ms", "1000", "--out", str(out)),
                                   stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True,
                                   env={**os.environ, "PYTHONUNBUFFERED": "1"})
    for line in deploy_proc.stdout:
        if "-> run" in line:
            break
    sim.kill()
    status = deploy_proc.wait(60)
    assert status == 3, deploy_proc.stdout.read()
    summary = json.loads((out / "summary.json").read_text())
    assert [f["reason"] for f in summary["faults"]] == ["watchdog"]
    assert summary["transitions"][-1]["to"] == "damping"


def test_dds_lockstep_gives_the_replays_figures_for_a_policy(root, tmp_path, sim_process):
    """The reference policy on the gantry-less robot, started 1 cm above the
    floor as the replay starts a policy; it falls, and it falls alike."""
    policy = write_reference_policy(tmp_path / "reference.onnx")
    sim = sim_process("--clearance", "0.01")
    out = tmp_path / "deploy"
    done = subprocess.run(_cli("deploy", "--root", root, "--clips", "step_in_place", "--start-in-run", "--auto",
                               "--lockstep", "--watchdog-ms", "2000", "--tick-budget-ms", "1000", "--policy", policy, "--out", str(out)),
                          capture_output=True, text=True, timeout=300)
    assert done.returncode in (0, 1), done.stdout + done.stderr
    deployed = json.loads((out / "summary.json").read_text())["clips"][0]
    replayed = clip_summary(simulation.run_clip(clip(root), robot.load_model(), PolicyController(policy)))
    for key in FIGURES:
        assert deployed[key] == pytest.approx(replayed[key], abs=1e-6), key
    sim.send_signal(signal.SIGINT)
    assert sim.wait(30) == 0


def test_a_policy_needing_odometry_is_refused_where_the_state_has_none(root, tmp_path):
    c = clip(root)
    controller = PolicyController(write_reference_policy(tmp_path / "reference.onnx"))
    sim = SimRobot(controller.model_path)
    simulation.start_pose(c, sim, 0.0)
    state = sim.state()
    state.odometry = None
    run = simulation.ClipRun(c, controller, controller.model_path)
    with pytest.raises(robot.ClipError, match="motion_anchor_pos_b, base_lin_vel"):
        run.on_state(state)


def test_the_simulator_renders_its_video_from_its_log_whatever_gl_the_user_set(tmp_path):
    """It picks its OpenGL backend before MuJoCo is imported, as the main job runs it."""
    pytest.importorskip("cyclonedds")
    env = {k: v for k, v in os.environ.items() if k != "MUJOCO_GL"}
    done = subprocess.run(_cli("sim", "--seconds", "0.3", "--out", str(tmp_path)), capture_output=True, text=True,
                          timeout=120, env=env)
    assert done.returncode == 0, done.stderr
    assert (tmp_path / "sim.mp4").stat().st_size > 0
    summary = json.loads((tmp_path / "sim.json").read_text())
    assert summary["steps"] == 150 and summary["gantry"]["released_at_s"] is None
