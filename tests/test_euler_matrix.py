import inspect, os, sys

import numpy as np
import pytest
import torch
from scipy.spatial.transform import Rotation

import trackscope  # noqa: F401  registers math_transfrom
import math_transfrom as mt

sys.path.insert(0, os.path.dirname(__file__))
import reference as ref  # noqa: E402

S = np.sin(np.pi / 4)


@pytest.mark.filterwarnings("ignore:Gimbal lock")
@pytest.mark.parametrize("shape", [(6, 4), (2, 3, 4)])
def test_bit_exact_against_reference(shape):
    for name in ["euler_from_quaternion", "quatToEuler", "imu_quat_to_euler", "matrix_from_quat",
                 "matrix_from_quat_r"]:
        ours, theirs = getattr(mt, name), getattr(ref, name)
        assert (ref.doc_text(ours.__doc__), inspect.signature(ours), ours.__annotations__) == \
            (ref.doc_text(theirs.__doc__), inspect.signature(theirs), theirs.__annotations__)
    q = np.random.default_rng(7).normal(size=shape)  # not unit
    q.reshape(-1, 4)[0] = [1, 0, 1, 0]  # past the pitch limit
    np.testing.assert_array_equal(mt.matrix_from_quat(q), ref.matrix_from_quat(q))
    try:
        expected = Rotation.from_quat(q).as_matrix()
    except ValueError as exc:  # stacks of more than one axis need a newer SciPy
        with pytest.raises(ValueError, match=str(exc).replace("(", r"\(").replace(")", r"\)")):
            mt.matrix_from_quat_r(q)
    else:
        np.testing.assert_array_equal(mt.matrix_from_quat_r(q), expected)
        np.testing.assert_allclose(mt.matrix_from_quat(q), mt.matrix_from_quat_r(q[..., [1, 2, 3, 0]]),
                                   atol=1e-12)
    t = torch.tensor(q.reshape(-1, 4))
    for ours, theirs in zip(mt.euler_from_quaternion(t), ref.euler_from_quaternion(t)):
        assert torch.equal(ours, theirs)
    for row in q.reshape(-1, 4):
        np.testing.assert_array_equal(mt.quatToEuler(row), ref.quatToEuler(row))
        # one quaternion runs natively: SciPy's angles to rounding
        ours_rpy, theirs_rpy = mt.imu_quat_to_euler(row), ref.imu_quat_to_euler(row)
        assert type(ours_rpy) is tuple and all(type(a) is np.float64 for a in ours_rpy)
        np.testing.assert_allclose(ours_rpy, theirs_rpy, rtol=1e-14, atol=1e-15)


@pytest.mark.parametrize("wxyz, rpy", [([1, 0, 0, 0], [0, 0, 0]), ([S, 0, 0, S], [0, 0, np.pi / 2]),
                                       ([S, S, 0, 0], [np.pi / 2, 0, 0])])
def test_three_angle_functions_agree(wxyz, rpy):
    np.testing.assert_allclose(mt.quatToEuler(wxyz), rpy, atol=1e-12)
    np.testing.assert_allclose(mt.imu_quat_to_euler(wxyz), rpy, atol=1e-12)
    got = mt.euler_from_quaternion(torch.tensor([wxyz[1:] + wxyz[:1]], dtype=torch.float64))
    np.testing.assert_allclose(torch.cat(got).numpy(), rpy, atol=1e-12)


@pytest.mark.parametrize("sign", [1, -1])
def test_pitch_saturates_without_nan(sign):
    assert mt.quatToEuler([1, 0, sign, 0])[1] == sign * np.pi / 2
    row = torch.tensor([[0.0, sign, 0.0, 1.0]], dtype=torch.float64)
    assert mt.euler_from_quaternion(row)[1].item() == sign * np.pi / 2
    np.testing.assert_array_equal(mt.matrix_from_quat(np.array([0.0, 0, 0, 1])), np.diag([-1.0, -1, 1]))
    with np.errstate(divide="ignore", invalid="ignore"):
        assert np.isnan(mt.matrix_from_quat(np.zeros(4))).all()


@pytest.mark.parametrize("call, exc, match", [
    (lambda: mt.imu_quat_to_euler([1, 0, 0]), ValueError,
     r"^四元数必须为长度4的数组 \[w, x, y, z\]$"),
    (lambda: mt.imu_quat_to_euler(np.eye(4)), ValueError, r"^too many values to unpack \(expected 3\)$"),
    (lambda: mt.euler_from_quaternion(torch.tensor([0.0, 0, 0, 1])), IndexError, None),
    (lambda: mt.matrix_from_quat([1, 0, 0, 0]), AttributeError, "shape"),  # np.split needs an array
    (lambda: mt.quatToEuler(np.ones((4, 2))), ValueError, None),
])
def test_errors(call, exc, match):
    with pytest.raises(exc, match=match):
        call()


def test_module_names_looked_up_per_call(monkeypatch):
    monkeypatch.delattr(mt, "torch")
    with pytest.raises(NameError, match="^name 'torch' is not defined$"):
        mt.euler_from_quaternion(torch.tensor([[0.0, 0, 0, 1]]))


def tensors():
    rng = np.random.default_rng(5)
    yield "empty", torch.zeros((0, 4), dtype=torch.float64)
    yield "one", torch.tensor(rng.normal(size=(1, 4)))
    yield "stack", torch.tensor(rng.normal(size=(500, 4)) * 10.0 ** rng.uniform(-5, 5, size=(500, 1)))
    yield "float32", torch.tensor(rng.normal(size=(64, 4)), dtype=torch.float32)
    yield "columns of a wider view", torch.tensor(rng.normal(size=(9, 6)))[:, 1:5]
    yield "strided rows", torch.tensor(rng.normal(size=(20, 4)))[::3]
    yield "column-major", torch.tensor(rng.normal(size=(5, 4))).T.contiguous().T
    yield "special", torch.tensor([[np.nan, 1, 2, 3], [0, 0, 0, 0], [1, 1, 1, 1], [-0.0, 0, 1, 0], [np.inf, 0, 0, 1]])
    yield "autograd", torch.tensor(rng.normal(size=(5, 4)), requires_grad=True)
    yield "half", torch.tensor(rng.normal(size=(5, 4)), dtype=torch.float16)


@pytest.mark.parametrize("label, q", list(tensors()), ids=[label for label, _ in tensors()])
def test_euler_from_quaternion_gives_torchs_bits(label, q):
    for got, want in zip(mt.euler_from_quaternion(q), ref.euler_from_quaternion(q), strict=True):
        assert (got.dtype, got.shape, got.requires_grad, got.is_contiguous()) == \
            (want.dtype, want.shape, want.requires_grad, want.is_contiguous())
        assert got.detach().numpy().tobytes() == want.detach().numpy().tobytes()
