// Native stand-ins for TransformAlignment's SciPy round trips on one pose,
// the methods the control loop calls every tick; values to rounding of
// SciPy's.  A base Rotation's quaternion is read once per object through
// as_quat().  Stacks, non-finite or zero quaternions, other dtypes, a rebound
// R and Rotation subclasses go through SciPy, which raises and warns as it
// does.

#include "math_transfrom/fast_common.hpp"
#include "math_transfrom/fast_paths.hpp"

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

// The last base seen, kept alive so that its identity cannot be reused.
struct BaseCache {
    Ref rotation;
    OneRotation value;
};

BaseCache& base_cache() {
    static BaseCache* cache = new BaseCache();  // outlives finalisation
    return *cache;
}

// The base rotation of one pose, when `r` is exactly a SciPy Rotation that is
// single or a stack of one.
bool base_rotation(PyObject* r, OneRotation& out) {
    const Bound& g = bound();
    if (!g.R || Py_TYPE(r) != reinterpret_cast<PyTypeObject*>(g.R.get())) return false;
    BaseCache& cache = base_cache();
    if (cache.rotation.get() == r) {
        out = cache.value;
        return true;
    }
    Ref single = ts::attr(r, TS_ID("single"));
    Ref quat = ts::call_method(r, TS_ID("as_quat"), {});
    FloatOperand q;
    if (!ts::float_operand(quat.get(), q, 4) || q.type != NPY_FLOAT64 || q.components() != 4)
        return false;
    const bool is_single = single.get() == Py_True;
    if (is_single ? q.ndim != 1 : (q.ndim != 2 || q.shape[0] != 1)) return false;
    const double* p = reinterpret_cast<const double*>(q.data);
    for (int i = 0; i < 4; ++i) out.q[i] = p[i * q.comp_stride()];
    out.single = is_single;
    cache.rotation = Ref::borrow(r);
    cache.value = out;
    return true;
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

}  // namespace

// R.from_quat(quat) then self.R_base.inv() * R_cur, as_quat().
Ref align_quat(Call& c) {
    double q[4];
    bool q_single;
    if (!r_intact(c) || !one_row(c.arg(1), 4, q, q_single)) return {};
    const double norm2 = q[0] * q[0] + q[1] * q[1] + q[2] * q[2] + q[3] * q[3];
    if (!(norm2 > 0.0) || !std::isfinite(norm2)) return {};
    Ref base = ts::attr(c.arg(0), TS_ID("R_base"));
    OneRotation b;
    if (!base_rotation(base.get(), b)) return {};
    k::normalise_xyzw(q);
    const double inverse[4] = {-b.q[0], -b.q[1], -b.q[2], b.q[3]};
    double out[4];
    k::compose_xyzw(inverse, q, out);
    k::normalise_xyzw(out);
    return row_array(out, 4, b.single && q_single);
}

// np.asarray(xyz), then self.R_base.inv().apply(xyz).
Ref align_xyz(Call& c) {
    double v[3];
    bool v_single;
    if (!r_intact(c) || !np_intact(c)) return {};
    if (!one_row(c.arg(1), 3, v, v_single)) return {};
    Ref base = ts::attr(c.arg(0), TS_ID("R_base"));
    OneRotation b;
    if (!base_rotation(base.get(), b)) return {};
    double out[3];
    k::rotate_inverse_xyzw(b.q, v, out);
    return row_array(out, 3, b.single && v_single);
}

}  // namespace math_transfrom::fast
