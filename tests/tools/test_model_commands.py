"""Every command that loads a model, on the second model and the
maker-style model (short clips); a clip recorded on one model and used on
another gets one "recorded on" warning."""

import json

import numpy as np
import pytest

from trackscope_tools import robot, usermodel
from trackscope_tools.builtin import builtin_motion
from trackscope_tools.cli.clip import main as clip_main
from trackscope_tools.cli.policy import main as policy_main
from trackscope_tools.cli.replay import main as replay_main
from trackscope_tools.clipfile import clip_path, read_clip, write_clip
from trackscope_tools.controllers.policy import write_reference_policy
from trackscope_tools.recording import record_clip

import usermodels

SECONDS = 1.5


@pytest.fixture(scope="module")
def world(tmp_path_factory):
    """Model files and, per model, a root with short stand and squat_turn clips."""
    folder = tmp_path_factory.mktemp("world")
    robot_file, scene = usermodels.maker_model(folder / "maker")
    files = {"package": robot.MODEL_PATH, "second": usermodels.second_model(folder), "maker": robot_file,
             "scene": scene}
    roots = {}
    for key in ("package", "second", "scene"):
        model = usermodel.load(files[key]).model
        roots[key] = folder / key
        for name in ("stand", "squat_turn"):
            write_clip(clip_path(roots[key], name), record_clip(model, builtin_motion(name, model, seconds=SECONDS)))
    return files, roots


def test_builtin_clips_differ_where_the_kinematics_differ(world, tmp_path, capsys):
    files, _ = world
    for key in ("package", "second"):
        assert clip_main(["builtin", "stand", "--root", str(tmp_path / key), "--model", files[key]]) == 0
    ours, theirs = (read_clip(clip_path(tmp_path / key, "stand")) for key in ("package", "second"))
    names = robot.tables().target_names
    pelvis, foot, hand = (names.index(n) for n in ("pelvis", "left_ankle_roll_link", "left_wrist_yaw_link"))
    np.testing.assert_allclose(theirs["joint_pos"], ours["joint_pos"], atol=1e-12)     # one pose
    rise = theirs["body_pos_w"][:, pelvis, 2] - ours["body_pos_w"][:, pelvis, 2]
    assert rise.min() > 0.035 and np.ptp(rise) < 1e-9      # legs 8 % longer: the pelvis stands higher
    for body, moves in ((foot, False), (hand, False)):     # relative to the pelvis the links are the same
        rel = lambda c: c["body_pos_w"][:, body] - c["body_pos_w"][:, pelvis]  # noqa: E731
        if body == hand:
            np.testing.assert_allclose(rel(theirs), rel(ours), atol=1e-9)
        else:
            assert np.abs(rel(theirs) - rel(ours)).max() > 0.035
    assert str(theirs["model_name"]) == "trackscope_humanoid_long"
    assert str(theirs["model_fingerprint"]) != str(ours["model_fingerprint"])


def test_a_model_in_another_order_records_the_same_clips(tmp_path):
    reordered = usermodel.load(usermodels.reordered_model(tmp_path))
    model, ours = reordered.model, usermodel.load().model
    names = [model.joint(j).name for j in range(model.njnt)]
    assert names.index("left_hip_pitch_joint") > names.index("right_wrist_yaw_joint")      # hinges moved
    assert model.body("left_hip_pitch_link").id != ours.body("left_hip_pitch_link").id
    assert reordered.fingerprint == usermodel.load().fingerprint
    for name in ("stand", "step_in_place"):
        a = record_clip(model, builtin_motion(name, model, seconds=SECONDS))
        b = record_clip(ours, builtin_motion(name, ours, seconds=SECONDS))
        for key in ("joint_pos", "joint_vel", "body_pos_w", "body_quat_w", "body_lin_vel_w", "body_ang_vel_w"):
            np.testing.assert_allclose(a[key], b[key], atol=1e-9, err_msg=f"{name} {key}")
        write_clip(clip_path(tmp_path, name), a)
    assert replay_main(["--root", str(tmp_path), "--model", str(tmp_path / "reordered.xml"), "--no-render",
                        "--out", str(tmp_path / "out")]) == 0
    summary = json.loads((tmp_path / "out" / "summary.json").read_text())
    assert all(c["success"] and c["joint_rms_rad"] < 0.05 for c in summary["clips"])


@pytest.mark.parametrize("key", ["second", "scene"])
def test_check_inspect_and_convert_on_the_model(world, key, tmp_path, capsys):
    files, roots = world
    clips = [str(clip_path(roots[key], n)) for n in ("stand", "squat_turn")]
    assert clip_main(["check", *clips, "--model", files[key]]) == 0
    assert clip_main(["inspect", *clips, "--model", files[key]]) == 0
    out, err = capsys.readouterr()
    assert "recorded on" not in out + err and "(the model in use)" in out
    stored = read_clip(clips[1])
    rows = np.concatenate([stored["body_pos_w"][:, 0], stored["body_quat_w"][:, 0][:, [1, 2, 3, 0]],
                           stored["joint_pos"][:, robot.tables().target_indices_action]], axis=1)
    np.savetxt(tmp_path / "squat.csv", rows[::5], delimiter=",")
    assert clip_main(["convert", str(tmp_path / "squat.csv"), "--fps", "10", "--root", str(tmp_path),
                      "--model", files[key]]) == 0
    again = read_clip(clip_path(tmp_path, "squat"))
    assert str(again["model_fingerprint"]) == str(stored["model_fingerprint"])
    sampled = again["body_pos_w"][::5]          # the source's frames, recorded again on the model
    np.testing.assert_allclose(sampled, stored["body_pos_w"][::5][:len(sampled)], atol=1e-6)


def test_a_clip_used_on_another_model_gets_one_warning(world, tmp_path, capsys, monkeypatch):
    files, roots = world
    clip = str(clip_path(roots["second"], "stand"))
    assert clip_main(["check", clip]) == 1             # its longer legs leave our robot floating
    out, err = capsys.readouterr()
    assert "floating_fraction 1" in out
    assert err.count("recorded on") == 1
    assert "recorded on trackscope_humanoid_long (fingerprint" in err and "trackscope_humanoid (fingerprint" in err
    assert clip_main(["inspect", clip]) == 0
    out = capsys.readouterr().out
    assert out.count("recorded on") == 1 and "  warn  recorded on" in out
    monkeypatch.setenv("TRACKSCOPE_MODEL", files["second"])           # the default model: no warning
    assert clip_main(["check", clip]) == 0
    assert "recorded on" not in capsys.readouterr().err
    monkeypatch.delenv("TRACKSCOPE_MODEL")
    assert replay_main(["--root", str(roots["second"]), "--clips", "stand", "--controller", "kinematic",
                        "--no-render", "--out", str(tmp_path)]) == 0
    assert capsys.readouterr().err.count("recorded on") == 1


@pytest.mark.parametrize("key, controller", [("second", "wbc"), ("scene", "wbc"), ("maker", "wbc"),
                                             ("second", "pd"), ("second", "kinematic")])
def test_replay_on_the_model(world, key, controller, tmp_path, capsys):
    files, roots = world
    root = roots["scene" if key == "maker" else key]
    assert replay_main(["--root", str(root), "--model", files[key], "--controller", controller,
                        "--no-render", "--out", str(tmp_path)]) == 0
    captured = capsys.readouterr()
    assert "recorded on" not in captured.err
    summary = json.loads((tmp_path / "summary.json").read_text())
    assert summary["model"] == files[key].rsplit("/", 1)[1]
    for clip in summary["clips"]:
        assert clip["success"] and not clip["fell"]
        assert clip["joint_rms_rad"] < (0.05 if controller == "wbc" else 0.06)
        if controller == "wbc":
            # squat_turn squeezed into 1.5 s turns 0.5 rad each way: its feet creep
            # 6 mm on the package's model too (the full clip: 2 mm)
            slip = 0.005 if clip["name"] == "stand" else 0.008
            assert clip["anchor_pos_rms_m"] < 0.02 and clip["stance_foot_slip_max_m"] < slip
            assert 0.9 < clip["support_force_ratio"] < 1.1


def test_the_reference_policy_on_the_second_model(world, tmp_path, capsys):
    files, roots = world
    policy = write_reference_policy(tmp_path / "reference.onnx")
    assert policy_main(["inspect", policy, "--model", files["second"]]) == 0
    assert "trackscope_humanoid_long" in capsys.readouterr().out
    assert replay_main(["--root", str(roots["second"]), "--clips", "stand", "--model", files["second"],
                        "--policy", policy, "--gantry", "always", "--no-render", "--out", str(tmp_path)]) == 0
    summary = json.loads((tmp_path / "summary.json").read_text())
    assert summary["clips"][0]["joint_rms_rad"] <= 0.05


@pytest.mark.parametrize("argv", [["replay", "--controller", "wbc"], ["policy", "inspect", "p.onnx"]])
def test_a_broken_model_is_refused_by_replay_and_policy(world, argv, tmp_path, capsys):
    files, roots = world
    broken = usermodels.second_model(tmp_path, "broken")
    main = replay_main if argv[0] == "replay" else policy_main
    extra = ["--root", str(roots["second"]), "--no-render", "--out", str(tmp_path / "out")] \
        if argv[0] == "replay" else []
    assert main(argv[1:] + extra + ["--model", broken]) == 1
    err = capsys.readouterr().err
    assert "missing joint 'left_knee_joint'" in err and "Traceback" not in err
    assert not (tmp_path / "out").exists()


def test_deploy_in_process_on_the_second_model(world, tmp_path, capsys, monkeypatch):
    from trackscope_tools import deploy
    from trackscope_tools.cli.deploy import main as deploy_main
    files, roots = world
    # a tick over its 20 ms budget is a fault; on a busy test machine it says nothing of the model
    init = deploy.Deployment.__init__
    monkeypatch.setattr(deploy.Deployment, "__init__",
                        lambda self, *a, **k: init(self, *a, **{**k, "tick_budget_s": 1.0}))
    assert deploy_main(["--transport", "inprocess", "--auto", "--start-in-run", "--root", str(roots["second"]),
                        "--clips", "stand", "--model", files["second"], "--out", str(tmp_path)]) == 0
    summary = json.loads((tmp_path / "summary.json").read_text())
    assert summary["model"] == "second_model.xml" and summary["clips"][0]["joint_rms_rad"] < 0.05


def test_the_simulator_refuses_a_broken_model_before_it_starts(tmp_path, capsys):
    from trackscope_tools.cli.sim import main as sim_main
    assert sim_main(["--model", usermodels.second_model(tmp_path, "broken"), "--no-render",
                     "--out", str(tmp_path / "out")]) == 1
    err = capsys.readouterr().err
    assert "missing body 'waist_roll_link'" in err and "Traceback" not in err


def test_check_dynamic_runs_the_controller_on_the_model(world, capsys, monkeypatch):
    from trackscope_tools import plausibility
    files, roots = world
    monkeypatch.setattr(plausibility, "FIGURES", dict(plausibility.FIGURES))   # --dynamic adds its figure
    monkeypatch.setenv("TRACKSCOPE_MODEL", files["second"])       # the default model, for every command
    assert clip_main(["check", "--dynamic", str(clip_path(roots["second"], "stand"))]) == 0
    out, err = capsys.readouterr()
    assert "stand: dynamic_feasible True" in out and "recorded on" not in err
