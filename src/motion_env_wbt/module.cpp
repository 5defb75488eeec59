// Module body of motion_env_wbt.

#include "entry/module_table.hpp"

namespace motion_env_wbt {

void body(ts::ModuleScope& m) {
    m.import_as("numpy", "np");
    m.import_star("math_transfrom");
}

}  // namespace motion_env_wbt
