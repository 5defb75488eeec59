// Odometry re-zeroing and torso pose.  Quaternions in and out are
// [w, x, y, z]; SciPy works on [x, y, z, w] in between.  The layout
// converters unpack exactly four items, so these take one pose at a time.

#include "math_transfrom/fast_paths.hpp"
#include "math_transfrom/functions.hpp"
#include "runtime/ops.hpp"

namespace math_transfrom {

using namespace ts;

namespace {

Ref from_quat(Call& c, PyObject* q) {
    return call_method(c.global(TS_ID("R")).get(), TS_ID("from_quat"), {q});
}

Ref from_euler(Call& c, const char* seq, PyObject* angles) {
    Ref text = py_str(seq);
    return call_method(c.global(TS_ID("R")).get(), TS_ID("from_euler"), {text.get(), angles});
}

Ref as_euler_xyz(PyObject* rotation) {
    Ref seq = py_str("xyz");
    return call_method(rotation, TS_ID("as_euler"), {seq.get()});
}

// rotation.as_euler('xyz')[2]: the heading
Ref heading(PyObject* rotation) {
    Ref euler = as_euler_xyz(rotation);
    return item(euler.get(), 2);
}

Ref as_quat(PyObject* rotation) { return call_method(rotation, TS_ID("as_quat"), {}); }

// rotation.inv().apply(v)
Ref apply_inverse(PyObject* rotation, PyObject* p_odom, PyObject* p_offset) {
    Ref inverse = call_method(rotation, TS_ID("inv"), {});
    Ref apply = attr(inverse, TS_ID("apply"));
    Ref difference = sub(p_odom, p_offset);
    return call(apply, {difference.get()});
}

Ref convert(Call& c, PyObject* name, PyObject* q) { return call(c.global(name), {q}); }

// [q[1], q[2], q[3], q[0]]: one [w, x, y, z] quaternion reordered for SciPy
Ref xyzw_items(PyObject* q) {
    Ref x = item(q, 1);
    Ref y = item(q, 2);
    Ref z = item(q, 3);
    Ref w = item(q, 0);
    return list({x.get(), y.get(), z.get(), w.get()});
}

// Heading re-zeroed, roll and pitch of q_odom kept; [x, y, z, w].  Shared by
// the two keep-rp functions, which differ only in the position.
struct KeepRp {
    Ref q_new;
    Ref yaw_offset;
};

KeepRp keep_rp_quat(Call& c, PyObject* q_odom_in, PyObject* q_offset_in) {
    Ref q_odom = convert(c, TS_ID("wxyz_to_xyzw"), q_odom_in);
    Ref q_offset = convert(c, TS_ID("wxyz_to_xyzw"), q_offset_in);
    Ref r_odom = from_quat(c, q_odom.get());
    Ref euler = as_euler_xyz(r_odom.get());
    std::vector<Ref> rpy = unpack(euler.get(), 3);  // roll, pitch, yaw
    Ref r_offset = from_quat(c, q_offset.get());
    KeepRp out;
    out.yaw_offset = heading(r_offset.get());
    Ref yaw_new = sub(rpy[2].get(), out.yaw_offset.get());
    Ref angles = list({rpy[0].get(), rpy[1].get(), yaw_new.get()});
    Ref rotation = from_euler(c, "xyz", angles.get());
    out.q_new = as_quat(rotation.get());
    return out;
}

}  // namespace

Ref reset_pose_yaw_only(Call& c) {
    if (Ref r = fast::reset_pose_yaw_only(c)) return r;
    PyObject* p_odom = c.arg(0);
    PyObject* p_offset = c.arg(2);
    Ref q_odom = convert(c, TS_ID("wxyz_to_xyzw"), c.arg(1));
    Ref q_offset = convert(c, TS_ID("wxyz_to_xyzw"), c.arg(3));
    Ref r_odom = from_quat(c, q_odom.get());
    Ref r_offset = from_quat(c, q_offset.get());
    Ref yaw_odom = heading(r_odom.get());
    Ref yaw_offset = heading(r_offset.get());
    Ref yaw_new = sub(yaw_odom.get(), yaw_offset.get());
    Ref q_rotation = from_euler(c, "z", yaw_new.get());
    Ref q_new = as_quat(q_rotation.get());
    Ref R_yaw_offset = from_euler(c, "z", yaw_offset.get());
    Ref p_new = apply_inverse(R_yaw_offset.get(), p_odom, p_offset);
    Ref q_wxyz = convert(c, TS_ID("xyzw_to_wxyz"), q_new.get());
    return tuple({p_new.get(), q_wxyz.get()});
}

Ref reset_pose_yaw_only_keep_rp(Call& c) {
    if (Ref r = fast::reset_pose_yaw_only_keep_rp(c)) return r;
    PyObject* p_odom = c.arg(0);
    PyObject* p_offset = c.arg(2);
    KeepRp k = keep_rp_quat(c, c.arg(1), c.arg(3));
    Ref R_yaw_offset = from_euler(c, "z", k.yaw_offset.get());
    Ref p_new = apply_inverse(R_yaw_offset.get(), p_odom, p_offset);
    Ref q_new = convert(c, TS_ID("xyzw_to_wxyz"), k.q_new.get());
    // The height is the raw odometry height, written into the result in place.
    Ref height = item(p_odom, 2);
    Ref i2 = py_int(2);
    set_item(p_new.get(), i2.get(), height.get());
    return tuple({p_new.get(), q_new.get()});
}

Ref reset_quat_yaw_only_keep_rp(Call& c) {
    if (Ref r = fast::reset_quat_yaw_only_keep_rp(c)) return r;
    KeepRp k = keep_rp_quat(c, c.arg(0), c.arg(1));
    return convert(c, TS_ID("xyzw_to_wxyz"), k.q_new.get());
}

Ref reset_pose(Call& c) {
    if (Ref r = fast::reset_pose(c)) return r;
    PyObject* p_odom = c.arg(0);
    PyObject* p_offset = c.arg(2);
    Ref q_odom = convert(c, TS_ID("wxyz_to_xyzw"), c.arg(1));
    Ref q_offset = convert(c, TS_ID("wxyz_to_xyzw"), c.arg(3));
    Ref R_offset = from_quat(c, q_offset.get());
    Ref R_odom = from_quat(c, q_odom.get());
    Ref p_new = apply_inverse(R_offset.get(), p_odom, p_offset);
    Ref offset_inverse = call_method(R_offset.get(), TS_ID("inv"), {});
    Ref relative = mul(offset_inverse.get(), R_odom.get());  // R_odom applied first
    Ref q_new = as_quat(relative.get());
    Ref q_wxyz = convert(c, TS_ID("xyzw_to_wxyz"), q_new.get());
    return tuple({p_new.get(), q_wxyz.get()});
}

Ref pelvis_to_torso_quat(Call& c) {
    if (Ref r = fast::pelvis_to_torso_quat(c)) return r;
    PyObject* imu_quat = c.arg(0);
    Ref R_from_quat = attr(c.global(TS_ID("R")), TS_ID("from_quat"));
    Ref xyzw = xyzw_items(imu_quat);
    Ref R_pelvis = call(R_from_quat, {xyzw.get()});
    // About the pelvis's own y axis: the waist rotation is applied first.
    Ref R_offset = from_euler(c, "y", c.arg(1));
    Ref R_torso = mul(R_pelvis.get(), R_offset.get());
    Ref q = as_quat(R_torso.get());

    Ref array = attr(c.global(TS_ID("np")), TS_ID("array"));
    Ref w = item(q.get(), 3);
    Ref x = item(q.get(), 0);
    Ref y = item(q.get(), 1);
    Ref z = item(q.get(), 2);
    Ref wxyz = list({w.get(), x.get(), y.get(), z.get()});
    return call(array, {wxyz.get()});
}

Ref pelvis_to_torso_pose(Call& c) {
    if (Ref r = fast::pelvis_to_torso_pose(c)) return r;
    PyObject* pos_pelvis = c.arg(0);
    PyObject* q_pelvis = c.arg(1);
    PyObject* pelvis_to_torso_offset = c.arg(3);

    Ref R_from_quat = attr(c.global(TS_ID("R")), TS_ID("from_quat"));
    Ref xyzw = xyzw_items(q_pelvis);
    Ref pelvis_rotation = call(R_from_quat, {xyzw.get()});
    Ref R_pelvis = call_method(pelvis_rotation.get(), TS_ID("as_matrix"), {});
    Ref offset_rotation = from_euler(c, "y", c.arg(2));
    Ref R_offset = call_method(offset_rotation.get(), TS_ID("as_matrix"), {});
    Ref R_torso = matmul(R_pelvis.get(), R_offset.get());
    Ref R_from_matrix = attr(c.global(TS_ID("R")), TS_ID("from_matrix"));
    Ref torso_rotation = call(R_from_matrix, {R_torso.get()});
    Ref q_torso = as_quat(torso_rotation.get());

    // A plain list of the four scalars, w first.
    Ref w = item(q_torso.get(), 3);
    Ref x = item(q_torso.get(), 0);
    Ref y = item(q_torso.get(), 1);
    Ref z = item(q_torso.get(), 2);
    Ref q_torso_wxyz = list({w.get(), x.get(), y.get(), z.get()});

    // The waist angle does not move the torso origin.
    Ref rotated = matmul(R_pelvis.get(), pelvis_to_torso_offset);
    Ref pos_torso = add(pos_pelvis, rotated.get());
    return tuple({pos_torso.get(), q_torso_wxyz.get()});
}

}  // namespace math_transfrom
