// Module body of trackscope, the entry module.

#include "entry/module_table.hpp"

namespace trackscope {

void body(ts::ModuleScope& m) {
    m.import_as("mujoco", "mujoco");
    m.import_as("numpy", "np");
    m.from_import("scipy.spatial.transform", "Rotation", "sRot");
    m.import_star("motion_env_wbt");
}

}  // namespace trackscope
