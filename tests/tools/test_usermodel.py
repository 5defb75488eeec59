"""A user's own model: checked up front, adapted in memory with MjSpec,
reported one line per finding."""

import mujoco
import numpy as np
import pytest

from trackscope_tools import robot, usermodel
from trackscope_tools.cli.clip import main as clip_main

import usermodels


@pytest.fixture(scope="module")
def files(tmp_path_factory):
    folder = tmp_path_factory.mktemp("models")
    robot_file, scene = usermodels.maker_model(folder / "maker")
    return {"second": usermodels.second_model(folder), "maker": robot_file, "scene": scene,
            "misnamed": usermodels.second_model(folder, "misnamed"),
            "broken": usermodels.second_model(folder, "broken")}


def test_the_package_model_is_kept_as_it_is():
    loaded = usermodel.load()
    plain = mujoco.MjModel.from_xml_path(robot.MODEL_PATH)
    model = loaded.model
    for key in ("body_pos", "body_mass", "geom_size", "geom_contype", "geom_conaffinity", "actuator_ctrlrange",
                "actuator_trnid", "actuator_gainprm", "exclude_signature", "dof_armature", "jnt_range"):
        np.testing.assert_array_equal(getattr(model, key), getattr(plain, key), err_msg=key)
    assert model.nsite == plain.nsite and model.nsensor == plain.nsensor + 3
    assert loaded.imu.site == "imu_in_pelvis" and loaded.imu.from_model
    assert "actuators: 29 torque motors on the joints in the robot's order, kept" in loaded.report
    assert "self-collision: no links overlap in the default pose" in loaded.report
    corners, kinds = robot.sole_corners(model, model.body("left_ankle_roll_link").id)
    np.testing.assert_allclose(corners, [[0.135, 0.042, -0.03], [0.135, -0.042, -0.03],
                                         [-0.065, 0.042, -0.03], [-0.065, -0.042, -0.03]], atol=1e-12)
    assert kinds == "box"


def _lines(report, start):
    return [line for line in report if line.startswith(start)]


def test_the_second_model_is_made_drivable(files):
    loaded = usermodel.load(files["second"])
    model, report = loaded.model, loaded.report
    tabs = robot.tables()
    assert _lines(report, "actuators:") == ["actuators: 29 position servos replaced by 29 torque motors on the joints"]
    assert _lines(report, "effort limits:") == ["effort limits: 29 from the actuators' force ranges (5 to 139 N m)"]
    assert _lines(report, "floor contacts:")[0].startswith("floor contacts: added for 4 robot collision geoms")
    assert _lines(report, "self-collision:") == [
        "self-collision: pelvis / left_hip_roll_link overlap 22.4 mm in the default pose; excluded "
        "(their explicit pair removed)"]
    assert _lines(report, "IMU:") == ["IMU: no IMU site on the pelvis; the pelvis origin"]
    assert model.site_bodyid[model.site(usermodel.ORIGIN_IMU_SITE).id] == model.body("pelvis").id
    # torque motors in orig_names_joint order, limited to the servos' force ranges
    assert [model.actuator_trnid[a, 0] for a in range(model.nu)] == \
        [model.joint(n).id for n in tabs.orig_names_joint]
    assert (model.actuator_biastype == mujoco.mjtBias.mjBIAS_NONE).all()
    effort = np.asarray(tabs.effort_limit_sim)[tabs.target_indices_action]
    np.testing.assert_array_equal(model.actuator_ctrlrange[:, 1], effort)
    assert model.body_subtreemass[model.body("pelvis").id] == pytest.approx(38.0)
    # standing in the default pose, both soles touch the floor and nothing else touches
    data = mujoco.MjData(model)
    data.qpos[:] = robot.default_qpos(model)
    data.qpos[2] -= 0.001
    mujoco.mj_forward(model, data)
    touching = {tuple(sorted(model.body(model.geom_bodyid[g]).name for g in data.contact.geom[i]))
                for i in range(data.ncon)}
    assert touching == {("left_ankle_roll_link", "world"), ("right_ankle_roll_link", "world")}
    assert loaded.fingerprint != usermodel.load().fingerprint


@pytest.mark.parametrize("which, floor", [("maker", "a plane 'floor' added"), ("scene", "the model's plane 'ground'")])
def test_a_maker_model_and_its_scene(files, which, floor, tmp_path, monkeypatch):
    monkeypatch.chdir(tmp_path)             # meshes resolve beside the file, not in the working folder
    loaded = usermodel.load(files[which])
    report = "\n".join(loaded.report)
    assert floor in report
    assert "actuators: 29 motors replaced by 29 torque motors" in report
    assert "effort limits: 29 from the motors' control ranges and gears" in report
    assert "IMU: the pelvis site 'imu_in_pelvis'" in report
    assert "sole left_ankle_roll_link: mesh (bounding box), 20.0 x 8.4 cm" in report
    assert "removed joint 'left_finger_joint' on left_finger: not one of the robot's; its link is fixed" in report
    assert report.count("self-collision:") >= 4 and "pelvis / left_hip_roll_link overlap" in report
    model = loaded.model
    assert (model.dof_frictionloss[6:] == 0.2).all()       # joint friction stays
    np.testing.assert_allclose(loaded.imu.pos, [-0.04, 0.0, -0.07])
    assert model.sensor("trackscope_imu_gyro").objid == model.site("imu_in_pelvis").id
    # same kinematics as the package's model: the same fingerprint
    assert loaded.fingerprint == usermodel.load().fingerprint


def test_the_model_command_prints_the_report_or_the_path(files, capsys, monkeypatch):
    monkeypatch.delenv("TRACKSCOPE_MODEL", raising=False)
    assert clip_main(["model"]) == 0
    assert capsys.readouterr().out.strip() == robot.MODEL_PATH
    monkeypatch.setenv("TRACKSCOPE_MODEL", files["second"])
    assert clip_main(["model"]) == 0
    assert capsys.readouterr().out.strip() == files["second"]
    assert clip_main(["model", files["second"]]) == 0
    out = capsys.readouterr().out.splitlines()
    assert out == usermodel.load(files["second"]).report


@pytest.mark.parametrize("command", [["builtin", "stand"], ["convert", "motion.csv"], ["check", "clip.npz"],
                                     ["inspect", "clip.npz"], ["model"]])
def test_a_model_missing_items_is_refused_before_any_work(files, command, tmp_path, capsys):
    root = tmp_path / "out"
    args = command + ([files["broken"]] if command == ["model"] else ["--model", files["broken"]])
    if command[0] != "model":
        args += ["--root", str(root)] if command[0] in ("builtin", "convert") else []
    assert clip_main(args) == 1
    err = capsys.readouterr().err
    assert "Traceback" not in err
    for item in ("missing joint 'left_knee_joint' (nearest in the model:", "left_knee",
                 "missing body 'waist_roll_link'", "no collision geom on 'right_ankle_roll_link'"):
        assert item in err
    assert not root.exists()


def test_one_misnamed_joint_is_named_with_its_nearest_names(files):
    with pytest.raises(usermodel.ModelError) as e:
        usermodel.load(files["misnamed"])
    assert str(e.value).endswith("(1 problem(s)):\n  missing joint 'left_knee_joint' "
                                 "(nearest in the model: right_knee_joint, left_elbow_joint, left_knee)")


def test_something_else_that_moves_is_refused(tmp_path):
    mjspec = usermodels.package_spec()
    crate = mjspec.worldbody.add_body(name="crate", pos=[1, 0, 0.2])
    crate.add_freejoint(name="crate_free")
    crate.add_geom(type=mujoco.mjtGeom.mjGEOM_BOX, size=[0.1, 0.1, 0.1])
    path = usermodels.write_spec(mjspec, tmp_path / "crate.xml")
    with pytest.raises(usermodel.ModelError, match="joint 'crate_free' on body 'crate' moves something that "
                                                   "is not the robot"):
        usermodel.load(path)


def test_unreadable_model_files_are_one_line(tmp_path):
    bad = tmp_path / "bad.xml"
    bad.write_text("<mujoco><worldbody><geom type='mesh' mesh='nope'/></worldbody></mujoco>")
    for path in (bad, tmp_path / "missing.xml"):
        with pytest.raises(usermodel.ModelError, match="cannot (load|read) the model"):
            usermodel.load(str(path))


@pytest.mark.parametrize("checks, scale, verdict", [
    ({"penetration_m": 0.0052}, 1.0, "warn"), ({"penetration_m": 0.0052}, 1.09, "pass"),
    ({"penetration_m": 0.0056}, 1.09, "warn"), ({"foot_skate_mps": 0.031}, 1.09, "pass"),
    ({"joint_vel_max_rad_s": 16.0}, 1.09, "warn")])       # angles do not scale
def test_thresholds_scale_with_the_robot(checks, scale, verdict):
    from trackscope_tools import plausibility
    assert plausibility.judge(checks, scale)[0] == verdict


def test_the_second_model_is_judged_at_its_size(files):
    from trackscope_tools import plausibility
    assert plausibility.size_scale(usermodel.load(files["second"]).model) == 1.09
    assert plausibility.size_scale(usermodel.load().model) == 1.0


def test_replaced_servos_leave_their_armature_on_the_joint(tmp_path):
    mjspec = usermodels.package_spec()
    for act in list(mjspec.actuators):
        mjspec.delete(act)
    servo = mjspec.add_actuator(name="knee", target="left_knee_joint", trntype=mujoco.mjtTrn.mjTRN_JOINT,
                              gear=[2.0, 0, 0, 0, 0, 0], forcelimited=mujoco.mjtLimited.mjLIMITED_TRUE,
                              forcerange=[-60.0, 60.0])
    servo.set_to_position(kp=100.0)
    servo.armature = 0.01
    loaded = usermodel.load(usermodels.write_spec(mjspec, tmp_path / "servo.xml"))
    knee = loaded.model.joint("left_knee_joint")
    base = usermodel.load().model
    assert loaded.model.dof_armature[knee.dofadr[0]] == pytest.approx(base.dof_armature[knee.dofadr[0]] + 0.04)
    assert "armature and damping of 1 replaced actuator moved onto their joints" in loaded.report
    tabs = robot.tables()
    k = list(tabs.orig_names_joint).index("left_knee_joint")
    assert loaded.effort[k] == 120.0                   # the servo's force range times its gear
    assert _lines(loaded.report, "effort limits:") == [
        "effort limits: 28 from the tables (effort_limit_sim), 1 from the actuators' force ranges (5 to 139 N m)"]


def test_a_robot_file_whose_contacts_live_in_another_file(tmp_path):
    """No geom of the robot can collide (its pairs are in a scene file not
    passed): the collision group's geoms get floor contacts."""
    robot_file, _ = usermodels.maker_model(tmp_path)
    mjspec = mujoco.MjSpec.from_file(robot_file)
    for geom in mjspec.geoms:
        geom.contype, geom.conaffinity = 0, 0
    path = usermodels.write_spec(mjspec, tmp_path / "robot_without_contacts.xml", compile=False)
    loaded = usermodel.load(path)
    assert "collision geoms: 30 on the robot, none can collide: the geoms of group 3" in loaded.report
    assert _lines(loaded.report, "floor contacts:")[0].startswith("floor contacts: added for 30 robot collision")
    assert _lines(loaded.report, "sole left_ankle_roll_link:") == [
        "sole left_ankle_roll_link: mesh (bounding box), 20.0 x 8.4 cm, 3.0 cm below the ankle"]
    assert not _lines(loaded.report, "self-collision: pelvis")        # the floor only
