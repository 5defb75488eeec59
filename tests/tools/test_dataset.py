"""Dataset conversion: many files over worker processes, bad files reported
while the rest convert, no partial clip ever under a clip's name."""

import os
import subprocess
import sys
import textwrap

import numpy as np
import pytest

from trackscope_tools import dataset, robot
from trackscope_tools.builtin import builtin_motion
from trackscope_tools.cli.clip import main as clip_main
from trackscope_tools.motion import resample


@pytest.fixture(scope="module")
def rows():
    """Headerless CSV rows of a short motion at 30 fps."""
    m = resample(builtin_motion("stand", robot.load_model(), robot.tables(), seconds=1.0), 30)
    return np.concatenate([m.base_pos, m.base_quat[:, [1, 2, 3, 0]], m.joint_pos], axis=1)


def write_csv(path, rows):
    path.parent.mkdir(parents=True, exist_ok=True)
    np.savetxt(path, rows, delimiter=",")


def clips(root):
    folder = root / "assets" / "motion_npz"
    return sorted(os.listdir(folder)) if folder.exists() else []


def test_a_folder_with_bad_files_leaves_exactly_the_good_clips(tmp_path, capsys, rows):
    data = tmp_path / "data"
    write_csv(data / "walk.csv", rows)
    write_csv(data / "deep" / "run.csv", rows)
    (data / "deep" / "short.csv").write_text("1,2,3\n")
    (data / "broken.pkl").write_bytes(b"\x80\x04not a pickle")
    (data / "notes.txt").write_text("not a motion")
    root = tmp_path / "out"
    assert clip_main(["convert", str(data), "--root", str(root), "--jobs", "2"]) == 1
    assert clips(root) == ["run.npz", "walk.npz"]
    out, err = capsys.readouterr()
    table = {line.split()[0]: line for line in out.splitlines()[1:5]}
    assert sorted(table) == sorted(str(data / p) for p in ("walk.csv", "deep/run.csv",
                                                           "deep/short.csv", "broken.pkl"))
    assert "row 1 has 3 columns, expected 36" in table[str(data / "deep" / "short.csv")]
    assert "not a readable pickle" in table[str(data / "broken.pkl")]
    assert table[str(data / "walk.csv")].split()[-1] == "ok"
    assert f"{data / 'broken.pkl'}: failed" in err
    assert "4 file(s): 2 converted, 0 skipped, 2 failed" in out


def test_shards_split_the_sorted_files_and_skip_existing_resumes(tmp_path, rows):
    for name in "abcd":
        write_csv(tmp_path / "data" / f"{name}.csv", rows)
    root = tmp_path / "out"
    glob = str(tmp_path / "data" / "*.csv")
    assert clip_main(["convert", glob, "--root", str(root), "--shard", "1/2", "--jobs", "1"]) == 0
    assert clips(root) == ["b.npz", "d.npz"]
    results, _ = dataset.convert_dataset([glob], root, dataset.Options(), jobs=1,
                                         skip_existing=True, progress=False)
    assert [r.verdict for r in results] == ["ok", "skipped (clip exists)", "ok", "skipped (clip exists)"]
    assert clips(root) == ["a.npz", "b.npz", "c.npz", "d.npz"]


def test_sources_sharing_a_name_are_refused_before_any_conversion(tmp_path, capsys, rows):
    write_csv(tmp_path / "a" / "walk.csv", rows)
    write_csv(tmp_path / "b" / "walk.csv", rows)
    assert clip_main(["convert", str(tmp_path / "a"), str(tmp_path / "b"), "--root", str(tmp_path)]) == 1
    assert "share the clip name 'walk'" in capsys.readouterr().err
    assert clips(tmp_path) == []


KILLED_MID_WRITE = textwrap.dedent("""
    import os, signal, sys
    import numpy as np
    from trackscope_tools import dataset, robot

    def savez(f, **arrays):            # half an archive, then the worker dies
        f.write(b"PK" + bytes(4096))
        f.flush()
        os.kill(os.getpid(), signal.SIGKILL)

    model, tables = robot.load_model(), robot.tables()
    np.savez = savez
    source, path = sys.argv[1:]
    dataset.convert_one(source, path, model, tables, dataset.Options())
""")


def test_a_worker_killed_mid_write_leaves_no_clip_and_the_rerun_completes(tmp_path, rows):
    source = tmp_path / "walk.csv"
    write_csv(source, rows)
    root = tmp_path / "out"
    path = root / "assets" / "motion_npz" / "walk.npz"
    run = subprocess.run([sys.executable, "-c", KILLED_MID_WRITE, str(source), str(path)])
    assert run.returncode == -9
    assert clips(root) != [] and "walk.npz" not in clips(root)      # only the temporary file
    os.utime(root / "assets" / "motion_npz" / clips(root)[0], (0, 0))
    results, removed = dataset.convert_dataset([str(tmp_path / "*.csv")], root, dataset.Options(),
                                               jobs=1, skip_existing=True, progress=False)
    assert [r.verdict for r in results] == ["ok"] and removed == 1
    assert clips(root) == ["walk.npz"]


@pytest.mark.parametrize("lift", [-0.024, 0.05])
def test_ground_puts_the_lowest_point_of_the_clip_on_the_floor(tmp_path, capsys, rows, lift):
    import mujoco
    from trackscope_tools.clipfile import read_clip
    from trackscope_tools.recording import clip_qpos
    moved = rows.copy()
    moved[:, 2] += lift
    write_csv(tmp_path / "m.csv", moved)
    assert clip_main(["convert", str(tmp_path / "m.csv"), "--ground", "--root", str(tmp_path)]) == 0
    assert f"moved {-lift:+.4f} m" in capsys.readouterr().out
    model = robot.load_model()
    data = mujoco.MjData(model)
    lowest = []
    for q in clip_qpos(read_clip(tmp_path / "assets" / "motion_npz" / "m.npz")):
        data.qpos[:] = q
        mujoco.mj_kinematics(model, data)
        lowest.append(robot.lowest_point(model, data))
    assert abs(min(lowest)) < 1e-9


def test_a_failing_write_leaves_nothing(tmp_path, monkeypatch, rows):
    source = tmp_path / "walk.csv"
    write_csv(source, rows)
    path = tmp_path / "clips" / "walk.npz"

    def full_disk(f, **arrays):
        f.write(b"PK")
        raise OSError(28, "No space left on device")

    monkeypatch.setattr(np, "savez", full_disk)
    with pytest.raises(OSError):
        dataset.convert_one(str(source), str(path), robot.load_model(), robot.tables(), dataset.Options())
    assert os.listdir(tmp_path / "clips") == []


DIES_ON_BOOM = textwrap.dedent("""
    import os, types

    def work(source, path, options):
        if source == "boom":
            os._exit(1)
        return types.SimpleNamespace(source=source, verdict="ok", fatal=False)
""")


def test_a_file_that_kills_its_worker_is_named_and_the_rest_go_on(tmp_path, monkeypatch):
    (tmp_path / "dies_on_boom.py").write_text(DIES_ON_BOOM)     # light for the workers to import
    monkeypatch.syspath_prepend(str(tmp_path))
    from dies_on_boom import work
    tasks = [(name, name + ".npz") for name in ("a", "boom", "c")]
    results = []
    dataset.run_tasks(tasks, 2, None, results.append, work=work)
    verdicts = {r.source: r.verdict for r in results}
    assert sorted(verdicts) == ["a", "boom", "c"]
    assert "worker process died" in verdicts.pop("boom")
    assert set(verdicts.values()) == {"ok"}


@pytest.mark.parametrize("text", ["2/2", "-1/3", "1", "a/b", "0/0"])
def test_bad_shards_are_refused(text):
    with pytest.raises(ValueError, match="--shard"):
        dataset.parse_shard(text)
