// Relative frame transforms and body-frame velocity.  T12 = T01^-1 * T02:
// t12 = R(q01)^-1 (t02 - t01), q12 = q01^-1 * q02.  subtract_frame_transforms
// uses the [w, x, y, z] primitives of this module, the _r variant SciPy
// rotations on [x, y, z, w].

#include "math_transfrom/fast_paths.hpp"
#include "math_transfrom/functions.hpp"
#include "runtime/ops.hpp"

namespace math_transfrom {

using namespace ts;

namespace {

// t02 - t01, or -t01 when frame 2 is frame 0 itself
Ref relative_offset(PyObject* t01, PyObject* t02) {
    if (t02 == Py_None) return neg(t01);
    return sub(t02, t01);
}

}  // namespace

Ref subtract_frame_transforms(Call& c) {
    if (Ref r = fast::subtract_frame_transforms(c)) return r;
    PyObject* t01 = c.arg(0);
    PyObject* q01 = c.arg(1);
    PyObject* t02 = c.arg(2);
    PyObject* q02 = c.arg(3);

    Ref q10 = call(c.global(TS_ID("quat_inv")), {q01});
    // Without q02 the result is q10 itself, not a copy.
    Ref q12 = q10;
    if (q02 != Py_None) q12 = call(c.global(TS_ID("quat_mul")), {q10.get(), q02});

    Ref quat_apply = c.global(TS_ID("quat_apply"));
    Ref offset = relative_offset(t01, t02);
    Ref t12 = call(quat_apply, {q10.get(), offset.get()});
    return tuple({t12.get(), q12.get()});
}

Ref subtract_frame_transforms_r(Call& c) {
    if (Ref r = fast::subtract_frame_transforms_r(c)) return r;
    PyObject* t01 = c.arg(0);
    PyObject* q01 = c.arg(1);
    PyObject* t02 = c.arg(2);
    PyObject* q02 = c.arg(3);

    Ref r01 = call_method(c.global(TS_ID("R")).get(), TS_ID("from_quat"), {q01});
    Ref r10 = call_method(r01.get(), TS_ID("inv"), {});
    Ref r12 = r10;
    if (q02 != Py_None) {
        Ref r02 = call_method(c.global(TS_ID("R")).get(), TS_ID("from_quat"), {q02});
        r12 = mul(r10.get(), r02.get());  // r02 applied first
    }
    Ref t_rel = relative_offset(t01, t02);
    Ref t12 = call_method(r10.get(), TS_ID("apply"), {t_rel.get()});
    Ref q12 = call_method(r12.get(), TS_ID("as_quat"), {});
    return tuple({t12.get(), q12.get()});
}

Ref world_to_body_vel(Call& c) {
    if (Ref r = fast::world_to_body_vel(c)) return r;
    PyObject* lin_vel_w = c.arg(0);
    PyObject* quat = c.arg(1);

    // [w, x, y, z] -> [x, y, z, w] along the first axis (one quaternion)
    Ref from_quat = attr(c.global(TS_ID("R")), TS_ID("from_quat"));
    Ref x = item(quat, 1);
    Ref y = item(quat, 2);
    Ref z = item(quat, 3);
    Ref w = item(quat, 0);
    Ref xyzw = list({x.get(), y.get(), z.get(), w.get()});
    Ref r = call(from_quat, {xyzw.get()});

    Ref inverse = call_method(r.get(), TS_ID("inv"), {});
    return call_method(inverse.get(), TS_ID("apply"), {lin_vel_w});
}

}  // namespace math_transfrom
