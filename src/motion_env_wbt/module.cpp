// Module body of motion_env_wbt: numpy, the names of math_transfrom, then
// the classes Wbt_env and Wbt_env_sim.

#include "motion_env_wbt/module.hpp"
#include "motion_env_wbt/environment.hpp"

namespace motion_env_wbt {

using ts::Ann;
using ts::ClassDef;
using ts::Default;
using ts::FunctionDef;
using ts::MemberDef;

namespace {

FunctionDef init_def(ts::Body body) {
    return {"__init__",
            {{"self"}, {"current_dir"}, {"file", Ann::none, Default::s("stand")},
             {"time_steps", Ann::none, Default::i(0)}},
            Ann::none,
            nullptr,
            body};
}

MemberDef method(const char* name, std::vector<ts::Param> params, ts::Body body) {
    return {MemberDef::method, {name, std::move(params), Ann::none, nullptr, body}};
}

MemberDef property(const char* name, ts::Body body) {
    return {MemberDef::property, {name, {{"self"}}, Ann::none, nullptr, body}};
}

// The members both classes share, in class-body order; `anchor_pos` and
// `anchor_quat` are where the two classes differ.
std::vector<MemberDef> members(ts::Body init, ts::Body anchor_pos, ts::Body anchor_quat) {
    return {
        {MemberDef::method, init_def(init)},
        method("load_motion", {{"self"}}, load_motion),
        property("command", command),
        property("joint_pos", joint_pos),
        property("joint_vel", joint_vel),
        property("body_pos_w", body_pos_w),
        property("body_quat_w", body_quat_w),
        property("body_lin_vel_w", body_lin_vel_w),
        property("body_ang_vel_w", body_ang_vel_w),
        property("anchor_pos_w", anchor_pos),
        property("anchor_quat_w", anchor_quat),
        property("anchor_lim_vel_w", anchor_lim_vel_w),
        property("anchor_ang_vel_w", anchor_ang_vel_w),
        method("update_time_steps", {{"self"}, {"step"}}, update_time_steps),
    };
}

ClassDef wbt_env_class() {
    ClassDef def{"Wbt_env", nullptr,
                 members(wbt_env_init, anchor_pos_w_aligned, anchor_quat_w_aligned)};
    def.members.push_back(method("reset", {{"self"}}, reset));
    return def;
}

// Compiled functions keep a pointer to their definition row: static storage.
const ClassDef wbt_env = wbt_env_class();
const ClassDef wbt_env_sim = {"Wbt_env_sim", nullptr,
                              members(wbt_env_sim_init, anchor_pos_w_raw, anchor_quat_w_raw)};

}  // namespace

void body(ts::ModuleScope& m) {
    m.import_as("numpy", "np");
    m.import_star("math_transfrom");
    m.define_class(wbt_env);
    m.define_class(wbt_env_sim);
}

}  // namespace motion_env_wbt
