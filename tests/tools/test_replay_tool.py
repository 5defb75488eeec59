"""trackscope-replay: Wbt_env driven at the control rate, PD tracking, the
marker viewer and offscreen rendering."""

import json
import os
import subprocess
import sys

import mujoco
import numpy as np
import pytest
from scipy.spatial.transform import Rotation

import trackscope
from motion_env_wbt import Wbt_env
from trackscope_tools import gl, render, robot, simulation
from trackscope_tools.builtin import builtin_motion
from trackscope_tools.clipfile import clip_path, write_clip
from trackscope_tools.cli.replay import main as replay_main
from trackscope_tools.controllers import KinematicController, PDController
from trackscope_tools.recording import record_clip
from trackscope_tools.report import rms


@pytest.fixture(scope="module")
def root(tmp_path_factory):
    root = tmp_path_factory.mktemp("replay")
    model = robot.load_model()
    for name in ("stand", "squat_turn"):
        motion = builtin_motion(name, model, seconds=1.5)
        write_clip(clip_path(root, name), record_clip(model, motion))
    return str(root)


def test_reset_puts_the_anchor_at_the_origin_with_zero_heading(root):
    env = Wbt_env(root, file="squat_turn")          # recorded off the origin, heading 0.4
    assert np.linalg.norm(env.body_pos_w[9, :2]) > 0.3
    env.update_time_steps(20)
    env.reset()
    np.testing.assert_allclose(env.anchor_pos_w[:2], 0.0, atol=1e-12)
    assert Rotation.from_quat(env.anchor_quat_w).as_euler("xyz")[2] == pytest.approx(0.0, abs=1e-12)


@pytest.mark.parametrize("mode", ["tracking", "kinematic"])
def test_track_follows_the_reference(root, mode):
    controller = PDController() if mode == "tracking" else KinematicController()
    model = robot.load_model(controller.model_path)
    clip = simulation.Clip(Wbt_env(root, file="squat_turn"), model)
    record = simulation.run_clip(clip, model, controller)
    assert record["frames"] == record["ticks"] == clip.frames == 75
    if mode == "kinematic":
        assert np.abs(record["joint_err"]).max() < 1e-12
        assert record["body_pos_err"].max() < 1e-9 and record["anchor_pos_err"].max() < 1e-9
    else:
        assert rms(record["joint_err"]) < 0.04
        assert record["anchor_pos_err"].max() < 0.01
        assert not record["saturated"].any()


def test_marker_scene_turns_drawer_markers_into_geoms():
    markers = render.MarkerScene()
    drawer = trackscope.TrackscopeDrawer(markers)
    pos = np.array([[0.0, 0, 1], [0.5, 0, 1]])
    drawer.update_rg_view(pos, None, 0)
    drawer.update_rg_view(pos + 0.1, None, 0)              # same ids: replaced, not added
    drawer.update_rg_view(pos, None, 1)
    drawer.draw_arrow(pos[0], [0, 0, 0, 1], [0.3, 0, 0], [0, 0, 1, 1])
    model = mujoco.MjModel.from_xml_string("<mujoco/>")
    scene = mujoco.MjvScene(model, maxgeom=10)
    assert markers.draw(scene) == 5
    geoms = [scene.geoms[i] for i in range(scene.ngeom)]
    assert [g.type for g in geoms] == [mujoco.mjtGeom.mjGEOM_SPHERE] * 4 + [mujoco.mjtGeom.mjGEOM_ARROW]
    np.testing.assert_allclose(geoms[1].pos, pos[1] + 0.1)
    np.testing.assert_allclose(geoms[0].rgba, [1, 0, 0, markers.ghost_alpha])   # reference, translucent
    np.testing.assert_allclose(geoms[2].rgba, [0, 1, 0, 1])
    np.testing.assert_allclose(geoms[4].size, [0.02, 0.02, 0.3])
    scene.ngeom = 9
    assert markers.draw(scene) == 1                         # stops at maxgeom


RENDER_ONE = """
import numpy as np
import mujoco, trackscope
from trackscope_tools import render, robot
model = robot.load_model()
data = mujoco.MjData(model)
mujoco.mj_forward(model, data)
markers = render.MarkerScene(ghost_ids=())
trackscope.TrackscopeDrawer(markers).update_rg_view(data.xpos[[1, 17]] + [0.3, 0, 0], None, 0)
frames = render.Frames(model, 96, 64)
frames.look_at([0, 0, 0.7])
image = frames.render(data, markers)
red = (image[..., 0] > 150) & (image[..., 1] < 80) & (image[..., 2] < 80)
print(image.shape, int(red.sum()))
"""


def test_one_offscreen_frame_renders():
    backend = gl.offscreen_backend()
    if backend is None or backend.lower() in gl.DISABLED:
        pytest.skip(f"no OpenGL: {gl.GL_MISSING}")
    out = subprocess.run([sys.executable, "-c", RENDER_ONE], capture_output=True,
                         text=True, env=dict(os.environ, MUJOCO_GL=backend), timeout=300)
    assert out.returncode == 0, out.stderr
    shape, red = out.stdout.split(")")
    assert shape == "(64, 96, 3" and int(red) > 0          # the red markers are in the picture


def test_main_writes_plot_and_summary(root, tmp_path, capsys):
    out = tmp_path / "out"
    assert replay_main(["--root", root, "--controller", "pd", "--out", str(out), "--no-render"]) == 0
    summary = json.loads((out / "summary.json").read_text())
    assert [c["name"] for c in summary["clips"]] == ["stand", "squat_turn"]
    assert summary["frames"] == 150 and summary["seconds"] == pytest.approx(3.0)
    assert summary["query_latency_us"]["ticks"] == 150
    assert (out / "tracking_error.png").stat().st_size > 0
    assert "joint RMS" in capsys.readouterr().out
    assert replay_main(["--root", str(tmp_path / "none"), "--no-render"]) == 1
