import inspect
import logging
import os
import sys

import numpy as np
import pytest
from scipy.spatial.transform import Rotation

import trackscope  # noqa: F401  registers math_transfrom
import math_transfrom as mt
from math_transfrom import TransformAlignment

sys.path.insert(0, os.path.dirname(__file__))
import reference as ref  # noqa: E402

METHODS = ["__init__", "set_base", "align_quat", "align_xyz", "align_pos", "align_transform"]
S = np.sin(np.pi / 4)


def test_class_metadata():
    cls = TransformAlignment
    assert (cls.__module__, cls.__qualname__, cls.__bases__) == ("math_transfrom", cls.__name__,
                                                                 (object,))
    assert cls.__doc__ == "Align rotation and/or translation relative to a base reference."
    assert [k for k in vars(cls) if not k.startswith("__") or k == "__init__"] == METHODS
    for name in METHODS:
        ours, theirs = getattr(cls, name), getattr(ref.TransformAlignment, name)
        assert ours.__doc__ == theirs.__doc__
        assert str(inspect.signature(ours)) == str(inspect.signature(theirs))
        assert ours.__annotations__ == {}
        assert ours.__qualname__ == "TransformAlignment." + name
    assert cls.set_base.__doc__ is None


def test_default_base_and_log(caplog):
    caplog.set_level(logging.INFO, logger="math_transfrom")
    ta = TransformAlignment()
    assert not ta.yaw_only and not ta.xy_only
    assert ta.R_base.approx_equal(Rotation.identity())
    assert ta.p_base.dtype == np.float64 and ta.p_base.shape == (3,) and not ta.p_base.any()
    assert [(r.name, r.levelno, r.getMessage()) for r in caplog.records] == [
        ("math_transfrom", logging.INFO, "base set to pos: [0. 0. 0.], quat: [0. 0. 0. 1.]")]
    assert caplog.records[0].args == ()
    np.testing.assert_array_equal(ta.align_quat([0, 0, 0, 2.0]), [0, 0, 0, 1])
    np.testing.assert_array_equal(ta.align_pos([1, 2, 3]), [1, 2, 3])
    np.testing.assert_array_equal(ta.align_xyz((4, 5, 6)), [4, 5, 6])


def test_message_built_at_any_level(monkeypatch):
    calls = []

    class Base:
        def as_quat(self):
            calls.append(1)
            return np.array([0.0, 0, 0, 1])

    monkeypatch.setattr(mt, "R", type("FakeR", (), {"identity": staticmethod(Base)}))
    monkeypatch.setattr(mt.logger, "level", logging.ERROR)
    TransformAlignment()
    assert calls == [1]


def test_quarter_turn_base():
    ta = TransformAlignment(quat=[0, 0, S, S])
    np.testing.assert_allclose(ta.align_pos([1, 0, 0]), [0, -1, 0], atol=1e-15)
    q = ta.align_quat([0, 0, S, S])
    np.testing.assert_allclose(np.abs(q), [0, 0, 0, 1], atol=1e-15)
    q, p = ta.align_transform([0, 0, S, S], np.ones((4, 3)))
    assert p.shape == (4, 3)
    np.testing.assert_array_equal(q, ta.align_quat([0, 0, S, S]))
    np.testing.assert_array_equal(p, ta.align_pos(np.ones((4, 3))))


@pytest.mark.parametrize("yaw_only", [False, True])
@pytest.mark.parametrize("xy_only", [False, True])
@pytest.mark.parametrize("n", [None, 1, 3])
def test_bit_exact_against_reference(yaw_only, xy_only, n):
    shape = () if n is None else (n,)
    rng = np.random.default_rng(3)
    quat, pos = rng.normal(size=shape + (4,)), rng.normal(size=shape + (3,))
    q_in, p_in = rng.normal(size=shape + (4,)), rng.normal(size=shape + (3,))
    ours = TransformAlignment(quat, pos.copy(), yaw_only, xy_only)
    theirs = ref.TransformAlignment(quat, pos.copy(), yaw_only, xy_only)
    np.testing.assert_array_equal(ours.R_base.as_quat(), theirs.R_base.as_quat())
    np.testing.assert_array_equal(ours.p_base, theirs.p_base)
    for a, b in zip(ours.align_transform(q_in, p_in), theirs.align_transform(q_in, p_in)):
        np.testing.assert_array_equal(a, b)


def test_yaw_only_keeps_each_heading():
    rotations = Rotation.from_euler("xyz", [[0.3, -0.2, 1.1], [-0.5, 0.4, -2.0], [0.1, 0.1, 0.2]])
    for quat in (rotations.as_quat(), rotations.as_quat()[:1], rotations.as_quat()[0]):
        ta = TransformAlignment(quat=quat, yaw_only=True)
        expected = rotations.as_euler("xyz")[: len(quat)] if quat.ndim == 2 else \
            rotations.as_euler("xyz")[0]
        expected[..., :2] = 0.0
        np.testing.assert_allclose(ta.R_base.as_euler("xyz"), expected, atol=1e-12)
    # the base's own orientation keeps roll and pitch and loses its heading
    ta = TransformAlignment(quat=rotations[0].as_quat(), yaw_only=True)
    np.testing.assert_allclose(Rotation.from_quat(ta.align_quat(rotations[0].as_quat()))
                               .as_euler("xyz"), [0.3, -0.2, 0], atol=1e-12)


def test_positions_and_caller_arrays():
    caller = np.array([1.0, 2.0, 3.0])
    ta = TransformAlignment(pos=caller, xy_only=True)
    np.testing.assert_array_equal(caller, [1, 2, 3])
    assert ta.p_base is not caller
    np.testing.assert_array_equal(ta.p_base, [1, 2, 0])
    np.testing.assert_array_equal(ta.align_pos([1, 2, 3]), [0, 0, 3])
    assert TransformAlignment(pos=caller).p_base is caller
    assert TransformAlignment(pos=[1, 2, 3]).p_base.dtype == np.float64
    np.testing.assert_array_equal(TransformAlignment(pos=[[1, 2, 3]], xy_only=True).p_base,
                                  [[1, 2, 0]])
    stack = np.arange(12.0).reshape(4, 3)
    np.testing.assert_array_equal(TransformAlignment(pos=stack, xy_only=True).p_base[:, 2], 0)
    np.testing.assert_array_equal(stack[:, 2], [2, 5, 8, 11])
    ta = TransformAlignment(quat=None, yaw_only=True)
    assert ta.R_base.approx_equal(Rotation.identity())


def test_failing_set_base_keeps_documented_state(monkeypatch):
    ta = TransformAlignment([0, 0, S, S], [1, 2, 3], xy_only=True)
    R_old, p_old = ta.R_base, ta.p_base
    with pytest.raises(ValueError):
        ta.set_base([0, 0, 0, 0], [4, 5, 6])  # orientation step
    assert ta.R_base is R_old and ta.p_base is p_old
    with pytest.raises(IndexError):
        ta.set_base([0, 0, 0, 1], [4, 5])  # position step: no z to zero
    assert ta.R_base.approx_equal(Rotation.identity()) and ta.p_base is p_old
    with pytest.raises(IndexError):
        TransformAlignment(pos=[1, 2], xy_only=True)
    monkeypatch.delattr(mt, "logger")
    with pytest.raises(NameError, match="^name 'logger' is not defined$"):
        ta.set_base([0, 0, S, S], [7, 8, 9])
    np.testing.assert_array_equal(ta.p_base, [7, 8, 0])


def test_attributes_and_overrides_reached_through_instance():
    class Sub(TransformAlignment):
        def set_base(self, *args, **kwargs):
            self.base_args = (args, kwargs)
            super().set_base(*args, **kwargs)

        def align_xyz(self, xyz):
            return ("rotated", xyz)

        def align_quat(self, quat):
            return "oriented"

    ta = Sub([0, 0, 0, 1], [1, 1, 1])
    assert ta.base_args == (([0, 0, 0, 1], [1, 1, 1]), {})
    tag, diff = ta.align_pos([2, 3, 4])
    assert tag == "rotated"
    np.testing.assert_array_equal(diff, [1, 2, 3])
    assert ta.align_transform([0, 0, 0, 1], [1, 1, 1])[0] == "oriented"

    plain = TransformAlignment()
    plain.p_base = np.array([1.0, 1.0, 1.0])
    plain.R_base = Rotation.from_quat([0, 0, S, S])
    np.testing.assert_allclose(plain.align_pos([2, 1, 1]), [0, -1, 0], atol=1e-15)
    plain.yaw_only = 1
    plain.set_base([S, 0, 0, S])
    assert plain.R_base.approx_equal(Rotation.identity())
