#include "math_transfrom/functions.hpp"

namespace math_transfrom {

Ref subtract_frame_transforms(Call&) { ts::raise(PyExc_NotImplementedError, "subtract_frame_transforms"); }
Ref subtract_frame_transforms_r(Call&) { ts::raise(PyExc_NotImplementedError, "subtract_frame_transforms_r"); }
Ref world_to_body_vel(Call&) { ts::raise(PyExc_NotImplementedError, "world_to_body_vel"); }

}  // namespace math_transfrom
