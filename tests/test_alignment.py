import inspect, logging, os, sys, warnings

import numpy as np
import pytest
from scipy.spatial.transform import Rotation

import trackscope  # noqa: F401  registers math_transfrom
import math_transfrom as mt
from math_transfrom import TransformAlignment

sys.path.insert(0, os.path.dirname(__file__))
import reference as ref  # noqa: E402
from recording import recorded  # noqa: E402

METHODS = ["__init__", "set_base", "align_quat", "align_xyz", "align_pos", "align_transform"]
S = np.sin(np.pi / 4)


def test_class_metadata():
    cls = TransformAlignment
    assert (cls.__module__, cls.__qualname__, cls.__bases__) == \
        ("math_transfrom", "TransformAlignment", (object,))
    assert cls.__doc__ == "Align rotation and/or translation relative to a base reference."
    assert [k for k in vars(cls) if not k.startswith("__") or k == "__init__"] == METHODS
    for name in METHODS:
        ours, theirs = getattr(cls, name), getattr(ref.TransformAlignment, name)
        assert (ref.doc_text(ours.__doc__), inspect.signature(ours), ours.__annotations__) == \
            (ref.doc_text(theirs.__doc__), inspect.signature(theirs), {})


def test_default_base_and_log(caplog):
    caplog.set_level(logging.INFO, logger="math_transfrom")
    ta = TransformAlignment()
    assert (ta.yaw_only, ta.xy_only, ta.p_base.dtype, ta.p_base.shape) == (False, False, np.float64, (3,))
    assert [(r.name, r.levelno, r.msg, r.args) for r in caplog.records] == [
        ("math_transfrom", logging.INFO, "base set to pos: [0. 0. 0.], quat: [0. 0. 0. 1.]", ())]
    np.testing.assert_array_equal(ta.align_quat([0, 0, 0, 2.0]), [0, 0, 0, 1])
    np.testing.assert_array_equal(ta.align_pos([1, 2, 3]), [1, 2, 3])


@pytest.mark.parametrize("yaw_only", [False, True])
@pytest.mark.parametrize("xy_only", [False, True])
@pytest.mark.parametrize("shape", [(), (1,), (3,)])
def test_bit_exact_against_reference(yaw_only, xy_only, shape):
    quat, q_in, pos, p_in = (np.random.default_rng(3).normal(size=shape + (n,)) for n in (4, 4, 3, 3))
    ours = TransformAlignment(quat, pos.copy(), yaw_only, xy_only)
    theirs = ref.TransformAlignment(quat, pos.copy(), yaw_only, xy_only)
    np.testing.assert_array_equal(ours.R_base.as_quat(), theirs.R_base.as_quat())
    np.testing.assert_array_equal(ours.p_base, theirs.p_base)
    for a, b in zip(ours.align_transform(q_in, p_in), theirs.align_transform(q_in, p_in), strict=True):
        np.testing.assert_array_equal(a, b)


def test_quarter_turn_and_yaw_only_stacks():
    ta = TransformAlignment(quat=[0, 0, S, S])
    np.testing.assert_allclose(ta.align_pos([1, 0, 0]), [0, -1, 0], atol=1e-15)
    np.testing.assert_allclose(np.abs(ta.align_quat([0, 0, S, S])), [0, 0, 0, 1], atol=1e-15)
    angles = np.array([[0.3, -0.2, 1.1], [-0.5, 0.4, -2.0], [0.1, 0.1, 0.2]])
    quats = Rotation.from_euler("xyz", angles).as_quat()
    for quat, expected in ((quats, angles), (quats[:1], angles[:1]), (quats[0], angles[0])):
        base = TransformAlignment(quat=quat, yaw_only=True)
        np.testing.assert_allclose(base.R_base.as_euler("xyz"), expected * [0, 0, 1], atol=1e-12)
    np.testing.assert_allclose(Rotation.from_quat(base.align_quat(quats[0])).as_euler("xyz"),
                               [0.3, -0.2, 0], atol=1e-12)
    assert TransformAlignment(yaw_only=True).R_base.approx_equal(Rotation.identity())


def test_positions_never_modify_caller_arrays():
    caller, stack = np.array([1.0, 2.0, 3.0]), np.arange(12.0).reshape(4, 3)
    ta = TransformAlignment(pos=caller, xy_only=True)
    np.testing.assert_array_equal(ta.p_base, [1, 2, 0])
    np.testing.assert_array_equal(ta.align_pos([1, 2, 3]), [0, 0, 3])
    np.testing.assert_array_equal(TransformAlignment(pos=stack, xy_only=True).p_base[:, 2], 0)
    np.testing.assert_array_equal(TransformAlignment(pos=[[1, 2, 3]], xy_only=True).p_base, [[1, 2, 0]])
    assert caller[2] == 3 and stack[3, 2] == 11 and TransformAlignment(pos=caller).p_base is caller


def test_failing_set_base_keeps_documented_state(monkeypatch):
    ta = TransformAlignment([0, 0, S, S], [1, 2, 3], xy_only=True)
    R_old, p_old = ta.R_base, ta.p_base
    with pytest.raises(ValueError):
        ta.set_base([0, 0, 0, 0], [4, 5, 6])  # orientation step: zero norm
    assert ta.R_base is R_old and ta.p_base is p_old
    with pytest.raises(IndexError):
        ta.set_base([0, 0, 0, 1], [4, 5])  # position step: no z to zero
    assert ta.R_base.approx_equal(Rotation.identity()) and ta.p_base is p_old
    with pytest.raises(IndexError):
        TransformAlignment(pos=[1, 2], xy_only=True)
    monkeypatch.delattr(mt, "logger")
    with pytest.raises(NameError, match="^name 'logger' is not defined$"):
        ta.set_base(None, [7, 8, 9])
    np.testing.assert_array_equal(ta.p_base, [7, 8, 0])


def test_attributes_and_overrides_reached_through_instance():
    class Sub(TransformAlignment):
        def set_base(self, *args, **kwargs):
            self.base_args = (args, kwargs)
            super().set_base(*args, **kwargs)

        def align_xyz(self, xyz):
            return ("rotated", xyz)

    ta = Sub([0, 0, 0, 1], [1, 1, 1])
    assert ta.base_args == (([0, 0, 0, 1], [1, 1, 1]), {})
    tag, diff = ta.align_transform([0, 0, 0, 1], [2, 3, 4])[1]
    assert tag == "rotated" and diff.tolist() == [1, 2, 3]

    plain = TransformAlignment()
    plain.p_base, plain.R_base = np.ones(3), Rotation.from_quat([0, 0, S, S])
    np.testing.assert_allclose(plain.align_pos([2, 1, 1]), [0, -1, 0], atol=1e-15)
    plain.yaw_only = 1
    plain.set_base([S, 0, 0, S])
    assert plain.R_base.approx_equal(Rotation.identity())


# --------------------------------------------------------------------------
# R_base read through a property that runs Python code
# --------------------------------------------------------------------------

def watched_base(cls, strike):
    """A subclass of `cls` whose R_base property counts its reads and runs
    strike(self) at each."""
    class Watched(cls):
        def __init__(self, *args, **kwargs):
            self.reads = 0
            self.target = None
            super().__init__(*args, **kwargs)

        @property
        def R_base(self):
            self.reads += 1
            strike(self)
            return self.__dict__["_base"]

        @R_base.setter
        def R_base(self, value):
            self.__dict__["_base"] = value
    return Watched


def fill(self):
    if isinstance(self.target, np.ndarray):
        self.target.fill(0.25)


def reshape(self):
    if isinstance(self.target, np.ndarray) and self.target.ndim == 1:
        self.target.shape = (1, self.target.size)


def poison(self):
    if isinstance(self.target, np.ndarray):
        self.target[0] = np.nan


def clear(self):
    if isinstance(self.target, list):
        self.target[:] = [0.5] * len(self.target)


@pytest.mark.parametrize("strike", [fill, reshape, poison, clear])
@pytest.mark.parametrize("base", [[0, 0, S, S], [[0, 0, S, S], [S, 0, 0, S]]], ids=["one", "two"])
@pytest.mark.parametrize("method, value", [("align_quat", [0.1, 0.2, 0.3, 0.9]),
                                           ("align_xyz", [1.0, 2.0, 3.0])])
@pytest.mark.parametrize("kind", [np.array, list])
def test_base_property_runs_once_and_sees_what_the_steps_see(strike, base, method, value, kind):
    # The plain steps convert the input, read R_base once, then use the
    # converted input: a native path that gives up after reading R_base must
    # not read it again nor convert the input anew.
    results = []
    for cls in (TransformAlignment, ref.TransformAlignment):
        ta = watched_base(cls, strike)(quat=np.array(base))
        ta.reads = 0
        ta.target = kind(value)
        try:
            out = getattr(ta, method)(ta.target)
        except Exception as exc:  # noqa: BLE001 - compared below
            out = exc
        results.append((out, ta.reads))
    (got, got_reads), (want, want_reads) = results
    assert got_reads == want_reads == 1
    if isinstance(want, Exception):
        assert (type(got), str(got)) == (type(want), str(want))
    else:
        assert got.shape == want.shape
        np.testing.assert_allclose(got, want, rtol=1e-12, atol=1e-15)


BASES = [None, [0.1, 0.2, 0.3, 0.9], np.array([[S, 0, 0, S]]), np.array([1e-300, 2.0, -3.0, 1e-12]),
         Rotation.from_euler("xyz", [0.4, np.pi / 2, 0.3]).as_quat(),  # gimbal lock: SciPy warns
         np.random.default_rng(5).normal(size=(3, 4))]


@pytest.mark.parametrize("level", [logging.INFO, logging.WARNING])
@pytest.mark.parametrize("yaw_only", [False, True])
def test_set_base_state_log_and_warnings_like_plain(level, yaw_only, caplog):
    caplog.set_level(level)
    for quat in BASES:
        outcomes = []
        for cls in (TransformAlignment, ref.TransformAlignment):
            caplog.clear()
            with recorded() as caught:
                ta = cls(quat, [1.0, 2.0, 3.0], yaw_only=yaw_only, xy_only=True)
            outcomes.append((ta.R_base.as_quat().tobytes(), ta.R_base.single, ta.p_base.tolist(),
                             [str(w.message) for w in caught], [r.getMessage() for r in caplog.records]))
        assert outcomes[0] == outcomes[1]


def test_log_text_built_for_an_overridden_info(monkeypatch):
    messages = []
    monkeypatch.setattr(mt.logger, "info", messages.append)  # instance attribute
    TransformAlignment([0, 0, S, S], [1.0, 2.0, 3.0])
    assert messages == [f"base set to pos: {np.array([1.0, 2.0, 3.0])}, quat: {np.array([0, 0, S, S]) / (2 * S * S) ** 0.5}"]


def test_set_base_uses_the_rotation_class_bound_when_it_read_the_quaternion():
    # R.from_quat(quat) runs before yaw_only is read; a yaw_only property that
    # rebinds the module's R must not change which class built the base.
    results = []
    for module in (mt, ref):
        calls = []
        spy = type("Spy", (), {"from_quat": staticmethod(lambda q: calls.append(q) or Rotation.from_quat(q)),
                               "from_euler": staticmethod(Rotation.from_euler),
                               "identity": staticmethod(Rotation.identity)})
        original = module.R

        class Rebinding(module.TransformAlignment):
            @property
            def yaw_only(self):
                module.R = spy
                return False

            @yaw_only.setter
            def yaw_only(self, value):
                pass
        try:
            ta = Rebinding()
            module.R = original
            ta.set_base(quat=np.array([0.0, 0.0, S, S]))
        finally:
            module.R = original
        results.append((len(calls), ta.R_base.as_quat().tolist()))
    assert results[0] == results[1] and results[0][0] == 0


@pytest.mark.parametrize("p_base", [np.array([0.3, -1.2, 0.9]), np.array([[0.3, -1.2, 0.9]]),
                                    np.array([[0.3, 0.0, 0.9, 5.0]])[:, :3], np.array([0.3, -1.2, np.inf])])
@pytest.mark.parametrize("pos", [np.arange(21.0).reshape(7, 3) / 7, np.array([1.0, -2.0, 3.0]), [1.0, 2.0, 3.0],
                                 np.array([[np.inf, 0.0, np.nan]]), np.arange(15.0).reshape(5, 3)[::2],
                                 np.zeros((0, 3)), np.ones((2, 3), dtype=np.float32)])
def test_align_pos_difference_matches_numpy(p_base, pos):
    """pos - p_base made natively keeps NumPy's shape, layout, bits and warnings."""
    results = []
    for cls in (TransformAlignment, ref.TransformAlignment):
        ta = cls(np.array([0.0, 0.0, S, S]))
        ta.p_base = p_base
        with recorded() as caught:
            out = ta.align_pos(pos)
        results.append((out.shape, out.dtype, out.flags.c_contiguous, out.tobytes(),
                        [(w.category, str(w.message)) for w in caught]))
    assert results[0] == results[1]
