// The inner loop a NumPy ufunc runs for one type signature on this CPU:
// NumPy fills its loop table at import with the best variant its dispatcher
// found (SVML on AVX-512, the C library's functions elsewhere), so a native
// path that calls it gets NumPy's own bits on every machine.
#pragma once

#include "runtime/numpy_api.hpp"

#include <initializer_list>

namespace ts {

class UfuncLoop {
public:
    UfuncLoop() = default;

    // The loop of `ufunc` for the given operand types (inputs, then
    // outputs); an empty loop when `ufunc` is not a NumPy ufunc or has no
    // such entry.  Never raises.
    static UfuncLoop find(PyObject* ufunc, std::initializer_list<int> types);

    explicit operator bool() const noexcept { return fn_ != nullptr; }

    // out = f(x), or out = f(x, y), over one element.  The loop sees the
    // operands in slots of its own with a gap before the output: NumPy takes
    // its SIMD path only when the output does not touch an input, and NumPy
    // 1.x counts an output right after an input as touching, which the
    // caller's adjacent locals would be (separate arrays never are).
    void operator()(const double* x, double* out) const noexcept {
        Slots s{{*x, 0.0}, 0.0, 0.0};
        char* args[2] = {as_bytes(&s.in[0]), as_bytes(&s.out)};
        run(args);
        *out = s.out;
    }
    void operator()(const double* x, const double* y, double* out) const noexcept {
        Slots s{{*x, *y}, 0.0, 0.0};
        char* args[3] = {as_bytes(&s.in[0]), as_bytes(&s.in[1]), as_bytes(&s.out)};
        run(args);
        *out = s.out;
    }

    // Over explicit dimensions and byte steps (for a generalised ufunc: the
    // outer ones, then its core dimensions and steps).
    void operator()(char** args, const npy_intp* dimensions, const npy_intp* steps) const noexcept {
        fn_(args, dimensions, steps, data_);
    }

private:
    using Loop = void (*)(char**, const npy_intp*, const npy_intp*, void*);

    struct Slots {
        double in[2];
        double gap;
        double out;
    };

    static char* as_bytes(double* p) noexcept { return reinterpret_cast<char*>(p); }
    void run(char** args) const noexcept {
        const npy_intp one = 1;
        const npy_intp steps[3] = {sizeof(double), sizeof(double), sizeof(double)};
        fn_(args, &one, steps, data_);
    }

    Loop fn_ = nullptr;
    void* data_ = nullptr;
};

// np.matmul's float64 loop applied to a C-contiguous (rows, cols) matrix and
// a contiguous vector of cols, with the dimensions and steps NumPy passes for
// `matrix @ vector` (the vector's missing last axis has length 1, step 0), so
// that the loop takes NumPy's own route (BLAS gemv where NumPy has BLAS).
class MatvecLoop {
public:
    MatvecLoop() = default;
    // Empty when `matmul` has no float64 loop.  Never raises.
    static MatvecLoop find(PyObject* matmul) {
        MatvecLoop m;
        m.loop_ = UfuncLoop::find(matmul, {NPY_DOUBLE, NPY_DOUBLE, NPY_DOUBLE});
        return m;
    }
    explicit operator bool() const noexcept { return static_cast<bool>(loop_); }

    void operator()(const double* matrix, npy_intp rows, npy_intp cols, const double* vector,
                    double* out) const noexcept {
        char* args[3] = {reinterpret_cast<char*>(const_cast<double*>(matrix)),
                         reinterpret_cast<char*>(const_cast<double*>(vector)),
                         reinterpret_cast<char*>(out)};
        constexpr npy_intp d = sizeof(double);
        const npy_intp dimensions[4] = {1, rows, cols, 1};
        const npy_intp steps[9] = {0, 0, 0, cols * d, d, d, 0, d, 0};
        loop_(args, dimensions, steps);
    }

private:
    UfuncLoop loop_;
};

// ndarray.dot of two float64 vectors: NumPy runs the dtype's dot function
// for 1-D operands (BLAS ddot where it has BLAS), as np.linalg.norm does.
class Float64Dot {
public:
    Float64Dot() = default;
    // Empty when the dtype has no dot function.  Never raises.
    static Float64Dot find();
    explicit operator bool() const noexcept { return fn_ != nullptr; }

    double operator()(const double* a, const double* b, npy_intp n) const noexcept {
        double out = 0.0;
        fn_(const_cast<double*>(a), sizeof(double), const_cast<double*>(b), sizeof(double), &out, n,
            nullptr);
        return out;
    }

private:
    PyArray_DotFunc* fn_ = nullptr;
};

}  // namespace ts
