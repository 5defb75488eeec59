// The module body of math_transfrom: what `import math_transfrom` executes.
#pragma once

#include "runtime/module.hpp"

namespace math_transfrom {
void body(ts::ModuleScope& scope);
}
