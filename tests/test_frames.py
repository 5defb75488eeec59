import inspect
import os
import sys

import numpy as np
import pytest
from scipy.spatial.transform import Rotation

import trackscope  # noqa: F401  registers math_transfrom
import math_transfrom as mt

sys.path.insert(0, os.path.dirname(__file__))
import reference as ref  # noqa: E402

NAMES = ["subtract_frame_transforms", "subtract_frame_transforms_r", "world_to_body_vel"]
S = np.sin(np.pi / 4)


@pytest.mark.parametrize("name", NAMES)
def test_metadata_matches_reference(name):
    ours, theirs = getattr(mt, name), getattr(ref, name)
    assert ours.__doc__ == theirs.__doc__
    assert str(inspect.signature(ours)) == str(inspect.signature(theirs))
    assert ours.__annotations__ == theirs.__annotations__


def poses(n):
    rng = np.random.default_rng(n)
    return rng.normal(size=(n, 3)), rng.normal(size=(n, 4)), rng.normal(size=(n, 3)), \
        rng.normal(size=(n, 4))


@pytest.mark.parametrize("name", ["subtract_frame_transforms", "subtract_frame_transforms_r"])
@pytest.mark.parametrize("with_t02, with_q02", [(1, 1), (1, 0), (0, 1), (0, 0)])
def test_subtract_bit_exact_against_reference(name, with_t02, with_q02):
    t01, q01, t02, q02 = poses(5)
    kw = dict(t02=t02 if with_t02 else None, q02=q02 if with_q02 else None)
    ours = getattr(mt, name)(t01, q01, **kw)
    theirs = getattr(ref, name)(t01, q01, **kw)
    assert type(ours) is tuple and len(ours) == 2
    for a, b in zip(ours, theirs):
        assert a.shape == b.shape
        np.testing.assert_array_equal(a, b)


def test_world_to_body_vel_bit_exact_against_reference():
    for v, q in zip(*poses(4)[2:]):
        np.testing.assert_array_equal(mt.world_to_body_vel(v, q), ref.world_to_body_vel(v, q))


def test_quarter_turn_in_all_three():
    q_wxyz, q_xyzw = np.array([S, 0, 0, S]), np.array([0, 0, S, S])
    t01, t02 = np.zeros(3), np.array([1.0, 0, 0])
    expected = [0, -1, 0]
    np.testing.assert_allclose(mt.subtract_frame_transforms(t01, q_wxyz, t02)[0], expected,
                               atol=1e-15)
    t12, q12 = mt.subtract_frame_transforms_r(t01, q_xyzw, t02)
    np.testing.assert_allclose(t12, expected, atol=1e-15)
    np.testing.assert_allclose(q12, Rotation.from_quat(q_xyzw).inv().as_quat())
    np.testing.assert_allclose(mt.world_to_body_vel(t02, q_wxyz), expected, atol=1e-15)
    np.testing.assert_array_equal(mt.world_to_body_vel(t02, [1, 0, 0, 0]), t02)


def test_translation_only_and_identity_object(monkeypatch):
    t12, q12 = mt.subtract_frame_transforms(np.array([1.0, 2, 3]), [1, 0, 0, 0],
                                            np.array([4.0, 6, 8]), np.array([1.0, 0, 0, 0]))
    np.testing.assert_array_equal(t12, [3, 4, 5])
    np.testing.assert_array_equal(q12, [1, 0, 0, 0])

    returned = []
    real_inv = mt.quat_inv
    monkeypatch.setattr(mt, "quat_inv", lambda q: returned.append(real_inv(q)) or returned[-1])
    _, q12 = mt.subtract_frame_transforms(np.zeros(3), [S, 0, 0, S])
    assert q12 is returned[0]


@pytest.mark.parametrize("call, exc, match", [
    (lambda: mt.subtract_frame_transforms(np.zeros(3), [1, 0, 0, 0], None, [[1, 0, 0, 0]]),
     ValueError, r"^Expected input quaternion shape mismatch: \(4,\) != \(1, 4\)$"),
    (lambda: mt.subtract_frame_transforms([0, 0, 0], [1, 0, 0, 0]), TypeError, "unary -"),
    (lambda: mt.subtract_frame_transforms_r([0, 0, 0], [0, 0, 0, 1], [1, 0, 0]), TypeError,
     "unsupported operand"),
    (lambda: mt.world_to_body_vel([1, 0, 0], [1, 0, 0]), IndexError, None),
])
def test_errors(call, exc, match):
    with pytest.raises(exc, match=match):
        call()
