// The steps of SciPy's Rotation that differ between the releases whose one-rotation formulas the
// kernels repeat (rotation_xyzw.hpp).  Other releases are unknown: their rotations go through
// SciPy itself.
#pragma once

#include <cstdio>

namespace trackscope::kernels {

struct ScipySteps {
    bool known = false;               // a release whose steps are listed here
    bool inv_renormalises = false;    // inv() normalises the negated quaternion again
    bool apply_matmul = false;        // apply() multiplies with np.matmul, else np.einsum
    bool from_matrix_checks = false;  // from_matrix checks determinant and orthogonality
    bool align_renormalises = false;  // align_vectors' single-pair rotation is normalised again
};

// From a version string such as "1.13.1".  Read from each release's Rotation: inv() stopped
// normalising in 1.14, from_matrix checks determinants and orthogonality from 1.15, apply()
// multiplies with np.matmul in 1.17 (1.16's matmul shapes differ), and align_vectors composes
// its single-pair rotation as Rotation objects (normalising the product) up to 1.16, as raw
// quaternions from 1.17.
inline ScipySteps scipy_steps(const char* version) noexcept {
    ScipySteps s;
    int major = 0, minor = 0;
    if (!version || std::sscanf(version, "%d.%d", &major, &minor) != 2 || major != 1) return s;
    switch (minor) {
        case 13: s = {true, true, false, false, true}; break;
        case 14: s = {true, false, false, false, true}; break;
        case 15: s = {true, false, false, true, true}; break;
        case 17: s = {true, false, true, true, false}; break;
        default: break;
    }
    return s;
}

}  // namespace trackscope::kernels
