"""Native kernels against the plain NumPy formulation, over the layouts and
dtypes the fast paths accept, and the fallbacks that must keep the general
path's behaviour."""

import os
import sys
import types

import numpy as np
import pytest

sys.path.insert(0, os.path.dirname(__file__))

import trackscope  # noqa: F401,E402  registers math_transfrom
import math_transfrom as mt  # noqa: E402
import reference as ref  # noqa: E402

rng = np.random.default_rng(20261208)


def layouts(lead, width, dtype):
    """The same kind of data in the layouts users hand in."""
    base = rng.normal(size=lead + (width,)).astype(dtype)
    yield "contiguous", base
    if not lead:
        yield "reversed components", base[::-1]
        yield "every other", rng.normal(size=(2 * width,)).astype(dtype)[::2]
        return
    wide = rng.normal(size=(2 * lead[0],) + lead[1:] + (2 * width,)).astype(dtype)
    yield "strided rows and components", wide[::2, ..., ::2]
    yield "negative row stride", base[::-1]
    yield "negative component stride", base[..., ::-1]
    yield "fortran order", np.asfortranarray(base)
    yield "transposed copy", np.ascontiguousarray(base.T).T
    yield "unaligned", unaligned(base)
    yield "byte-swapped", base.astype(base.dtype.newbyteorder())


def unaligned(a):
    buf = np.zeros(a.nbytes + 1, np.uint8)
    out = np.frombuffer(buf.data, dtype=a.dtype, count=a.size, offset=1).reshape(a.shape)
    out[...] = a
    return out


def assert_same(got, want):
    if isinstance(want, tuple):
        assert isinstance(got, tuple) and len(got) == len(want)
        for g, w in zip(got, want):
            assert_same(g, w)
        return
    assert type(got) is type(want)
    assert got.dtype == want.dtype and got.shape == want.shape
    np.testing.assert_array_equal(got, want)


LEADS = [(), (1,), (6,), (0,), (2, 3), (3, 1, 2)]
DTYPES = [np.float64, np.float32]


@pytest.mark.parametrize("dtype", DTYPES)
@pytest.mark.parametrize("lead", LEADS)
@pytest.mark.parametrize("name", ["quat_conjugate", "quat_inv", "matrix_from_quat"])
def test_unary_kernels_match_numpy(name, lead, dtype):
    for label, q in layouts(lead, 4, dtype):
        assert_same(getattr(mt, name)(q), getattr(ref, name)(q)), label


@pytest.mark.parametrize("dtype", DTYPES)
@pytest.mark.parametrize("lead", LEADS)
@pytest.mark.parametrize("name", ["quat_mul", "quat_mul_e"])
def test_products_match_numpy(name, lead, dtype):
    for label, q1 in layouts(lead, 4, dtype):
        for _, q2 in layouts(lead, 4, dtype):
            assert_same(getattr(mt, name)(q1, q2), getattr(ref, name)(q1, q2)), label


@pytest.mark.parametrize("dtype", DTYPES)
@pytest.mark.parametrize(
    "qlead, vlead", [((), ()), ((), (7,)), ((5,), ()), ((5,), (5,)), ((1,), (4,)), ((2, 1), (3,)), ((3, 2), (3, 2))]
)
def test_quat_apply_broadcasts_like_numpy(qlead, vlead, dtype):
    for _, q in layouts(qlead, 4, dtype):
        for _, v in layouts(vlead, 3, dtype):
            assert_same(mt.quat_apply(q, v), ref.quat_apply(q, v))


@pytest.mark.parametrize(
    "args",
    [
        ([0.1, 0.2, 0.3, 0.4],),
        ((0.5, -0.5, 0.5, -0.5),),
        ([np.float64(1.0), 0.0, 0.0, 0.0],),
    ],
)
@pytest.mark.parametrize("name", ["quat_conjugate", "quat_inv", "wxyz_to_xyzw", "xyzw_to_wxyz", "quatToEuler"])
def test_float_sequences(name, args):
    assert_same(getattr(mt, name)(*args), getattr(ref, name)(*args))


@pytest.mark.parametrize(
    "q",
    [
        [1.0, 0.0, 1.0, 0.0],  # past the pitch limit
        [1.0, 0.0, -1.0, 0.0],
        [np.cos(0.3), 0.0, np.sin(0.3), 0.0],
        [0.5, 0.5, 0.5, 0.5],
        [np.nan, 0.0, 0.0, 0.0],
        np.array([0.1, 0.7, -0.2, 0.4, 9.0]),  # extra entries are ignored
        np.array([0.1, 0.7, -0.2, 0.4, 9.0])[::-1],
    ],
)
def test_quat_to_euler_matches_numpy(q):
    assert_same(mt.quatToEuler(q), ref.quatToEuler(q))


@pytest.mark.parametrize("dtype", DTYPES)
@pytest.mark.parametrize("lead", [(), (5,), (2, 3)])
@pytest.mark.parametrize("with_t02, with_q02", [(True, True), (True, False), (False, True), (False, False)])
def test_subtract_frame_transforms_matches_composition(lead, dtype, with_t02, with_q02):
    for _, t01 in layouts(lead, 3, dtype):
        q01 = rng.normal(size=lead + (4,)).astype(dtype)
        t02 = rng.normal(size=lead + (3,)).astype(dtype) if with_t02 else None
        q02 = rng.normal(size=lead + (4,)).astype(dtype) if with_q02 else None
        assert_same(mt.subtract_frame_transforms(t01, q01, t02, q02), ref.subtract_frame_transforms(t01, q01, t02, q02))


def test_subtract_frame_transforms_broadcast_translation():
    q01 = rng.normal(size=(4, 4))
    t01 = rng.normal(size=(3,))
    t02 = rng.normal(size=(4, 3))
    assert_same(mt.subtract_frame_transforms(t01, q01, t02), ref.subtract_frame_transforms(t01, q01, t02))
    # a translation stack wider than the quaternions widens t12 only
    t02 = rng.normal(size=(2, 4, 3))
    assert_same(mt.subtract_frame_transforms(t01, q01, t02), ref.subtract_frame_transforms(t01, q01, t02))


@pytest.mark.parametrize(
    "name, args",
    [
        ("quat_conjugate", (np.array([1, 2, 3, 4]),)),
        ("quat_mul", (np.array([1, 2, 3, 4]), np.array([4, 3, 2, 1]))),
        ("quat_mul", (np.ones(4, np.float32), np.ones(4))),
        ("quat_inv", (np.ones(4, np.float16),)),
        ("quat_inv", (np.ones(4, np.float32), np.float64(1e-9))),
        ("quat_inv", (np.ones(4, np.float32), 1e300)),
        ("quat_inv", (np.ones(4), 1)),
        ("quat_apply", (np.ones(4, np.float32), np.ones(3))),
        ("quat_conjugate", (np.ones((3, 5)),)),
        ("quat_inv", (np.ones((2, 6)),)),
        ("wxyz_to_xyzw", (np.arange(8.0).reshape(4, 2),)),
        ("quat_mul", (np.ma.masked_array(np.ones(4)), np.ones(4))),
        ("quat_mul", ([1.0, 2.0, 3.0, 4.0], [1, 2, 3, 4])),
    ],
)
def test_inputs_outside_the_kernels_keep_numpy_results(name, args):
    with np.errstate(all="ignore"):
        got = getattr(mt, name)(*args)
        want = getattr(ref, name)(*args)
    assert type(got) is type(want)
    assert got.dtype == want.dtype and got.shape == want.shape
    np.testing.assert_array_equal(got, want)


@pytest.mark.parametrize(
    "name, args",
    [
        ("matrix_from_quat", (np.ones((2, 8)),)),
        ("quat_mul", (np.ones(4), np.ones((1, 4)))),
        ("quat_mul_e", (np.ones(3), np.ones(3))),
        ("quat_apply", (np.ones((2, 4)), np.ones((3, 3)))),
        ("quat_conjugate", (np.float64(1.0),)),
        ("wxyz_to_xyzw", ([1.0, 2.0, 3.0],)),
        ("subtract_frame_transforms", ([1.0, 2.0, 3.0], np.ones(4))),
        ("subtract_frame_transforms", (np.ones(3), np.ones(4), None, np.ones((1, 4)))),
    ],
)
def test_errors_are_numpys(name, args):
    with pytest.raises(Exception) as want:
        getattr(ref, name)(*args)
    with pytest.raises(want.type) as got:
        getattr(mt, name)(*args)
    assert str(got.value) == str(want.value)


def test_rebound_numpy_disables_the_kernels():
    calls = []

    class CountingNumpy(types.ModuleType):
        def __getattr__(self, name):
            calls.append(name)
            return getattr(np, name)

    original = mt.np
    mt.np = CountingNumpy("numpy_proxy")
    try:
        q = np.array([0.1, 0.2, 0.3, 0.4])
        assert_same(mt.quat_mul(q, q), ref.quat_mul(q, q))
        assert_same(mt.matrix_from_quat(q), ref.matrix_from_quat(q))
    finally:
        mt.np = original
    assert "array" in calls and "stack" in calls and "split" in calls


def test_rebound_sibling_reaches_quat_inv_and_subtract():
    original = mt.quat_conjugate
    mt.quat_conjugate = lambda q: np.zeros_like(q)
    try:
        assert not mt.quat_inv(np.array([1.0, 2.0, 3.0, 4.0])).any()
        t12, q12 = mt.subtract_frame_transforms(np.ones(3), np.array([1.0, 2.0, 3.0, 4.0]))
        assert not q12.any()
    finally:
        mt.quat_conjugate = original


def test_results_never_alias_inputs():
    q = np.array([0.1, 0.2, 0.3, 0.4])
    keep = q.copy()
    for f in (mt.quat_conjugate, mt.quat_inv, mt.wxyz_to_xyzw, mt.xyzw_to_wxyz):
        out = f(q)
        assert not np.shares_memory(out, q)
        out[...] = 7
    np.testing.assert_array_equal(q, keep)
