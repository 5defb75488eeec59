import inspect
import os
import sys

import numpy as np
import pytest
import torch
from scipy.spatial.transform import Rotation

import trackscope  # noqa: F401  registers math_transfrom
import math_transfrom as mt

sys.path.insert(0, os.path.dirname(__file__))
import reference as ref  # noqa: E402

NAMES = ["euler_from_quaternion", "quatToEuler", "imu_quat_to_euler", "matrix_from_quat",
         "matrix_from_quat_r"]
S = np.sin(np.pi / 4)


@pytest.mark.parametrize("name", NAMES)
def test_metadata_matches_reference(name):
    ours, theirs = getattr(mt, name), getattr(ref, name)
    assert ours.__doc__ == theirs.__doc__
    assert str(inspect.signature(ours)) == str(inspect.signature(theirs))
    assert ours.__annotations__ == theirs.__annotations__
    assert (ours.__module__, ours.__qualname__) == ("math_transfrom", name)


@pytest.fixture
def quats():
    q = np.random.default_rng(7).normal(size=(6, 4))  # deliberately not unit
    q[0] = [1, 0, 1, 0]  # past the pitch limit
    return q


@pytest.mark.filterwarnings("ignore:Gimbal lock")
def test_angles_bit_exact_against_reference(quats):
    t = torch.tensor(quats)
    for ours, theirs in zip(mt.euler_from_quaternion(t), ref.euler_from_quaternion(t)):
        assert torch.equal(ours, theirs)
    for q in quats:
        np.testing.assert_array_equal(mt.quatToEuler(q), ref.quatToEuler(q))
        np.testing.assert_array_equal(mt.imu_quat_to_euler(q), ref.imu_quat_to_euler(q))


@pytest.mark.parametrize("shape", [(4,), (5, 4), (2, 3, 4)])
def test_matrices_bit_exact_against_reference(shape):
    q = np.random.default_rng(1).normal(size=shape)
    out = mt.matrix_from_quat(q)
    assert out.shape == shape[:-1] + (3, 3)
    np.testing.assert_array_equal(out, ref.matrix_from_quat(q))
    np.testing.assert_array_equal(mt.matrix_from_quat_r(q), Rotation.from_quat(q).as_matrix())
    # same rotation through both layouts
    np.testing.assert_allclose(out, mt.matrix_from_quat_r(q[..., [1, 2, 3, 0]]), atol=1e-12)


@pytest.mark.parametrize("wxyz, rpy", [
    ([1, 0, 0, 0], [0, 0, 0]),
    ([S, 0, 0, S], [0, 0, np.pi / 2]),
    ([S, S, 0, 0], [np.pi / 2, 0, 0]),
])
def test_three_angle_functions_agree(wxyz, rpy):
    np.testing.assert_allclose(mt.quatToEuler(wxyz), rpy, atol=1e-12)
    np.testing.assert_allclose(mt.imu_quat_to_euler(wxyz), rpy, atol=1e-12)
    xyzw = torch.tensor([wxyz[1:] + wxyz[:1]], dtype=torch.float64)
    got = torch.stack(mt.euler_from_quaternion(xyzw)).squeeze(1).numpy()
    np.testing.assert_allclose(got, rpy, atol=1e-12)


@pytest.mark.parametrize("sign", [1, -1])
def test_pitch_saturates_without_nan(sign):
    assert mt.quatToEuler([1, 0, sign, 0])[1] == sign * np.pi / 2
    _, pitch, _ = mt.euler_from_quaternion(torch.tensor([[0.0, float(sign), 0.0, 1.0]], dtype=torch.float64))
    assert pitch.item() == sign * np.pi / 2


def test_matrix_cases():
    np.testing.assert_array_equal(mt.matrix_from_quat(np.array([1.0, 0, 0, 0])), np.eye(3))
    np.testing.assert_array_equal(mt.matrix_from_quat(np.array([0.0, 0, 0, 1])),
                                  np.diag([-1.0, -1.0, 1.0]))
    q = np.array([0.3, -0.2, 0.5, 0.1])
    np.testing.assert_allclose(mt.matrix_from_quat(2 * q), mt.matrix_from_quat(q), atol=1e-15)
    with np.errstate(divide="ignore", invalid="ignore"):
        assert np.isnan(mt.matrix_from_quat(np.zeros(4))).all()


@pytest.mark.parametrize("call, exc, match", [
    (lambda: mt.imu_quat_to_euler([1, 0, 0]), ValueError, "四元数必须为长度4的数组 \\[w, x, y, z\\]"),
    (lambda: mt.imu_quat_to_euler([1, 0, 0, 0, 0]), ValueError, "四元数必须为长度4的数组"),
    (lambda: mt.imu_quat_to_euler(np.eye(4)), ValueError,
     "^too many values to unpack \\(expected 3\\)$"),
    (lambda: mt.imu_quat_to_euler(1.0), IndexError, None),
    (lambda: mt.euler_from_quaternion(torch.tensor([0.0, 0, 0, 1])), IndexError, None),
    # a list has no `shape`; np.split fails on it before the product is reached
    (lambda: mt.matrix_from_quat([1, 0, 0, 0]), AttributeError, "shape"),
    (lambda: mt.quatToEuler(np.ones((4, 2))), ValueError, None),
    (lambda: mt.matrix_from_quat_r([0, 0, 0, 0]), ValueError, "zero norm"),
])
def test_errors(call, exc, match):
    with pytest.raises(exc, match=match):
        call()


@pytest.mark.parametrize("name, fn, arg", [
    ("torch", "euler_from_quaternion", torch.tensor([[0.0, 0, 0, 1]])),
    ("np", "quatToEuler", [1, 0, 0, 0]),
    ("R", "imu_quat_to_euler", [1, 0, 0, 0]),
    ("np", "matrix_from_quat", np.array([1.0, 0, 0, 0])),
])
def test_module_names_looked_up_per_call(monkeypatch, name, fn, arg):
    monkeypatch.delattr(mt, name)
    with pytest.raises(NameError, match=f"^name '{name}' is not defined$"):
        getattr(mt, fn)(arg)
