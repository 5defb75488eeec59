#!/usr/bin/env python3
"""Per-tick cost of a tracking policy in the simulation loop: observation
assembly and inference, timed apart, on the stand-in reference policy over
the built-in squat_turn clip held by the gantry (the states the loop
visits). Prints median and p99 of each, and of the two together (what the
replay's summary reports as policy_latency_us). Nothing here asserts
anything about speed.

    python bench/policy.py [--seconds 10] [--repeats 3]
"""

import argparse
import os
import tempfile
import time

import numpy as np

import trackscope  # noqa: F401  (registers motion_env_wbt)
from motion_env_wbt import Wbt_env
from trackscope_tools import observations, robot, simulation
from trackscope_tools.builtin import builtin_motion
from trackscope_tools.clipfile import clip_path, write_clip
from trackscope_tools.controllers.policy import PolicyController, write_reference_policy
from trackscope_tools.recording import record_clip


class Timed(PolicyController):
    """The policy controller with its tick split into its two parts."""

    def reset(self, clip, state):
        super().reset(clip, state)
        self.times = []

    def tick(self, state, ref):
        start = time.perf_counter_ns()
        data = self.own.set(state)
        tick = observations.Tick(state, data, self.env, ref, self.joints, self.default, self.action, self.anchor)
        vector = observations.observe(self.policy.terms, tick)
        middle = time.perf_counter_ns()
        self.policy.run(vector)
        self.times.append((middle - start, time.perf_counter_ns() - middle))
        return super().tick(state, ref)


def line(label, ns):
    us = np.asarray(ns) / 1000.0
    return f"  {label:<26} median {np.median(us):7.1f} us   p99 {np.percentile(us, 99):7.1f} us"


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--seconds", type=float, default=10.0, help="clip length (default: 10)")
    parser.add_argument("--repeats", type=int, default=3, help="runs of the clip (default: 3)")
    args = parser.parse_args()
    model = robot.load_model()
    with tempfile.TemporaryDirectory() as root:
        write_clip(clip_path(root, "squat_turn"), record_clip(model, builtin_motion("squat_turn", model,
                                                                                   seconds=args.seconds)))
        controller = Timed(write_reference_policy(os.path.join(root, "reference.onnx")))
        for run in range(args.repeats):
            clip = simulation.Clip(Wbt_env(root, file="squat_turn"), model)
            simulation.run_clip(clip, model, controller, gantry=float("inf"))
            assembly, inference = np.array(controller.times).T
            print(f"run {run + 1}: {len(assembly)} ticks")
            print(line("observation assembly", assembly))
            print(line("inference", inference))
            print(line("both", assembly + inference))


if __name__ == "__main__":
    main()
