// Native stand-ins for TransformAlignment's SciPy round trips against a base
// of one pose, the methods the control loop calls every tick, with SciPy's
// bits.  The base is read from R_base at every call: a Rotation can change
// in place, or be built on a caller's buffer.  Stacks, non-finite or zero
// quaternions, other dtypes, a rebound R and Rotation subclasses go through
// SciPy, which raises and warns as it does.

#include "math_transfrom/fast_common.hpp"
#include "math_transfrom/fast_paths.hpp"
#include "math_transfrom/scipy_rotation.hpp"

#include <cmath>

namespace math_transfrom::fast {

using ts::Call;
using ts::FloatOperand;
using ts::Ref;
namespace k = trackscope::kernels;

namespace {

// [x, y, z, w] of one rotation, and whether it is a single rotation rather
// than a stack of one.
struct OneRotation {
    double q[4];
    bool single;
};

// Four finite float64 components of a (4,) or (1, 4) array.
bool quat_values(PyObject* quat, int ndim, double* out) {
    FloatOperand q;
    if (!PyArray_CheckExact(quat) || !ts::float_operand(quat, q, 4) || q.type != NPY_FLOAT64 ||
        q.ndim != ndim || q.components() != 4 || (ndim == 2 && q.shape[0] != 1))
        return false;
    const double* p = reinterpret_cast<const double*>(q.data);
    for (int i = 0; i < 4; ++i) {
        out[i] = p[i * q.comp_stride()];
        if (!std::isfinite(out[i])) return false;
    }
    return true;
}

// The base rotation of one pose, when `r` is exactly a SciPy Rotation that is
// single or a stack of one.  Where SciPy keeps its quaternions in the
// instance (`_quat`, (N, 4), and `_single`), they are read directly; otherwise
// through single and as_quat().
bool base_rotation(PyObject* r, OneRotation& out) {
    const Bound& g = bound();
    if (!g.R || Py_TYPE(r) != reinterpret_cast<PyTypeObject*>(g.R.get())) return false;
    if (g.rotation_fields) {
        PyObject* quat = nullptr;
        PyObject* single = nullptr;
        const int found = ts::lookup_attr(r, TS_ID("_quat"), &quat);
        Ref quat_ref = Ref::steal_nullable(quat);
        if (found < 0) ts::raise();
        const int has_single = found ? ts::lookup_attr(r, TS_ID("_single"), &single) : 0;
        Ref single_ref = Ref::steal_nullable(single);
        if (has_single < 0) ts::raise();
        if (!found || !has_single || !PyBool_Check(single)) return false;
        out.single = single == Py_True;
        return quat_values(quat, 2, out.q);
    }
    Ref single = ts::attr(r, TS_ID("single"));
    Ref quat = ts::call_method(r, TS_ID("as_quat"), {});
    if (!PyBool_Check(single.get())) return false;
    out.single = single.get() == Py_True;
    return quat_values(quat.get(), out.single ? 1 : 2, out.q);
}

// One row of `count` components from a float64 operand of shape (k,) or
// (1, k); `single` tells which.
bool one_row(PyObject* o, npy_intp k, double* out, bool& single) {
    FloatOperand v;
    if (!ts::float_operand(o, v, k) || v.type != NPY_FLOAT64 || v.components() != k) return false;
    if (v.ndim == 2 && v.shape[0] != 1) return false;
    if (v.ndim > 2) return false;
    single = v.ndim == 1;
    const double* p = reinterpret_cast<const double*>(v.data);
    for (npy_intp i = 0; i < k; ++i) {
        out[i] = p[i * v.comp_stride()];
        if (!std::isfinite(out[i])) return false;
    }
    return true;
}

// The base's inverse as R_base.inv() stores it.
QuatRows inverse_base(const OneRotation& b) {
    QuatRows inverse;
    inverse.single = b.single;
    inverse.q.assign(b.q, b.q + 4);
    invert_rows(inverse);
    return inverse;
}

}  // namespace

// R.from_quat(quat): finite rows of non-zero norm, (4,) or (N, 4), copied
// before R_base is read (from_quat copies them too).
bool take_align_quat(Call& c, AlignInput& in) {
    in.array = nullptr;
    QuatRows rows;
    if (!r_intact(c) || !raw_quat_rows(c.arg(1), rows)) return false;
    in.v = std::move(rows.q);
    in.single = rows.single;
    return true;
}

// self.R_base.inv() * R_cur, as_quat().
Ref align_quat(const AlignInput& in, PyObject* base) {
    OneRotation b;
    if (!base_rotation(base, b)) return {};
    QuatRows cur;
    cur.q = in.v;
    cur.single = in.single;
    normalise_rows(cur);
    QuatRows rel = inverse_base(b);
    const double inverse[4] = {rel.q[0], rel.q[1], rel.q[2], rel.q[3]};
    rel.single = b.single && cur.single;
    rel.q.resize(cur.q.size());
    for (npy_intp i = 0; i < cur.rows(); ++i) {
        k::compose_xyzw(inverse, cur.row(i), rel.row(i));
        k::normalise_xyzw(rel.row(i));
    }
    return quat_array(rel);
}

// np.asarray(xyz): a sequence is copied before R_base is read; an array is
// the caller's own, whose values are read after it, as SciPy reads them.
bool take_align_xyz(Call& c, AlignInput& in) {
    PyObject* xyz = c.arg(1);
    in.array = nullptr;
    if (!r_intact(c) || !np_intact(c)) return false;
    if (PyArray_CheckExact(xyz)) {
        in.array = xyz;
        return true;
    }
    in.v.resize(3);
    return one_row(xyz, 3, in.v.data(), in.single);
}

// self.R_base.inv().apply(xyz): the inverse here, the product through NumPy
// as SciPy makes it (np.matmul or np.einsum, reporting floating-point
// conditions itself); left to SciPy where its apply() is not known here.
Ref align_xyz(AlignInput& in, PyObject* base) {
    OneRotation b;
    if (!bound().scipy.known) return {};
    Ref vectors = in.array ? Ref::borrow(in.array) : taken_array(in, 3);
    if (!base_rotation(base, b)) return {};
    return apply_matrices(matrices(inverse_base(b)), b.single, vectors.get());
}

Ref position_difference(PyObject* pos, PyObject* p_base) {
    if (!PyArray_CheckExact(pos) || !PyArray_CheckExact(p_base)) return {};
    PyArrayObject* a = reinterpret_cast<PyArrayObject*>(pos);
    PyArrayObject* b = reinterpret_cast<PyArrayObject*>(p_base);
    const int a_nd = PyArray_NDIM(a), b_nd = PyArray_NDIM(b);
    if (PyArray_TYPE(a) != NPY_FLOAT64 || a_nd < 1 || a_nd > 2 || PyArray_DIM(a, a_nd - 1) != 3 ||
        !PyArray_IS_C_CONTIGUOUS(a) || !PyArray_ISALIGNED(a) || !PyArray_ISNOTSWAPPED(a))
        return {};
    FloatOperand base;
    if (!ts::float_operand(p_base, base, 3) || base.type != NPY_FLOAT64 || base.components() != 3 ||
        b_nd > 2 || (b_nd == 2 && PyArray_DIM(b, 0) != 1))
        return {};
    const npy_intp rows = a_nd == 2 ? PyArray_DIM(a, 0) : 1;
    if (rows < 1) return {};
    npy_intp dims[2] = {rows, 3};
    const bool two_d = a_nd == 2 || b_nd == 2;
    Ref out = Ref::steal(two_d ? PyArray_SimpleNew(2, dims, NPY_FLOAT64)
                               : PyArray_SimpleNew(1, dims + 1, NPY_FLOAT64));
    const double* p = reinterpret_cast<const double*>(PyArray_DATA(a));
    const double* q = reinterpret_cast<const double*>(base.data);
    double* o = reinterpret_cast<double*>(PyArray_DATA(reinterpret_cast<PyArrayObject*>(out.get())));
    double b0 = q[0], b1 = q[base.comp_stride()], b2 = q[2 * base.comp_stride()];
    k::FpFlags flags(b0, b1, b2);
    for (npy_intp i = 0; i < rows; ++i) {
        o[3 * i] = p[3 * i] - b0;
        o[3 * i + 1] = p[3 * i + 1] - b1;
        o[3 * i + 2] = p[3 * i + 2] - b2;
    }
    if (!flags.clean(o)) return {};
    return out;
}

Ref taken_array(const AlignInput& in, int k) {
    if (in.array) return Ref::borrow(in.array);
    const npy_intp n = static_cast<npy_intp>(in.v.size()) / k;
    npy_intp dims[2] = {n, k};
    Ref out = Ref::steal(in.single ? PyArray_SimpleNew(1, dims + 1, NPY_FLOAT64)
                                   : PyArray_SimpleNew(2, dims, NPY_FLOAT64));
    double* p = reinterpret_cast<double*>(PyArray_DATA(reinterpret_cast<PyArrayObject*>(out.get())));
    for (std::size_t i = 0; i < in.v.size(); ++i) p[i] = in.v[i];
    return out;
}

// The raw components of a base quaternion that R.from_quat takes as one
// rotation or a stack of one: a float64 array (4,) or (1, 4), or a list or
// tuple of four floats; finite, of non-zero norm.
bool base_quat_values(PyObject* quat, double* q, bool& single) {
    if (!one_row(quat, 4, q, single)) return false;
    return usable_quat(q);
}

Ref heading_base(const double* raw, bool single) {
    double q[4] = {raw[0], raw[1], raw[2], raw[3]};
    k::normalise_xyzw(q);
    double angles[3];
    if (!k::euler_xyz_from_xyzw(q, angles)) return {};
    // as_euler, the x and y angles zeroed, from_euler('xyz'): z * (y * x)
    // with x and y the identity, exactly as SciPy composes it.
    angles[0] = angles[1] = 0.0;
    double heading[4];
    k::from_euler_xyz_xyzw(angles, heading);
    Ref array = row_array(heading, 4, single);
    return ts::call(bound().R.get(), {array.get(), Py_False, Py_False});
}

bool log_dropped(Call& c) {
    const Bound& g = bound();
    PyObject* logger = c.global_borrowed(TS_ID("logger"));
    if (!logger || logger != g.logger.get() || !g.logger_class ||
        Py_TYPE(logger) != reinterpret_cast<PyTypeObject*>(g.logger_class.get()))
        return false;
    // Logger.info and Logger.isEnabledFor themselves, not overridden on the
    // instance: info then drops the record when isEnabledFor(INFO) is false.
    for (auto [name, original] : {std::pair{TS_ID("info"), g.logger_info.get()},
                                  std::pair{TS_ID("isEnabledFor"), g.logger_is_enabled.get()}}) {
        Ref method = ts::attr(logger, name);
        if (!PyMethod_Check(method.get()) || PyMethod_GET_FUNCTION(method.get()) != original ||
            PyMethod_GET_SELF(method.get()) != logger)
            return false;
    }
    Ref enabled = ts::call_method(logger, TS_ID("isEnabledFor"), {g.info_level.get()});
    return !ts::truth(enabled.get());
}

bool rotation_fields_readable(PyObject* R) {
    const double want[4] = {0.0, 0.0, 0.6, 0.8};
    for (const bool single : {true, false}) {
        Ref q = ts::list({Py_None, Py_None, Py_None, Py_None});
        for (int i = 0; i < 4; ++i) PyList_SetItem(q.get(), i, PyFloat_FromDouble(want[i]));
        Ref arg = single ? q : ts::list({q.get()});
        Ref r = Ref::steal_nullable(PyObject_CallMethod(R, "from_quat", "O", arg.get()));
        PyObject *quat = nullptr, *flag = nullptr;
        const bool found = r && ts::lookup_attr(r.get(), TS_ID("_quat"), &quat) > 0 &&
                           ts::lookup_attr(r.get(), TS_ID("_single"), &flag) > 0;
        Ref quat_ref = Ref::steal_nullable(quat), flag_ref = Ref::steal_nullable(flag);
        double got[4];
        if (!found || flag != (single ? Py_True : Py_False) || !quat_values(quat, 2, got)) {
            PyErr_Clear();
            return false;
        }
        for (int i = 0; i < 4; ++i)
            if (got[i] != want[i]) return false;
    }
    return true;
}

}  // namespace math_transfrom::fast
