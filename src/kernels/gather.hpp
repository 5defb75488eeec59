// Typed strided row copies: anchor-row gathers from clip arrays and quaternion layout reorders.
#pragma once

#include <cstddef>
#include <type_traits>

#include "kernels/strided.hpp"

namespace trackscope::kernels {

// Copies a[frame, body, 0:k] of a (T, B, k) array into the contiguous out[0:k]; strides count
// elements of T. Bounds and negative-index wrapping are the caller's: this is only the copy.
template <class T>
void gather_row(const T* base, std::ptrdiff_t frame_stride, std::ptrdiff_t body_stride,
                std::ptrdiff_t comp_stride, std::ptrdiff_t frame, std::ptrdiff_t body,
                std::ptrdiff_t k, T* out) noexcept {
    static_assert(std::is_trivially_copyable_v<T>, "gather_row copies raw elements");
    const T* row = base + (frame * frame_stride + body * body_stride);
    for (std::ptrdiff_t c = 0; c < k; ++c) out[c] = row[c * comp_stride];
}

// [w, x, y, z] rows to [x, y, z, w] (indexing [1, 2, 3, 0]); a pure copy, so exact for any T.
template <class T>
void wxyz_to_xyzw(std::ptrdiff_t count, Strided<T> q, StridedOut<T> out) noexcept {
    for (std::ptrdiff_t n = 0; n < count; ++n) {
        const T w = q.at(n, 0), x = q.at(n, 1), y = q.at(n, 2), z = q.at(n, 3);
        out.at(n, 0) = x; out.at(n, 1) = y; out.at(n, 2) = z; out.at(n, 3) = w;
    }
}

// [x, y, z, w] rows to [w, x, y, z] (indexing [3, 0, 1, 2]); a pure copy, so exact for any T.
template <class T>
void xyzw_to_wxyz(std::ptrdiff_t count, Strided<T> q, StridedOut<T> out) noexcept {
    for (std::ptrdiff_t n = 0; n < count; ++n) {
        const T x = q.at(n, 0), y = q.at(n, 1), z = q.at(n, 2), w = q.at(n, 3);
        out.at(n, 0) = w; out.at(n, 1) = x; out.at(n, 2) = y; out.at(n, 3) = z;
    }
}

}  // namespace trackscope::kernels
