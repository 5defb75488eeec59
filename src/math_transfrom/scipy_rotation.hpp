// What the stand-ins for SciPy Rotation round trips need beyond SciPy's
// one-rotation formulas (kernels/rotation_xyzw.hpp): the quaternion operands
// as from_quat reads them, the steps that differ between SciPy releases, and
// R.apply's matrix-vector product made through NumPy's own matmul or einsum,
// as SciPy makes it (BLAS rounds it in ways no formula here reproduces).
#pragma once

#include "kernels/scipy_release.hpp"
#include "runtime/ndarray.hpp"

#include <vector>

namespace math_transfrom::fast {

// The steps of the installed SciPy that the stand-ins repeat.
using ScipySteps = trackscope::kernels::ScipySteps;

// From scipy.__version__ ("1.13.1", ...); unknown releases get known = false.
ScipySteps scipy_steps(PyObject* version);

// Quaternion rows [x, y, z, w] as R.from_quat takes them: a float64/float32
// array (4,) or (N, 4), N >= 1, or a list or tuple of four floats; each row
// finite and of non-zero norm.  `q` holds the rows normalised as from_quat
// normalises them.
struct QuatRows {
    bool single = true;
    std::vector<double> q;  // 4 per row
    npy_intp rows() const { return static_cast<npy_intp>(q.size() / 4); }
    double* row(npy_intp i) { return q.data() + 4 * i; }
};
bool quat_rows(PyObject* o, QuatRows& out);
// The same rows as read, not yet normalised; then normalised.
bool raw_quat_rows(PyObject* o, QuatRows& out);
void normalise_rows(QuatRows& r);

// R.inv() of normalised rows, as the installed SciPy computes it.
void invert_rows(QuatRows& r);

// A float64 array of the rows: (4,) when single, else (N, 4).
ts::Ref quat_array(const QuatRows& r);

// The rotation matrices of the rows as a float64 (N, 3, 3) array.
ts::Ref matrices(const QuatRows& r);

// rotation.apply(vectors) for `m` = rotation.as_matrix() stacked (N, 3, 3):
// the product NumPy itself computes for SciPy, in its shapes.  `vectors` is a
// float64 array (3,) or (P, 3); empty (no error) when the shapes are not
// ones SciPy multiplies this way.
ts::Ref apply_matrices(const ts::Ref& m, bool single_rotation, PyObject* vectors);

// rotation.inv().apply(vectors) for one rotation stored as `q` ([x, y, z, w]).
ts::Ref apply_inverse(const double* q, bool single_rotation, PyObject* vectors);

}  // namespace math_transfrom::fast
