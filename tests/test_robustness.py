"""Arbitrary input from Python never crashes the interpreter: every call
returns or raises an ordinary exception, and a subprocess runs the sweep so a
crash shows up as a failed test rather than a dead test run."""

import os
import subprocess
import sys
import textwrap

import pytest

import trackscope

SWEEP = textwrap.dedent(
    """
    import itertools, logging, random, sys, tempfile, warnings
    import numpy as np, torch
    sys.path.insert(0, {tests!r})
    logging.disable(logging.CRITICAL)
    warnings.simplefilter("ignore")
    import trackscope, math_transfrom as m, motion_env_wbt as e
    from clips import make_clip, write_clip

    class Hostile:
        def __array__(self, *a, **k): raise RuntimeError("no array")
        def __len__(self): return 4
        def __getitem__(self, i): raise KeyError(i)

    junk = [None, 0, 1.5, -1, 2**80, "abcd", [], [1.0], [1.0, 2.0, 3.0], [1.0, 2.0, 3.0, 4.0],
            [[1.0, 2, 3, 4]], (1, 2, 3, 4), np.zeros(0), np.zeros(4), np.ones(3), np.ones((2, 4)),
            np.ones((4, 2)), np.ones((1, 1, 1, 4)), np.ones(4, np.float32), np.ones(4, np.int8),
            np.ones(4, complex), np.full(4, np.nan), np.array([np.inf, -np.inf, 0, 1]),
            np.ones(4, object), np.ones((2,) * 9 + (8,))[..., ::2], np.float64(1.0), np.array(3.0),
            Hostile(), {{"a": 1}}, torch.ones(2, 4), iter([1.0, 2, 3, 4]),
            np.ma.masked_array(np.ones(4)), np.ones(4).astype(">f8")]

    def attempt(f, *args):
        try:
            f(*args)
        except Exception:
            pass

    random.seed(0)
    for name in dir(m):
        f = getattr(m, name)
        if getattr(f, "__module__", None) != "math_transfrom" or isinstance(f, type):
            continue
        for _ in range(150):
            attempt(f, *[random.choice(junk) for _ in range(f.__code__.co_argcount)])
    for yaw_only, xy_only in itertools.product([False, True], repeat=2):
        ta = m.TransformAlignment(yaw_only=yaw_only, xy_only=xy_only)
        for a in junk:
            for method in (ta.align_quat, ta.align_xyz, ta.align_pos, ta.set_base):
                attempt(method, a)
    root = tempfile.mkdtemp()
    write_clip(root, "stand", make_clip(frames=3))
    for attribute in ("time_steps", "body_index", "motion_anchor_body_index", "file",
                      "motion_init_align"):
        env = e.Wbt_env(root)
        for a in junk:
            setattr(env, attribute, a)
            for query in ("command", "joint_pos", "anchor_pos_w", "anchor_quat_w",
                          "anchor_lim_vel_w", "body_quat_w"):
                attempt(getattr, env, query)
            attempt(env.reset)

    class Viewer:
        def add_marker(self, **kw):
            pass

    drawer = trackscope.TrackscopeDrawer(None)
    for a, b, c in itertools.product(junk[:12], junk[:12], [0, 1, None]):
        for viewer in (None, Viewer()):
            drawer.viewer = viewer
            attempt(drawer.update_rg_view, a, b, c)
            attempt(drawer.draw_arrow, a, b, a, b)
    print("swept")
    """
)


def run_isolated(code):
    """Run `code` in a fresh interpreter that imports this extension."""
    env = dict(os.environ)
    so_dir = os.path.dirname(trackscope.__file__)
    env["PYTHONPATH"] = os.pathsep.join(p for p in (so_dir, env.get("PYTHONPATH")) if p)
    return subprocess.run([sys.executable, "-c", code], env=env, capture_output=True, text=True,
                          timeout=600)


def test_junk_input_never_crashes():
    code = SWEEP.format(tests=os.path.dirname(os.path.abspath(__file__)))
    done = run_isolated(code)
    assert done.returncode == 0, done.stderr[-2000:]
    assert done.stdout.strip().endswith("swept")


DEEP_RECURSION = textwrap.dedent(
    """
    import sys, tempfile, threading
    import numpy as np
    sys.path.insert(0, {tests!r})
    import trackscope, math_transfrom as m, motion_env_wbt as e
    from clips import write_standard

    root = tempfile.mkdtemp()
    write_standard(root, frames=3)

    class Alignment(m.TransformAlignment):
        def align_xyz(self, xyz):          # native align_pos calls align_xyz again
            return self.align_pos(xyz)

    class Env(e.Wbt_env_sim):
        time_steps = property(lambda self: self.joint_pos, lambda self, v: None)

    class Recurring:
        def __array__(self, *args, **kwargs):
            return m.quat_mul(self, self)

    class Viewer:
        def add_marker(self, **kwargs):
            drawer.update_rg_view(np.zeros((1, 3)), None, 0)

    drawer = trackscope.TrackscopeDrawer(Viewer())
    calls = [lambda: Alignment().align_xyz(np.zeros(3)), lambda: Env(root).joint_pos,
             lambda: m.quat_mul(Recurring(), Recurring()),
             lambda: drawer.update_rg_view(np.zeros((1, 3)), None, 0)]
    results = []

    def run_all():
        for call in calls:
            try:
                call()
                results.append("returned")
            except RecursionError:
                results.append("RecursionError")

    class Counting:
        depth = 0
        def add_marker(self, **kwargs):
            Counting.depth += 1
            counted.update_rg_view(np.zeros((1, 3)), None, 0)

    counted = trackscope.TrackscopeDrawer(Counting())

    def depth_reached():
        Counting.depth = 0
        try:
            counted.update_rg_view(np.zeros((1, 3)), None, 0)
        except RecursionError:
            return Counting.depth

    sys.setrecursionlimit({limit})
    run_all()
    depths = set()
    for _ in range(3):
        depths.add(depth_reached())
    # Each thread a stack of its own size, one after the other: a thread may
    # come back with the thread pointer of one that ended.
    for size in (64 << 20, 48 << 20, 8 << 20, 1 << 20):
        threading.stack_size(size)
        worker = threading.Thread(target=run_all)
        worker.start()
        worker.join()
    run_all()
    depths.add(depth_reached())
    print(" ".join(results), len(depths))
    """
)


@pytest.mark.parametrize("limit", [300, 10_000, 100_000])
def test_deep_recursion_through_native_calls_raises(limit):
    # Recursion through compiled functions, properties, __array__ and a
    # viewer callback, on the main thread and on threads with stacks of
    # 64, 48, 8 and 1 MiB: a RecursionError each time, whatever the recursion limit,
    # and the same depth again after each one (the counter is restored).
    code = DEEP_RECURSION.format(tests=os.path.dirname(os.path.abspath(__file__)), limit=limit)
    done = run_isolated(code)
    assert done.returncode == 0, done.stderr[-2000:]
    assert done.stdout.split() == ["RecursionError"] * 24 + ["1"]
