"""The tools' snapshot of the robot's tables against a real environment's,
and the commands that never call the extension running without it."""

import subprocess
import sys
import textwrap

import numpy as np
import pytest

from trackscope_tools import robot

# What a Wbt_env holds per clip and per query, not a table of the robot.
PER_CLIP = {"motion", "current_dir", "file", "time_steps", "command", "joint_pos", "joint_vel",
            "anchor_pos_w", "anchor_quat_w", "anchor_lim_vel_w", "anchor_ang_vel_w",
            "body_pos_w", "body_quat_w", "body_lin_vel_w", "body_ang_vel_w"}


@pytest.fixture(scope="module")
def env():
    return robot.environment_tables()


def test_the_snapshot_names_every_table_of_the_environment(env):
    names = {n for n in dir(env) if not n.startswith("_") and not callable(getattr(env, n))}
    tables = {n for n in names - PER_CLIP if not n.startswith(env.file + "_")}   # the clip's arrays
    assert tables == set(robot.TABLE_NAMES)


@pytest.mark.parametrize("name", robot.TABLE_NAMES)
def test_each_table_equals_the_environments_in_value_and_type(env, name):
    mine, theirs = getattr(robot.tables(), name), getattr(env, name)
    assert type(mine) is type(theirs)
    if isinstance(theirs, np.ndarray):
        assert mine.dtype == theirs.dtype and mine.shape == theirs.shape
        np.testing.assert_array_equal(mine, theirs)
    else:
        assert mine == theirs
        if isinstance(theirs, (list, dict)):
            values = theirs.values() if isinstance(theirs, dict) else theirs
            mine_values = mine.values() if isinstance(mine, dict) else mine
            assert [type(v) for v in mine_values] == [type(v) for v in values]


NO_EXTENSION = textwrap.dedent("""
    import sys
    from trackscope_tools.cli.clip import main
    statuses = [main(["convert", sys.argv[1], "--root", sys.argv[2]]),
                main(["convert", sys.argv[3], "--root", sys.argv[2], "--jobs", "1"]),
                main(["check", sys.argv[2]])]
    print(statuses, sorted(m for m in ("trackscope", "torch") if m in sys.modules))
""")


def test_convert_and_check_do_not_import_the_extension(tmp_path):
    model = robot.load_model()
    rows = np.tile(robot.default_qpos(model), (3, 1))
    rows[:, 3:7] = rows[:, [4, 5, 6, 3]]                # headerless CSV: x, y, z, w
    (tmp_path / "data").mkdir()
    np.savetxt(tmp_path / "one.csv", rows, delimiter=",")
    np.savetxt(tmp_path / "data" / "two.csv", rows, delimiter=",")
    out = subprocess.run([sys.executable, "-c", NO_EXTENSION, str(tmp_path / "one.csv"), str(tmp_path / "out"),
                          str(tmp_path / "data")], capture_output=True, text=True, timeout=300)
    assert out.returncode == 0, out.stderr
    assert out.stdout.splitlines()[-1] == "[0, 0, 0] []"


EVERY_MODULE = textwrap.dedent("""
    import importlib, pkgutil, trackscope_tools
    for info in pkgutil.walk_packages(trackscope_tools.__path__, "trackscope_tools."):
        importlib.import_module(info.name)
    print("ok")
""")


def test_every_module_imports_in_a_fresh_interpreter():
    # Each module that uses the extension's modules imports trackscope itself.
    out = subprocess.run([sys.executable, "-c", EVERY_MODULE], capture_output=True, text=True, timeout=300)
    assert out.returncode == 0 and out.stdout.strip() == "ok", out.stderr
