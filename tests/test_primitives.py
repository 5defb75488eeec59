"""Quaternion primitives ([w, x, y, z]) and the layout converters, checked
against the plain NumPy formulation bit for bit, on many dtypes and memory
layouts, plus the errors and warnings NumPy raises along the way."""

import copy
import math
import os
import sys
import zlib

import numpy as np
import pytest
from hypothesis import given, settings, strategies as st
from hypothesis.extra import numpy as hnp

import trackscope  # noqa: F401  (registers math_transfrom)
import math_transfrom as mt

sys.path.insert(0, os.path.dirname(__file__))
import reference as ref  # noqa: E402
from recording import recorded  # noqa: E402

QUAT_FUNCTIONS = ["quat_conjugate", "quat_inv", "quat_mul", "quat_mul_e", "quat_apply"]


def run(fn, args, kwargs=None):
    """Result or (exception type, message), with the warnings raised."""
    with recorded() as caught:
        try:
            result = fn(*args, **(kwargs or {}))
        except Exception as e:  # noqa: BLE001
            result = (type(e), str(e))
    return result, [(w.category, str(w.message)) for w in caught]


def assert_same(ours, plain):
    assert type(ours) is type(plain)
    if isinstance(plain, tuple):
        assert ours == plain
        return
    assert ours.dtype == plain.dtype and ours.shape == plain.shape
    np.testing.assert_array_equal(ours, plain, strict=True)
    if ours.dtype.kind in "fc":
        # assert_array_equal does not tell 0.0 from -0.0.
        for part in ("real", "imag"):
            assert np.array_equal(np.signbit(getattr(ours, part)), np.signbit(getattr(plain, part)))
    assert ours.flags.writeable == plain.flags.writeable


def assert_matches_reference(name, args, kwargs=None, check_warnings=True):
    before = copy.deepcopy(args)
    ours, ours_warnings = run(getattr(mt, name), args, kwargs)
    plain, plain_warnings = run(getattr(ref, name), args, kwargs)
    assert_same(ours, plain)
    assert ours_warnings == plain_warnings or not check_warnings
    for arg, saved in zip(args, before):
        if isinstance(arg, np.ndarray):
            np.testing.assert_array_equal(arg, saved, strict=True)
            if isinstance(ours, np.ndarray):
                assert not np.shares_memory(ours, arg)
        elif isinstance(arg, (list, tuple, dict, str, bytes, int, float)):
            assert type(arg) is type(saved) and repr(arg) == repr(saved)
    return ours


# --------------------------------------------------------------------------
# Worked examples
# --------------------------------------------------------------------------

S = math.sin(math.pi / 4)
C = math.cos(math.pi / 4)


@pytest.mark.parametrize("name, args, expected, dtype", [
    ("quat_conjugate", ([1, 2, 3, 4],), [1, -2, -3, -4], np.int64),
    ("quat_mul", ([1, 0, 0, 0], [1, 0, 0, 0]), [1, 0, 0, 0], np.int64),
    ("quat_inv", ([0, 0, 0, 0],), [0, 0, 0, 0], np.float64),
    ("quat_inv", ([2, 0, 0, 0],), [0.5, 0, 0, 0], np.float64),
    ("quat_inv", ([[2, 0, 0, 0], [0, 0, 1, 0], [1, 1, 1, 1]],),
     [[0.5, 0, 0, 0], [0, 0, -1, 0], [0.25, -0.25, -0.25, -0.25]], np.float64),
    ("quat_mul", ([0, 1, 0, 0], [0, 0, 1, 0]), [0, 0, 0, 1], np.int64),
    ("quat_mul", ([1, 0, 0, 0], [5, 6, 7, 8]), [5, 6, 7, 8], np.int64),
    ("quat_mul", ([1.0, 2, 3, 4, 99], [5, 6, 7, 8, -99]), [-60, 12, 30, 24], np.float64),
    ("quat_mul_e", (np.array([0.0, 1, 0, 0]), np.array([0.0, 0, 1, 0])), [0, 0, 0, 1], np.float64),
    ("quat_apply", ([1, 0, 0, 0], [1, 2, 3]), [1, 2, 3], np.int64),
    ("wxyz_to_xyzw", ([1, 2, 3, 4],), [2, 3, 4, 1], np.int64),
    ("xyzw_to_wxyz", ([1, 2, 3, 4],), [4, 1, 2, 3], np.int64),
    ("xyzw_to_wxyz", (iter("abcd"),), ["d", "a", "b", "c"], np.dtype("<U1")),
])
def test_examples(name, args, expected, dtype):
    result = getattr(mt, name)(*args)
    assert type(result) is np.ndarray
    assert result.dtype == dtype
    np.testing.assert_array_equal(result, np.array(expected, dtype=dtype))


def test_quarter_turn_about_z():
    q = [C, 0, 0, S]
    np.testing.assert_allclose(mt.quat_apply(q, [1, 0, 0]), [0, 1, 0], atol=1e-15)
    many = mt.quat_apply(q, np.eye(3))
    assert many.shape == (3, 3)
    np.testing.assert_allclose(many, [[0, 1, 0], [-1, 0, 0], [0, 0, 1]], atol=1e-15)
    np.testing.assert_allclose(mt.quat_mul(q, mt.quat_inv(q)), [1, 0, 0, 0], atol=1e-15)
    np.testing.assert_allclose(mt.quat_inv(q), mt.quat_conjugate(q), rtol=1e-15)


@pytest.mark.parametrize("qshape, vshape, out", [
    ((4,), (5, 3), (5, 3)),
    ((5, 4), (5, 3), (5, 3)),
    ((5, 4), (3,), (5, 3)),
    ((2, 1, 4), (6, 3), (2, 6, 3)),
    ((0, 4), (3,), (0, 3)),
])
def test_quat_apply_broadcasts(qshape, vshape, out):
    rng = np.random.default_rng(3)
    q, v = rng.normal(size=qshape), rng.normal(size=vshape)
    result = assert_matches_reference("quat_apply", (q, v))
    assert result.shape == out


def test_converters_round_trip_and_batches():
    q = np.array([0.1, 0.2, 0.3, 0.4])
    np.testing.assert_array_equal(mt.xyzw_to_wxyz(mt.wxyz_to_xyzw(q)), q)
    rows = np.arange(12).reshape(4, 3)
    np.testing.assert_array_equal(mt.wxyz_to_xyzw(rows), rows[[1, 2, 3, 0]])
    with pytest.raises(ValueError, match=r"^not enough values to unpack \(expected 4, got 2\)$"):
        mt.wxyz_to_xyzw(np.zeros((2, 4)))


# --------------------------------------------------------------------------
# Errors, dtypes and odd inputs: same outcome as the plain formulation
# --------------------------------------------------------------------------

class Seq:
    """Old-style sequence: iterable through __getitem__ only."""

    def __getitem__(self, i):
        if i >= 4:
            raise IndexError(i)
        return i * 1.5


class BadIter:
    def __iter__(self):
        raise TypeError("custom iteration failure")


class NotIterator:
    def __iter__(self):
        return 5


def raising_after(n):
    for i in range(n):
        yield i
    raise KeyError("mid-iteration")


ODD_INPUTS = [
    ("quat_mul", ([1, 0, 0, 0], [[1, 0, 0, 0]])),
    ("quat_mul", (np.zeros((2, 4)), np.zeros((4, 2)))),
    ("quat_mul", (np.zeros((2, 3)), np.zeros((2, 3)))),
    ("quat_mul", (5, 5)),
    ("quat_mul", ([1, 2, 3, 4], [1.5, 2, 3, 4])),
    ("quat_mul", (np.arange(4, dtype=np.int32), np.arange(4, dtype=np.int16))),
    ("quat_mul", (np.arange(4, dtype=np.float32), np.arange(4.0))),
    ("quat_mul", (np.arange(4, dtype=np.float16) * 300, np.arange(4, dtype=np.float16) * 300)),
    ("quat_mul", ([True, False, True, True], [True, True, False, True])),
    ("quat_mul", ([1 + 2j, 0, 1j, 3], [2, 1j, 0, 1])),
    ("quat_mul", (np.array([1, 2, 3, 4], dtype=object), np.array([4, 3, 2, 1], dtype=object))),
    ("quat_mul", (np.array([2**62, 2**62, 0, 0]), np.array([4, 4, 0, 0]))),
    ("quat_mul", (None, None)),
    ("quat_mul", ([[1, 2], [3]], [[1, 2], [3]])),
    # The first failing product decides the error.
    ("quat_mul", (np.array([1, "a", 1, None], dtype=object), np.array([1, "b", 1, 1], dtype=object))),
    ("quat_mul_e", (np.array([1, "a", 1, None], dtype=object), np.array([1, "b", 1, 1], dtype=object))),
    ("quat_mul", ([np.float32(1), 2, 3, 4], [np.float32(0.5)] * 4)),
    ("quat_mul", ([np.ones(4, np.float32)] * 2, np.ones((2, 4), np.float32))),
    ("quat_mul", (np.matrix([1.0, 2, 3, 4]), np.matrix([0.5, 0, 1, 0]))),
    ("quat_mul", (np.ones((1,) * 20 + (4,)), np.ones((1,) * 20 + (4,)))),
    ("quat_mul_e", ([1, 0, 0, 0], [1, 0, 0, 0])),  # lists have no shape
    ("quat_mul_e", ((1, 0, 0, 0), np.ones(4))),
    ("quat_mul_e", (np.ones(4), np.ones((1, 4)))),
    ("quat_mul_e", (np.arange(4), np.arange(4))),
    ("quat_mul_e", (np.arange(4, dtype=np.float32), np.arange(4, dtype=np.float32))),
    ("quat_mul_e", (np.ma.array(np.arange(4.0), mask=[0, 1, 0, 0]), np.ma.array(np.ones(4)))),
    ("quat_mul_e", (np.ones(3), np.ones(3))),
    ("quat_mul_e", (np.float64(1.0), np.float64(2.0))),
    ("quat_conjugate", (np.array([1, 2, 3, 4], dtype=np.uint8),)),
    ("quat_conjugate", ([True, False, True, False],)),
    ("quat_conjugate", ([2**70, 1, 2, 3],)),
    ("quat_conjugate", ((np.float32(1), 2.5, 3, 4),)),
    ("quat_conjugate", (np.ones((1,) * 20 + (4,)),)),
    ("quat_conjugate", (np.float64(3.0),)),
    ("quat_conjugate", ([1, 2],)),
    ("quat_conjugate", (np.zeros((2, 0)),)),
    ("quat_conjugate", ("abcd",)),
    ("quat_inv", ([1, 2, 3, 4], 100)),
    ("quat_inv", ([[1e-6, 0, 0, 0], [1, 0, 0, 0]],)),
    ("quat_inv", (np.arange(8, dtype=np.float32).reshape(2, 4),)),
    ("quat_inv", (np.arange(8, dtype=np.float32).reshape(2, 4), np.float32(30.0))),
    ("quat_inv", (np.ones((2, 4)), np.array([[1.0], [10.0]]))),
    ("quat_inv", (np.ones(4), np.ones(3))),
    ("quat_inv", (np.ones(4), None)),
    ("quat_inv", (np.array([1, 2, 3, 4], dtype=np.int8),)),
    ("quat_apply", ([1, 0, 0, 0], [1, 2])),
    ("quat_apply", (np.ones((2, 4)), np.ones((3, 3)))),
    ("quat_apply", ([1.0, 0, 0, 0], np.ones(3, dtype=np.float32))),
    ("quat_apply", (np.ones(4, dtype=np.float32), np.ones(3, dtype=np.float32))),
    ("quat_apply", (np.ones(4, dtype=np.int32), [1, 2, 3])),
    ("quat_apply", ([1, 2, 3], [1, 2, 3])),
    ("quat_apply", (np.matrix([1.0, 2, 3, 4]), [1.0, 0.5, 0])),
    ("quat_apply", (np.ones((1,) * 20 + (4,)), np.ones(3))),
    ("wxyz_to_xyzw", ([1, 2, 3, 4, 5],)),
    ("wxyz_to_xyzw", ([1, 2, 3],)),
    ("wxyz_to_xyzw", ([],)),
    ("wxyz_to_xyzw", (5,)),
    ("wxyz_to_xyzw", (np.float64(1.0),)),
    ("wxyz_to_xyzw", (np.array(5.0),)),
    ("wxyz_to_xyzw", (BadIter(),)),
    ("wxyz_to_xyzw", (NotIterator(),)),
    ("wxyz_to_xyzw", (Seq(),)),
    ("wxyz_to_xyzw", ({"w": 1, "x": 2, "y": 3, "z": 4},)),
    ("wxyz_to_xyzw", ([np.float32(1), np.float32(2), np.float32(3), np.float32(4)],)),
    ("wxyz_to_xyzw", ([np.ones(2), np.zeros(2), np.ones(2), np.zeros(2)],)),
    ("wxyz_to_xyzw", ([[1], 2, 3, 4],)),
    ("xyzw_to_wxyz", ("xyzw",)),
    ("xyzw_to_wxyz", (np.arange(8).reshape(4, 2),)),
    ("xyzw_to_wxyz", (np.arange(10),)),
]


@pytest.mark.parametrize("name, args", ODD_INPUTS)
def test_same_outcome_as_plain_formulation(name, args):
    assert_matches_reference(name, args)


FP_CASES = [
    ("quat_mul", (np.array([np.inf, np.nan, 0.0, -0.0]), np.array([0.0, 1.0, -np.inf, 2.0]))),
    ("quat_mul", (np.full((2, 4), 1e200), np.full((2, 4), 1e200))),
    ("quat_mul_e", (np.full(4, 1e200), np.full(4, -1e200))),
    ("quat_inv", ([0.0, 0.0, 0.0, 0.0], 0.0)),
    ("quat_inv", (np.full((3, 4), 1e300),)),
    ("quat_apply", (np.full(4, 1e200), np.full(3, 1e200))),
    ("quat_apply", (np.array([1.0, np.inf, 0, 0]), np.array([0.0, 1.0, 0.0]))),
]


@pytest.mark.parametrize("state", ["warn", "raise"])
@pytest.mark.parametrize("name, args", FP_CASES)
def test_floating_point_errors_like_numpy(name, args, state):
    """Overflow and invalid operations warn, or raise under np.errstate, as NumPy does."""
    with np.errstate(all=state):
        assert_matches_reference(name, args)


@pytest.mark.parametrize("name", ["wxyz_to_xyzw", "xyzw_to_wxyz"])
def test_unpacking_consumes_like_the_interpreter(name):
    results = []
    for fn in (getattr(mt, name), getattr(ref, name)):
        it = iter(range(10))
        outcome = run(fn, (it,))[0]
        results.append((outcome, next(it)))
        gen = raising_after(2)
        results.append(run(fn, (gen,))[0])
    assert results[0] == results[2] == ((ValueError, "too many values to unpack (expected 4)"), 5)
    assert results[1] == results[3] == (KeyError, "'mid-iteration'")


class Sym:
    """Symbolic number that records every operation performed on it."""

    log = []

    def __init__(self, text):
        self.text = text

    def _op(self, other, sym, reverse=False):
        a, b = (other, self) if reverse else (self, other)
        out = Sym("(%s%s%s)" % (getattr(a, "text", a), sym, getattr(b, "text", b)))
        Sym.log.append(out.text)
        return out

    def __mul__(self, o): return self._op(o, "*")
    def __rmul__(self, o): return self._op(o, "*", True)
    def __add__(self, o): return self._op(o, "+")
    def __radd__(self, o): return self._op(o, "+", True)
    def __sub__(self, o): return self._op(o, "-")
    def __rsub__(self, o): return self._op(o, "-", True)
    def __truediv__(self, o): return self._op(o, "/")
    def __rtruediv__(self, o): return self._op(o, "/", True)
    def __pow__(self, o): return self._op(o, "**")
    def __lt__(self, o): return self._op(o, "<") and False
    def __gt__(self, o): return self._op(o, ">") and False
    def __repr__(self): return self.text


def symbols(prefix, n):
    out = np.empty(n, dtype=object)
    out[:] = [Sym("%s%d" % (prefix, i)) for i in range(n)]
    return out


@pytest.mark.parametrize("name, args", [
    ("quat_mul", (symbols("a", 4), symbols("b", 4))),
    ("quat_mul_e", (symbols("a", 4), symbols("b", 4))),
    ("quat_apply", (symbols("a", 4), symbols("v", 3))),
    ("quat_conjugate", (symbols("a", 4),)),
    ("quat_inv", (symbols("a", 4), 0.5)),
])
def test_operation_order_and_grouping(name, args):
    """Every operation, in the order performed, as the plain formulation does it."""
    traces = []
    for fn in (getattr(mt, name), getattr(ref, name)):
        Sym.log = []
        result = run(fn, args)[0]
        traces.append((Sym.log, repr(result)))
    assert traces[0][0]
    assert traces[0] == traces[1]


def test_shape_mismatch_message():
    for fn in (mt.quat_mul, mt.quat_mul_e):
        with pytest.raises(ValueError) as info:
            fn(np.zeros(4), np.zeros((1, 4)))
        assert str(info.value) == "Expected input quaternion shape mismatch: (4,) != (1, 4)"


# --------------------------------------------------------------------------
# Differential: bit-identical results over dtypes and memory layouts
# --------------------------------------------------------------------------

LAYOUTS = ["contiguous", "strided", "reversed", "fortran", "transposed", "unaligned",
           "big_endian", "readonly", "broadcast", "list"]
DTYPES = [np.float64, np.float32, np.int64]
SHAPES = [(4,), (5, 4), (2, 3, 4)]


def random_values(rng, shape, dtype):
    if np.dtype(dtype).kind == "i":
        return rng.integers(-50, 50, size=shape).astype(dtype)
    return (rng.normal(size=shape) * rng.choice([0.01, 1.0, 100.0])).astype(dtype)


def make(rng, shape, dtype, layout):
    """An array of `shape` and `dtype` laid out in memory as `layout`."""
    if layout == "contiguous":
        return random_values(rng, shape, dtype)
    if layout == "strided":
        big = random_values(rng, tuple(2 * n for n in shape), dtype)
        return big[tuple(slice(None, None, 2) for _ in shape)]
    if layout == "reversed":
        return random_values(rng, shape, dtype)[tuple(slice(None, None, -1) for _ in shape)]
    if layout == "fortran":
        return np.asfortranarray(random_values(rng, shape, dtype))
    if layout == "transposed":
        return random_values(rng, shape[::-1], dtype).T
    if layout == "unaligned":
        src = random_values(rng, shape, dtype)
        buf = bytearray(src.nbytes + 1)
        out = np.frombuffer(buf, dtype=dtype, offset=1, count=src.size).reshape(shape)
        out[...] = src
        return out
    if layout == "big_endian":
        return random_values(rng, shape, dtype).astype(np.dtype(dtype).newbyteorder(">"))
    if layout == "readonly":
        out = random_values(rng, shape, dtype)
        out.flags.writeable = False
        return out
    if layout == "broadcast":
        return np.broadcast_to(random_values(rng, shape[-1:], dtype), shape)
    if layout == "list":
        return random_values(rng, shape, dtype).tolist()
    raise AssertionError(layout)


def make_args(name, rng, shape, dtype, layouts):
    if name == "quat_apply":
        return (make(rng, shape, dtype, layouts[0]),
                make(rng, shape[:-1] + (3,), dtype, layouts[1]))
    if name in ("quat_mul", "quat_mul_e"):
        return (make(rng, shape, dtype, layouts[0]), make(rng, shape, dtype, layouts[1]))
    return (make(rng, shape, dtype, layouts[0]),)


@pytest.mark.parametrize("layout", LAYOUTS)
@pytest.mark.parametrize("dtype", DTYPES, ids=lambda d: np.dtype(d).name)
@pytest.mark.parametrize("name", QUAT_FUNCTIONS)
def test_bit_identical_to_reference(name, dtype, layout):
    if name == "quat_mul_e" and layout == "list":
        pytest.skip("quat_mul_e takes arrays only")
    rng = np.random.default_rng(zlib.crc32(("%s-%s-%s" % (name, np.dtype(dtype).name, layout)).encode()))
    for shape in SHAPES:
        # The same layout for every operand, and then mixed with a plain operand.
        for layouts in ((layout, layout), (layout, "contiguous"), ("contiguous", layout)):
            args = make_args(name, rng, shape, dtype, layouts)
            assert_matches_reference(name, args)


@pytest.mark.parametrize("dtypes", [(np.float32, np.float64), (np.int64, np.float32),
                                    (np.int32, np.int64), (np.float16, np.float32)],
                         ids=lambda ds: "-".join(np.dtype(d).name for d in ds))
@pytest.mark.parametrize("name", ["quat_mul", "quat_apply"])
def test_mixed_dtypes(name, dtypes):
    rng = np.random.default_rng(7)
    a = random_values(rng, (3, 4), dtypes[0])
    b = random_values(rng, (3, 4) if name == "quat_mul" else (3, 3), dtypes[1])
    assert_matches_reference(name, (a, b))


@pytest.mark.parametrize("eps", [1e-9, 0.5, 2.0, np.float32(1.5), np.float64(0.5), np.array(2.0), 3])
@pytest.mark.parametrize("dtype", [np.float64, np.float32, np.int64], ids=lambda d: np.dtype(d).name)
def test_quat_inv_eps(eps, dtype):
    rng = np.random.default_rng(11)
    q = random_values(rng, (6, 4), dtype) * np.array([[1], [0], [1], [0], [1], [1]], dtype=dtype)
    ours = assert_matches_reference("quat_inv", (q, eps), check_warnings=False)
    keyword = mt.quat_inv(q, eps=eps)
    assert_same(keyword, ours)


def test_quat_mul_e_agrees_with_quat_mul_to_rounding():
    rng = np.random.default_rng(5)
    a, b = rng.normal(size=(2, 50, 4))
    np.testing.assert_allclose(mt.quat_mul_e(a, b), mt.quat_mul(a, b), rtol=1e-12, atol=1e-12)


# --------------------------------------------------------------------------
# Property-based differential on float64
# --------------------------------------------------------------------------

finite = st.floats(-1e3, 1e3, allow_nan=False, allow_infinity=False)
lead_shapes = st.sampled_from([(), (1,), (3,), (2, 2), (0,)])


@st.composite
def quat_pairs(draw, last=4):
    lead = draw(lead_shapes)
    a = draw(hnp.arrays(np.float64, lead + (4,), elements=finite))
    b = draw(hnp.arrays(np.float64, lead + (last,), elements=finite))
    return a, b


@settings(max_examples=60, deadline=None)
@given(quat_pairs())
def test_property_quat_mul(pair):
    assert_matches_reference("quat_mul", pair, check_warnings=False)
    assert_matches_reference("quat_mul_e", pair, check_warnings=False)


@settings(max_examples=60, deadline=None)
@given(quat_pairs(last=3))
def test_property_quat_apply(pair):
    assert_matches_reference("quat_apply", pair, check_warnings=False)


@settings(max_examples=60, deadline=None)
@given(hnp.arrays(np.float64, st.sampled_from([(4,), (3, 4), (2, 1, 4)]), elements=finite),
       st.floats(0.0, 10.0))
def test_property_quat_inv(q, eps):
    assert_matches_reference("quat_inv", (q, eps), check_warnings=False)
    assert_matches_reference("quat_conjugate", (q,), check_warnings=False)
