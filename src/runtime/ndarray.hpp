// Float operands for native kernels: the NumPy arrays and float sequences a
// fast path accepts, described as base pointer, shape and element strides,
// plus the walk over broadcast leading axes.
#pragma once

#include "runtime/numpy_api.hpp"

#include <array>
#include <cstddef>

namespace ts {

constexpr int kMaxDims = 8;

// A float32/float64 operand whose last axis holds the components.
struct FloatOperand {
    int type = 0;  // NPY_FLOAT64 or NPY_FLOAT32
    int ndim = 0;
    char* data = nullptr;
    npy_intp shape[kMaxDims] = {};
    npy_intp strides[kMaxDims] = {};  // in elements
    double local[4] = {};             // storage for a float sequence

    npy_intp components() const { return shape[ndim - 1]; }
    npy_intp comp_stride() const { return strides[ndim - 1]; }
    int leading() const { return ndim - 1; }
};

// Accept an exact ndarray of float64/float32 (native byte order, aligned,
// strides a multiple of the item size), or a list/tuple of `sequence_len`
// Python floats (read as float64, as np.array reads them).  Returns false
// for anything else, without an error set.
bool float_operand(PyObject* o, FloatOperand& out, npy_intp sequence_len);

// The first n items of `o` as indexing would give them to float arithmetic:
// a list/tuple whose first n items are floats, or a 1-D float64 array of at
// least n entries.  False for anything else, without an error set.
bool first_floats(PyObject* o, int n, double* out);

// True when `o` is an exact Python float, read into `value`.
bool python_real(PyObject* o, double& value);

// Broadcast leading shape of several operands (NumPy rules); false when the
// shapes do not broadcast.
struct Broadcast {
    int ndim = 0;
    npy_intp shape[kMaxDims] = {};
    npy_intp count = 1;
};
template <std::size_t K>
bool broadcast_leading(const std::array<const FloatOperand*, K>& ops, Broadcast& out) {
    out = Broadcast{};
    for (const FloatOperand* op : ops) out.ndim = op->leading() > out.ndim ? op->leading() : out.ndim;
    for (int d = 0; d < out.ndim; ++d) out.shape[d] = 1;
    for (const FloatOperand* op : ops) {
        const int off = out.ndim - op->leading();
        for (int d = 0; d < op->leading(); ++d) {
            const npy_intp n = op->shape[d];
            npy_intp& b = out.shape[off + d];
            if (n == b || n == 1) continue;
            if (b != 1) return false;
            b = n;
        }
    }
    for (int d = 0; d < out.ndim; ++d) out.count *= out.shape[d];
    return true;
}

// Leading strides of `op` aligned to a broadcast shape (0 where broadcast).
inline void aligned_strides(const FloatOperand& op, const Broadcast& b, npy_intp* out) {
    const int off = b.ndim - op.leading();
    for (int d = 0; d < b.ndim; ++d) {
        const int s = d - off;
        out[d] = (s < 0 || op.shape[s] == 1) ? 0 : op.strides[s];
    }
}

// Calls f(count, offsets, row_strides) once per innermost run of rows, where
// offsets[k] and row_strides[k] are in elements of operand k.
template <std::size_t K, class F>
void for_each_run(const Broadcast& b, const std::array<const npy_intp*, K>& strides, F&& f) {
    std::array<npy_intp, K> offsets{};
    std::array<npy_intp, K> inner{};
    if (b.ndim == 0) {
        f(npy_intp(1), offsets, inner);
        return;
    }
    if (b.count == 0) return;
    const int last = b.ndim - 1;
    for (std::size_t k = 0; k < K; ++k) inner[k] = strides[k][last];
    npy_intp index[kMaxDims] = {};
    for (;;) {
        f(b.shape[last], offsets, inner);
        int d = last - 1;
        for (; d >= 0; --d) {
            for (std::size_t k = 0; k < K; ++k) offsets[k] += strides[k][d];
            if (++index[d] < b.shape[d]) break;
            for (std::size_t k = 0; k < K; ++k) offsets[k] -= strides[k][d] * b.shape[d];
            index[d] = 0;
        }
        if (d < 0) return;
    }
}

// New C-contiguous array of `lead` + `tail` with the given type.
Ref new_array(int type, const Broadcast& lead, std::initializer_list<npy_intp> tail);

}  // namespace ts
