#!/usr/bin/env python3
"""Side-by-side timings of the plain NumPy/SciPy baseline (tests/reference.py),
the native extension (trackscope / math_transfrom / motion_env_wbt) and
third-party peers (SciPy Rotation, numpy-quaternion when installed).

Every cell is the median per-call time over repeated runs; each run executes
the call `number` times, with `number` chosen timeit-style so that one run
lasts about --target seconds. Nothing here asserts anything about speed.

    python bench/bench.py [--quick] [--json out.json] [--n N] [--frames T,...]
"""

import argparse
import gc
import json
import os
import platform
import statistics
import sys
import tempfile
import time
import timeit
from pathlib import Path

import numpy as np

sys.path.insert(0, str(Path(__file__).resolve().parent.parent / "tests"))
import reference as ref  # noqa: E402

from scipy.spatial.transform import Rotation  # noqa: E402

IMPLS = ("baseline", "trackscope", "scipy", "quaternion")

# Bytes read + written per quaternion (float64) by each batch operation.
BYTES_PER_ITEM = {
    "quat_conjugate": 32 + 32,
    "quat_inv": 32 + 32,
    "quat_mul": 64 + 32,
    "quat_mul_e": 64 + 32,
    "quat_apply": 32 + 24 + 24,
    "matrix_from_quat": 32 + 72,
}


# ---------------------------------------------------------------------------
# Imports that may be missing
# ---------------------------------------------------------------------------

def load_native():
    try:
        import trackscope  # noqa: F401
        import math_transfrom
        import motion_env_wbt
    except Exception as exc:  # not built yet, or a module body failed
        return None, None, f"{type(exc).__name__}: {exc}"
    return math_transfrom, motion_env_wbt, None


def load_quaternion():
    try:
        import quaternion
    except Exception as exc:
        return None, f"{type(exc).__name__}: {exc}"
    return quaternion, None


# ---------------------------------------------------------------------------
# Timing
# ---------------------------------------------------------------------------

def autorange(timer, target):
    """Smallest number from 1, 2, 5, 10, 20, 50, ... whose run takes >= target."""
    i = 1
    while True:
        for j in (1, 2, 5):
            number = i * j
            if timer.timeit(number) >= target:
                return number
        i *= 10


def measure(fn, repeats, target):
    timer = timeit.Timer(fn)
    number = autorange(timer, target)
    gc_was_enabled = gc.isenabled()
    gc.disable()
    try:
        runs = [timer.timeit(number) / number for _ in range(repeats)]
    finally:
        if gc_was_enabled:
            gc.enable()
    return {"median_s": statistics.median(runs), "number": number, "runs_s": runs}


def fmt_time(s):
    if s is None:
        return "n/a"
    if isinstance(s, str):
        return s
    if s < 1e-6:
        return f"{s * 1e9:.0f} ns"
    if s < 1e-3:
        return f"{s * 1e6:.2f} us"
    if s < 1.0:
        return f"{s * 1e3:.2f} ms"
    return f"{s:.2f} s"


def max_abs_diff(a, b):
    if isinstance(a, tuple) and isinstance(b, tuple):
        if len(a) != len(b):
            return f"tuple of {len(a)} vs {len(b)}"
        diffs = [max_abs_diff(x, y) for x, y in zip(a, b)]
        text = [d for d in diffs if isinstance(d, str)]
        return text[0] if text else max(diffs, default=0.0)
    try:
        a = np.asarray(a, dtype=float)
        b = np.asarray(b, dtype=float)
        if a.shape != b.shape:
            return f"shape {a.shape} vs {b.shape}"
        return float(np.max(np.abs(a - b))) if a.size else 0.0
    except Exception as exc:
        return f"{type(exc).__name__}: {exc}"


# ---------------------------------------------------------------------------
# Cases
# ---------------------------------------------------------------------------

def unit_quats(rng, n):
    q = rng.normal(size=(n, 4))
    q /= np.linalg.norm(q, axis=-1, keepdims=True)
    return q


def native_fn(mt, name):
    return getattr(mt, name, None) if mt is not None else None


def primitive_rows(mt, Q, q1, q2, v, case, single):
    """Rows for the quaternion primitives and matrix_from_quat on one input set."""
    x1 = q1[..., [1, 2, 3, 0]].copy()  # SciPy layout, prepared outside the timing
    x2 = q2[..., [1, 2, 3, 0]].copy()
    rows = []

    def add(op, base, native, scipy=None, quat=None):
        rows.append({"op": op, "case": case, "fns": {
            "baseline": base, "trackscope": native, "scipy": scipy, "quaternion": quat}})

    def nat(name, *args):
        f = native_fn(mt, name)
        return (lambda: f(*args)) if f is not None else None

    qa = None
    if Q is not None:
        qa = Q.as_quat_array(q1)
        af, vp, qarr = Q.as_float_array, Q.from_vector_part, Q.as_quat_array

    add("quat_conjugate", lambda: ref.quat_conjugate(q1), nat("quat_conjugate", q1),
        None,
        (lambda: af(qarr(q1).conjugate())) if Q else None)
    add("quat_inv", lambda: ref.quat_inv(q1), nat("quat_inv", q1),
        lambda: Rotation.from_quat(x1).inv().as_quat(),
        (lambda: af(np.reciprocal(qarr(q1)))) if Q else None)
    add("quat_mul", lambda: ref.quat_mul(q1, q2), nat("quat_mul", q1, q2),
        lambda: (Rotation.from_quat(x1) * Rotation.from_quat(x2)).as_quat(),
        (lambda: af(qarr(q1) * qarr(q2))) if Q else None)
    add("quat_mul_e", lambda: ref.quat_mul_e(q1, q2), nat("quat_mul_e", q1, q2))
    add("quat_apply", lambda: ref.quat_apply(q1, v), nat("quat_apply", q1, v),
        lambda: Rotation.from_quat(x1).apply(v),
        (lambda: Q.as_vector_part(qa * vp(v) * qa.conjugate())) if Q else None)
    if single:
        add("wxyz_to_xyzw", lambda: ref.wxyz_to_xyzw(q1), nat("wxyz_to_xyzw", q1))
        add("xyzw_to_wxyz", lambda: ref.xyzw_to_wxyz(x1), nat("xyzw_to_wxyz", x1))
    add("matrix_from_quat", lambda: ref.matrix_from_quat(q1), nat("matrix_from_quat", q1),
        lambda: Rotation.from_quat(x1).as_matrix(),
        (lambda: Q.as_rotation_matrix(qa)) if Q else None)
    return rows


def align_rows(mt, rng):
    base_q = Rotation.from_euler("xyz", [0.1, -0.2, 0.8]).as_quat()
    base_p = np.array([0.3, -1.2, 0.9])
    q = Rotation.from_euler("xyz", [0.05, 0.3, -1.1]).as_quat()
    p = rng.normal(size=3)
    b = ref.TransformAlignment(base_q, base_p, yaw_only=True, xy_only=True)
    native = None
    if mt is not None and hasattr(mt, "TransformAlignment"):
        try:
            n = mt.TransformAlignment(base_q, base_p.copy(), yaw_only=True, xy_only=True)
            native = lambda: n.align_transform(q, p)  # noqa: E731
        except Exception as exc:
            native = f"err {type(exc).__name__}"
    return [{"op": "TransformAlignment.align_transform", "case": "one pose",
             "fns": {"baseline": lambda: b.align_transform(q, p), "trackscope": native}}]


def state_estimate_rows(mt, rng):
    """The one-pose functions of the robot's own state estimate, SciPy-bound in
    the baseline; the native module runs some of them without SciPy."""
    import logging

    logging.getLogger("math_transfrom").setLevel(logging.WARNING)
    logging.getLogger("reference").setLevel(logging.WARNING)
    q_odom, q_offset = (np.roll(unit_quats(rng, 1)[0], 1) for _ in range(2))  # [w, x, y, z]
    p_odom, p_offset = rng.normal(size=3), rng.normal(size=3)
    base_q = np.roll(q_offset, -1)[None, :]
    cases = [
        ("world_to_body_vel", (p_odom, q_odom)),
        ("reset_pose", (p_odom, q_odom, p_offset, q_offset)),
        ("reset_pose_yaw_only", (p_odom, q_odom, p_offset, q_offset)),
        ("reset_pose_yaw_only_keep_rp", (p_odom, q_odom, p_offset, q_offset)),
        ("reset_quat_yaw_only_keep_rp", (q_odom, q_offset)),
        ("pelvis_to_torso_quat", (q_odom, 0.3)),
        ("pelvis_to_torso_pose", (p_odom, q_odom, 0.3, [0.0, 0.0, 0.2])),
        ("imu_quat_to_euler", (q_odom,)),
    ]
    rows = []
    for name, args in cases:
        base = getattr(ref, name)
        rows.append({"op": name, "case": "one pose",
                     "fns": {"baseline": (lambda f=base, a=args: f(*a)),
                             "trackscope": native_fn(mt, name) and
                             (lambda f=getattr(mt, name), a=args: f(*a))}})
    b = ref.TransformAlignment(yaw_only=True, xy_only=True)
    native = None
    if mt is not None and hasattr(mt, "TransformAlignment"):
        n = mt.TransformAlignment(yaw_only=True, xy_only=True)
        native = lambda: n.set_base(quat=base_q, pos=p_offset[None, :])  # noqa: E731
    rows.append({"op": "TransformAlignment.set_base", "case": "yaw/xy, (1, 4)",
                 "fns": {"baseline": lambda: b.set_base(quat=base_q, pos=p_offset[None, :]),
                         "trackscope": native}})
    return rows


def write_clip(root, T, rng):
    d = Path(root) / "assets" / "motion_npz"
    d.mkdir(parents=True, exist_ok=True)
    B, J = 30, 29
    np.savez(
        d / "stand.npz",
        fps=np.array(50.0),
        joint_pos=rng.normal(size=(T, J)),
        joint_vel=rng.normal(size=(T, J)),
        body_pos_w=rng.normal(size=(T, B, 3)),
        body_quat_w=unit_quats(rng, T * B).reshape(T, B, 4),
        body_lin_vel_w=rng.normal(size=(T, B, 3)),
        body_ang_vel_w=rng.normal(size=(T, B, 3)),
    )


def make_tick(env, T):
    step = [0]

    def tick():
        s = step[0]
        step[0] = s + 1 if s + 1 < T else 0
        env.update_time_steps(s)
        env.command
        env.anchor_pos_w
        env.anchor_quat_w
        env.anchor_lim_vel_w
        env.anchor_ang_vel_w
        env.body_pos_w

    return tick


def tick_outputs(env, s):
    env.update_time_steps(s)
    return [env.command, env.anchor_pos_w, env.anchor_quat_w, env.anchor_lim_vel_w,
            env.anchor_ang_vel_w, env.body_pos_w]


def compare_ticks(b_env, n_env, T):
    worst = 0.0
    for s in sorted({0, T // 2, T - 1}):
        for i, (x, y) in enumerate(zip(tick_outputs(b_env, s), tick_outputs(n_env, s))):
            d = max_abs_diff(x, y)
            if i == 2 and isinstance(d, float):  # q and -q are the same rotation
                d = min(d, max_abs_diff(x, -np.asarray(y)))
            if isinstance(d, str):
                return d
            worst = max(worst, d)
    return worst


# ---------------------------------------------------------------------------
# Running and reporting
# ---------------------------------------------------------------------------

def run_row(row, args, results):
    outs = {}
    cells = {}
    for impl in IMPLS:
        fn = row["fns"].get(impl)
        if fn is None or isinstance(fn, str):
            cells[impl] = fn
            continue
        try:
            outs[impl] = fn()
        except Exception as exc:
            cells[impl] = f"err {type(exc).__name__}"
            results.append({"op": row["op"], "case": row["case"], "impl": impl,
                            "error": f"{type(exc).__name__}: {exc}"})
            continue
        m = measure(fn, args.repeats, args.target)
        cells[impl] = m["median_s"]
        rec = {"op": row["op"], "case": row["case"], "impl": impl, **m}
        if row.get("bytes"):
            rec["bytes"] = row["bytes"]
        results.append(rec)
    if outs.get("baseline") is not None and outs.get("trackscope") is not None:
        diff = max_abs_diff(outs["baseline"], outs["trackscope"])
        row["diff"] = diff
    return cells


def ratio(cells):
    b, n = cells.get("baseline"), cells.get("trackscope")
    if isinstance(b, float) and isinstance(n, float) and n > 0:
        return f"{b / n:.2f}x"
    return "n/a"


def print_table(rows, peers):
    cols = ["operation", "case", "baseline", "trackscope", "ratio"] + list(peers)
    lines = []
    for r in rows:
        c = r["cells"]
        line = [r["op"], r["case"], fmt_time(c.get("baseline")), fmt_time(c.get("trackscope")), ratio(c)]
        line += ["-" if c.get(p) is None else fmt_time(c.get(p)) for p in peers]
        lines.append(line)
    widths = [max(len(cols[i]), *(len(l[i]) for l in lines)) for i in range(len(cols))]

    def fmt(line):
        return "  ".join(s.ljust(w) if i < 2 else s.rjust(w) for i, (s, w) in enumerate(zip(line, widths)))

    print(fmt(cols))
    print("  ".join("-" * w for w in widths))
    for line in lines:
        print(fmt(line))


def print_bandwidth(rows, copy_cells, n, peers):
    print()
    print(f"Effective memory bandwidth at N = {n:,} (bytes read + written per second; GB = 1e9 B)")
    impls = ["baseline", "trackscope"] + list(peers)
    head = ["operation", "MB moved"] + impls
    lines = []
    for name, (secs, nbytes) in copy_cells.items():
        lines.append([name, f"{nbytes / 1e6:.0f}", f"{nbytes / secs / 1e9:.2f} GB/s"] + [""] * (len(impls) - 1))
    copy_bw = max(nb / s for s, nb in copy_cells.values())
    for r in rows:
        if not r.get("bytes"):
            continue
        line = [r["op"], f"{r['bytes'] / 1e6:.0f}"]
        for impl in impls:
            s = r["cells"].get(impl)
            if isinstance(s, float) and s > 0:
                bw = r["bytes"] / s
                line.append(f"{bw / 1e9:.2f} GB/s ({100 * bw / copy_bw:.0f}%)")
            else:
                line.append("-" if s is None and impl != "trackscope" else "n/a")
        lines.append(line)
    widths = [max(len(head[i]), *(len(l[i]) for l in lines)) for i in range(len(head))]
    print("  ".join(h.ljust(w) if i == 0 else h.rjust(w) for i, (h, w) in enumerate(zip(head, widths))))
    print("  ".join("-" * w for w in widths))
    for line in lines:
        print("  ".join(s.ljust(w) if i == 0 else s.rjust(w) for i, (s, w) in enumerate(zip(line, widths))))
    print("(percentages relative to the faster of the two plain copies)")


def main(argv=None):
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("--quick", action="store_true", help="fewer, shorter repeats")
    ap.add_argument("--json", metavar="PATH", help="also write all measurements as JSON")
    ap.add_argument("--n", type=int, default=1_000_000, help="batch size for the batch cases")
    ap.add_argument("--frames", default="100,10000,100000",
                    help="comma-separated clip lengths for the control-tick cases")
    ap.add_argument("--repeats", type=int, help="timed runs per cell (default 7, quick 3)")
    ap.add_argument("--target", type=float, help="seconds per timed run (default 0.1, quick 0.02)")
    ap.add_argument("--seed", type=int, default=12345)
    args = ap.parse_args(argv)
    args.repeats = args.repeats or (3 if args.quick else 7)
    args.target = args.target or (0.02 if args.quick else 0.1)
    frames = [int(t) for t in args.frames.split(",") if t.strip()]

    t_start = time.perf_counter()
    rng = np.random.default_rng(args.seed)
    mt, menv, native_err = load_native()
    Q, q_err = load_quaternion()
    peers = ["scipy"] + (["quaternion"] if Q is not None else [])

    import scipy
    meta = {
        "python": sys.version.split()[0],
        "numpy": np.__version__,
        "scipy": scipy.__version__,
        "quaternion": getattr(Q, "__version__", None) if Q else None,
        "machine": platform.machine(),
        "processor": platform.processor() or platform.platform(),
        "cpus": os.cpu_count(),
        "trackscope": "available" if mt is not None else f"n/a ({native_err})",
        "repeats": args.repeats,
        "target_s": args.target,
        "n": args.n,
        "frames": frames,
    }
    print(f"python {meta['python']}  numpy {meta['numpy']}  scipy {meta['scipy']}  "
          f"numpy-quaternion {meta['quaternion'] or 'not installed'}  cpus {meta['cpus']}")
    print(f"trackscope: {meta['trackscope']}")
    print(f"timing: median of {args.repeats} runs, each run ~{args.target:g} s (timeit-style autorange)")
    print()

    results = []
    rows = []

    def run(new_rows):
        for r in new_rows:
            r["cells"] = run_row(r, args, results)
            rows.append(r)

    # One quaternion.
    q1 = unit_quats(rng, 1)[0]
    q2 = unit_quats(rng, 1)[0]
    v = rng.normal(size=3)
    run(primitive_rows(mt, Q, q1, q2, v, "one (4,)", single=True))

    # Batch of N.
    n = args.n
    Q1 = unit_quats(rng, n)
    Q2 = unit_quats(rng, n)
    V = rng.normal(size=(n, 3))
    batch = primitive_rows(mt, Q, Q1, Q2, V, f"N={n:,}", single=False)
    for r in batch:
        r["bytes"] = BYTES_PER_ITEM[r["op"]] * n
    run(batch)

    copy_cells = {}
    m = measure(lambda: Q1.copy(), args.repeats, args.target)
    copy_cells["copy: arr.copy()"] = (m["median_s"], 2 * Q1.nbytes)
    results.append({"op": "arr.copy()", "case": f"N={n:,}", "impl": "numpy", "bytes": 2 * Q1.nbytes, **m})
    dst = np.empty_like(Q1)
    m = measure(lambda: np.copyto(dst, Q1), args.repeats, args.target)
    copy_cells["copy: np.copyto"] = (m["median_s"], 2 * Q1.nbytes)
    results.append({"op": "np.copyto", "case": f"N={n:,}", "impl": "numpy", "bytes": 2 * Q1.nbytes, **m})
    del Q1, Q2, V, dst

    # Alignment of one pose, and the one-pose state-estimate functions.
    run(align_rows(mt, rng))
    run(state_estimate_rows(mt, rng))

    # Control tick on generated clips.
    for T in frames:
        with tempfile.TemporaryDirectory(prefix="trackscope-bench-") as tmp:
            write_clip(tmp, T, rng)
            b_env = ref.Wbt_env(tmp)
            b_env.reset()
            fns = {"baseline": make_tick(b_env, T)}
            n_env = None
            if menv is not None:
                try:
                    n_env = menv.Wbt_env(tmp)
                    n_env.reset()
                    fns["trackscope"] = make_tick(n_env, T)
                except Exception as exc:
                    fns["trackscope"] = f"err {type(exc).__name__}"
            row = {"op": "Wbt_env control tick", "case": f"T={T:,}", "fns": fns}
            run([row])
            if n_env is not None and "trackscope" in fns and callable(fns["trackscope"]):
                try:
                    row["diff"] = compare_ticks(b_env, n_env, T)
                except Exception as exc:
                    row["diff"] = f"{type(exc).__name__}: {exc}"
            del b_env, n_env, fns

    print_table(rows, peers)
    print_bandwidth([r for r in rows if r.get("bytes")], copy_cells, n, peers)

    mismatches = [(r["op"], r["case"], r["diff"]) for r in rows
                  if "diff" in r and (isinstance(r["diff"], str) or r["diff"] > 1e-9)]
    print()
    print("Notes: ratio = baseline / trackscope (above 1 means the native module is faster).")
    print("  SciPy takes [x, y, z, w] (reordered before timing) and normalises on from_quat;")
    print("  numpy-quaternion apply is the sandwich product q v q*; control tick = update_time_steps,")
    print("  command, anchor_pos_w/quat_w/lim_vel_w/ang_vel_w, body_pos_w (after reset()).")
    if mismatches:
        print("Baseline vs trackscope results differ beyond 1e-9 in:")
        for op, case, d in mismatches:
            print(f"  {op} [{case}]: {d}")
    elapsed = time.perf_counter() - t_start
    print(f"total {elapsed:.1f} s")

    if args.json:
        payload = {
            "meta": {**meta, "elapsed_s": elapsed},
            "results": results,
            "diffs": [{"op": r["op"], "case": r["case"], "max_abs_diff": r["diff"]}
                      for r in rows if "diff" in r],
        }
        with open(args.json, "w") as fh:
            json.dump(payload, fh, indent=1)
        print(f"wrote {args.json}")
    return 0


if __name__ == "__main__":
    sys.exit(main())
