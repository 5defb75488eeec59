// The module body of motion_env_wbt: what `import motion_env_wbt` executes.
#pragma once

#include "runtime/module.hpp"

namespace motion_env_wbt {
void body(ts::ModuleScope& scope);
}
