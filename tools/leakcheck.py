#!/usr/bin/env python3
"""Leak check of trackscope's public functions, methods and queries.

Calls each one many times on its native path, on its general path (the
module's `np` and `R` rebound to proxies, as a user may rebind them, or
inputs the native path does not take) and with input that raises, and
reports per case and per function family:

  refs     reference-count drift of the objects the calls touch (arguments,
           the callable, the instance and its attributes, module globals)
  blocks   Python memory blocks still allocated afterwards, per call (a
           leaked object or buffer shows as one or more per call)
  rss      growth of the process's resident memory over the calls, KiB

Each case is warmed up first (caches, lazy imports, first-call allocations),
then measured over --iterations calls. Exit status 1 when a case drifts:
any reference-count change, or blocks growing by more than --max-blocks per
call. Resident memory is reported, and only fails a case past --max-rss-kib.

  python tools/leakcheck.py                     # 100,000 calls per case (~15 min)
  python tools/leakcheck.py --iterations 2000 --family alignment
"""

import argparse
import contextlib
import dataclasses
import gc
import json
import os
import sys
import tempfile
import time
import types
import warnings

import numpy as np

import trackscope
import math_transfrom as mt
import motion_env_wbt as menv
from scipy.spatial.transform import Rotation

FAMILIES = ("primitives", "euler-matrix", "frames", "odometry", "alignment", "environment",
            "drawer")
PATHS = ("native", "general", "error")
# Blocks that caches and free lists may keep after any number of calls.
BLOCK_SLACK = 256


@dataclasses.dataclass
class Case:
    family: str
    name: str
    path: str
    call: object            # no-argument callable
    watched: tuple = ()     # objects whose reference counts must not move
    general: bool = False   # run with np and R rebound to proxies


@dataclasses.dataclass
class Result:
    family: str
    name: str
    path: str
    calls: int
    ref_drift: int
    blocks_per_call: float
    rss_kib: int
    seconds: float
    ok: bool


# --------------------------------------------------------------------------
# Measuring
# --------------------------------------------------------------------------

def resident_kib():
    """Current resident set size of this process, KiB (Linux)."""
    try:
        with open("/proc/self/statm") as f:
            return int(f.read().split()[1]) * os.sysconf("SC_PAGE_SIZE") // 1024
    except OSError:
        import resource
        return resource.getrusage(resource.RUSAGE_SELF).ru_maxrss


def numpy_proxy():
    """A module object standing for numpy that is not numpy itself."""
    proxy = types.ModuleType("numpy", np.__doc__)
    proxy.__dict__.update(vars(np))
    proxy.__getattr__ = lambda name: getattr(np, name)
    return proxy


def rotation_proxy():
    """A namespace standing for scipy's Rotation class that is not it."""
    return types.SimpleNamespace(**{name: getattr(Rotation, name) for name in (
        "from_quat", "from_euler", "from_matrix", "identity", "align_vectors")})


@contextlib.contextmanager
def general_path():
    """np and R of math_transfrom rebound, so no native stand-in runs."""
    saved = mt.np, mt.R
    mt.np, mt.R = numpy_proxy(), rotation_proxy()
    try:
        yield
    finally:
        mt.np, mt.R = saved


def repeat(call, n):
    for _ in range(n):
        try:
            call()
        except Exception:  # noqa: BLE001 - failing input is one of the paths
            pass


def measure(case, iterations, warmup, max_blocks, max_rss_kib):
    n = iterations
    with general_path() if case.general else contextlib.nullcontext():
        repeat(case.call, warmup)
        gc.collect()
        refs = [sys.getrefcount(o) for o in case.watched]
        blocks = sys.getallocatedblocks()
        rss = resident_kib()
        start = time.perf_counter()
        repeat(case.call, n)
        seconds = time.perf_counter() - start
        gc.collect()
        blocks = sys.getallocatedblocks() - blocks
        rss = resident_kib() - rss
        # Read exactly as before the calls (a zip or generator would hold
        # references of its own).
        after = [sys.getrefcount(o) for o in case.watched]
    drift = sum(abs(a - b) for a, b in zip(after, refs))
    per_call = blocks / n
    ok = drift == 0 and blocks <= max_blocks * n + BLOCK_SLACK and rss <= max_rss_kib
    return Result(case.family, case.name, case.path, n, drift, per_call, rss, seconds, ok)


# --------------------------------------------------------------------------
# Cases
# --------------------------------------------------------------------------

def write_clip(root, frames=50, bodies=30, joints=29, seed=0):
    rng = np.random.default_rng(seed)
    quats = rng.normal(size=(frames, bodies, 4))
    quats /= np.linalg.norm(quats, axis=-1, keepdims=True)
    folder = os.path.join(root, "assets", "motion_npz")
    os.makedirs(folder, exist_ok=True)
    np.savez(os.path.join(folder, "stand.npz"), fps=np.array(50),
             joint_pos=rng.normal(size=(frames, joints)),
             joint_vel=rng.normal(size=(frames, joints)),
             body_pos_w=rng.normal(size=(frames, bodies, 3)), body_quat_w=quats,
             body_lin_vel_w=rng.normal(size=(frames, bodies, 3)),
             body_ang_vel_w=rng.normal(size=(frames, bodies, 3)))


def function_cases(rng):
    """(family, name, native args, error args) of every math_transfrom function."""
    q = rng.normal(size=(8, 4))
    q1, v3 = q[0] / np.linalg.norm(q[0]), rng.normal(size=3)
    p1, p2 = rng.normal(size=3), rng.normal(size=3)
    qx = np.array([0.1, 0.2, 0.3, 0.9]) / np.linalg.norm([0.1, 0.2, 0.3, 0.9])
    import torch
    t = torch.tensor(q)
    return [
        ("primitives", "quat_conjugate", (q,), ("abc",)),
        ("primitives", "quat_inv", (q,), (q, "eps")),
        ("primitives", "quat_mul", (q, q[::-1]), (q, q[:, :3])),
        ("primitives", "quat_mul_e", (q, q[::-1]), (q, q[:3])),
        ("primitives", "quat_apply", (q, rng.normal(size=(8, 3))), (q, q[:5, :3])),
        ("primitives", "wxyz_to_xyzw", (q1,), (q,)),
        ("primitives", "xyzw_to_wxyz", (q1,), ([1.0, 2.0],)),
        ("euler-matrix", "euler_from_quaternion", (t,), (q,)),
        ("euler-matrix", "quatToEuler", (q1,), ([1.0],)),
        ("euler-matrix", "imu_quat_to_euler", (q1,), (q[:, :3],)),
        ("euler-matrix", "matrix_from_quat", (q,), ([[1.0, 0, 0, 0]],)),
        ("euler-matrix", "matrix_from_quat_r", (qx,), (q[:, :3],)),
        ("frames", "subtract_frame_transforms", (rng.normal(size=(8, 3)), q, None, q[::-1]),
         (q[:, :3], q, q[:2], None)),
        ("frames", "subtract_frame_transforms_r", (p1, qx, p2, qx[::-1].copy()), (p1, q[:, :3])),
        ("frames", "world_to_body_vel", (v3, q1), (v3, [1.0])),
        ("odometry", "reset_pose", (p1, q1, p2, q[1]), (p1, q1, "x", q1)),
        ("odometry", "reset_pose_yaw_only", (p1, q1, p2, q[1]), (p1, [0.0] * 4, p2, q1)),
        ("odometry", "reset_pose_yaw_only_keep_rp", (p1, q1, p2, q[1]), (p1, q1, p2, q1[:3])),
        ("odometry", "reset_quat_yaw_only_keep_rp", (q1, q[1]), (q1, None)),
        ("odometry", "pelvis_to_torso_quat", (q1, 0.3), (q1, "pitch")),
        ("odometry", "pelvis_to_torso_pose", (p1, q1, 0.3, p2), (p1, q1, 0.3, q1)),
    ]


def math_cases(rng):
    cases = []
    for family, name, good, bad in function_cases(rng):
        fn = getattr(mt, name)
        watched = (fn, mt.np, *[a for a in good if a is not None])
        for path, args, general in (("native", good, False), ("general", good, True),
                                    ("error", bad, False)):
            cases.append(Case(family, name, path, lambda fn=fn, args=args: fn(*args),
                              watched + tuple(a for a in args if a is not None), general))
    return cases


def alignment_cases(rng):
    base = np.array([[0.0, 0.0, 0.6, 0.8]])
    ta = mt.TransformAlignment(quat=base, pos=np.array([[1.0, 2.0, 3.0]]), yaw_only=True,
                               xy_only=True)
    quat, pos = np.array([0.1, 0.2, 0.3, 0.9]), rng.normal(size=3)
    stack = rng.normal(size=(5, 4))
    cases = []
    for name, good, bad in (("align_quat", (quat,), (np.zeros(4),)),
                            ("align_xyz", (pos,), (pos[:2],)),
                            ("align_pos", (pos,), ("xyz",)),
                            ("align_transform", (quat, pos), (quat, stack)),
                            ("set_base", (base, pos), (np.zeros(4), pos))):
        method = getattr(ta, name)
        watched = (ta, ta.__dict__, mt.np, mt.R, *good)
        for path, args, general in (("native", good, False), ("general", good, True),
                                    ("error", bad, False)):
            cases.append(Case("alignment", name, path, lambda m=method, a=args: m(*a),
                              watched + tuple(args), general))
    cases.append(Case("alignment", "__init__", "general",
                      lambda: mt.TransformAlignment(quat=base, yaw_only=True), (base,)))
    return cases


QUERIES = ("command", "joint_pos", "joint_vel", "body_pos_w", "body_quat_w", "body_lin_vel_w",
           "body_ang_vel_w", "anchor_pos_w", "anchor_quat_w", "anchor_lim_vel_w",
           "anchor_ang_vel_w")


def environment_cases(root):
    cases = []
    for cls in (menv.Wbt_env, menv.Wbt_env_sim):
        native, general, failing = cls(root), cls(root), cls(root)
        native.time_steps = 3
        general.time_steps = np.int64(3)          # not a plain int: the general indexing
        failing.time_steps = 10**6                # past the clip's end: IndexError
        if cls is menv.Wbt_env:
            native.reset()
            native.time_steps = 3
        for env, path in ((native, "native"), (general, "general"), (failing, "error")):
            # Not the step itself: small ints are shared with everything else.
            watched = (env, env.__dict__, env.body_index, env.motion_anchor_body_index,
                       env.stand_body_pos_w, env.stand_body_quat_w)
            for query in QUERIES:
                cases.append(Case("environment", f"{cls.__name__}.{query}", path,
                                  lambda e=env, q=query: getattr(e, q), watched))
            cases.append(Case("environment", f"{cls.__name__}.update_time_steps", path,
                              lambda e=env: e.update_time_steps(e.time_steps), watched))
            if cls is menv.Wbt_env:
                cases.append(Case("environment", "Wbt_env.reset", path,
                                  lambda e=env: (e.reset(), e.__dict__.pop("time_steps"),
                                                 setattr(e, "time_steps", 3)), watched))
        cases.append(Case("environment", f"{cls.__name__}.__init__", "general",
                          lambda c=cls: c(root), (cls,)))
        cases.append(Case("environment", f"{cls.__name__}.load_motion", "general",
                          native.load_motion, (native,)))
        missing = cls(root)
        missing.file = "no_such_clip"
        cases.append(Case("environment", f"{cls.__name__}.load_motion", "error",
                          missing.load_motion, (missing,)))
    return cases


class Viewer:
    def add_marker(self, **kwargs):
        pass


def drawer_cases(rng):
    drawer = trackscope.TrackscopeDrawer(Viewer())
    positions, quat = rng.normal(size=(14, 3)), np.array([0.1, 0.2, 0.3, 0.9])
    vec, color = np.array([1.0, 0.5, 0.0]), [1.0, 0.0, 0.0, 1.0]
    watched = (drawer, positions, quat, vec)
    return [
        Case("drawer", "update_rg_view", "general",
             lambda: drawer.update_rg_view(positions, None, 1), watched),
        Case("drawer", "update_rg_view", "error",
             lambda: drawer.update_rg_view(None, None, 0), watched),
        Case("drawer", "draw_arrow", "native",
             lambda: drawer.draw_arrow(positions[0], quat, vec, color, horizontal_only=True),
             watched),
        Case("drawer", "draw_arrow", "general",
             lambda: drawer.draw_arrow(positions[0], quat, vec.astype(np.float16), color),
             watched),
        Case("drawer", "draw_arrow", "error",
             lambda: drawer.draw_arrow(positions[0], np.zeros(4), vec, color), watched),
    ]


def all_cases(root):
    rng = np.random.default_rng(0)
    return (math_cases(rng) + alignment_cases(rng) + environment_cases(root) +
            drawer_cases(rng))


# --------------------------------------------------------------------------
# Report
# --------------------------------------------------------------------------

def family_summary(results):
    rows = []
    for family in FAMILIES:
        mine = [r for r in results if r.family == family]
        if not mine:
            continue
        rows.append({
            "family": family,
            "cases": len(mine),
            "calls": sum(r.calls for r in mine),
            "ref_drift": sum(r.ref_drift for r in mine),
            "max_blocks_per_call": max(r.blocks_per_call for r in mine),
            "max_rss_kib": max(r.rss_kib for r in mine),
            "ok": all(r.ok for r in mine),
        })
    return rows


def print_report(results, out=sys.stdout, verbose=True):
    if verbose:
        print(f"{'family':<13} {'function':<38} {'path':<8} {'calls':>8} {'refs':>5} "
              f"{'blocks/call':>11} {'rss KiB':>8} {'s':>6}", file=out)
        for r in results:
            flag = "" if r.ok else "  <-- drift"
            print(f"{r.family:<13} {r.name:<38} {r.path:<8} {r.calls:>8} {r.ref_drift:>5} "
                  f"{r.blocks_per_call:>11.4f} {r.rss_kib:>8} {r.seconds:>6.1f}{flag}", file=out)
        print(file=out)
    print(f"{'family':<13} {'cases':>5} {'calls':>11} {'ref drift':>9} {'max blocks/call':>15} "
          f"{'max rss KiB':>11}", file=out)
    for s in family_summary(results):
        print(f"{s['family']:<13} {s['cases']:>5} {s['calls']:>11} {s['ref_drift']:>9} "
              f"{s['max_blocks_per_call']:>15.4f} {s['max_rss_kib']:>11}"
              f"{'' if s['ok'] else '  <-- drift'}", file=out)


def run(iterations=100_000, warmup=200, families=FAMILIES, paths=PATHS, max_blocks=0.01,
        max_rss_kib=16 * 1024, progress=None):
    """Measure every selected case; returns the list of Results."""
    results = []
    with tempfile.TemporaryDirectory() as root, warnings.catch_warnings():
        warnings.simplefilter("ignore")
        import logging
        logging.disable(logging.CRITICAL)     # set_base logs at every call
        try:
            write_clip(root)
            cases = [c for c in all_cases(root) if c.family in families and c.path in paths]
            # What exists now is not under test: keep the collections below
            # to the objects the calls create.
            gc.collect()
            gc.freeze()
            for case in cases:
                results.append(measure(case, iterations, warmup, max_blocks, max_rss_kib))
                if progress:
                    progress(results[-1], len(results), len(cases))
        finally:
            gc.unfreeze()
            logging.disable(logging.NOTSET)
    return results


def main(argv=None):
    parser = argparse.ArgumentParser(
        description=__doc__.split("\n\n")[0],
        epilog="Every case and the per-family summary are printed; the exit status is 1 "
               "when any case drifts.")
    parser.add_argument("--iterations", type=int, default=100_000,
                        help="calls per case after warm-up (default 100000; calls that "
                             "read a clip file run 1%% or 10%% of it)")
    parser.add_argument("--warmup", type=int, default=200,
                        help="calls per case before measuring (default 200)")
    parser.add_argument("--family", action="append", choices=FAMILIES,
                        help="only this function family (repeatable; default all)")
    parser.add_argument("--path", action="append", choices=PATHS,
                        help="only this path: native, general or error (repeatable; "
                             "default all)")
    parser.add_argument("--max-blocks", type=float, default=0.01,
                        help="memory blocks per call still allocated afterwards (beyond "
                             f"{BLOCK_SLACK} for caches) that count as a leak (default 0.01)")
    parser.add_argument("--max-rss-kib", type=int, default=16 * 1024,
                        help="resident-memory growth per case that counts as a leak, KiB "
                             "(default 16384)")
    parser.add_argument("--json", metavar="FILE", help="also write every result to FILE")
    parser.add_argument("--summary-only", action="store_true",
                        help="print the per-family summary without the case table")
    args = parser.parse_args(argv)

    def progress(result, done, total):
        print(f"[{done}/{total}] {result.family} {result.name} {result.path}: "
              f"{result.calls} calls, refs {result.ref_drift}, "
              f"{result.blocks_per_call:.4f} blocks/call, rss {result.rss_kib} KiB",
              file=sys.stderr, flush=True)

    results = run(args.iterations, args.warmup, tuple(args.family or FAMILIES),
                  tuple(args.path or PATHS), args.max_blocks, args.max_rss_kib, progress)
    print_report(results, verbose=not args.summary_only)
    if args.json:
        with open(args.json, "w") as f:
            json.dump({"cases": [dataclasses.asdict(r) for r in results],
                       "families": family_summary(results)}, f, indent=1)
    return 0 if all(r.ok for r in results) else 1


if __name__ == "__main__":
    sys.exit(main())
