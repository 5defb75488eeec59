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

POSE_FNS = ["reset_pose", "reset_pose_yaw_only", "reset_pose_yaw_only_keep_rp"]
NAMES = POSE_FNS + ["reset_quat_yaw_only_keep_rp", "pelvis_to_torso_quat", "pelvis_to_torso_pose"]
S = np.sin(np.pi / 4)


def wxyz(rotation):
    return rotation.as_quat()[[3, 0, 1, 2]]


def same_rotation(q_wxyz, rotation):
    q = np.asarray(q_wxyz, dtype=float)[[1, 2, 3, 0]]
    assert Rotation.from_quat(q).approx_equal(rotation, atol=1e-12)


@pytest.mark.parametrize("name", NAMES)
def test_metadata_matches_reference(name):
    ours, theirs = getattr(mt, name), getattr(ref, name)
    assert ours.__doc__ == theirs.__doc__
    assert str(inspect.signature(ours)) == str(inspect.signature(theirs))
    assert ours.__annotations__ == {}


@pytest.mark.parametrize("seed", range(3))
def test_bit_exact_against_reference(seed):
    rng = np.random.default_rng(seed)
    p_odom, p_offset, offset = rng.normal(size=(3, 3))
    q_odom, q_offset = (wxyz(r) for r in Rotation.random(2, random_state=seed))
    angle = rng.uniform(-1, 1)
    for name in POSE_FNS:
        ours = getattr(mt, name)(p_odom, q_odom, p_offset, q_offset)
        theirs = getattr(ref, name)(p_odom, q_odom, p_offset, q_offset)
        np.testing.assert_array_equal(ours[0], theirs[0])
        np.testing.assert_array_equal(ours[1], theirs[1])
    np.testing.assert_array_equal(mt.reset_quat_yaw_only_keep_rp(q_odom, q_offset),
                                  ref.reset_quat_yaw_only_keep_rp(q_odom, q_offset))
    np.testing.assert_array_equal(mt.pelvis_to_torso_quat(q_odom, angle),
                                  ref.pelvis_to_torso_quat(q_odom, angle))
    pos, q = mt.pelvis_to_torso_pose(p_odom, q_odom, angle, offset)
    pos_ref, q_ref = ref.pelvis_to_torso_pose(p_odom, q_odom, angle, offset)
    np.testing.assert_array_equal(pos, pos_ref)
    assert type(q) is list and q == q_ref and all(type(v) is np.float64 for v in q)


def test_reset_pose_against_itself_and_zero():
    p, q = np.array([0.4, -1.0, 0.8]), wxyz(Rotation.from_euler("xyz", [0.2, -0.1, 1.3]))
    p_new, q_new = mt.reset_pose(p, q, p, q)
    np.testing.assert_allclose(p_new, 0, atol=1e-15)
    same_rotation(q_new, Rotation.identity())
    p_new, q_new = mt.reset_pose(p, q, np.zeros(3), [1, 0, 0, 0])
    np.testing.assert_allclose(p_new, p, atol=1e-15)
    same_rotation(q_new, Rotation.from_quat(q[[1, 2, 3, 0]]))
    p_new, _ = mt.reset_pose(np.array([1.0, 0, 0]), q, np.zeros(3), [S, 0, 0, S])
    np.testing.assert_allclose(p_new, [0, -1, 0], atol=1e-15)


def test_yaw_only_variants():
    q_odom = wxyz(Rotation.from_euler("xyz", [0, 0.3, 1.0]))
    q_offset = wxyz(Rotation.from_euler("xyz", [0, 0, 0.4]))
    p_odom, p_offset = np.array([1.0, 2, 3]), np.array([1.0, 2, 1])
    p_new, q_new = mt.reset_pose_yaw_only(p_odom, q_odom, p_offset, q_offset)
    same_rotation(q_new, Rotation.from_euler("z", 0.6))
    assert p_new[2] == 2
    p_new, q_new = mt.reset_pose_yaw_only_keep_rp(p_odom, q_odom, p_offset, q_offset)
    same_rotation(q_new, Rotation.from_euler("xyz", [0, 0.3, 0.6]))
    assert p_new[2] == 3
    np.testing.assert_array_equal(p_odom, [1, 2, 3])  # only the result is overwritten
    q = wxyz(Rotation.from_euler("xyz", [0.2, -0.3, 2.0]))
    same_rotation(mt.reset_quat_yaw_only_keep_rp(q, q), Rotation.from_euler("xyz", [0.2, -0.3, 0]))


def test_torso():
    q = mt.pelvis_to_torso_quat([1, 0, 0, 0], 0.0)
    assert isinstance(q, np.ndarray)
    same_rotation(q, Rotation.identity())
    same_rotation(mt.pelvis_to_torso_quat([1, 0, 0, 0], np.pi / 2), Rotation.from_euler("y", 90, True))
    pos, q = mt.pelvis_to_torso_pose([0, 0, 1], [1, 0, 0, 0], 0.0, [0, 0, 0.2])
    np.testing.assert_allclose(pos, [0, 0, 1.2])
    same_rotation(q, Rotation.identity())
    pos, _ = mt.pelvis_to_torso_pose(np.array([1.0, 2, 0]), [S, 0, 0, S], 0.7, [0.1, 0, 0])
    np.testing.assert_allclose(pos, [1, 2.1, 0], atol=1e-15)


@pytest.mark.parametrize("call, exc, match", [
    (lambda: mt.reset_pose(np.zeros(3), [1, 0, 0], np.zeros(3), [1, 0, 0, 0]), ValueError,
     r"^not enough values to unpack \(expected 4, got 3\)$"),
    (lambda: mt.reset_pose_yaw_only(np.zeros(3), [1, 0, 0, 0, 0], np.zeros(3), [1, 0, 0, 0]),
     ValueError, r"^too many values to unpack \(expected 4\)$"),
    (lambda: mt.reset_quat_yaw_only_keep_rp([1, 0, 0, 0], 5), TypeError,
     "^cannot unpack non-iterable int object$"),
    (lambda: mt.reset_pose_yaw_only_keep_rp([0, 0, 0], [1, 0, 0, 0], [0, 0, 0], [1, 0, 0, 0]),
     TypeError, "unsupported operand"),
    (lambda: mt.pelvis_to_torso_quat([1, 0, 0], 0.0), IndexError, None),
    (lambda: mt.pelvis_to_torso_pose([0, 0, 0], [1, 0, 0], 0.0, [0, 0, 0]), IndexError, None),
])
def test_errors(call, exc, match):
    with pytest.raises(exc, match=match):
        call()


def test_converters_looked_up_per_call(monkeypatch):
    seen = []
    monkeypatch.setattr(mt, "xyzw_to_wxyz", lambda q: seen.append(q) or "converted")
    assert mt.reset_quat_yaw_only_keep_rp([1, 0, 0, 0], [1, 0, 0, 0]) == "converted"
    assert len(seen) == 1
