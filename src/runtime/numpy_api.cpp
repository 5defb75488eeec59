#define TS_NUMPY_API_OWNER
#include "runtime/numpy_api.hpp"

namespace ts {

void init_numpy_api() {
    static bool ready = false;
    if (ready) return;
    if (_import_array() < 0) raise();
    ready = true;
}

}  // namespace ts
