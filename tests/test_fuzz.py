"""Property-based fuzzing of every public function, method and query.

Arguments are drawn from wrong types, every common dtype, NaN/inf/subnormal
values, zero-size, non-contiguous, negative-stride, read-only, byte-swapped
and 0-d arrays, NumPy subclasses, sequences, tensors and hostile objects
whose __array__, __index__, __len__ or __getitem__ run Python code that
changes the other arguments.  Every call returns or raises an ordinary
exception; the native paths agree with the general path (forced by
rebinding `np` and `R` of math_transfrom to proxies, as a user may) and the
queries with the plain formulation in reference.py, in values, types,
errors and warnings.

TRACKSCOPE_FUZZ_EXAMPLES=N sets the examples per test (default 25, drawn the
same way on every run); any other value draws fresh examples each run.
"""

import contextlib
import logging
import os
import re
import sys
import types
import warnings

import numpy as np
import pytest
import torch
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st
from hypothesis.extra import numpy as hnp
from scipy.spatial.transform import Rotation

sys.path.insert(0, os.path.dirname(__file__))

import trackscope  # noqa: E402
import math_transfrom as mt  # noqa: E402
import motion_env_wbt as menv  # noqa: E402
import reference as ref  # noqa: E402
from clips import make_clip, write_clip  # noqa: E402
from recording import recorded  # noqa: E402

DEFAULT_EXAMPLES = 25
EXAMPLES = int(os.environ.get("TRACKSCOPE_FUZZ_EXAMPLES", DEFAULT_EXAMPLES))
FUZZ = settings(max_examples=EXAMPLES, deadline=None, database=None,
                derandomize=EXAMPLES == DEFAULT_EXAMPLES,
                suppress_health_check=list(HealthCheck))

# Native stand-ins for SciPy round trips give SciPy's values to rounding; the
# others give NumPy's bits.
ROUNDING = {"world_to_body_vel", "reset_pose", "reset_pose_yaw_only",
            "reset_pose_yaw_only_keep_rp", "reset_quat_yaw_only_keep_rp",
            "pelvis_to_torso_quat", "imu_quat_to_euler", "align_quat", "align_xyz",
            "align_pos", "align_transform", "anchor_pos_w", "anchor_quat_w"}


# --------------------------------------------------------------------------
# Values: drawn as recipes, built afresh for each run of a call
# --------------------------------------------------------------------------

DTYPES = ["f8", "f4", "f2", ">f8", "<f4", "i8", "i4", "i1", "u1", "?", "c16"]


class Sub(np.ndarray):
    """A NumPy subclass that adds nothing."""


LAYOUTS = ["c", "c", "c", "fortran", "strided", "reversed", "readonly", "swapped", "subclass",
           "masked", "zero-d", "list", "tuple", "tensor", "object"]


def arrays():
    def shape(last):
        return hnp.array_shapes(min_dims=0, max_dims=2, min_side=0, max_side=3).map(
            lambda lead: lead + (last,))
    lasts = st.sampled_from([4, 4, 3, 3, 1, 0, 5])
    return st.tuples(st.sampled_from(DTYPES), lasts.flatmap(shape)).flatmap(
        lambda ds: st.tuples(
            st.just("array"),
            hnp.arrays(np.dtype(ds[0]), ds[1],
                       elements=hnp.from_dtype(np.dtype(ds[0]).newbyteorder("="),
                                               allow_subnormal=True)
                       if np.dtype(ds[0]).kind in "fc" else None),
            st.sampled_from(LAYOUTS)))


def unit_quats():
    return hnp.arrays(np.float64, st.sampled_from([(4,), (1, 4), (3, 4)]),
                      elements=st.floats(-1, 1, allow_subnormal=True)).map(
        lambda q: ("array", q + np.array([0, 0, 0, 0.5]), "c"))


SCALARS = st.one_of(st.none(), st.floats(allow_subnormal=True), st.integers(-2**70, 2**70),
                    st.booleans(), st.text(max_size=4), st.just(np.float64(0.3)),
                    st.just(np.int64(2))).map(lambda v: ("scalar", v))
FLOAT_SEQUENCES = st.lists(st.floats(allow_subnormal=True), min_size=0, max_size=5).map(
    lambda v: ("scalar", v))
HOSTILE = st.tuples(st.just("hostile"),
                    st.sampled_from(["raise", "resize-other", "reshape-other", "fill-other",
                                     "clear-other", "index", "len-liar"]),
                    st.integers(0, 3))


def values():
    return st.one_of(arrays(), unit_quats(), SCALARS, FLOAT_SEQUENCES, HOSTILE)


def layout(a, how):
    if how == "fortran":
        return np.asfortranarray(a)
    if how == "strided" and a.ndim:
        wide = np.zeros(a.shape[:-1] + (2 * a.shape[-1],), a.dtype)
        wide[..., ::2] = a
        return wide[..., ::2]
    if how == "reversed" and a.ndim:
        return np.ascontiguousarray(a[::-1])[::-1]
    if how == "readonly":
        a = a.copy()
        a.setflags(write=False)
        return a
    if how == "swapped":
        return a.astype(a.dtype.newbyteorder())
    if how == "subclass":
        return a.view(Sub)
    if how == "masked":
        return np.ma.masked_array(a)
    if how == "zero-d":
        return np.array(a.flat[0]) if a.size else np.array(a.dtype.type(0))
    if how == "list":
        return a.tolist()
    if how == "tuple":
        return tuple(a.tolist()) if a.ndim else a.tolist()
    if how == "tensor" and a.dtype.kind in "fiub" and a.dtype.isnative:
        return torch.from_numpy(a.copy())
    if how == "object":
        return a.astype(object)
    return a.copy()


class Hostile:
    """Runs Python code that changes another argument, from __array__,
    __index__, __len__ or __getitem__."""

    def __init__(self, kind, other):
        self.kind, self.other = kind, other

    def _strike(self):
        o = self.other() if self.other else None
        if isinstance(o, np.ndarray) and o.flags.owndata and o.base is None:
            if self.kind == "resize-other":
                o.resize((1,), refcheck=False)
            elif self.kind == "reshape-other" and o.flags.c_contiguous:
                o.shape = (o.size,)
            elif self.kind == "fill-other" and o.flags.writeable and o.dtype.kind in "fc":
                o.fill(np.nan)
        elif isinstance(o, list) and self.kind == "clear-other":
            o.clear()

    def __array__(self, dtype=None, copy=None):
        if self.kind == "raise":
            raise RuntimeError("no array")
        self._strike()
        return np.array([0.5, 0.5, 0.5, 0.5])

    def __index__(self):
        self._strike()
        return 1

    def __len__(self):
        self._strike()
        return 4

    def __getitem__(self, i):
        self._strike()
        if self.kind == "len-liar" and i >= 2:
            raise IndexError(i)
        return 0.5


def build(recipes):
    """Fresh argument objects for `recipes`; hostile ones see the others."""
    built = []
    for recipe in recipes:
        if recipe[0] == "array":
            built.append(layout(recipe[1], recipe[2]))
        elif recipe[0] == "scalar":
            v = recipe[1]
            built.append(list(v) if isinstance(v, list) else v)
        else:
            _, kind, target = recipe
            built.append(Hostile(kind, lambda t=target: built[t] if t < len(recipes) else None))
    return built


# --------------------------------------------------------------------------
# Running a call both ways and comparing
# --------------------------------------------------------------------------

def numpy_proxy():
    proxy = types.ModuleType("numpy", np.__doc__)
    proxy.__dict__.update(vars(np))
    proxy.__getattr__ = lambda name: getattr(np, name)
    return proxy


@contextlib.contextmanager
def general_path():
    saved = mt.np, mt.R
    mt.np = numpy_proxy()
    mt.R = types.SimpleNamespace(**{n: getattr(Rotation, n) for n in (
        "from_quat", "from_euler", "from_matrix", "identity", "align_vectors")})
    try:
        yield
    finally:
        mt.np, mt.R = saved


def outcome(call):
    """(result or exception, warnings) of call(); never lets one escape."""
    with recorded() as caught:
        try:
            result = call()
        except RecursionError:
            result = RecursionError()
        except Exception as exc:  # noqa: BLE001 - compared below
            result = exc
    return result, [(w.category, str(w.message)) for w in caught]


def assert_same(got, want, rounding=False):
    if isinstance(want, BaseException):
        assert type(got) is type(want), (got, want)
        if not isinstance(want, RecursionError):
            # Arguments are built afresh for each side: addresses differ.
            assert re.sub("0x[0-9a-f]+", "0x", str(got)) == re.sub("0x[0-9a-f]+", "0x", str(want))
        return
    assert type(got) is type(want), (got, want)
    if isinstance(want, (tuple, list)):
        assert len(got) == len(want)
        for g, w in zip(got, want):
            assert_same(g, w, rounding)
    elif isinstance(want, torch.Tensor):
        assert got.dtype == want.dtype and got.shape == want.shape
        assert torch.equal(got.isnan(), want.isnan())
        assert torch.equal(got.nan_to_num(), want.nan_to_num())
    elif isinstance(want, (np.ndarray, np.generic)):
        assert got.dtype == want.dtype and np.shape(got) == np.shape(want)
        if rounding and want.dtype.kind == "f":
            np.testing.assert_allclose(got, want, rtol=1e-12, atol=1e-15)
        elif want.dtype == object:
            # Element by element: NaN elements of object arrays never compare equal.
            for g, w in zip(got.ravel(), want.ravel()):
                assert_same(g, w, rounding)
        elif want.dtype.kind in "fc":
            np.testing.assert_array_equal(got, want)
            assert np.array_equal(np.signbit(np.real(got)), np.signbit(np.real(want)))
        else:
            np.testing.assert_array_equal(got, want)
    else:
        assert got == want or (got != got and want != want), (got, want)


def compare(call, rounding):
    native, native_warnings = outcome(call)
    with general_path():
        general, general_warnings = outcome(call)
    assert_same(native, general, rounding)
    assert native_warnings == general_warnings


@pytest.fixture(autouse=True)
def quiet_logging():
    logging.disable(logging.CRITICAL)   # set_base logs at every call
    yield
    logging.disable(logging.NOTSET)


# --------------------------------------------------------------------------
# math_transfrom
# --------------------------------------------------------------------------

@pytest.mark.parametrize("name", ref.FUNCTION_NAMES)
@FUZZ
@given(data=st.data())
def test_functions(name, data):
    fn = getattr(mt, name)
    recipes = data.draw(st.lists(values(), min_size=fn.__code__.co_argcount,
                               max_size=fn.__code__.co_argcount))
    compare(lambda: fn(*build(recipes)), name in ROUNDING)


ALIGN_METHODS = {"align_quat": 1, "align_xyz": 1, "align_pos": 1, "align_transform": 2,
                 "set_base": 2}


@FUZZ
@given(base=st.one_of(st.none(), unit_quats()), pos=st.one_of(st.none(), arrays()),
       yaw_only=st.booleans(), xy_only=st.booleans(),
       method=st.sampled_from(sorted(ALIGN_METHODS)), data=st.data())
def test_alignment_methods(base, pos, yaw_only, xy_only, method, data):
    recipes = data.draw(st.lists(st.one_of(unit_quats(), values()),
                               min_size=ALIGN_METHODS[method], max_size=ALIGN_METHODS[method]))

    def call():
        quat, position = build([base or ("scalar", None), pos or ("scalar", None)])
        ta = mt.TransformAlignment(quat, position, yaw_only, xy_only)
        return getattr(ta, method)(*build(recipes))
    compare(call, True)


@FUZZ
@given(overrides=st.dictionaries(st.sampled_from(sorted(ALIGN_METHODS)[:4]),
                                 st.sampled_from(sorted(ALIGN_METHODS)[:4] + ["super"]),
                                 min_size=1),
       quat=unit_quats(), pos=arrays(), method=st.sampled_from(sorted(ALIGN_METHODS)[:4]))
def test_alignment_subclasses_that_reenter(overrides, quat, pos, method):
    # Overrides that call back into native methods of the same instance,
    # recursing without end where the calls form a cycle.
    def forward(name, callee):
        def method_body(self, *args):
            if callee == "super":
                return getattr(super(Reentrant, self), name)(*args)
            wanted = ALIGN_METHODS[callee]
            args = (args * 2)[:wanted] if len(args) < wanted else args[:wanted]
            return getattr(self, callee)(*args)
        return method_body

    Reentrant = type("Reentrant", (mt.TransformAlignment,),
                     {name: forward(name, callee) for name, callee in overrides.items()})

    def call():
        q, p = build([quat, pos])
        ta = Reentrant(quat=np.array([[0.0, 0.0, 0.6, 0.8]]), yaw_only=True)
        return getattr(ta, method)(*((q, p)[:ALIGN_METHODS[method]]))
    compare(call, True)


# --------------------------------------------------------------------------
# motion_env_wbt: every query against the plain formulation
# --------------------------------------------------------------------------

QUERIES = ["command", "joint_pos", "joint_vel", "body_pos_w", "body_quat_w", "body_lin_vel_w",
           "body_ang_vel_w", "anchor_pos_w", "anchor_quat_w", "anchor_lim_vel_w",
           "anchor_ang_vel_w"]

INDICES = st.one_of(st.integers(-40, 40), st.integers(-2**70, 2**70),
                    st.sampled_from([np.int64(3), np.int32(-1), 1.0, True, None, "3",
                                     np.array(2), np.array([1, 2])]))
INDEX_LISTS = st.one_of(st.lists(INDICES, max_size=16),
                        st.builds(lambda v: np.array(v, dtype=np.int64),
                                  st.lists(st.integers(-40, 40), max_size=16)))


@pytest.fixture(scope="module")
def clip_root(tmp_path_factory):
    root = tmp_path_factory.mktemp("fuzz_clip")
    arrays_ = make_clip(frames=6)
    arrays_["body_quat_w"] = arrays_["body_quat_w"].astype(np.float32)
    write_clip(root, "stand", make_clip(frames=6))
    write_clip(root, "f32", arrays_)
    return str(root)


@FUZZ
@given(cls=st.sampled_from(["Wbt_env", "Wbt_env_sim"]),
       changes=st.dictionaries(
           st.sampled_from(["time_steps", "body_index", "motion_anchor_body_index", "file"]),
           st.one_of(INDICES, INDEX_LISTS, st.sampled_from(["stand", "f32", "none"]))),
       hostile=st.sampled_from([None, "fill", "reshape", "clear", "shrink"]),
       reset=st.booleans())
def test_environment_queries(clip_root, cls, changes, hostile, reset):
    def make(module):
        class Env(getattr(module, cls)):
            pass
        env = Env(clip_root)
        if reset and cls == "Wbt_env":
            env.reset()
        for name, value in changes.items():
            value = list(value) if isinstance(value, list) else value
            if name == "time_steps":
                env.update_time_steps(value)
            else:
                setattr(env, name, value)
        if hostile:
            strike = {"fill": lambda: env.stand_body_pos_w.fill(7.0),
                      "reshape": lambda: setattr(env.stand_body_pos_w, "shape", (-1, 1, 3)),
                      "clear": lambda: env.body_index.clear()
                      if isinstance(env.body_index, list) else None,
                      "shrink": lambda: setattr(env, "stand_body_pos_w",
                                                env.stand_body_pos_w[:1, :1].copy())}[hostile]
            step = env.time_steps
            Env.time_steps = property(lambda self: (strike(), step)[1],
                                      lambda self, value: None)
        return env

    native, plain = make(menv), make(ref)
    for query in QUERIES:
        got, _ = outcome(lambda: getattr(native, query))
        want, _ = outcome(lambda: getattr(plain, query))
        assert_same(got, want, query in ROUNDING and cls == "Wbt_env")


@FUZZ
@given(cls=st.sampled_from(["Wbt_env", "Wbt_env_sim"]),
       args=st.lists(st.one_of(values(), st.sampled_from(["stand", "f32", "", "/", "root"])),
                     min_size=0, max_size=4))
def test_environment_construction(clip_root, cls, args):
    def make(module):
        built = [clip_root if a == "root" else a for a in build(args)]
        env = getattr(module, cls)(*built)
        return [getattr(env, query) for query in ("joint_pos", "anchor_lim_vel_w")]
    got, _ = outcome(lambda: make(menv))
    want, _ = outcome(lambda: make(ref))
    assert_same(got, want)


# --------------------------------------------------------------------------
# trackscope
# --------------------------------------------------------------------------

class Viewer:
    def __init__(self):
        self.markers = []

    def add_marker(self, **kwargs):
        self.markers.append(kwargs)


@FUZZ
@given(data=st.data(), method=st.sampled_from(["update_rg_view", "draw_arrow"]))
def test_drawer(data, method):
    drawer = trackscope.TrackscopeDrawer(Viewer())
    count = 3 if method == "update_rg_view" else 7
    recipes = data.draw(st.lists(st.one_of(values(), unit_quats()), min_size=count,
                               max_size=count))
    result, _ = outcome(lambda: getattr(drawer, method)(*build(recipes)))
    assert result is None or isinstance(result, Exception)
