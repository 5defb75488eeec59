// Native stand-ins for the Euler and matrix conversions: matrix_from_quat and
// quatToEuler repeat the NumPy steps bit for bit (quatToEuler through NumPy's
// own arctan2/arcsin loops); imu_quat_to_euler and matrix_from_quat_r give
// SciPy's bits, deferring to SciPy near gimbal lock; euler_from_quaternion
// leaves its atan2/asin to torch.

#include "kernels/quat_kernels.hpp"
#include "math_transfrom/fast_common.hpp"
#include "math_transfrom/fast_paths.hpp"
#include "math_transfrom/scipy_rotation.hpp"

namespace math_transfrom::fast {

using ts::Broadcast;
using ts::Call;
using ts::FloatOperand;
using ts::Ref;
namespace k = trackscope::kernels;

Ref matrix_from_quat(Call& c) {
    FloatOperand q;
    // The steps convert nothing: only a real array qualifies.
    if (!np_intact(c) || !PyArray_CheckExact(c.arg(0))) return {};
    if (!ts::float_operand(c.arg(0), q, 4) || q.components() != 4) return {};
    return with_float_type(q.type, [&](auto t) {
        using T = decltype(t);
        Broadcast b;
        ts::broadcast_leading<1>({&q}, b);
        Ref out = ts::new_array(q.type, b, {3, 3});
        npy_intp qs[ts::kMaxDims], os[ts::kMaxDims];
        ts::aligned_strides(q, b, qs);
        contiguous_strides(b, 9, os);
        ts::for_each_run<2>(b, {qs, os}, [&](npy_intp n, const auto& off, const auto& row) {
            const k::Strided<T> in = in_rows<T>(q, off[0], row[0]);
            const k::StridedOut<T> to = out_rows<T>(out, off[1], row[1]);
            // Contiguous rows with strides known at compile time let the
            // compiler vectorise the nine entries.
            if (in.row == 4 && in.comp == 1 && to.row == 9)
                k::matrix_from_quat_wxyz<T>(n, {in.p, 4, 1}, {to.p, 9, 1});
            else
                k::matrix_from_quat_wxyz<T>(n, in, to);
        });
        return out;
    });
}

Ref quatToEuler(Call& c) {
    const Bound& g = bound();
    double q[4];
    if (!np_intact(c) || !g.arctan2 || !g.arcsin || !ts::first_floats(c.arg(0), 4, q)) return {};
    npy_intp three = 3;
    Ref out = Ref::steal(PyArray_SimpleNew(1, &three, NPY_FLOAT64));
    k::FpFlags flags(q);
    k::quat_to_euler_wxyz(1, k::Strided<double>{q, 0, 1}, out_rows<double>(out, 0, 0), g.arctan2,
                          g.arcsin);
    if (!flags.clean()) return {};
    return out;
}

namespace {

// A plain CPU tensor of float64/float32 rows of at least four columns, with
// no autograd history to record: its data as a NumPy array (a view).
Ref tensor_rows(PyObject* t) {
    const Bound& g = bound();
    if (!g.tensor_type || Py_TYPE(t) != reinterpret_cast<PyTypeObject*>(g.tensor_type.get()))
        return {};
    Ref requires_grad = ts::attr(t, TS_ID("requires_grad"));
    Ref is_cpu = ts::attr(t, TS_ID("is_cpu"));
    if (requires_grad.get() != Py_False || is_cpu.get() != Py_True) return {};
    Ref rows = ts::call_method(t, TS_ID("numpy"), {});
    FloatOperand q;
    if (!PyArray_CheckExact(rows.get()) || !ts::float_operand(rows.get(), q, 4) || q.ndim != 2 ||
        q.components() < 4)
        return {};
    return rows;
}

}  // namespace

// x, y, z, w = quat_angle[:, 0..3]; t0..t4 and the pitch clip as the tensor
// expressions compute them (element-wise, each operation rounded on its
// own), then torch.atan2(t0, t1), torch.asin(t2), torch.atan2(t3, t4) by
// torch on tensors of those values: its own loops, so its own bits.
Ref euler_from_quaternion(Call& c) {
    const Bound& g = bound();
    if (!global_is(c, TS_ID("torch"), g.torch)) return {};
    Ref rows = tensor_rows(c.arg(0));
    if (!rows) return {};
    FloatOperand q;
    ts::float_operand(rows.get(), q, 4);
    const npy_intp n = q.shape[0];
    ts::Broadcast lead;
    lead.ndim = 1;
    lead.shape[0] = n;
    lead.count = n;
    Ref terms[5];
    for (Ref& t : terms) t = ts::new_array(q.type, lead, {});
    auto data = [&](int i, auto t) { return reinterpret_cast<decltype(t)*>(PyArray_DATA(
                                         reinterpret_cast<PyArrayObject*>(terms[i].get()))); };
    if (q.type == NPY_FLOAT64)
        k::euler_terms_xyzw<double>(n, {reinterpret_cast<const double*>(q.data), q.strides[0], q.strides[1]},
                                    data(0, 0.0), data(1, 0.0), data(2, 0.0), data(3, 0.0), data(4, 0.0));
    else
        k::euler_terms_xyzw<float>(n, {reinterpret_cast<const float*>(q.data), q.strides[0], q.strides[1]},
                                   data(0, 0.0f), data(1, 0.0f), data(2, 0.0f), data(3, 0.0f), data(4, 0.0f));
    PyObject* torch = g.torch.get();
    Ref t[5];
    for (int i = 0; i < 5; ++i) t[i] = ts::call_method(torch, TS_ID("from_numpy"), {terms[i].get()});
    Ref roll = ts::call_method(torch, TS_ID("atan2"), {t[0].get(), t[1].get()});
    Ref pitch = ts::call_method(torch, TS_ID("asin"), {t[2].get()});
    Ref yaw = ts::call_method(torch, TS_ID("atan2"), {t[3].get(), t[4].get()});
    return ts::tuple({roll.get(), pitch.get(), yaw.get()});
}

// np.asarray(quat) of four items, reordered, then R.from_quat(...).as_euler('xyz').
Ref imu_quat_to_euler(Call& c) {
    double q[4], angles[3];
    if (!r_intact(c) || !np_intact(c) || !exactly_four(c.arg(0)) ||
        !scipy_quat_from_wxyz(c.arg(0), q) || !k::euler_xyz_from_xyzw(q, angles))
        return {};
    Ref roll = float64_scalar(angles[0]);
    Ref pitch = float64_scalar(angles[1]);
    Ref yaw = float64_scalar(angles[2]);
    return ts::tuple({roll.get(), pitch.get(), yaw.get()});
}

// R.from_quat(quat).as_matrix(): from_quat's normalisation and as_matrix's
// formula, row by row; a single rotation's matrix is a view, as SciPy's is.
namespace {

// R.from_quat(q).as_matrix() of a C-contiguous float64 (N, 4) array in one
// pass; empty for other operands and when a row is one from_quat rejects.
Ref matrices_of_packed_rows(PyObject* o) {
    if (!PyArray_CheckExact(o)) return {};
    PyArrayObject* a = reinterpret_cast<PyArrayObject*>(o);
    if (PyArray_TYPE(a) != NPY_FLOAT64 || PyArray_NDIM(a) != 2 || PyArray_DIM(a, 1) != 4 ||
        PyArray_DIM(a, 0) < 1 || !PyArray_IS_C_CONTIGUOUS(a) || !PyArray_ISALIGNED(a) ||
        !PyArray_ISNOTSWAPPED(a))
        return {};
    npy_intp dims[3] = {PyArray_DIM(a, 0), 3, 3};
    Ref out = Ref::steal(PyArray_SimpleNew(3, dims, NPY_FLOAT64));
    if (!k::matrices_from_quat_rows_xyzw(
            dims[0], reinterpret_cast<const double*>(PyArray_DATA(a)),
            reinterpret_cast<double*>(PyArray_DATA(reinterpret_cast<PyArrayObject*>(out.get())))))
        return {};
    return out;
}

}  // namespace

Ref matrix_from_quat_r(Call& c) {
    QuatRows r;
    if (!r_intact(c)) return {};
    if (Ref m = matrices_of_packed_rows(c.arg(0))) return m;
    if (!quat_rows(c.arg(0), r)) return {};
    Ref m = matrices(r);
    if (r.single) return ts::item(m.get(), 0);
    return m;
}

}  // namespace math_transfrom::fast
