// The module body of trackscope: what `import trackscope` executes.
#pragma once

#include "runtime/module.hpp"

namespace trackscope {
void body(ts::ModuleScope& scope);
}
