import inspect, os, sys

import numpy as np
import pytest
from scipy.spatial.transform import Rotation

import trackscope  # noqa: F401  registers math_transfrom
import math_transfrom as mt

sys.path.insert(0, os.path.dirname(__file__))
import reference as ref  # noqa: E402

POSE_FNS = ["reset_pose", "reset_pose_yaw_only", "reset_pose_yaw_only_keep_rp"]
S = np.sin(np.pi / 4)


def wxyz(*xyz_angles):
    return Rotation.from_euler("xyz", xyz_angles).as_quat()[[3, 0, 1, 2]]


def assert_rotation(q_wxyz, *xyz_angles):
    got = Rotation.from_quat(np.asarray(q_wxyz, dtype=float)[[1, 2, 3, 0]])
    assert got.approx_equal(Rotation.from_euler("xyz", xyz_angles), atol=1e-12)


@pytest.mark.parametrize("seed", range(3))
def test_bit_exact_against_reference(seed):
    p_odom, p_offset, offset, (angle, *_), q_odom, q_offset = np.random.default_rng(seed).normal(size=(6, 3))
    q_odom, q_offset = wxyz(*q_odom), wxyz(*q_offset)
    for name in POSE_FNS + ["reset_quat_yaw_only_keep_rp", "pelvis_to_torso_quat", "pelvis_to_torso_pose"]:
        assert ref.doc_text(getattr(mt, name).__doc__) == ref.doc_text(getattr(ref, name).__doc__)
        assert inspect.signature(getattr(mt, name)) == inspect.signature(getattr(ref, name))
    for name in POSE_FNS:
        for a, b in zip(getattr(mt, name)(p_odom, q_odom, p_offset, q_offset),
                        getattr(ref, name)(p_odom, q_odom, p_offset, q_offset), strict=True):
            # one pose runs natively: SciPy's values to rounding
            np.testing.assert_allclose(a, b, rtol=1e-14, atol=1e-15)
    np.testing.assert_allclose(mt.reset_quat_yaw_only_keep_rp(q_odom, q_offset),
                               ref.reset_quat_yaw_only_keep_rp(q_odom, q_offset), rtol=1e-14, atol=1e-15)
    np.testing.assert_allclose(mt.pelvis_to_torso_quat(q_odom, angle),
                               ref.pelvis_to_torso_quat(q_odom, angle), rtol=1e-14, atol=1e-15)
    pos, q = mt.pelvis_to_torso_pose(p_odom, q_odom, angle, offset)
    pos_ref, q_ref = ref.pelvis_to_torso_pose(p_odom, q_odom, angle, offset)
    np.testing.assert_array_equal(pos, pos_ref)
    assert type(q) is list and q == q_ref and all(type(v) is np.float64 for v in q)


def test_re_zeroing_cases():
    p, q = np.array([0.4, -1.0, 0.8]), wxyz(0.2, -0.1, 1.3)
    p_new, q_new = mt.reset_pose(p, q, p, q)
    np.testing.assert_allclose(p_new, 0, atol=1e-15)
    assert_rotation(q_new, 0, 0, 0)
    p_new, _ = mt.reset_pose(np.array([1.0, 0, 0]), q, np.zeros(3), [S, 0, 0, S])
    np.testing.assert_allclose(p_new, [0, -1, 0], atol=1e-15)

    q_odom, q_offset = wxyz(0, 0.3, 1.0), wxyz(0, 0, 0.4)
    p_odom, p_offset = np.array([1.0, 2, 3]), np.array([1.0, 2, 1])
    p_new, q_new = mt.reset_pose_yaw_only(p_odom, q_odom, p_offset, q_offset)
    assert_rotation(q_new, 0, 0, 0.6)
    assert p_new[2] == 2
    p_new, q_new = mt.reset_pose_yaw_only_keep_rp(p_odom, q_odom, p_offset, q_offset)
    assert_rotation(q_new, 0, 0.3, 0.6)
    assert p_new[2] == 3 and p_odom[2] == 3
    assert_rotation(mt.reset_quat_yaw_only_keep_rp(wxyz(0.2, -0.3, 2.0), wxyz(0.2, -0.3, 2.0)), 0.2, -0.3, 0)


def test_torso():
    assert_rotation(mt.pelvis_to_torso_quat([1, 0, 0, 0], np.pi / 2), 0, np.pi / 2, 0)
    pos, q = mt.pelvis_to_torso_pose([0, 0, 1], [1, 0, 0, 0], 0.0, [0, 0, 0.2])
    np.testing.assert_allclose(pos, [0, 0, 1.2])
    assert_rotation(q, 0, 0, 0)
    pos, _ = mt.pelvis_to_torso_pose(np.array([1.0, 2, 0]), [S, 0, 0, S], 0.7, [0.1, 0, 0])
    np.testing.assert_allclose(pos, [1, 2.1, 0], atol=1e-15)


@pytest.mark.parametrize("call, exc, match", [
    (lambda: mt.reset_pose(np.zeros(3), [1, 0, 0], np.zeros(3), [1, 0, 0, 0]), ValueError,
     r"^not enough values to unpack \(expected 4, got 3\)$"),
    (lambda: mt.reset_quat_yaw_only_keep_rp([1, 0, 0, 0], 5), TypeError,
     "^cannot unpack non-iterable int object$"),
    (lambda: mt.reset_pose_yaw_only_keep_rp([0, 0, 0], [1, 0, 0, 0], [0, 0, 0], [1, 0, 0, 0]),
     TypeError, "operand"),
    (lambda: mt.pelvis_to_torso_pose([0, 0, 0], [1, 0, 0], 0.0, [0, 0, 0]), IndexError, None),
])
def test_errors(call, exc, match):
    with pytest.raises(exc, match=match):
        call()
