"""The anchor queries read one row of the clip; they must agree with the
restriction a[:, body_index][time_steps, motion_anchor_body_index] in values,
shape, dtype and errors, whatever the clip and the index attributes hold."""

import os
import sys

import numpy as np
import pytest

sys.path.insert(0, os.path.dirname(__file__))

import trackscope  # noqa: F401,E402
import motion_env_wbt  # noqa: E402
import reference as ref  # noqa: E402
from clips import make_clip, write_clip  # noqa: E402

QUERIES = ["anchor_pos_w", "anchor_quat_w", "anchor_lim_vel_w", "anchor_ang_vel_w"]


def pair(tmp_path, cls, arrays):
    write_clip(tmp_path, "stand", arrays)
    native = getattr(motion_env_wbt, cls)(str(tmp_path))
    plain = getattr(ref, cls)(str(tmp_path))
    return native, plain


def outcome(env, name):
    try:
        return getattr(env, name)
    except Exception as exc:  # noqa: BLE001 - compared below
        return exc


def assert_same_outcome(native, plain, name):
    got, want = outcome(native, name), outcome(plain, name)
    if isinstance(want, Exception):
        assert type(got) is type(want), (got, want)
        assert str(got) == str(want)
        return
    assert isinstance(got, np.ndarray), got
    assert got.dtype == want.dtype and got.shape == want.shape
    np.testing.assert_allclose(got, want, rtol=1e-12, atol=1e-12)
    if native.__class__.__name__ == "Wbt_env_sim":
        np.testing.assert_array_equal(got, want)


@pytest.mark.parametrize("cls", ["Wbt_env", "Wbt_env_sim"])
@pytest.mark.parametrize("step", [0, 3, -1, -6, 6, 100, -7])
def test_frames_in_and_out_of_range(tmp_path, cls, step):
    native, plain = pair(tmp_path, cls, make_clip(frames=6))
    for env in (native, plain):
        env.update_time_steps(step)
    for name in QUERIES:
        assert_same_outcome(native, plain, name)


@pytest.mark.parametrize(
    "arrays",
    [
        make_clip(frames=4, bodies=20),  # fewer bodies than body_index reaches
        make_clip(frames=0),
        {k: (v.astype(np.float32) if v.ndim == 3 else v) for k, v in make_clip(frames=3).items()},
        {k: (v[:, :, ::-1].copy()[:, :, ::-1] if v.ndim == 3 else v) for k, v in make_clip(frames=3).items()},
        {k: (np.asfortranarray(v) if v.ndim == 3 else v) for k, v in make_clip(frames=3).items()},
        {k: (v.astype(">f8") if v.ndim == 3 else v) for k, v in make_clip(frames=3).items()},
        {k: (v.reshape(v.shape[0], -1) if v.ndim == 3 else v) for k, v in make_clip(frames=3).items()},
    ],
    ids=["short-body-axis", "zero-frames", "float32", "negative-strides", "fortran", "big-endian", "2-d"],
)
@pytest.mark.parametrize("cls", ["Wbt_env", "Wbt_env_sim"])
def test_clip_layouts_and_shapes(tmp_path, cls, arrays):
    native, plain = pair(tmp_path, cls, arrays)
    for name in QUERIES:
        assert_same_outcome(native, plain, name)


@pytest.mark.parametrize(
    "attribute, value",
    [
        ("body_index", [0, 4, 10, 18, 5, 11, 19, -21, 16, 22, 28, 17, 23, 29]),
        ("body_index", [0, 4, 10, 18, 5, 11, 19, 30, 16, 22, 28, 17, 23, 29]),
        ("body_index", [np.int64(9)] * 14),
        ("body_index", np.arange(14)),
        ("body_index", [True] * 30),
        ("body_index", []),
        ("motion_anchor_body_index", [7, 0, -1]),
        ("motion_anchor_body_index", [14]),
        ("motion_anchor_body_index", 7),
        ("motion_anchor_body_index", []),
        ("time_steps", 1.0),
        ("time_steps", np.int64(1)),
        ("time_steps", True),
        ("time_steps", 2**70),
    ],
)
def test_index_attributes_read_at_each_call(tmp_path, attribute, value):
    native, plain = pair(tmp_path, "Wbt_env_sim", make_clip(frames=3))
    for env in (native, plain):
        setattr(env, attribute, value)
    for name in QUERIES:
        assert_same_outcome(native, plain, name)


def test_rows_are_new_arrays(tmp_path):
    arrays = make_clip(frames=3)
    native, _ = pair(tmp_path, "Wbt_env_sim", arrays)
    row = native.anchor_lim_vel_w
    row[...] = 0.0
    np.testing.assert_array_equal(native.stand_body_lin_vel_w, arrays["body_lin_vel_w"])


def test_switching_clip_switches_rows(tmp_path):
    first, second = make_clip(frames=3, seed=1), make_clip(frames=3, seed=2)
    write_clip(tmp_path, "other", second)
    native, _ = pair(tmp_path, "Wbt_env_sim", first)
    native.file = "other"
    native.load_motion()
    np.testing.assert_array_equal(native.anchor_pos_w, second["body_pos_w"][0, [9]])
    native.file = "stand"
    np.testing.assert_array_equal(native.anchor_pos_w, first["body_pos_w"][0, [9]])


# --------------------------------------------------------------------------
# Python code that runs in the middle of a query and changes what it reads
# --------------------------------------------------------------------------

ANCHOR_SUFFIXES = ("_body_pos_w", "_body_quat_w", "_body_lin_vel_w", "_body_ang_vel_w")


def each_clip(env, change):
    for suffix in ANCHOR_SUFFIXES:
        name = env.file + suffix
        replacement = change(getattr(env, name))
        if replacement is not None:
            setattr(env, name, replacement)


def reshape_in_place(a):
    a.shape = (a.shape[0] * a.shape[1], 1, a.shape[2])


MUTATIONS = {
    "clip-reshaped-in-place": lambda env: each_clip(env, reshape_in_place),
    "clip-overwritten": lambda env: each_clip(env, lambda a: a.fill(-1.0)),
    "clip-rebound-smaller": lambda env: each_clip(env, lambda a: a[:1, :2].copy()),
    "body-index-out-of-range": lambda env: env.body_index.__setitem__(7, 10**6),
    "body-index-shrunk": lambda env: env.body_index.__delitem__(slice(1, None)),
    "anchor-list-grown": lambda env: env.motion_anchor_body_index.append(13),
    "step-rebound": lambda env: env.__dict__.__setitem__("_hostile_step", 10**6),
}


class Index:
    """An index whose __index__ runs `hook` first."""

    def __init__(self, value, hook):
        self.value, self.hook = value, hook

    def __index__(self):
        self.hook()
        return self.value


def hostile_env(cls, tmp_path, hook, mutate):
    """An instance of a subclass of `cls` that runs `mutate` once, from
    `hook`: a property getter or the __index__ of one of its indices."""

    class Hostile(cls):
        def _mutate_once(self):
            if not self.__dict__.get("_mutated"):
                self.__dict__["_mutated"] = True
                mutate(self)

        if hook == "time_steps-property":
            time_steps = property(lambda self: (self._mutate_once(), self.__dict__["_hostile_step"])[1],
                                  lambda self, v: self.__dict__.__setitem__("_hostile_step", v))
        elif hook == "anchor-property":
            motion_anchor_body_index = property(
                lambda self: (self._mutate_once(), self.__dict__["_hostile_anchor"])[1],
                lambda self, v: self.__dict__.__setitem__("_hostile_anchor", v))

    env = Hostile(str(tmp_path))
    if hook == "time_steps-property":
        env.time_steps = 2
    elif hook == "step-__index__":
        env.time_steps = Index(2, env._mutate_once)
    elif hook == "anchor-__index__":
        env.motion_anchor_body_index = [Index(7, env._mutate_once)]
    elif hook == "body-index-__index__":
        env.body_index = env.body_index[:7] + [Index(9, env._mutate_once)] + env.body_index[8:]
    return env


@pytest.mark.parametrize("mutation", MUTATIONS)
@pytest.mark.parametrize("hook", ["time_steps-property", "anchor-property", "step-__index__",
                                  "anchor-__index__", "body-index-__index__"])
@pytest.mark.parametrize("cls", ["Wbt_env", "Wbt_env_sim"])
def test_mutation_in_the_middle_of_a_query(tmp_path, cls, hook, mutation):
    # The plain formulation copies a[:, body_index] before reading time_steps
    # and the anchor list: the query must give what it gives, or its error.
    write_clip(tmp_path, "stand", make_clip(frames=4))
    native = hostile_env(getattr(motion_env_wbt, cls), tmp_path, hook, MUTATIONS[mutation])
    plain = hostile_env(getattr(ref, cls), tmp_path, hook, MUTATIONS[mutation])
    for name in QUERIES + QUERIES:
        assert_same_outcome(native, plain, name)
