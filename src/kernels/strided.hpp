// Operand descriptors shared by every row kernel: a base pointer and two element strides.
#pragma once

#include <cstddef>

namespace trackscope::kernels {

// Element c of row r is p[r * row + c * comp]. Strides count elements of T (not bytes) and may be
// negative; row == 0 repeats one row against every row of the other operands (broadcasting).
template <class T>
struct Strided {
    const T* p;
    std::ptrdiff_t row;
    std::ptrdiff_t comp;
    const T& at(std::ptrdiff_t r, std::ptrdiff_t c) const noexcept { return p[r * row + c * comp]; }
};

template <class T>
struct StridedOut {
    T* p;
    std::ptrdiff_t row;
    std::ptrdiff_t comp;
    T& at(std::ptrdiff_t r, std::ptrdiff_t c) const noexcept { return p[r * row + c * comp]; }
};

}  // namespace trackscope::kernels
