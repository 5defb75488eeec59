"""Interrupts, wrong places and wrong files: every command ends in one line,
with the documented status, and leaves only complete outputs."""

import collections
import json
import os
import pathlib
import signal
import subprocess
import sys
import time
import zipfile

import numpy as np
import pytest

from trackscope_tools import gl, robot
from trackscope_tools.builtin import builtin_motion
from trackscope_tools.cli import checkpoint, command, on_interrupt, safe_points, stage
from trackscope_tools.cli.clip import main as clip_main
from trackscope_tools.cli.policy import main as policy_main
from trackscope_tools.cli.replay import main as replay_main
from trackscope_tools.clipfile import clip_path, write_clip
from trackscope_tools.recording import record_clip

HELPER = os.path.join(os.path.dirname(os.path.abspath(__file__)), "interrupting.py")
STATUS = {"SIGINT": 130, "SIGTERM": 143}
RENDER = ("--width", "48", "--height", "32", "--render-every", "2", "--sheet", "2")


@pytest.fixture(scope="module")
def material(tmp_path_factory):
    """Two short clips under a root, and three short motion files."""
    base = tmp_path_factory.mktemp("interrupts")
    model = robot.load_model()
    for name in ("stand", "squat_turn"):
        write_clip(clip_path(base / "root", name), record_clip(model, builtin_motion(name, model, seconds=0.6)))
    motion = builtin_motion("stand", model, seconds=1.0)
    rows = np.concatenate([motion.base_pos, motion.base_quat[:, [1, 2, 3, 0]], motion.joint_pos], axis=1)
    (base / "data").mkdir()
    for name in ("a", "b", "c"):
        np.savetxt(base / "data" / f"{name}.csv", rows[::2], delimiter=",")
    return base


Point = collections.namedtuple("Point", "command target when count stage kept said", defaults=(None,))
REPLAY = ["trackscope_tools.cli.replay", "--root", "{root}", "--clips", "stand", "--out", "{out}", *RENDER]
POINTS = {
    "replay-simulating": Point(REPLAY, "mujoco:mj_step2", "before", 40, "simulating stand", set()),
    "replay-drawing": Point(REPLAY, "mujoco:Renderer.render", "after", 4, "drawing stand", set()),
    "replay-writing": Point(REPLAY, "numpy.lib.format:write_array@trackscope_tools.report:write_log", "before", 3, "writing the log",
                            {"replay.mp4", "contact_sheet.png", "tracking_error.png"}),
    "clip-builtin-writing": Point(["trackscope_tools.cli.clip", "builtin", "stand", "squat_turn", "--root", "{out}"],
                                  "numpy.lib.format:write_array@trackscope_tools.clipfile:write_clip", "before", 10,
                                  "recording squat_turn",
                                  {"assets/motion_npz/stand.npz"}),
    "clip-convert": Point(["trackscope_tools.cli.clip", "convert", "{data}", "--root", "{out}", "--jobs", "1"],
                          "trackscope_tools.outputs:note_kept", "after", 1, "converting motion files", None),
    "clip-check-checking": Point(["trackscope_tools.cli.clip", "check", "{root}", "--jobs", "2", "--json",
                                  "{out}/check.json"], "tqdm:tqdm.update", "after", 1, "checking clips", set()),
    "clip-check-writing": Point(["trackscope_tools.cli.clip", "check", "{root}", "--json", "{out}/check.json",
                                 "--plot", "{out}/check.png"],
                                "matplotlib.figure:Figure.savefig", "before", 1, "writing {out}/check.png",
                                {"check.json"}),
    "deploy-running": Point(["trackscope_tools.cli.deploy", "--root", "{root}", "--clips", "stand", "--transport",
                             "inprocess", "--auto", "--start-in-run", "--out", "{out}"],
                            "trackscope_tools.simrobot:SimRobot.step", "after", 60, "",
                            {"log.npz", "latency.png", "summary.json"}, said="(stop)"),
    "policy-writing": Point(["trackscope_tools.cli.policy", "reference", "{out}/reference.onnx"],
                            "onnx:save", "before", 1, "writing the reference policy", set()),
}
VIDEO_FRAMES = 15                       # 30 ticks drawn every 2nd


def files_under(folder):
    return sorted(os.path.relpath(os.path.join(top, f), folder)
                  for top, _, names in os.walk(folder) for f in names)


def assert_complete(path):
    """The file opens and reads to its end."""
    ext = os.path.splitext(path)[1]
    if ext == ".mp4":
        import imageio.v2 as imageio
        with imageio.get_reader(path) as reader:
            assert sum(1 for _ in reader) == VIDEO_FRAMES
    elif ext == ".png":
        from PIL import Image
        with Image.open(path) as image:
            image.load()
    elif ext == ".json":
        with open(path) as f:
            json.load(f)
    elif ext == ".npz":
        with np.load(path, allow_pickle=False) as archive:
            assert all(archive[k].size >= 0 for k in archive.files) and archive.files
    elif ext == ".onnx":
        import onnx
        onnx.checker.check_model(onnx.load(path))
    else:
        raise AssertionError(f"unexpected output {path}")


@pytest.mark.parametrize("signame", sorted(STATUS))
@pytest.mark.parametrize("name", sorted(POINTS))
def test_an_interrupt_ends_in_one_line_and_leaves_only_complete_outputs(material, tmp_path, name, signame):
    point = POINTS[name]
    backend = gl.offscreen_backend()
    if point.command is REPLAY and (backend is None or backend.lower() in gl.DISABLED):
        pytest.skip(f"no OpenGL: {gl.GL_MISSING}")
    out = tmp_path / "out"
    fill = dict(root=material / "root", data=material / "data", out=out)
    argv = [a.format(**fill) for a in point.command]
    run = subprocess.run([sys.executable, HELPER, point.target, point.when, str(point.count), signame, *argv],
                         capture_output=True, text=True, timeout=600, start_new_session=True,
                         env=dict(os.environ, MUJOCO_GL=backend or "disable"))
    assert run.returncode == STATUS[signame], run.stderr
    lines = run.stderr.splitlines()
    assert len(lines) == 1 and "Traceback" not in run.stderr, run.stderr
    assert f"interrupted by {signame} while {point.stage.format(**fill)}" in lines[0]
    if point.said:                          # the deploy sent the robot to damping for the stop
        assert point.said in run.stdout, run.stdout
    assert_only_complete_outputs(out, lines[0], point.kept)


def assert_only_complete_outputs(out, line, kept=None):
    """No temporary file in `out`, every file there complete and named in
    the interrupt's line (and the files `kept` when given)."""
    found = files_under(out) if out.exists() else []
    if kept is not None:
        assert set(found) == kept
    assert all(os.path.basename(f) in line for f in found), line
    assert not [f for f in found if os.path.basename(f).startswith(".")]      # no temporary file
    for f in found:
        assert_complete(str(out / f))


def test_a_signal_from_outside_at_any_moment_of_a_replay(material, tmp_path):
    backend = gl.offscreen_backend()
    if backend is None or backend.lower() in gl.DISABLED:
        pytest.skip(f"no OpenGL: {gl.GL_MISSING}")
    out = tmp_path / "out"
    child = subprocess.Popen([sys.executable, "-c", "import sys; from trackscope_tools.cli.replay import main; "
                              "sys.exit(main())", "--root", str(material / "root"), "--clips", "stand",
                              "--out", str(out), *RENDER], stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                             text=True, env=dict(os.environ, MUJOCO_GL=backend))
    child.stdout.readline()                 # the controller's first line: the run has begun
    time.sleep(0.5)
    child.send_signal(signal.SIGTERM)
    _, err = child.communicate(timeout=300)
    assert child.returncode == 143, err
    assert err.count("\n") == 1 and "interrupted by SIGTERM while" in err
    assert_only_complete_outputs(out, err)


def snapshot(*folders):
    return {str(f): files_under(f) for f in folders}


@pytest.fixture
def places(material, tmp_path):
    a_file = tmp_path / "a_file"
    a_file.write_text("x")
    return dict(root=material / "root", file=a_file, missing=tmp_path / "missing", tmp=tmp_path,
                csv=material / "data" / "a.csv")


@pytest.mark.parametrize("main, argv, why", [
    (replay_main, ["--root", "{missing}", "--out", "{tmp}/out"], "--root {missing} does not exist"),
    (replay_main, ["--root", "{file}", "--out", "{tmp}/out"], "--root {file} is not a folder"),
    (replay_main, ["--root", "{root}", "--out", "{file}"], "--out {file} is a file, not a folder"),
    (replay_main, ["--root", "{root}", "--out", "{file}/out"], "--out {file}/out cannot be created: {file} is a file"),
    (replay_main, ["--root", "{root}", "--out", "/proc/trackscope/out"], "--out /proc/trackscope/out cannot be created"),
    (clip_main, ["builtin", "--root", "{file}"], "--root {file} is a file, not a folder"),
    (clip_main, ["convert", "{csv}", "--root", "{file}/sub"], "--root {file}/sub cannot be created"),
    (clip_main, ["check", "{root}", "--json", "{tmp}"], "--json {tmp} is a folder, not a file"),
    (policy_main, ["reference", "/proc/trackscope.onnx"], "OUT.onnx /proc/trackscope.onnx: its folder /proc is not"),
])
def test_a_place_that_cannot_be_used_is_refused_before_any_work(places, capsys, main, argv, why):
    before = snapshot(places["tmp"], places["root"])
    assert main([a.format(**places) for a in argv]) == 1
    err = capsys.readouterr().err
    assert err.count("\n") == 1 and why.format(**places) in err, err
    assert snapshot(places["tmp"], places["root"]) == before


def bad_clip(kind, path, good):
    if kind == "random":
        path.write_bytes(np.random.default_rng(0).bytes(4000))
    elif kind == "truncated":
        path.write_bytes(good.read_bytes()[:5000])
    elif kind == "no_arrays":
        np.savez(path, speed=np.zeros(3), notes=np.array("hi"))
    elif kind == "stray_member":
        with zipfile.ZipFile(path, "w") as z:
            z.writestr("readme.txt", "a clip, honestly")
    elif kind == "objects":
        with np.load(good) as archive:
            arrays = dict(archive)
        arrays["joint_pos"] = arrays["joint_pos"].astype(object)
        np.savez(path, **arrays)


@pytest.mark.parametrize("kind, fragment", [
    ("random", "is not a clip archive (not a zip file)"),
    ("truncated", "is not a clip archive"),
    ("no_arrays", "lacks the clip's arrays fps, joint_pos, joint_vel, body_pos_w"),
    ("stray_member", "readme.txt is not a NumPy array"),
    ("objects", "holds object arrays (joint_pos); refused: clips hold numbers only"),
])
def test_a_file_that_is_no_clip_is_named_for_what_it_is(material, tmp_path, capsys, kind, fragment):
    root = tmp_path / "root"
    path = clip_path(root, "bad")
    os.makedirs(os.path.dirname(path))
    bad_clip(kind, pathlib.Path(path), material / "root" / "assets" / "motion_npz" / "stand.npz")
    out = tmp_path / "out"
    assert replay_main(["--root", str(root), "--clips", "bad", "--out", str(out), "--no-render"]) == 1
    err = capsys.readouterr().err
    assert err.count("\n") == 1 and fragment in err and "Traceback" not in err, err
    assert "pickle" not in err
    assert not out.exists()
    assert clip_main(["inspect", path]) == 1
    assert fragment in capsys.readouterr().out


def test_an_onnx_file_that_does_not_parse_is_one_line(tmp_path, capsys):
    path = tmp_path / "p.onnx"
    path.write_bytes(np.random.default_rng(1).bytes(3000))
    assert policy_main(["inspect", str(path)]) == 1
    err = capsys.readouterr().err
    assert err.count("\n") == 1 and f"{path} is not an ONNX model" in err


def test_an_internal_error_is_one_line_and_debug_shows_the_traceback(capsys, monkeypatch):
    @command("toy")
    def toy(argv):
        raise ZeroDivisionError("a bug\nsecond line")

    assert toy([]) == 1
    assert capsys.readouterr().err == \
        "toy: error: internal error: ZeroDivisionError: a bug; rerun with --debug for the traceback\n"
    assert toy(["--debug"]) == 1
    assert "Traceback" in capsys.readouterr().err
    monkeypatch.setenv("TRACKSCOPE_DEBUG", "1")
    assert toy([]) == 1
    assert "Traceback" in capsys.readouterr().err


def wait_for_signal():
    time.sleep(10)          # the handler raises within the sleep
    raise AssertionError("no interrupt came")


def test_on_interrupt_acts_first_and_later_signals_wait_for_the_cleanup(capsys):
    done = []

    @command("mover")
    def mover(argv):
        try:
            with stage("moving the robot"), on_interrupt(lambda: done.append("damping"), "sent it to damping"):
                os.kill(os.getpid(), signal.SIGTERM)
                wait_for_signal()
        finally:
            os.kill(os.getpid(), signal.SIGINT)         # held: the cleanup goes on
            done.append("cleaned up")

    assert mover([]) == 143
    assert done == ["damping", "cleaned up"]
    assert capsys.readouterr().err == \
        "mover: interrupted by SIGTERM while moving the robot; sent it to damping; no output written\n"


def test_safe_points_take_a_signal_between_ticks(capsys):
    ticks = []
    handlers = signal.getsignal(signal.SIGINT), signal.getsignal(signal.SIGTERM)

    @command("looper")
    def looper(argv):
        with safe_points():
            for tick in range(3):
                if tick == 1:
                    os.kill(os.getpid(), signal.SIGINT)
                    time.sleep(0.05)
                ticks.append(tick)              # the tick runs to its end
                checkpoint()

    assert looper([]) == 130
    assert ticks == [0, 1]
    assert "looper: interrupted by SIGINT" in capsys.readouterr().err
    assert (signal.getsignal(signal.SIGINT), signal.getsignal(signal.SIGTERM)) == handlers


@pytest.mark.parametrize("action, note", [
    (lambda: None, "sent it to damping"),
    (lambda: 1 / 0, "sent it to damping FAILED (ZeroDivisionError: division by zero)"),
])
def test_an_error_under_on_interrupt_also_acts_first_and_says_so(capsys, action, note):
    @command("mover")
    def mover(argv):
        with on_interrupt(action, "sent it to damping"):
            raise RuntimeError("the link went away")

    assert mover([]) == 1
    assert capsys.readouterr().err == (f"mover: error: internal error: RuntimeError: the link went away ({note}); "
                                       "rerun with --debug for the traceback\n")


def test_a_command_that_finishes_after_a_held_signal_still_reports_it(tmp_path, capsys):
    from trackscope_tools.cli import held, interrupt_pending
    from trackscope_tools.outputs import atomic_output

    @command("sim")
    def sim(argv):
        steps = 0
        with held():
            while not interrupt_pending():
                steps += 1
                if steps == 3:
                    os.kill(os.getpid(), signal.SIGTERM)
                    time.sleep(0.05)
            with atomic_output(tmp_path / "log.json") as tmp, open(tmp, "w") as f:
                json.dump({"steps": steps}, f)
        return 0

    assert sim([]) == 143
    assert json.loads((tmp_path / "log.json").read_text()) == {"steps": 3}
    assert capsys.readouterr().err == f"sim: interrupted by SIGTERM while starting; kept {tmp_path / 'log.json'}\n"


def test_a_signal_swallowed_by_a_finaliser_still_stops_the_command_in_one_line():
    """Python prints and drops an exception raised in a finaliser or an
    at-fork callback; the interrupt is delivered again outside it."""
    done = subprocess.run([sys.executable, os.path.join(os.path.dirname(__file__), "swallowed_signal.py")],
                          capture_output=True, text=True, timeout=60)
    assert done.returncode == 143 and "not interrupted" not in done.stdout
    assert done.stderr.count("\n") == 1 and "Traceback" not in done.stderr and "ignored" not in done.stderr
