import inspect, os, sys

import numpy as np
import pytest
from scipy.spatial.transform import Rotation

import trackscope  # noqa: F401  registers math_transfrom
import math_transfrom as mt

sys.path.insert(0, os.path.dirname(__file__))
import reference as ref  # noqa: E402

S = np.sin(np.pi / 4)


@pytest.mark.parametrize("name", ["subtract_frame_transforms", "subtract_frame_transforms_r"])
@pytest.mark.parametrize("with_t02, with_q02", [(1, 1), (1, 0), (0, 1), (0, 0)])
def test_bit_exact_against_reference(name, with_t02, with_q02):
    t01, q01, t02, q02 = (np.random.default_rng(5).normal(size=(5, n)) for n in (3, 4, 3, 4))
    kw = dict(t02=t02 if with_t02 else None, q02=q02 if with_q02 else None)
    ours, theirs = getattr(mt, name)(t01, q01, **kw), getattr(ref, name)(t01, q01, **kw)
    assert type(ours) is tuple
    for fn in (getattr(mt, name), mt.world_to_body_vel):
        theirs_fn = getattr(ref, fn.__name__)
        assert (ref.doc_text(fn.__doc__), inspect.signature(fn), fn.__annotations__) == \
            (ref.doc_text(theirs_fn.__doc__), inspect.signature(theirs_fn), theirs_fn.__annotations__)
    for a, b in zip(ours, theirs, strict=True):
        np.testing.assert_array_equal(a, b)
    # one pose runs natively: SciPy's values to rounding
    np.testing.assert_allclose(mt.world_to_body_vel(t01[0], q01[0]),
                               ref.world_to_body_vel(t01[0], q01[0]), rtol=1e-14, atol=1e-15)


def test_quarter_turn_and_identity_object(monkeypatch):
    q_wxyz, t01, t02 = np.array([S, 0, 0, S]), np.zeros(3), np.array([1.0, 0, 0])
    np.testing.assert_allclose(mt.subtract_frame_transforms(t01, q_wxyz, t02)[0], [0, -1, 0], atol=1e-15)
    t12, q12 = mt.subtract_frame_transforms_r(t01, [0, 0, S, S], t02)
    np.testing.assert_allclose(t12, [0, -1, 0], atol=1e-15)
    assert Rotation.from_quat(q12).approx_equal(Rotation.from_euler("z", -90, degrees=True))
    np.testing.assert_allclose(mt.world_to_body_vel(t02, q_wxyz), [0, -1, 0], atol=1e-15)

    returned = []
    monkeypatch.setattr(mt, "quat_inv", lambda q, f=mt.quat_inv: returned.append(f(q)) or returned[-1])
    assert mt.subtract_frame_transforms(t01, q_wxyz)[1] is returned[0]


@pytest.mark.parametrize("call, exc, match", [
    (lambda: mt.subtract_frame_transforms(np.zeros(3), [1, 0, 0, 0], None, [[1, 0, 0, 0]]),
     ValueError, r"^Expected input quaternion shape mismatch: \(4,\) != \(1, 4\)$"),
    (lambda: mt.subtract_frame_transforms_r([0, 0, 0], [0, 0, 0, 1], [1, 0, 0]), TypeError, "operand"),
    (lambda: mt.world_to_body_vel([1, 0, 0], [1, 0, 0]), IndexError, None),
])
def test_errors(call, exc, match):
    with pytest.raises(exc, match=match):
        call()
