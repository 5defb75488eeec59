// The three interpreter modules that this extension hosts.
#pragma once

#include "runtime/module.hpp"

namespace math_transfrom {
void body(ts::ModuleScope& scope);
}
namespace motion_env_wbt {
void body(ts::ModuleScope& scope);
}
namespace trackscope {
void body(ts::ModuleScope& scope);
}
