"""The whole-body controller: the QP's solution against MuJoCo's dynamics,
standing still on a free base, the contact schedule and a replay end to end."""

import json

import mujoco
import numpy as np
import pytest
import qpsolvers

import trackscope  # noqa: F401
from motion_env_wbt import Wbt_env
from trackscope_tools import plausibility, robot, simulation
from trackscope_tools.builtin import builtin_motion
from trackscope_tools.cli.clip import main as clip_main
from trackscope_tools.cli.replay import main as replay_main
from trackscope_tools.clipfile import clip_path, write_clip
from trackscope_tools.controllers.wbc import WBCController, feasibility
from trackscope_tools.controllers.wbc.schedule import contact_schedule, stance_intervals
from trackscope_tools.controllers.wbc.problem import build_problem
from trackscope_tools.motion import Motion
from trackscope_tools.recording import record_clip

TOL = 1e-6      # bound on the residuals; daqp reaches ~1e-14 here, proxqp ~1e-8


@pytest.fixture(scope="module")
def model():
    return robot.load_model()


def write(root, model, name, motion):
    write_clip(clip_path(root, name), record_clip(model, motion))
    return simulation.Clip(Wbt_env(str(root), file=name), model)


@pytest.fixture(scope="module")
def still(model, tmp_path_factory):
    root = tmp_path_factory.mktemp("wbc")
    qpos = np.tile(robot.default_qpos(model), (250, 1))          # 5 s in the default pose
    return write(root, model, "still", Motion.from_qpos(qpos))


@pytest.mark.parametrize("solver, rate", [("daqp", "tick"), ("daqp", "step"), ("proxqp", "tick")])
def test_solution_obeys_the_dynamics_and_the_friction_cones(model, still, solver, rate):
    if solver not in qpsolvers.available_solvers:
        pytest.skip(f"{solver} is not installed (optional: trackscope-tools[solvers])")
    controller = WBCController(solver, rate)
    record = simulation.run_clip(still, model, controller)       # leaves the last step's problem behind
    state, x = controller.last_state, controller.last_x
    lay = state.layout
    qdd, f, tau = x[lay.qdd], x[lay.f].reshape(-1, 3), x[lay.tau]
    gen = np.zeros(model.nv)
    gen[6:] = tau
    for (body, point), force in zip(state.corners, f):
        jac, _ = state.jacobian(body, point)
        gen += jac[:3].T @ force
    np.testing.assert_allclose(state.M @ qdd + state.h, gen, atol=TOL * np.abs(state.h).max())
    assert len(f) == 8 and (f[:, 2] >= 1.0 - TOL).all()
    assert (np.abs(f[:, :2]) <= controller.limits[2].mu * f[:, 2, None] + TOL).all()
    problem = build_problem(state, controller.tasks, controller.limits)
    assert (problem.G @ x - problem.h).max() <= TOL
    assert record["ticks"] == still.frames


def test_stands_five_seconds_without_drifting(model, still):
    controller = WBCController()
    record = simulation.run_clip(still, model, controller)
    assert record["fall_time_s"] is None and record["ticks"] == 250
    assert record["anchor_pos_err"].max() < 0.003
    drift = np.linalg.norm(record["qpos"][-1, :2] - record["qpos"][0, :2])
    assert drift < 0.002
    slip, _ = controller.slip()
    assert slip < 0.001
    assert abs(np.mean(record["support_force"][:-1]) - 1.0) < 0.02     # the floor carries the weight
    assert not record["saturated"].any() and controller.failed == 0


@pytest.mark.parametrize("lift, expect", [
    # (pelvis raise per frame, m) -> stance of a foot per frame: lift-off at
    # the check's 1 cm, touch-down only within 5 mm, nothing in between flips
    ([0, 0.008, 0.012, 0.008, 0.006, 0.004, 0], [1, 1, 0, 0, 0, 1, 1]),
    ([0, 0.009, 0.0095, 0.009, 0], [1, 1, 1, 1, 1]),
    ([0.02, 0.007, 0.02, 0.003], [0, 0, 0, 1]),
])
def test_schedule_has_hysteresis(model, lift, expect):
    qpos = np.tile(robot.default_qpos(model), (len(lift), 1))
    qpos[:, 2] += lift
    stance = contact_schedule(model, qpos)
    assert stance[:, 0].astype(int).tolist() == expect
    assert (stance[:, 0] == stance[:, 1]).all()


def test_replay_end_to_end(model, tmp_path):
    motion = builtin_motion("stand", model, seconds=1.5)
    write_clip(clip_path(tmp_path, "stand"), record_clip(model, motion))
    out = tmp_path / "out"
    assert replay_main(["--root", str(tmp_path), "--no-render", "--out", str(out)]) == 0   # wbc by default
    summary = json.loads((out / "summary.json").read_text())
    assert summary["controller"] == "wbc" and summary["base"] == "free"
    assert summary["qp_solve_us"]["solves"] == 74 and summary["qp_failed_steps"] == 0
    clip = summary["clips"][0]
    assert not clip["fell"] and clip["anchor_pos_rms_m"] < 0.02 and clip["joint_rms_rad"] < 0.05
    assert clip["stance_foot_slip_max_m"] < 0.005 and 0.9 < clip["support_force_ratio"] < 1.1


GOOD = {"fell": False, "fall_time_s": None, "fall_reason": None, "anchor_pos_rms_m": 0.001, "joint_rms_rad": 0.01,
        "stance_foot_slip_max_m": 0.001, "stance_foot_slip_foot": "left_ankle_roll_link",
        "support_force_ratio": 1.0, "torque_saturated_fraction": {}, "qp_failed_steps": 0}


@pytest.mark.parametrize("change, feasible, reason", [
    ({}, True, None),
    ({"torque_saturated_fraction": {"left_knee_joint": 0.1}}, True, "left_knee_joint"),
    ({"fell": True, "fall_time_s": 1.5, "fall_reason": "anchor height error 0.30 m"}, False, "fell at 1.50 s"),
    ({"stance_foot_slip_max_m": 0.006}, False, "left_ankle_roll_link"),
    ({"support_force_ratio": 0.8}, False, "support_force_ratio"),
    ({"qp_failed_steps": 3}, False, "3 step(s)"),
])
def test_feasibility_verdict_names_what_failed(change, feasible, reason):
    ok, reasons = feasibility.judge({**GOOD, **change})
    assert ok is feasible
    assert (reason is None and not reasons) or any(reason in r for r in reasons)


def test_check_dynamic_adds_the_verdict(model, still, tmp_path, monkeypatch):
    monkeypatch.setitem(plausibility.FIGURES, "dynamic_feasible", feasibility.FIGURE)   # gone afterwards
    path = clip_path(still.env.current_dir, "still")
    out = tmp_path / "check.json"
    assert clip_main(["check", "--dynamic", str(path), "--json", str(out)]) == 0
    record = json.loads(out.read_text())
    record = record[0] if isinstance(record, list) else record["clips"][0]
    assert record["checks"]["dynamic_feasible"] is True and record["verdict"] == "pass"


def test_check_dynamic_over_workers_gives_the_verdicts_of_one_process(model, tmp_path, monkeypatch):
    monkeypatch.setitem(plausibility.FIGURES, "dynamic_feasible", feasibility.FIGURE)
    qpos = np.tile(robot.default_qpos(model), (50, 1))
    falls = qpos.copy()
    falls[:, 2] += np.linspace(0.0, 0.5, 50)                    # the pelvis rises off the feet
    for name, rows in (("still_a", qpos), ("still_b", qpos), ("rise", falls)):
        write_clip(tmp_path / "clips" / f"{name}.npz", record_clip(model, Motion.from_qpos(rows)))
    verdicts = {}
    for jobs in (1, 2):
        out = tmp_path / f"check{jobs}.json"
        clip_main(["check", "--dynamic", "--jobs", str(jobs), str(tmp_path / "clips"), "--json", str(out)])
        report = json.loads(out.read_text())
        assert "dynamic_feasible" in report["thresholds"]
        verdicts[jobs] = {c["name"]: (c["verdict"], c["checks"].get("dynamic_feasible")) for c in report["clips"]}
    assert verdicts[1] == verdicts[2]
    assert verdicts[1]["still_a"] == ("pass", True) and verdicts[1]["rise"][1] is False


def test_step_in_place_stands_on_one_foot_over_it(model):
    qpos = builtin_motion("step_in_place", model).qpos()
    stance = contact_schedule(model, qpos)
    lifted = [(foot, a, b) for foot, a, b in stance_intervals(~stance)]
    assert [foot for foot, _, _ in sorted(lifted, key=lambda x: x[1])] == [1, 0, 1, 0]   # right, left, ...
    data = mujoco.MjData(model)
    sole = [model.site(n).id for n in ("left_sole", "right_sole")]
    feet = [model.body(n).id for n in robot.FOOT_BODIES]
    data.qpos[:] = qpos[0]
    mujoco.mj_kinematics(model, data)
    floor_z = data.xpos[feet, 2].copy()
    for foot, a, b in lifted:
        top = 0.0
        for q in qpos[a: b + 1]:
            data.qpos[:] = q
            mujoco.mj_kinematics(model, data)
            mujoco.mj_comPos(model, data)
            offset = data.subtree_com[1][:2] - data.site_xpos[sole[1 - foot]][:2]
            assert abs(offset[0]) < 0.01 and abs(offset[1]) < 0.03        # over the standing sole
            assert abs(data.xpos[feet[1 - foot], 2] - floor_z[1 - foot]) < 1e-6
            top = max(top, data.xpos[feet[foot], 2] - floor_z[foot])
        assert top == pytest.approx(0.05, abs=1e-6)


def test_a_clip_it_cannot_follow_is_reported(model, tmp_path):
    # The pelvis 17 cm forward over planted feet: the centre of mass leaves the soles.
    from trackscope_tools import builtin
    data = mujoco.MjData(model)
    default = robot.default_qpos(model)
    data.qpos[:] = default
    mujoco.mj_kinematics(model, data)
    feet = [model.body(n).id for n in robot.FOOT_BODIES]
    targets = [(data.xpos[b].copy(), data.xmat[b].reshape(3, 3).copy()) for b in feet]
    qadr, dadr = builtin._leg_dofs(model, robot.tables())
    qpos, q = np.tile(default, (150, 1)), default.copy()
    for k in range(150):
        q[0] = default[0] + 0.17 * min(k / 100, 1.0)
        q, _ = builtin._solve_feet(model, data, q, feet, targets, qadr, dadr)
        qpos[k] = q
    path = write_clip(clip_path(tmp_path, "lean"), record_clip(model, Motion.from_qpos(qpos)))
    result = feasibility.dynamic_feasible(path)
    assert result["dynamic_feasible"] is False and result["fell"]
    assert any(r.startswith(f"fell at {result['fall_time_s']:.2f} s") for r in result["reasons"])
