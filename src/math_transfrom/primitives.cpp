// Quaternion primitives, [w, x, y, z] layout.  Each function first tries its
// native kernel (fast_primitives.cpp); the general path performs the
// described NumPy steps through the C API.

#include "math_transfrom/fast_paths.hpp"
#include "math_transfrom/functions.hpp"
#include "runtime/ops.hpp"

namespace math_transfrom {

using namespace ts;

namespace {

// np.array(x)
Ref np_array(PyObject* np, PyObject* x) { return call_method(np, TS_ID("array"), {x}); }

Ref last_axis_slice(PyObject* x, long start, long stop, bool open_end) {
    Ref a = py_int(start);
    Ref b = open_end ? none() : py_int(stop);
    Ref s = slice(a.get(), open_end ? nullptr : b.get());
    return last_axis(x, s.get());
}

struct Components {
    Ref w, x, y, z;
};

Components split(PyObject* q) {
    Components c;
    Ref i0 = py_int(0), i1 = py_int(1), i2 = py_int(2), i3 = py_int(3);
    c.w = last_axis(q, i0.get());
    c.x = last_axis(q, i1.get());
    c.y = last_axis(q, i2.get());
    c.z = last_axis(q, i3.get());
    return c;
}

Ref stack_last(PyObject* np, const Components& c) {
    Ref parts = list({c.w.get(), c.x.get(), c.y.get(), c.z.get()});
    Ref axis = py_int(-1);
    return call_method(np, TS_ID("stack"), {parts.get()}, {{TS_ID("axis"), axis}});
}

// The shape test shared by quat_mul and quat_mul_e.
void check_same_shape(PyObject* q1, PyObject* q2) {
    Ref s1 = attr(q1, TS_ID("shape"));
    Ref s2 = attr(q2, TS_ID("shape"));
    if (!not_equal(s1.get(), s2.get())) return;
    Ref t1 = format_text(s1.get());
    Ref t2 = format_text(s2.get());
    PyErr_Format(PyExc_ValueError, "Expected input quaternion shape mismatch: %U != %U", t1.get(),
                 t2.get());
    raise();
}

Ref np_cross(PyObject* np, PyObject* a, PyObject* b) {
    return call_method(np, TS_ID("cross"), {a, b});
}

}  // namespace

Ref quat_conjugate(Call& c) {
    if (Ref r = fast::quat_conjugate(c)) return r;
    Ref np = c.global(TS_ID("np"));
    Ref q = np_array(np.get(), c.arg(0));
    Ref q_conj = call_method(q.get(), TS_ID("copy"), {});
    Ref one = py_int(1);
    Ref tail = slice(one.get(), nullptr);
    Ref key = tuple({Py_Ellipsis, tail.get()});
    Ref view = item(q_conj.get(), key.get());
    Ref minus_one = py_int(-1);
    Ref scaled = Ref::steal(PyNumber_InPlaceMultiply(view.get(), minus_one.get()));
    set_item(q_conj.get(), key.get(), scaled.get());
    return q_conj;
}

Ref quat_inv(Call& c) {
    if (Ref r = fast::quat_inv(c)) return r;
    Ref np = c.global(TS_ID("np"));
    Ref q = np_array(np.get(), c.arg(0));
    Ref conj = c.global(TS_ID("quat_conjugate"));
    Ref conjugate = call(conj, {q.get()});
    Ref clip = attr(c.global(TS_ID("np")), TS_ID("clip"));
    Ref sum = attr(c.global(TS_ID("np")), TS_ID("sum"));
    Ref two = py_int(2);
    Ref squares = pow(q.get(), two.get());
    Ref axis = py_int(-1);
    Ref s = call(sum, {squares.get()}, {{TS_ID("axis"), axis}, {TS_ID("keepdims"), Py_True}});
    Ref d = call(clip, {s.get(), c.arg(1), Py_None});
    return div(conjugate.get(), d.get());
}

namespace {

// ((p0 op1 p1) op2 p2) op3 p3 with the products p_k = l_k * r_k, evaluated
// left to right as the interpreter does (NumPy reports floating-point
// conditions in that order).
struct Term {
    const Ref& l;
    const Ref& r;
};

Ref chain(Term t0, char op1, Term t1, char op2, Term t2, char op3, Term t3) {
    auto apply = [](char op, const Ref& x, const Ref& y) {
        return op == '+' ? add(x.get(), y.get()) : sub(x.get(), y.get());
    };
    Ref acc = mul(t0.l.get(), t0.r.get());
    Ref p1 = mul(t1.l.get(), t1.r.get());
    acc = apply(op1, acc, p1);
    Ref p2 = mul(t2.l.get(), t2.r.get());
    acc = apply(op2, acc, p2);
    Ref p3 = mul(t3.l.get(), t3.r.get());
    return apply(op3, acc, p3);
}

Ref product(PyObject* np, const Components& a, const Components& b) {
    Components out;
    out.w = chain({a.w, b.w}, '-', {a.x, b.x}, '-', {a.y, b.y}, '-', {a.z, b.z});
    out.x = chain({a.w, b.x}, '+', {a.x, b.w}, '+', {a.y, b.z}, '-', {a.z, b.y});
    out.y = chain({a.w, b.y}, '-', {a.x, b.z}, '+', {a.y, b.w}, '+', {a.z, b.x});
    out.z = chain({a.w, b.z}, '+', {a.x, b.y}, '-', {a.y, b.x}, '+', {a.z, b.w});
    return stack_last(np, out);
}

}  // namespace

Ref quat_mul(Call& c) {
    if (Ref r = fast::quat_mul(c)) return r;
    Ref np = c.global(TS_ID("np"));
    Ref q1 = np_array(np.get(), c.arg(0));
    Ref q2 = np_array(c.global(TS_ID("np")).get(), c.arg(1));
    check_same_shape(q1.get(), q2.get());
    Components a = split(q1.get());
    Components b = split(q2.get());
    return product(c.global(TS_ID("np")).get(), a, b);
}

Ref quat_mul_e(Call& c) {
    if (Ref r = fast::quat_mul_e(c)) return r;
    PyObject* q1 = c.arg(0);
    PyObject* q2 = c.arg(1);
    check_same_shape(q1, q2);
    Components a = split(q1);
    Components b = split(q2);
    // Each binary operation is its own statement: operands left to right.
    auto A = [](const Ref& l, const Ref& r) { return add(l.get(), r.get()); };
    auto S = [](const Ref& l, const Ref& r) { return sub(l.get(), r.get()); };
    auto M = [](const Ref& l, const Ref& r) { return mul(l.get(), r.get()); };
    Ref t = A(a.z, a.x);
    Ref ww = M(t, A(b.x, b.y));
    t = S(a.w, a.y);
    Ref yy = M(t, A(b.w, b.z));
    t = A(a.w, a.y);
    Ref zz = M(t, S(b.w, b.z));
    t = A(ww, yy);
    Ref xx = A(t, zz);
    Ref half = py_float(0.5);
    t = S(a.z, a.x);
    Ref inner = M(t, S(b.x, b.y));
    Ref qq = M(half, A(xx, inner));
    Components out;
    t = S(qq, ww);
    Ref d = S(a.z, a.y);
    out.w = A(t, M(d, S(b.y, b.z)));
    t = S(qq, xx);
    d = A(a.x, a.w);
    out.x = A(t, M(d, A(b.x, b.w)));
    t = S(qq, yy);
    d = S(a.w, a.x);
    out.y = A(t, M(d, A(b.y, b.z)));
    t = S(qq, zz);
    d = A(a.z, a.y);
    out.z = A(t, M(d, S(b.w, b.x)));
    return stack_last(c.global(TS_ID("np")).get(), out);
}

Ref quat_apply(Call& c) {
    if (Ref r = fast::quat_apply(c)) return r;
    Ref np = c.global(TS_ID("np"));
    Ref quat = np_array(np.get(), c.arg(0));
    Ref vec = np_array(c.global(TS_ID("np")).get(), c.arg(1));
    Ref q_w = last_axis_slice(quat.get(), 0, 1, false);
    Ref q_xyz = last_axis_slice(quat.get(), 1, 0, true);
    Ref two = py_int(2);
    Ref t = mul(two.get(), np_cross(c.global(TS_ID("np")).get(), q_xyz.get(), vec.get()).get());
    Ref left = add(vec.get(), mul(q_w.get(), t.get()).get());
    return add(left.get(), np_cross(c.global(TS_ID("np")).get(), q_xyz.get(), t.get()).get());
}

// Reorders of one quaternion: unpack exactly four items, then np.array.
Ref wxyz_to_xyzw(Call& c) {
    if (Ref r = fast::wxyz_to_xyzw(c)) return r;
    std::vector<Ref> v = unpack(c.arg(0), 4);  // w, x, y, z
    Ref items = list({v[1].get(), v[2].get(), v[3].get(), v[0].get()});
    return np_array(c.global(TS_ID("np")).get(), items.get());
}

Ref xyzw_to_wxyz(Call& c) {
    if (Ref r = fast::xyzw_to_wxyz(c)) return r;
    std::vector<Ref> v = unpack(c.arg(0), 4);  // x, y, z, w
    Ref items = list({v[3].get(), v[0].get(), v[1].get(), v[2].get()});
    return np_array(c.global(TS_ID("np")).get(), items.get());
}

}  // namespace math_transfrom
