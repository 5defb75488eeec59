// Bodies of the methods of TrackscopeDrawer; parameter 0 is the instance.
#pragma once

#include "runtime/function.hpp"

namespace trackscope {

using ts::Call;
using ts::Ref;

Ref drawer_init(Call& c);
Ref update_rg_view(Call& c);
Ref draw_arrow(Call& c);

}  // namespace trackscope
