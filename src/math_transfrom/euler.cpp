// Euler angles and rotation matrices.  Layouts: euler_from_quaternion and
// matrix_from_quat_r take [x, y, z, w]; quatToEuler, imu_quat_to_euler and
// matrix_from_quat take [w, x, y, z].  Every step goes through the C API in
// the order of the NumPy/SciPy/PyTorch expressions, which fixes rounding and
// which error surfaces first; quatToEuler and matrix_from_quat try their
// native kernel first (fast_euler.cpp).

#include "math_transfrom/fast_paths.hpp"
#include "math_transfrom/functions.hpp"
#include "runtime/ops.hpp"

namespace math_transfrom {

using namespace ts;

namespace {

// x[:, k]
Ref column(PyObject* x, Py_ssize_t k) {
    Ref all = slice(nullptr, nullptr);
    Ref index = Ref::steal(PyLong_FromSsize_t(k));
    Ref key = tuple({all.get(), index.get()});
    return item(x, key.get());
}

// a*b + c*d and a*b - c*d, products first
Ref sum_of_products(PyObject* a, PyObject* b, PyObject* c, PyObject* d) {
    Ref ab = mul(a, b);
    Ref cd = mul(c, d);
    return add(ab.get(), cd.get());
}
Ref difference_of_products(PyObject* a, PyObject* b, PyObject* c, PyObject* d) {
    Ref ab = mul(a, b);
    Ref cd = mul(c, d);
    return sub(ab.get(), cd.get());
}

// `scale * inner` and `one - scale * inner`
Ref scaled(PyObject* scale, const Ref& inner) { return mul(scale, inner.get()); }
Ref one_minus_scaled(PyObject* one, PyObject* scale, const Ref& inner) {
    Ref s = mul(scale, inner.get());
    return sub(one, s.get());
}

}  // namespace

Ref euler_from_quaternion(Call& c) {
    if (Ref r = fast::euler_from_quaternion(c)) return r;
    PyObject* quat_angle = c.arg(0);
    Ref x = column(quat_angle, 0);
    Ref y = column(quat_angle, 1);
    Ref z = column(quat_angle, 2);
    Ref w = column(quat_angle, 3);
    Ref two = py_float(2.0);
    Ref one = py_float(1.0);

    Ref t0 = scaled(two.get(), sum_of_products(w.get(), x.get(), y.get(), z.get()));
    Ref t1 = one_minus_scaled(one.get(), two.get(),
                              sum_of_products(x.get(), x.get(), y.get(), y.get()));
    Ref roll_x = call_method(c.global(TS_ID("torch")).get(), TS_ID("atan2"), {t0.get(), t1.get()});

    Ref t2 = scaled(two.get(), difference_of_products(w.get(), y.get(), z.get(), x.get()));
    Ref lo = py_int(-1);
    Ref hi = py_int(1);
    t2 = call_method(c.global(TS_ID("torch")).get(), TS_ID("clip"), {t2.get(), lo.get(), hi.get()});
    Ref pitch_y = call_method(c.global(TS_ID("torch")).get(), TS_ID("asin"), {t2.get()});

    Ref t3 = scaled(two.get(), sum_of_products(w.get(), z.get(), x.get(), y.get()));
    Ref t4 = one_minus_scaled(one.get(), two.get(),
                              sum_of_products(y.get(), y.get(), z.get(), z.get()));
    Ref yaw_z = call_method(c.global(TS_ID("torch")).get(), TS_ID("atan2"), {t3.get(), t4.get()});

    return tuple({roll_x.get(), pitch_y.get(), yaw_z.get()});
}

Ref quatToEuler(Call& c) {
    if (Ref r = fast::quatToEuler(c)) return r;
    PyObject* quat = c.arg(0);
    Ref three = py_int(3);
    Ref eulerVec = call_method(c.global(TS_ID("np")).get(), TS_ID("zeros"), {three.get()});
    Ref qw = item(quat, 0);
    Ref qx = item(quat, 1);
    Ref qy = item(quat, 2);
    Ref qz = item(quat, 3);
    Ref two = py_int(2);
    Ref one = py_int(1);
    Ref i0 = py_int(0), i1 = py_int(1), i2 = py_int(2);

    // roll
    Ref sinr_cosp = scaled(two.get(), sum_of_products(qw.get(), qx.get(), qy.get(), qz.get()));
    Ref cosr_cosp = one_minus_scaled(one.get(), two.get(),
                                     sum_of_products(qx.get(), qx.get(), qy.get(), qy.get()));
    Ref roll = call_method(c.global(TS_ID("np")).get(), TS_ID("arctan2"),
                           {sinr_cosp.get(), cosr_cosp.get()});
    set_item(eulerVec.get(), i0.get(), roll.get());

    // pitch; |sinp| >= 1 (past the gimbal limit, or a non-unit input) saturates
    Ref sinp = scaled(two.get(), difference_of_products(qw.get(), qy.get(), qz.get(), qx.get()));
    Ref magnitude = call_method(c.global(TS_ID("np")).get(), TS_ID("abs"), {sinp.get()});
    Ref pitch;
    if (compare(magnitude.get(), one.get(), Py_GE)) {
        Ref copysign = attr(c.global(TS_ID("np")), TS_ID("copysign"));
        Ref pi = attr(c.global(TS_ID("np")), TS_ID("pi"));
        Ref half_pi = div(pi.get(), two.get());
        pitch = call(copysign, {half_pi.get(), sinp.get()});
    } else {
        pitch = call_method(c.global(TS_ID("np")).get(), TS_ID("arcsin"), {sinp.get()});
    }
    set_item(eulerVec.get(), i1.get(), pitch.get());

    // yaw
    Ref siny_cosp = scaled(two.get(), sum_of_products(qw.get(), qz.get(), qx.get(), qy.get()));
    Ref cosy_cosp = one_minus_scaled(one.get(), two.get(),
                                     sum_of_products(qy.get(), qy.get(), qz.get(), qz.get()));
    Ref yaw = call_method(c.global(TS_ID("np")).get(), TS_ID("arctan2"),
                          {siny_cosp.get(), cosy_cosp.get()});
    set_item(eulerVec.get(), i2.get(), yaw.get());

    return eulerVec;
}

Ref imu_quat_to_euler(Call& c) {
    if (Ref r = fast::imu_quat_to_euler(c)) return r;
    Ref quat = call_method(c.global(TS_ID("np")).get(), TS_ID("asarray"), {c.arg(0)});
    Ref shape = attr(quat, TS_ID("shape"));
    Ref length = item(shape.get(), 0);
    Ref four = py_int(4);
    if (compare(length.get(), four.get(), Py_NE))
        raise(PyExc_ValueError, "四元数必须为长度4的数组 [w, x, y, z]");

    // [w, x, y, z] -> [x, y, z, w] along the first axis
    Ref array = attr(c.global(TS_ID("np")), TS_ID("array"));
    Ref x = item(quat.get(), 1);
    Ref y = item(quat.get(), 2);
    Ref z = item(quat.get(), 3);
    Ref w = item(quat.get(), 0);
    Ref items = list({x.get(), y.get(), z.get(), w.get()});
    Ref quat_scipy = call(array, {items.get()});

    Ref R_base = call_method(c.global(TS_ID("R")).get(), TS_ID("from_quat"), {quat_scipy.get()});
    Ref seq = py_str("xyz");
    Ref euler = call_method(R_base.get(), TS_ID("as_euler"), {seq.get()});
    std::vector<Ref> angles = unpack(euler.get(), 3);  // roll, pitch, yaw
    return tuple({angles[0].get(), angles[1].get(), angles[2].get()});
}

Ref matrix_from_quat(Call& c) {
    if (Ref r = fast::matrix_from_quat(c)) return r;
    PyObject* quaternions = c.arg(0);
    Ref four = py_int(4);
    Ref axis = py_int(-1);
    Ref parts = call_method(c.global(TS_ID("np")).get(), TS_ID("split"), {quaternions, four.get()},
                            {{TS_ID("axis"), axis}});
    std::vector<Ref> rijk = unpack(parts.get(), 4);
    PyObject* r = rijk[0].get();
    PyObject* i = rijk[1].get();
    PyObject* j = rijk[2].get();
    PyObject* k = rijk[3].get();

    // 2 / |q|^2: every entry carries it, so the matrix is that of q / |q|
    Ref two = py_float(2.0);
    Ref np_sum = attr(c.global(TS_ID("np")), TS_ID("sum"));
    Ref squares = mul(quaternions, quaternions);
    Ref norm2 = call(np_sum, {squares.get()}, {{TS_ID("axis"), axis}, {TS_ID("keepdims"), Py_True}});
    Ref two_s = div(two.get(), norm2.get());
    PyObject* s = two_s.get();

    // Row by row.
    Ref concatenate = attr(c.global(TS_ID("np")), TS_ID("concatenate"));
    Ref one = py_int(1);
    Ref m00 = one_minus_scaled(one.get(), s, sum_of_products(j, j, k, k));
    Ref m01 = scaled(s, difference_of_products(i, j, k, r));
    Ref m02 = scaled(s, sum_of_products(i, k, j, r));
    Ref m10 = scaled(s, sum_of_products(i, j, k, r));
    Ref m11 = one_minus_scaled(one.get(), s, sum_of_products(i, i, k, k));
    Ref m12 = scaled(s, difference_of_products(j, k, i, r));
    Ref m20 = scaled(s, difference_of_products(i, k, j, r));
    Ref m21 = scaled(s, sum_of_products(j, k, i, r));
    Ref m22 = one_minus_scaled(one.get(), s, sum_of_products(i, i, j, j));
    Ref entries = list({m00.get(), m01.get(), m02.get(), m10.get(), m11.get(), m12.get(),
                        m20.get(), m21.get(), m22.get()});
    Ref o = call(concatenate, {entries.get()}, {{TS_ID("axis"), axis}});

    Ref reshape = attr(o, TS_ID("reshape"));
    Ref shape = attr(quaternions, TS_ID("shape"));
    Ref leading_key = slice(nullptr, axis.get());
    Ref leading = item(shape.get(), leading_key.get());
    Ref i3 = py_int(3);
    Ref tail = tuple({i3.get(), i3.get()});
    Ref new_shape = add(leading.get(), tail.get());
    return call(reshape, {new_shape.get()});
}

Ref matrix_from_quat_r(Call& c) {
    if (Ref r = fast::matrix_from_quat_r(c)) return r;
    Ref r = call_method(c.global(TS_ID("R")).get(), TS_ID("from_quat"), {c.arg(0)});
    return call_method(r.get(), TS_ID("as_matrix"), {});
}

}  // namespace math_transfrom
