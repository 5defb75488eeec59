// Module body of math_transfrom: its imports, then its functions in
// definition order, then TransformAlignment.

#include "math_transfrom/module.hpp"

#include "math_transfrom/docstrings.hpp"
#include "math_transfrom/fast_paths.hpp"
#include "math_transfrom/functions.hpp"
#include "runtime/numpy_api.hpp"
#include "runtime/ops.hpp"

namespace math_transfrom {

using ts::Ann;
using ts::Default;
using ts::FunctionDef;

namespace {

const Ann nd = Ann::ndarray;
const Ann opt_nd = Ann::optional_ndarray;

const std::vector<FunctionDef> functions = {
    {"euler_from_quaternion", {{"quat_angle"}}, Ann::none, docs::euler_from_quaternion,
     euler_from_quaternion},
    {"quatToEuler", {{"quat"}}, Ann::none, nullptr, quatToEuler},
    {"quat_conjugate", {{"q", nd}}, nd, docs::quat_conjugate, quat_conjugate},
    {"quat_inv", {{"q", nd}, {"eps", Ann::float_, Default::f(1e-9)}}, nd, docs::quat_inv, quat_inv},
    {"quat_mul", {{"q1", nd}, {"q2", nd}}, nd, docs::quat_mul, quat_mul},
    {"quat_mul_e", {{"q1", nd}, {"q2", nd}}, nd, docs::quat_mul_e, quat_mul_e},
    {"quat_apply", {{"quat", nd}, {"vec", nd}}, nd, docs::quat_apply, quat_apply},
    {"subtract_frame_transforms",
     {{"t01", nd}, {"q01", nd}, {"t02", opt_nd, Default::none()}, {"q02", opt_nd, Default::none()}},
     Ann::tuple_ndarray2, docs::subtract_frame_transforms, subtract_frame_transforms},
    {"subtract_frame_transforms_r",
     {{"t01", nd}, {"q01", nd}, {"t02", opt_nd, Default::none()}, {"q02", opt_nd, Default::none()}},
     Ann::tuple_ndarray2, docs::subtract_frame_transforms_r, subtract_frame_transforms_r},
    {"matrix_from_quat_r", {{"quat", nd}}, nd, docs::matrix_from_quat_r, matrix_from_quat_r},
    {"matrix_from_quat", {{"quaternions", nd}}, nd, docs::matrix_from_quat, matrix_from_quat},
    {"world_to_body_vel", {{"lin_vel_w", nd}, {"quat", nd}}, nd, docs::world_to_body_vel,
     world_to_body_vel},
    {"wxyz_to_xyzw", {{"q_wxyz"}}, Ann::none, docs::wxyz_to_xyzw, wxyz_to_xyzw},
    {"xyzw_to_wxyz", {{"q_xyzw"}}, Ann::none, docs::xyzw_to_wxyz, xyzw_to_wxyz},
    {"reset_pose_yaw_only", {{"p_odom"}, {"q_odom"}, {"p_offset"}, {"q_offset"}}, Ann::none,
     docs::reset_pose_yaw_only, reset_pose_yaw_only},
    {"reset_pose_yaw_only_keep_rp", {{"p_odom"}, {"q_odom"}, {"p_offset"}, {"q_offset"}}, Ann::none,
     docs::reset_pose_yaw_only_keep_rp, reset_pose_yaw_only_keep_rp},
    {"reset_quat_yaw_only_keep_rp", {{"q_odom"}, {"q_offset"}}, Ann::none,
     docs::reset_quat_yaw_only_keep_rp, reset_quat_yaw_only_keep_rp},
    {"reset_pose", {{"p_odom"}, {"q_odom"}, {"p_offset"}, {"q_offset"}}, Ann::none,
     docs::reset_pose, reset_pose},
    {"pelvis_to_torso_quat", {{"imu_quat"}, {"waist_pitch_angle"}}, Ann::none,
     docs::pelvis_to_torso_quat, pelvis_to_torso_quat},
    {"pelvis_to_torso_pose",
     {{"pos_pelvis"}, {"q_pelvis"}, {"waist_pitch_angle"}, {"pelvis_to_torso_offset"}}, Ann::none,
     docs::pelvis_to_torso_pose, pelvis_to_torso_pose},
    {"imu_quat_to_euler", {{"quat"}}, Ann::none, docs::imu_quat_to_euler, imu_quat_to_euler},
};

// Never destroyed: its references must outlive interpreter finalisation.
Bound& bound_objects() {
    static Bound* objects = new Bound();
    return *objects;
}

}  // namespace

const Bound& bound() { return bound_objects(); }

void body(ts::ModuleScope& m) {
    m.import_as("numpy", "np");
    ts::init_numpy_api();
    m.from_import("typing", "Optional", "Optional");
    m.from_import("typing", "Tuple", "Tuple");
    m.from_import("scipy.spatial.transform", "Rotation", "R");
    m.import_as("torch", "torch");
    m.import_as("logging", "logging");
    m.set("logger", ts::call_method(m.get("logging").get(), TS_ID("getLogger"),
                                    {m.get("__name__").get()}));
    m.define(functions);
    m.define_class(transform_alignment);

    Bound b;
    b.np = m.get("np");
    b.R = m.get("R");
    b.torch = m.get("torch");
    b.tensor_type = ts::attr(b.torch, TS_ID("Tensor"));
    b.quat_conjugate = m.get("quat_conjugate");
    b.quat_inv = m.get("quat_inv");
    b.quat_mul = m.get("quat_mul");
    b.quat_apply = m.get("quat_apply");
    b.wxyz_to_xyzw = m.get("wxyz_to_xyzw");
    b.xyzw_to_wxyz = m.get("xyzw_to_wxyz");
    Ref arctan2 = ts::attr(b.np, TS_ID("arctan2"));
    Ref arcsin = ts::attr(b.np, TS_ID("arcsin"));
    b.arctan2 = ts::UfuncLoop::find(arctan2.get(), {NPY_DOUBLE, NPY_DOUBLE, NPY_DOUBLE});
    b.arcsin = ts::UfuncLoop::find(arcsin.get(), {NPY_DOUBLE, NPY_DOUBLE});
    b.rotation_fields = fast::rotation_fields_readable(b.R.get());
    Ref scipy = Ref::steal(PyImport_ImportModule("scipy"));
    Ref version = ts::attr(scipy, TS_ID("__version__"));
    b.scipy = fast::scipy_steps(version.get());
    Ref logging = m.get("logging");
    b.logger = m.get("logger");
    b.logger_class = ts::attr(logging, TS_ID("Logger"));
    b.logger_info = ts::attr(b.logger_class, TS_ID("info"));
    b.logger_is_enabled = ts::attr(b.logger_class, TS_ID("isEnabledFor"));
    b.info_level = ts::attr(logging, TS_ID("INFO"));
    bound_objects() = std::move(b);
}

}  // namespace math_transfrom
