// Module body of trackscope, the entry module: its imports, the names of
// motion_env_wbt, then the class TrackscopeDrawer.

#include "trackscope/module.hpp"
#include "trackscope/drawer.hpp"
#include "trackscope/fast_arrow.hpp"

namespace trackscope {

using ts::Ann;
using ts::Default;
using ts::MemberDef;

namespace {

// Compiled functions keep a pointer to their definition row: static storage.
const ts::ClassDef drawer = {
    "TrackscopeDrawer",
    nullptr,
    {
        {MemberDef::method, {"__init__", {{"self"}, {"viewer"}}, Ann::none, nullptr, drawer_init}},
        {MemberDef::method,
         {"update_rg_view", {{"self"}, {"body_pos"}, {"body_rot"}, {"humanoid_id"}}, Ann::none,
          nullptr, update_rg_view}},
        {MemberDef::method,
         {"draw_arrow",
          {{"self"},
           {"origin"},
           {"root_quat"},
           {"vec_local"},
           {"color"},
           {"scale", Ann::none, Default::f(1.0)},
           {"horizontal_only", Ann::none, Default::b(false)},
           {"id", Ann::none, Default::i(0)}},
          Ann::none, nullptr, draw_arrow}},
    },
};

}  // namespace

void body(ts::ModuleScope& m) {
    m.import_as("mujoco", "mujoco");
    m.import_as("numpy", "np");
    m.from_import("scipy.spatial.transform", "Rotation", "sRot");
    m.import_star("motion_env_wbt");
    m.define_class(drawer);
    fast::bind(m);
}

}  // namespace trackscope
