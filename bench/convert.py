#!/usr/bin/env python3
"""Dataset conversion throughput of `trackscope-clip convert`: a folder of
generated one-minute motions (headerless 36-column CSV at 30 fps, six
decimals, as retargeting tools write them) converted with --jobs 1 and with
--jobs 2 in one run, each as the command a user runs (start-up included).

Prints output frames (50 Hz) per second of wall time for each job count, the
same figure without the start-up, and the start-up itself: the wall time of
converting a two-frame motion, as one file (in the command's process) and as
a folder (interpreter, imports and model in the command and again in a
worker process). Nothing here asserts anything about speed.

    python bench/convert.py [--files 40] [--seconds 60] [--jobs 1 2] [--repeats 1]
"""

import argparse
import os
import shutil
import subprocess
import sys
import tempfile
import time

import numpy as np

HERE = os.path.dirname(os.path.abspath(__file__))
COMMAND = os.path.join(os.path.dirname(sys.executable), "trackscope-clip")


def generate(folder, files, seconds, seed=0):
    """Motions around the model's default pose: the base drifts and turns,
    every joint swings with its own period and phase."""
    from trackscope_tools import robot
    model, tables = robot.load_model(), robot.tables()
    default = robot.default_qpos(model, tables)
    rng = np.random.default_rng(seed)
    t = np.arange(int(seconds * 30)) / 30.0
    os.makedirs(folder, exist_ok=True)
    for k in range(files):
        yaw = 0.3 * np.sin(2 * np.pi * t / rng.uniform(5, 15))
        pos = default[:3] + np.stack([0.2 * t / seconds, 0.05 * np.sin(t), 0.02 * np.sin(3 * t)], axis=1)
        quat = np.stack([np.zeros_like(t), np.zeros_like(t), np.sin(yaw / 2), np.cos(yaw / 2)], axis=1)
        period = rng.uniform(0.8, 4.0, 29)
        joints = default[7:] + 0.2 * np.sin(2 * np.pi * t[:, None] / period + rng.uniform(0, 6.3, 29))
        np.savetxt(os.path.join(folder, f"motion_{k:03d}.csv"),
                   np.concatenate([pos, quat, joints], axis=1), delimiter=",", fmt="%.6f")


def timed(args):
    start = time.perf_counter()
    run = subprocess.run([COMMAND] + args, stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
    wall = time.perf_counter() - start
    if run.returncode:
        sys.exit(f"convert failed: {run.stderr.strip() or run.stdout[-2000:]}")
    return wall, run.stdout


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--files", type=int, default=40, help="motions in the folder (default 40)")
    parser.add_argument("--seconds", type=float, default=60.0, help="length of each motion (default 60)")
    parser.add_argument("--jobs", type=int, nargs="+", default=[1, 2], help="job counts to time (default 1 2)")
    parser.add_argument("--repeats", type=int, default=1, help="runs per job count; the best is kept")
    args = parser.parse_args()

    work = tempfile.mkdtemp(prefix="bench-convert-")
    try:
        data = os.path.join(work, "data")
        generate(data, args.files, args.seconds)
        tiny = os.path.join(work, "tiny", "tiny.csv")
        os.makedirs(os.path.dirname(tiny))
        with open(os.path.join(data, sorted(os.listdir(data))[0])) as f:
            open(tiny, "w").write(f.readline() + f.readline())
        runs = max(args.repeats, 2)
        single = min(timed(["convert", tiny, "--root", os.path.join(work, "o")])[0] for _ in range(runs))
        startup = min(timed(["convert", os.path.dirname(tiny), "--jobs", "1",
                             "--root", os.path.join(work, "o")])[0] for _ in range(runs))

        print(f"{args.files} motions of {args.seconds:g} s at 30 fps (headerless CSV), "
              f"{len(os.sched_getaffinity(0))} cores available")
        print(f"start-up, whole command on a two-frame motion: {single:.2f} s as one file, "
              f"{startup:.2f} s as a folder (one worker process)")
        print(f"{'jobs':>4}  {'wall s':>7}  {'frames':>7}  {'frames/s':>9}  {'frames/s after start-up':>24}")
        for jobs in args.jobs:
            best = None
            for _ in range(args.repeats):
                out = os.path.join(work, f"out{jobs}")
                shutil.rmtree(out, ignore_errors=True)
                wall, stdout = timed(["convert", data, "--root", out, "--jobs", str(jobs)])
                clips = os.path.join(out, "assets", "motion_npz")
                frames = 0
                for name in os.listdir(clips):
                    with np.load(os.path.join(clips, name)) as clip:
                        frames += clip["joint_pos"].shape[0]
                best = min(best or (wall, frames), (wall, frames))
            wall, frames = best
            print(f"{jobs:>4}  {wall:>7.2f}  {frames:>7}  {frames / wall:>9.0f}  "
                  f"{frames / max(wall - startup, 1e-9):>24.0f}")
    finally:
        shutil.rmtree(work, ignore_errors=True)


if __name__ == "__main__":
    main()
