#!/usr/bin/env python3
"""The whole-body controller's QP: solvers and rate, measured.

1. Solvers: the controller runs a built-in clip once with one QP per physics
   step and keeps every problem it built; each installed qpsolvers backend
   then solves all of them, the backends taking turns problem by problem so
   load on the machine falls on all alike. Per backend: median and p99 solve
   time, solves that failed, the worst residual of the equations of motion
   (relative to the largest bias force) and of the friction cones (N), and
   the largest difference of its torques from the first backend's.
2. Rate: the same clip replayed with one QP per physics step and with one
   per control tick (joint PD between), with the loop's figures.

    python bench/wbc_solvers.py [--clip step_in_place] [--seconds S] [--solvers daqp proxqp ...]
"""

import argparse
import os
import sys
import tempfile
import time
import warnings

for _var in ("OPENBLAS_NUM_THREADS", "OMP_NUM_THREADS", "MKL_NUM_THREADS"):
    os.environ.setdefault(_var, "1")

import numpy as np  # noqa: E402
import qpsolvers  # noqa: E402

import trackscope  # noqa: E402,F401
from motion_env_wbt import Wbt_env  # noqa: E402
from trackscope_tools import robot, simulation  # noqa: E402
from trackscope_tools.builtin import BUILTIN, builtin_motion  # noqa: E402
from trackscope_tools.clipfile import clip_path, write_clip  # noqa: E402
from trackscope_tools.controllers.wbc import WBCController  # noqa: E402
from trackscope_tools.controllers.wbc import problem as wbc_problem  # noqa: E402
from trackscope_tools.recording import record_clip  # noqa: E402
from trackscope_tools.report import clip_summary  # noqa: E402


class Recorder(WBCController):
    """Keeps (problem, state) of every solve."""

    def __init__(self):
        super().__init__(rate="step")
        self.kept = []

    def _solve(self, data, alpha):
        real = wbc_problem.solve

        def keep(state, tasks, limits, solver, **options):
            self.kept.append((wbc_problem.build_problem(state, tasks, limits), state))
            return real(state, tasks, limits, solver, **options)
        module = sys.modules[WBCController.__module__]
        module.solve = keep
        try:
            return super()._solve(data, alpha)
        finally:
            module.solve = real


def residuals(x, problem, state):
    lay = state.layout
    eom = problem.A[:lay.nv] @ x - problem.b[:lay.nv]
    cone = problem.G @ x - problem.h if problem.G is not None else np.zeros(1)
    return float(np.abs(eom).max() / max(np.abs(state.h).max(), 1.0)), float(max(cone.max(), 0.0))


def main(argv=None):
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--clip", default="step_in_place", choices=BUILTIN,
                        help="built-in clip (default: step_in_place)")
    parser.add_argument("--seconds", type=float, help="clip length (default: the clip's own)")
    parser.add_argument("--solvers", nargs="+", default=[s for s in ("daqp", "proxqp", "osqp", "clarabel")
                                                         if s in qpsolvers.available_solvers],
                        help="qpsolvers backends, the first the reference for torques")
    args = parser.parse_args(argv)
    warnings.filterwarnings("ignore", module="qpsolvers")     # dense problems handed to sparse backends

    model = robot.load_model()
    with tempfile.TemporaryDirectory() as root:
        write_clip(clip_path(root, args.clip), record_clip(model, builtin_motion(args.clip, model,
                                                                                seconds=args.seconds)))
        recorder = Recorder()
        simulation.run_clip(simulation.Clip(Wbt_env(root, file=args.clip), model), model, recorder)
        problems = recorder.kept
        sizes = [p.P.shape[0] for p, _ in problems]
        print(f"{len(problems)} problems from {args.clip} ({min(sizes)}-{max(sizes)} variables)")

        times = {s: [] for s in args.solvers}
        worst = {s: [0, 0.0, 0.0, 0.0] for s in args.solvers}     # failed, eom, cone, torque diff
        for problem, state in problems:
            first = None
            for s in args.solvers:
                start = time.perf_counter()
                sol = qpsolvers.solve_problem(problem, solver=s)
                times[s].append(time.perf_counter() - start)
                if not sol.found:
                    worst[s][0] += 1
                    continue
                eom, cone = residuals(sol.x, problem, state)
                tau = sol.x[state.layout.tau]
                first = tau if first is None else first
                w = worst[s]
                w[1], w[2], w[3] = max(w[1], eom), max(w[2], cone), max(w[3], float(np.abs(tau - first).max()))
        print(f"{'solver':<10}{'median us':>11}{'p99 us':>10}{'failed':>8}{'EoM resid':>11}{'cone N':>10}"
              f"{'tau diff Nm':>13}")
        for s in args.solvers:
            us = np.asarray(times[s]) * 1e6
            f, e, c, d = worst[s]
            print(f"{s:<10}{np.median(us):>11.0f}{np.percentile(us, 99):>10.0f}{f:>8d}{e:>11.1e}{c:>10.1e}{d:>13.1e}")

        print(f"\nrate on {args.clip}:")
        print(f"{'rate':<6}{'realtime':>9}{'QP med us':>10}{'anchor mm':>10}{'joint rad':>10}{'slip mm':>8}"
              f"{'support':>8}  fell")
        for rate in WBCController.RATES:
            controller = WBCController(rate=rate)
            clip = simulation.Clip(Wbt_env(root, file=args.clip), model)
            c = clip_summary(simulation.run_clip(clip, model, controller))
            print(f"{rate:<6}{c['realtime_factor']:>9.2f}{c['qp_solve_us']['median']:>10.0f}"
                  f"{c['anchor_pos_rms_m'] * 1e3:>10.2f}{c['joint_rms_rad']:>10.4f}"
                  f"{c['stance_foot_slip_max_m'] * 1e3:>8.2f}{c['support_force_ratio']:>8.3f}  {c['fell']}")
    return 0


if __name__ == "__main__":
    sys.exit(main())
