// Native steps of TrackscopeDrawer.draw_arrow (see fast_arrow.hpp).

#include "trackscope/fast_arrow.hpp"

#include "kernels/fp_flags.hpp"
#include "kernels/rotation_xyzw.hpp"
#include "kernels/scipy_release.hpp"
#include "runtime/numpy_api.hpp"
#include "runtime/ops.hpp"
#include "runtime/ufunc_loop.hpp"

#include <numpy/arrayscalars.h>

#include <cmath>
#include <cstring>

namespace trackscope::fast {

using namespace ts;

namespace {

// Objects the module body bound, kept for the identity checks that decide
// whether the native steps may stand in for NumPy's and SciPy's, and the
// NumPy loops those steps call.
struct Bound {
    Ref np, sRot, np_array;
    ts::MatvecLoop matvec;  // np.matmul, float64
    ts::UfuncLoop sin;      // np.sin, float64
    ts::Float64Dot dot;     // ndarray.dot, float64
    kernels::ScipySteps scipy;
    bool usable = false;
};

// Never destroyed: its references must outlive interpreter finalisation.
Bound& bound() {
    static Bound* objects = new Bound();
    return *objects;
}

// A number np.array(..., dtype=float) reads without running Python code, and
// that NumPy and SciPy convert exactly: an exact float or NumPy float64, or an
// exact int of at most 2**53 in magnitude.
bool plain_real(PyObject* o, double& value) {
    if (PyFloat_CheckExact(o)) {
        value = PyFloat_AS_DOUBLE(o);
        return true;
    }
    if (Py_TYPE(o) == &PyDoubleArrType_Type) {
        value = PyArrayScalar_VAL(o, Double);
        return true;
    }
    long long v = 0;
    if (!exact_int_in(o, -(1LL << 53), 1LL << 53, v)) return false;
    value = static_cast<double>(v);
    return true;
}

// `n` values of a vector as np.array(o, dtype=float) and SciPy read it: an
// exact list or tuple of n plain reals, or an exact float64/float32 array of
// shape (n,).  False, with no error set, for anything else.
bool plain_vector(PyObject* o, npy_intp n, double* out) {
    if (PyList_CheckExact(o) || PyTuple_CheckExact(o)) {
        if (PySequence_Fast_GET_SIZE(o) != n) return false;
        PyObject** items = PySequence_Fast_ITEMS(o);
        for (npy_intp i = 0; i < n; ++i)
            if (!plain_real(items[i], out[i])) return false;
        return true;
    }
    if (!PyArray_CheckExact(o)) return false;
    PyArrayObject* a = reinterpret_cast<PyArrayObject*>(o);
    const int type = PyArray_TYPE(a);
    if (PyArray_NDIM(a) != 1 || PyArray_DIM(a, 0) != n || !PyArray_ISNOTSWAPPED(a) ||
        (type != NPY_FLOAT64 && type != NPY_FLOAT32))
        return false;
    for (npy_intp i = 0; i < n; ++i) {
        const char* p = PyArray_BYTES(a) + i * PyArray_STRIDE(a, 0);
        if (type == NPY_FLOAT64) {
            std::memcpy(&out[i], p, sizeof(double));
        } else {
            float f;
            std::memcpy(&f, p, sizeof(float));
            out[i] = f;
        }
    }
    return true;
}

// The truth of `horizontal_only` when testing it runs no Python code.
bool plain_flag(PyObject* o, bool& value) {
    if (o == Py_True || o == Py_False || o == Py_None || PyLong_CheckExact(o)) {
        value = PyObject_IsTrue(o) == 1;
        return true;
    }
    if (Py_TYPE(o) == &PyBoolArrType_Type) {
        value = PyArrayScalar_VAL(o, Bool) != 0;
        return true;
    }
    return false;
}

// A finite quaternion of non-zero, finite squared norm: what from_quat
// normalises without an error or a floating-point condition.
bool usable_quat(const double* q) {
    for (int i = 0; i < 4; ++i)
        if (!std::isfinite(q[i])) return false;
    const double norm2 = q[0] * q[0] + q[1] * q[1] + q[2] * q[2] + q[3] * q[3];
    return norm2 > 0.0 && std::isfinite(norm2);
}

// A float64 array of shape (3,).
Ref vector_array(const double* v) {
    npy_intp three = 3;
    Ref out = Ref::steal(PyArray_SimpleNew(1, &three, NPY_FLOAT64));
    std::memcpy(PyArray_DATA(reinterpret_cast<PyArrayObject*>(out.get())), v, 3 * sizeof(double));
    return out;
}

// A NumPy float64 scalar.
Ref float64_scalar(double v) {
    PyArray_Descr* descr = PyArray_DescrFromType(NPY_FLOAT64);
    PyObject* scalar = PyArray_Scalar(&v, descr, nullptr);
    Py_DECREF(descr);
    return Ref::steal(scalar);
}

// rot.as_matrix() of a single rotation: a (3, 3) view of a (1, 3, 3) float64
// array, as SciPy returns it.
Ref single_matrix(const double* m) {
    npy_intp dims[3] = {1, 3, 3};
    Ref stack = Ref::steal(PyArray_SimpleNew(3, dims, NPY_FLOAT64));
    std::memcpy(PyArray_DATA(reinterpret_cast<PyArrayObject*>(stack.get())), m, 9 * sizeof(double));
    return item(stack.get(), Py_ssize_t{0});
}

}  // namespace

bool arrow(Call& c, Ref& mat, ArrowLength& length_out) {
    const Bound& g = bound();
    if (!g.usable || c.global_borrowed(TS_ID("np")) != g.np.get() ||
        c.global_borrowed(TS_ID("sRot")) != g.sRot.get())
        return false;
    double v[3], q[4], scale = 0.0;
    bool horizontal = false;
    if (!plain_vector(c.arg(3), 3, v) || !plain_vector(c.arg(2), 4, q) || !usable_quat(q) ||
        !plain_real(c.arg(5), scale) || !plain_flag(c.arg(6), horizontal))
        return false;

    namespace k = kernels;
    k::FpFlags flags(v, q, scale);
    k::normalise_xyzw(q);
    double m[9];
    if (horizontal) {
        // as_euler('xyz')[2], then from_euler('z', yaw).as_matrix()
        double angles[3], yaw[4];
        if (!k::euler_xyz_from_xyzw(q, angles)) return false;
        k::elementary_xyzw(2, angles[2], yaw);
        k::matrix_xyzw(yaw, m);
    } else {
        k::matrix_xyzw(q, m);
    }
    double w[3];
    g.matvec(m, 3, 3, v, w);
    // np.linalg.norm: sqrt(w.dot(w))
    const double length = std::sqrt(g.dot(w, w, 3));
    double turn[9] = {}, residual[3] = {}, scaled = 0.0;
    const bool drawn = length > 1e-06;
    if (drawn) {
        const double dir[3] = {w[0] / length, w[1] / length, w[2] / length};
        scaled = length * scale;
        auto np_sin = [&](double x) {
            double y;
            g.sin(&x, &y);
            return y;
        };
        auto np_norm = [&](const double* r) { return std::sqrt(g.dot(r, r, 3)); };
        double aligned[4];
        if (!k::align_z_onto_xyzw(dir, g.scipy.align_renormalises, np_sin, np_norm, aligned))
            return false;
        k::matrix_xyzw(aligned, turn);
        // align_vectors also squares the residuals a - rot.apply(b) for its
        // rssd, where NumPy reports an underflow; rot.apply([0, 0, 1]) is the
        // matrix's last column, exactly.
        for (int i = 0; i < 3; ++i) {
            const double d = dir[i] - turn[3 * i + 2];
            residual[i] = d * d;
        }
    }
    if (!flags.clean(w, turn, residual, scaled)) return false;

    if (drawn) {
        mat = single_matrix(turn);
        length_out.value = scaled;
    } else {
        Ref eye = attr(c.global(TS_ID("np")), TS_ID("eye"));
        Ref three = py_int(3);
        mat = call(eye, {three.get()});
        length_out.zero = true;
    }
    return true;
}

Ref arrow_size(Call& c, const ArrowLength& length) {
    Ref np_array = attr(c.global(TS_ID("np")), TS_ID("array"));
    if (!length.object && np_array.is(bound().np_array.get())) {
        const double size[3] = {0.02, 0.02, length.zero ? 0.0 : length.value};
        return vector_array(size);
    }
    Ref value;
    if (length.object)
        value = length.object;
    else if (length.zero)
        value = py_int(0);
    else
        value = float64_scalar(length.value);
    Ref width = py_float(0.02);
    Ref dims = list({width.get(), width.get(), value.get()});
    return call(np_array, {dims.get()});
}

void bind(ts::ModuleScope& m) {
    Bound b;
    b.np = m.get("np");
    b.sRot = m.get("sRot");
    // Anything unexpected leaves the native steps off, the module usable.
    auto found = [](PyObject* o, const char* name) {
        Ref value = Ref::steal_nullable(o ? PyObject_GetAttrString(o, name) : nullptr);
        if (!value) PyErr_Clear();
        return value;
    };
    b.np_array = found(b.np.get(), "array");
    Ref matmul = found(b.np.get(), "matmul");
    Ref sin = found(b.np.get(), "sin");
    b.matvec = ts::MatvecLoop::find(matmul.get());
    b.sin = ts::UfuncLoop::find(sin.get(), {NPY_DOUBLE, NPY_DOUBLE});
    b.dot = ts::Float64Dot::find();
    Ref scipy = Ref::steal_nullable(PyImport_ImportModule("scipy"));
    if (!scipy) PyErr_Clear();
    Ref version = found(scipy.get(), "__version__");
    const char* text = version && PyUnicode_Check(version.get()) ? PyUnicode_AsUTF8(version.get())
                                                                 : nullptr;
    if (!text) PyErr_Clear();
    b.scipy = kernels::scipy_steps(text);
    b.usable = b.np_array && b.matvec && b.sin && b.dot && b.scipy.known;
    bound() = std::move(b);
}

}  // namespace trackscope::fast
