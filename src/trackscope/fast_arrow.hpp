// Native steps of TrackscopeDrawer.draw_arrow: SciPy's from_quat, as_euler,
// from_euler, as_matrix and single-pair align_vectors formulas
// (kernels/rotation_xyzw.hpp) for the releases the kernels know, and NumPy's
// own matmul, dot and sin loops, so that the marker carries the bits the
// described steps give.
#pragma once

#include "runtime/function.hpp"
#include "runtime/module.hpp"

namespace trackscope {

// What draw_arrow hands to the viewer as the arrow's length: the computed
// float64 value, or the integer 0 of a short vector; `object` holds it when
// it came from the general steps.
struct ArrowLength {
    ts::Ref object;
    double value = 0.0;
    bool zero = false;
};

namespace fast {

// Keeps what the module body bound (NumPy, SciPy's Rotation, the NumPy loops
// and the SciPy release the native steps rely on); run once the body has
// bound its names.
void bind(ts::ModuleScope& m);

// The steps of draw_arrow up to the marker (`mat` and the arrow's length),
// taken only where the inputs are read without running Python code, the
// module's np and sRot are the ones bound, and no step meets a condition
// that NumPy or SciPy would report (a floating-point exception, gimbal lock,
// a rejected quaternion); false otherwise, with nothing done.
bool arrow(ts::Call& c, ts::Ref& mat, ArrowLength& length);

// np.array([0.02, 0.02, length]), made here while np.array is NumPy's own.
ts::Ref arrow_size(ts::Call& c, const ArrowLength& length);

}  // namespace fast
}  // namespace trackscope
