"""The compiled-function type against plain `def` functions of the same
signature: attributes, argument binding and its errors, introspection,
pickling, method binding, global lookup and reference counting."""

import copy
import functools
import inspect
import os
import pickle
import pydoc
import re
import sys
import tracemalloc
import types

import numpy as np
import pytest

import trackscope  # noqa: F401  (registers math_transfrom)
import math_transfrom as mt

sys.path.insert(0, os.path.dirname(__file__))
import reference as ref  # noqa: E402

FUNCTIONS = ref.FUNCTION_NAMES


def outcome(fn, args=(), kwargs=None):
    try:
        return ("ok", fn(*args, **(kwargs or {})))
    except Exception as e:  # noqa: BLE001
        return (type(e), str(e))


@pytest.fixture
def restore_globals():
    saved = dict(vars(mt))
    yield
    for k in list(vars(mt)):
        if k not in saved:
            delattr(mt, k)
    for k, v in saved.items():
        if vars(mt).get(k, object()) is not v:
            setattr(mt, k, v)


# --------------------------------------------------------------------------
# Attributes
# --------------------------------------------------------------------------

@pytest.mark.parametrize("name", FUNCTIONS)
def test_attributes_match_plain_def(name):
    ours, plain = getattr(mt, name), getattr(ref, name)
    assert (ours.__name__, ours.__qualname__, ours.__module__) == (name, name, "math_transfrom")
    assert (ref.doc_text(ours.__doc__), ours.__defaults__) == (ref.doc_text(plain.__doc__), plain.__defaults__)
    assert ours.__annotations__ == plain.__annotations__
    assert ours.__kwdefaults__ is None and ours.__globals__ is vars(mt)
    code = ours.__code__
    assert code.co_varnames[:code.co_argcount] == plain.__code__.co_varnames[:plain.__code__.co_argcount]
    sig, plain_sig = inspect.signature(ours), inspect.signature(plain)
    assert sig == plain_sig and str(sig) == str(plain_sig)
    assert all(p.kind is p.POSITIONAL_OR_KEYWORD for p in sig.parameters.values())
    assert inspect.getfullargspec(ours) == inspect.getfullargspec(plain)


def test_annotation_objects():
    from typing import Optional, Tuple
    assert mt.quat_inv.__annotations__["eps"] is float and mt.quat_inv.__annotations__["q"] is np.ndarray
    ann = mt.subtract_frame_transforms.__annotations__
    assert list(ann) == ["t01", "q01", "t02", "q02", "return"]
    assert (ann["t02"], ann["return"]) == (Optional[np.ndarray], Tuple[np.ndarray, np.ndarray])
    assert type(mt.quat_inv.__defaults__[0]) is float


def test_repr():
    assert re.fullmatch(r"<function quat_mul at 0x[0-9a-f]+>", repr(mt.quat_mul))


def test_writable_attributes():
    f = mt.quat_conjugate
    saved = (f.__name__, f.__qualname__, f.__doc__, f.__annotations__)
    try:
        f.custom = 3
        assert vars(f) == {"custom": 3}
        f.__dict__ = {"other": 1}
        assert not hasattr(f, "custom") and f.other == 1
        f.__name__, f.__qualname__, f.__annotations__ = "renamed", "Outer.renamed", {"q": int}
        assert (f.__name__, f.__qualname__, f.__annotations__) == ("renamed", "Outer.renamed", {"q": int})
        f.__doc__ = "text"
        del f.__doc__
        assert f.__doc__ is None
    finally:
        f.__dict__ = {}
        f.__name__, f.__qualname__, f.__doc__, f.__annotations__ = saved
    assert f([1, 2, 3, 4]).tolist() == [1, -2, -3, -4]


@pytest.mark.parametrize("attr, value", [
    ("__name__", 1), ("__qualname__", None), ("__defaults__", [1.0]),
    ("__annotations__", 1), ("__dict__", 1),
])
def test_attribute_type_errors(attr, value):
    def quat_inv(q, eps=1e-9):
        pass
    expected = outcome(setattr, (quat_inv, attr, value))
    before = getattr(mt.quat_inv, attr)
    assert outcome(setattr, (mt.quat_inv, attr, value)) == expected
    assert expected[0] is TypeError
    assert getattr(mt.quat_inv, attr) == before


# --------------------------------------------------------------------------
# Argument binding
# --------------------------------------------------------------------------

BINDING_ERRORS = [
    ("quat_conjugate", (), {}),
    ("quat_mul", (), {}),
    ("quat_mul", (), {"q2": 1}),
    ("reset_pose", (), {}),
    ("pelvis_to_torso_pose", (1,), {}),
    ("pelvis_to_torso_pose", (1,), {"q_pelvis": 2}),
    ("subtract_frame_transforms", (), {"t02": 1}),
    ("quat_inv", (), {"eps": 1.0}),
    ("quat_conjugate", (1, 2), {}),
    ("quat_mul", (1, 2, 3), {}),
    ("quat_inv", (1, 2, 3), {}),
    ("subtract_frame_transforms", (1, 2, 3, 4, 5), {}),
    ("quat_conjugate", (), {"p": 1}),
    ("quat_mul", (1, 2), {"q3": 3}),
    ("quat_conjugate", (1,), {"q": 1}),
    ("quat_inv", (1, 2), {"eps": 3}),
    ("quat_mul", (1, 2, 3), {"q1": 1}),
    ("quat_mul", (1, 2, 3), {"zz": 1}),
    ("quat_mul", (), {"q1": 1, "zz": 1, "q2": 2}),
    ("quat_conjugate", (), {1: 2}),
    ("quat_mul", (1,), {"q2": 2, 1: 2}),
]


@pytest.mark.parametrize("name, args, kwargs", BINDING_ERRORS)
def test_binding_errors_match_plain_def(name, args, kwargs):
    expected = outcome(getattr(ref, name), args, kwargs)
    assert expected[0] is TypeError
    assert outcome(getattr(mt, name), args, kwargs) == expected


def test_positional_and_keyword_calls():
    a, b = np.array([1.0, 2.0, 3.0, 4.0]), np.array([0.5, -1.0, 2.0, 0.25])
    expected = mt.quat_mul(a, b)
    for result in (mt.quat_mul(q1=a, q2=b), mt.quat_mul(q2=b, q1=a), mt.quat_mul(a, q2=b),
                   mt.quat_mul(*[a, b]), mt.quat_mul(**{"q1": a, "q2": b}),
                   functools.partial(mt.quat_mul, q2=b)(a), mt.quat_mul.__call__(a, b)):
        np.testing.assert_array_equal(result, expected)
    q = [0.0, 0.0, 0.0, 0.0]
    np.testing.assert_array_equal(mt.quat_inv(q=[1.0, 0, 0, 0], eps=4.0), [0.25, 0, 0, 0])
    np.testing.assert_array_equal(mt.quat_inv(q, 1.0), mt.quat_inv(q, eps=1.0))


def test_defaults_are_read_at_each_call():
    f, plain = mt.quat_inv, ref.quat_inv
    saved = f.__defaults__
    try:
        f.__defaults__ = plain.__defaults__ = (4.0,)
        np.testing.assert_array_equal(f([1.0, 0, 0, 0]), [0.25, 0, 0, 0])
        f.__defaults__ = plain.__defaults__ = None
        assert outcome(f, ([1.0, 0, 0, 0],)) == outcome(plain, ([1.0, 0, 0, 0],))
        f.__defaults__ = plain.__defaults__ = (1.0, 2.0)
        assert outcome(f) == outcome(plain)
        del f.__defaults__
        assert f.__defaults__ is None
    finally:
        f.__defaults__ = plain.__defaults__ = saved
    assert f.__defaults__ == (1e-09,)


# --------------------------------------------------------------------------
# Introspection, pickling, descriptor behaviour
# --------------------------------------------------------------------------

@pytest.mark.parametrize("name", ["quat_inv", "subtract_frame_transforms", "wxyz_to_xyzw"])
def test_help_shows_signature_and_doc(name):
    ours = pydoc.render_doc(getattr(mt, name), renderer=pydoc.plaintext)
    plain = pydoc.render_doc(getattr(ref, name), renderer=pydoc.plaintext)
    # The heading names the object kind and module; the body is the same.
    assert ours.splitlines()[1:] == plain.splitlines()[1:]
    if sys.version_info < (3, 13):  # later pydoc wraps long signatures
        assert (name + str(inspect.signature(getattr(ref, name)))) in ours


@pytest.mark.parametrize("name", ["quat_mul", "quat_inv", "xyzw_to_wxyz", "reset_pose"])
def test_pickle_and_copy_by_reference(name):
    f = getattr(mt, name)
    for protocol in range(pickle.HIGHEST_PROTOCOL + 1):
        assert pickle.loads(pickle.dumps(f, protocol)) is f
    assert copy.copy(f) is f
    assert copy.deepcopy(f) is f
    assert pickle.loads(pickle.dumps(trackscope.quat_mul)) is mt.quat_mul


def test_binds_as_method():
    C = type("C", (), {"f": mt.quat_conjugate})
    obj = C()
    bound = obj.f
    assert isinstance(bound, types.MethodType)
    assert bound.__func__ is mt.quat_conjugate and bound.__self__ is obj
    assert C.f is mt.quat_conjugate
    assert mt.quat_conjugate.__get__(None, C) is mt.quat_conjugate
    assert str(inspect.signature(bound)) == "() -> numpy.ndarray"

    class Quat(list):
        conj = mt.quat_conjugate
        mul = mt.quat_mul
        static = staticmethod(mt.quat_conjugate)

    q = Quat([1, 2, 3, 4])
    assert q.conj().tolist() == [1, -2, -3, -4]
    assert q.mul([0, 1, 0, 0]).tolist() == mt.quat_mul([1, 2, 3, 4], [0, 1, 0, 0]).tolist()
    assert q.mul(q2=[0, 1, 0, 0]).tolist() == q.mul([0, 1, 0, 0]).tolist()
    assert Quat.static([1, 2, 3, 4]).tolist() == [1, -2, -3, -4]
    expected = outcome(type("P", (list,), {"conj": ref.quat_conjugate})([1, 2, 3, 4]).conj, (5,))
    assert outcome(q.conj, (5,)) == expected


def test_weak_reference():
    import weakref
    assert weakref.ref(mt.quat_mul)() is mt.quat_mul


# --------------------------------------------------------------------------
# Module globals are looked up at each call
# --------------------------------------------------------------------------

class TracingNumpy(types.ModuleType):
    """numpy stand-in that records attribute lookups and calls."""

    def __init__(self, log):
        super().__init__("numpy")
        self._log = log

    def __getattr__(self, name):
        value = getattr(np, name)
        self._log.append(("get", name))
        if callable(value) and not isinstance(value, type):
            def traced(*args, **kwargs):
                self._log.append(("call", name))
                return value(*args, **kwargs)
            return traced
        return value


@pytest.mark.parametrize("name, args", [
    ("quat_conjugate", ([1.0, 2.0, 3.0, 4.0],)),
    ("quat_inv", ([1.0, 2.0, 3.0, 4.0],)),
    ("quat_mul", ([1.0, 2.0, 3.0, 4.0], [0.5, 0.5, 0.5, 0.5])),
    ("quat_mul_e", (np.arange(4.0), np.ones(4))),
    ("quat_apply", ([1.0, 0.0, 0.0, 0.0], [[1.0, 2.0, 3.0]])),
    ("wxyz_to_xyzw", ([1.0, 2.0, 3.0, 4.0],)),
    ("xyzw_to_wxyz", (np.arange(4.0),)),
])
def test_numpy_lookups_follow_plain_def(name, args, restore_globals):
    ours_log, plain_log = [], []
    saved = ref.np
    try:
        mt.np = TracingNumpy(ours_log)
        ref.np = TracingNumpy(plain_log)
        ours = getattr(mt, name)(*args)
        plain = getattr(ref, name)(*args)
    finally:
        ref.np = saved
    assert ours_log == plain_log and ours_log
    np.testing.assert_array_equal(ours, plain, strict=True)


def test_rebinding_a_sibling_changes_later_calls(restore_globals):
    mt.quat_conjugate = lambda q: np.full(4, 8.0)
    np.testing.assert_array_equal(mt.quat_inv([2.0, 0, 0, 0]), [2.0, 2.0, 2.0, 2.0])
    # Globals are the defining module's: rebinding the copy in trackscope has no effect.
    restore = trackscope.np
    try:
        trackscope.np = None
        np.testing.assert_array_equal(mt.quat_mul([1, 0, 0, 0], [0, 1, 0, 0]), [0, 1, 0, 0])
    finally:
        trackscope.np = restore


@pytest.mark.parametrize("missing, name, args", [
    ("np", "quat_mul", ([1, 0, 0, 0], [1, 0, 0, 0])),
    ("np", "quat_conjugate", ([1, 0, 0, 0],)),
    ("np", "quat_mul_e", (np.ones(4), np.ones(4))),
    ("np", "wxyz_to_xyzw", ([1, 2, 3, 4],)),
    ("quat_conjugate", "quat_inv", ([1.0, 0, 0, 0],)),
])
def test_missing_global_raises_name_error(missing, name, args, restore_globals):
    delattr(mt, missing)
    with pytest.raises(NameError) as info:
        getattr(mt, name)(*args)
    assert str(info.value) == "name '%s' is not defined" % missing
    assert info.value.name == missing


def test_builtins_are_consulted_after_module_globals(restore_globals):
    import builtins
    del mt.np
    builtins.np = np
    try:
        assert mt.quat_conjugate([1, 2, 3, 4]).tolist() == [1, -2, -3, -4]
    finally:
        del builtins.np


# --------------------------------------------------------------------------
# Reference counting
# --------------------------------------------------------------------------

def _call_many(fn, args, kwargs, n=300):
    for _ in range(n):
        try:
            fn(*args, **kwargs)
        except Exception:  # noqa: BLE001
            pass


LEAK_CASES = [
    ("quat_mul", lambda a, b: ((a, b), {})),
    ("quat_mul", lambda a, b: ((), {"q1": a, "q2": b})),
    ("quat_mul", lambda a, b: ((a, b[:, :3].copy()), {})),        # shape mismatch
    ("quat_mul", lambda a, b: ((a, b, a), {})),                   # too many
    ("quat_mul", lambda a, b: ((a,), {"q1": b})),                 # duplicate
    ("quat_mul", lambda a, b: ((a,), {"zz": b})),                 # unexpected keyword
    ("quat_mul_e", lambda a, b: ((a, b), {})),
    ("quat_inv", lambda a, b: ((a,), {"eps": b})),
    ("quat_conjugate", lambda a, b: ((a,), {})),
    ("quat_apply", lambda a, b: ((a, b[:, :3]), {})),
    ("quat_apply", lambda a, b: ((a, b[:2, :3]), {})),           # no broadcast
    ("wxyz_to_xyzw", lambda a, b: ((a[0],), {})),
    ("wxyz_to_xyzw", lambda a, b: ((a,), {})),                    # too many values
]


@pytest.mark.parametrize("name, make", LEAK_CASES)
def test_no_reference_leaks(name, make):
    a, b = np.random.default_rng(0).normal(size=(2, 3, 4))
    args, kwargs = make(a, b)
    fn = getattr(mt, name)
    watched = [a, b, np, fn, mt.quat_conjugate]
    if fn.__defaults__ is not None:  # None's count moves with unrelated work
        watched.append(fn.__defaults__)
    _call_many(fn, args, kwargs, 20)
    before = [sys.getrefcount(o) for o in watched]
    _call_many(fn, args, kwargs)
    assert [sys.getrefcount(o) for o in watched] == before


@pytest.mark.parametrize("name, make", LEAK_CASES[:3] + LEAK_CASES[-2:])
def test_no_memory_growth(name, make):
    a, b = np.random.default_rng(1).normal(size=(2, 3, 4))
    args, kwargs = make(a, b)
    fn = getattr(mt, name)
    _call_many(fn, args, kwargs, 50)
    tracemalloc.start()
    try:
        _call_many(fn, args, kwargs, 100)
        start = tracemalloc.get_traced_memory()[0]
        _call_many(fn, args, kwargs, 3000)
        grown = tracemalloc.get_traced_memory()[0] - start
    finally:
        tracemalloc.stop()
    assert grown < 64 * 1024


def test_no_leak_on_name_error(restore_globals):
    del mt.np
    key = "np"
    a = np.ones(4)
    _call_many(mt.quat_conjugate, (a,), {}, 20)
    before = sys.getrefcount(key), sys.getrefcount(a)
    _call_many(mt.quat_conjugate, (a,), {})
    assert (sys.getrefcount(key), sys.getrefcount(a)) == before


# --------------------------------------------------------------------------
# The extension's own types
# --------------------------------------------------------------------------

@pytest.fixture(params=["compiled_function", "ModuleTableFinder"])
def extension_type(request):
    return type(mt.quat_mul) if request.param == "compiled_function" else type(mt.__loader__)


@pytest.mark.parametrize("make", [lambda t: t(), lambda t: t.__new__(t), lambda t: object.__new__(t)])
def test_extension_types_cannot_be_instantiated(extension_type, make):
    # An instance made from Python would have no body, name or signature.
    with pytest.raises(TypeError):
        make(extension_type)


def test_extension_types_are_immutable(extension_type):
    with pytest.raises(TypeError, match="immutable type"):
        extension_type.__repr__ = lambda self: "x"
    with pytest.raises(TypeError):
        type("Sub", (extension_type,), {})


def test_exec_module_refuses_a_non_module():
    import types
    before = sys.modules["math_transfrom"]
    with pytest.raises(TypeError, match="must be a module"):
        mt.__loader__.exec_module(types.SimpleNamespace(__name__="math_transfrom"))
    assert sys.modules["math_transfrom"] is before
