"""An ONNX tracking policy on the free-floating robot.

Each tick the observation terms are assembled from the robot state in the
policy's term order (observations.py), the policy is run on CPU, and its
action becomes joint targets default + action_scale * action, sent as motor
commands with the policy's stiffness and damping and held between ticks.

Settings come from the model's metadata (comma-separated strings, as
training exporters write them) and fall back to the environment's tables.
"""

import os
import time

import numpy as np

from .. import observations as obs
from ..boundary import MotorCommand
from ..outputs import atomic_output
from ..robot import ClipError, tables
from ..statemodel import StateModel
from .base import Controller

# Metadata key -> the environment table it falls back to, in this order.
JOINT_VALUES = (("default_joint_pos", "default_joint_pos"), ("action_scale", "action_scales"),
                ("joint_stiffness", "kp"), ("joint_damping", "kd"))


class PolicyError(ClipError):
    """A policy file that cannot drive the robot; the message says why."""


def _first_line(e):
    text = str(e).strip().splitlines()
    return text[0] if text else type(e).__name__


def _split(value):
    return [item.strip() for item in value.split(",") if item.strip()]


class PolicyFile:
    """A policy file read through onnxruntime: its input and output, its
    metadata, and the settings it runs with, each with where it came from."""

    def __init__(self, path):
        import onnxruntime as ort

        self.path = str(path)
        if not os.path.isfile(self.path):
            raise PolicyError(f"{self.path}: no such policy file")
        options = ort.SessionOptions()
        options.intra_op_num_threads = 1        # one core, as on the robot's computer
        options.inter_op_num_threads = 1
        options.log_severity_level = 3
        try:
            self.session = ort.InferenceSession(self.path, options, providers=["CPUExecutionProvider"])
        except Exception as e:  # onnxruntime raises its own types for every unreadable model
            raise PolicyError(f"{self.path} is not an ONNX model onnxruntime can load: {_first_line(e)}") from None
        self.inputs = self.session.get_inputs()
        self.outputs = self.session.get_outputs()
        if len(self.inputs) != 1:
            raise PolicyError(f"{self.path}: a policy takes one input (the observation vector), this one takes "
                              f"{len(self.inputs)}: " + ", ".join(f"{i.name} {i.shape}" for i in self.inputs))
        inp = self.inputs[0]
        shape = list(inp.shape)
        if inp.type != "tensor(float)" or len(shape) != 2 or not isinstance(shape[1], int) \
                or (isinstance(shape[0], int) and shape[0] != 1):
            raise PolicyError(f"{self.path}: the input {inp.name!r} is {inp.type} {shape}; a policy takes "
                              "float32 [1, N] or [batch, N]")
        self.input, self.size = inp.name, shape[1]
        named = [o for o in self.outputs if o.name == "actions"]
        self.output = (named or self.outputs)[0].name
        self.metadata = dict(self.session.get_modelmeta().custom_metadata_map)
        self._settings()

    def _settings(self):
        env = tables()
        clip_names = list(env.target_names_joint)
        self.source = {}
        names = self._list("joint_names")
        self.joint_names = names if names is not None else clip_names
        self.source["joint_names"] = "metadata" if names is not None else "environment target_names_joint"
        missing = sorted(set(clip_names) - set(self.joint_names))
        extra = [n for n in self.joint_names if n not in clip_names]
        if missing or extra or len(self.joint_names) != len(clip_names):
            raise PolicyError(f"{self.path}: joint_names must name the robot's {len(clip_names)} joints once each"
                              + (f"; unknown: {', '.join(extra)}" if extra else "")
                              + (f"; missing: {', '.join(missing)}" if missing else ""))
        order = [clip_names.index(n) for n in self.joint_names]
        self.values = {}
        for key, table in JOINT_VALUES:
            given = self._list(key)
            if given is None:
                self.values[key] = np.asarray(getattr(env, table), dtype=np.float64)[order]
                self.source[key] = f"environment {table}"
                continue
            try:
                numbers = np.array([float(v) for v in given])
            except ValueError:
                raise PolicyError(f"{self.path}: metadata {key} holds a value that is not a number") from None
            if len(numbers) == 1:       # one value for every joint
                numbers = np.full(len(clip_names), numbers[0])
            if len(numbers) != len(clip_names) or not np.isfinite(numbers).all():
                raise PolicyError(f"{self.path}: metadata {key} needs {len(clip_names)} finite numbers "
                                  f"(or one for all joints), got {len(given)}")
            self.values[key] = numbers
            self.source[key] = "metadata"
        terms = self._list("observation_names")
        self.terms = tuple(terms) if terms is not None else obs.DEFAULT_TERMS
        self.source["observation_names"] = "metadata" if terms is not None else "default term list"
        try:
            self.layout = obs.term_layout(self.terms, len(clip_names))
        except ClipError as e:
            raise PolicyError(f"{self.path}: {e}") from None
        anchor = self.metadata.get("anchor_body_name", "").strip()
        default_anchor = env.target_names[env.body_index[env.motion_anchor_body_index[0]]]
        self.anchor = anchor or default_anchor
        self.source["anchor_body_name"] = "metadata" if anchor else "environment anchor body"
        if self.anchor not in env.target_names:
            raise PolicyError(f"{self.path}: anchor_body_name {self.anchor!r} is not a body of the clips")

    def _list(self, key):
        if key not in self.metadata:
            return None
        items = _split(self.metadata[key])
        if not items:
            raise PolicyError(f"{self.path}: metadata {key} is empty")
        return items

    @property
    def expected(self):
        return sum(size for _, _, size in self.layout)

    def size_problem(self):
        """None, or why the input size and the declared terms disagree."""
        if self.size == self.expected:
            return None
        terms = ", ".join(f"{n} {s}" for n, _, s in self.layout)
        return (f"{self.path}: the policy's input holds {self.size} values but its observation terms "
                f"add up to {self.expected} ({terms})")

    def run(self, observation):
        return self.session.run([self.output], {self.input: observation[None]})[0]


class PolicyController(Controller):
    name = "policy"
    base = "free"
    start_clearance = 0.01

    def __init__(self, path, clip_actions=None):
        self.policy = PolicyFile(path)
        problem = self.policy.size_problem()
        if problem:
            raise PolicyError(problem)
        if clip_actions is not None and not (np.isfinite(clip_actions) and clip_actions > 0):
            raise PolicyError(f"--clip-actions must be a positive number, got {clip_actions}")
        self.clip_actions = clip_actions
        try:
            out = np.asarray(self.policy.run(np.zeros(self.policy.size, np.float32)))
        except Exception as e:
            raise PolicyError(f"{self.policy.path}: inference on a zero observation failed: {_first_line(e)}") from None
        nj = len(self.policy.joint_names)
        if out.size != nj:
            raise PolicyError(f"{self.policy.path}: the output {self.policy.output!r} holds {out.size} values, "
                              f"a policy gives {nj} actions")
        values = self.policy.values
        self.default, self.scale = values["default_joint_pos"], values["action_scale"]
        self.kp, self.kd = values["joint_stiffness"], values["joint_damping"]
        env = tables()
        self.joints = obs.PolicyJoints(self.policy.joint_names, list(env.target_names_joint),
                                       list(env.orig_names_joint))
        self.odometry_terms = obs.odometry_terms(self.policy.terms)

    def describe(self):
        p = self.policy
        lines = [f"policy {p.path}: input {p.input!r} {self.policy.inputs[0].shape}, output {p.output!r}, "
                 f"{len(p.terms)} observation terms ({p.expected} values)"]
        for key in ("joint_names", "default_joint_pos", "action_scale", "joint_stiffness", "joint_damping",
                    "observation_names", "anchor_body_name"):
            lines.append(f"  {key:<18} from {p.source[key]}")
        if self.clip_actions is not None:
            lines.append(f"  actions clipped to +-{self.clip_actions:g}")
        return lines

    def reset(self, clip, state):
        env = clip.env
        self.own = StateModel(self.model_path)
        self.env = env
        self.anchor = obs.anchor_for(self.policy.anchor, clip, self.own.model)
        self.action = np.zeros(len(self.joints.names))
        self.target = self.default.copy()
        self.kp_motor, self.kd_motor = self.kp[self.joints.to_motor], self.kd[self.joints.to_motor]
        self.command = MotorCommand.passive()
        self.nonfinite = 0
        self.entry = {}

    def tick(self, state, ref):
        start = time.perf_counter_ns()
        data = self.own.set(state)
        tick = obs.Tick(state, data, self.env, ref, self.joints, self.default, self.action, self.anchor)
        observation = obs.observe(self.policy.terms, tick)
        action = np.asarray(self.policy.run(observation), dtype=np.float64).reshape(-1)
        elapsed = time.perf_counter_ns() - start
        if not np.isfinite(action).all():
            # Hold the last targets rather than send NaN commands; counted per clip.
            self.nonfinite += 1
        else:
            if self.clip_actions is not None:
                action = np.clip(action, -self.clip_actions, self.clip_actions)
            self.action = action
            self.target = self.default + self.scale * action
        self.entry = {"observation": observation, "action": action,
                      "target": self.target[self.joints.to_clip], "policy_ns": np.int64(elapsed)}
        self.command = MotorCommand.pd(self.target[self.joints.to_motor], np.zeros(len(self.target)),
                                       self.kp_motor, self.kd_motor)
        return self.command

    def log(self):
        return self.entry

    def clip_summary(self, clip):
        # Held targets keep the simulation sane, but the policy failed.
        return {"nonfinite_actions": self.nonfinite, "success": False} if self.nonfinite else {}

    def run_summary(self, records):
        from ..report import percentiles_us
        ns = [r["controller_log"]["policy_ns"][:-1] for r in records if "policy_ns" in r["controller_log"]]
        return {"policy": os.path.basename(self.policy.path),
                "policy_latency_us": {**percentiles_us(np.concatenate(ns) if ns else []),
                                      "covers": "observation assembly and inference"}}


def write_reference_policy(path, joint_names=None, terms=obs.DEFAULT_TERMS, action_scale=None):
    """A stand-in policy that asks for the reference joint angles: a linear
    map action = (command_q - default) / scale, in `joint_names` order, with
    full metadata. A plumbing check, not a controller."""
    import onnx
    from onnx import TensorProto, helper, numpy_helper

    env = tables()
    clip_names = list(env.target_names_joint)
    names = list(joint_names or clip_names)
    order = [clip_names.index(n) for n in names]
    nj = len(names)
    default = np.asarray(env.default_joint_pos, dtype=np.float64)[order]
    scale = (np.asarray(env.action_scales, dtype=np.float64)[order] if action_scale is None
             else np.broadcast_to(np.asarray(action_scale, dtype=np.float64), (nj,)).copy())
    layout = obs.term_layout(list(terms), nj)
    size = sum(s for _, _, s in layout)
    if "command" not in terms:
        raise PolicyError("the reference policy reads the command term; add it to the term list")
    offset = dict((n, o) for n, o, _ in layout)["command"]
    weight = np.zeros((size, nj), np.float32)
    weight[offset + np.arange(nj), np.arange(nj)] = 1.0 / scale
    bias = (-default / scale).astype(np.float32)

    graph = helper.make_graph(
        [helper.make_node("MatMul", ["obs", "weight"], ["scaled"]),
         helper.make_node("Add", ["scaled", "bias"], ["actions"])],
        "reference_policy",
        [helper.make_tensor_value_info("obs", TensorProto.FLOAT, ["batch", size])],
        [helper.make_tensor_value_info("actions", TensorProto.FLOAT, ["batch", nj])],
        [numpy_helper.from_array(weight, "weight"), numpy_helper.from_array(bias, "bias")])
    model = helper.make_model(graph, opset_imports=[helper.make_opsetid("", 17)],
                              producer_name="trackscope-policy")
    model.ir_version = 9
    kp = np.asarray(env.kp, dtype=np.float64)[order]
    kd = np.asarray(env.kd, dtype=np.float64)[order]
    text = lambda a: ",".join(repr(float(v)) for v in a)  # noqa: E731
    helper.set_model_props(model, {
        "joint_names": ",".join(names), "default_joint_pos": text(default), "action_scale": text(scale),
        "joint_stiffness": text(kp), "joint_damping": text(kd), "observation_names": ",".join(terms),
        "anchor_body_name": env.target_names[env.body_index[env.motion_anchor_body_index[0]]]})
    onnx.checker.check_model(model)
    path = str(path)
    with atomic_output(path) as tmp:
        onnx.save(model, tmp)
    return path
