// Owning object handle and the one error path of the extension.
//
// Every C API call that can fail goes through `check`/`Ref::steal`, which
// throw `PyError` while the interpreter's error indicator is set.  The
// exception is turned back into a NULL return at exactly one boundary per
// entry point (`boundary`), so C++ code in between reads like the Python it
// implements.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <cstddef>
#include <initializer_list>
#include <new>
#include <utility>

namespace ts {

// The interpreter's error indicator is set; unwind to the boundary.
struct PyError {};

[[noreturn]] inline void raise() { throw PyError{}; }

// Set an exception of `type` with `message` and unwind.
[[noreturn]] inline void raise(PyObject* type, const char* message) {
    PyErr_SetString(type, message);
    throw PyError{};
}

// getattr(o, name) that reports a missing attribute as *out == NULL rather
// than an error: 1 found, 0 missing, -1 error.
inline int lookup_attr(PyObject* o, PyObject* name, PyObject** out) {
#if PY_VERSION_HEX >= 0x030D0000
    return PyObject_GetOptionalAttr(o, name, out);
#else
    return _PyObject_LookupAttr(o, name, out);
#endif
}

inline PyObject* check(PyObject* p) {
    if (!p) raise();
    return p;
}

inline int check_int(int rc) {
    if (rc < 0) raise();
    return rc;
}

// Owning reference.  `steal` takes over a new reference (throwing on NULL),
// `borrow` adds one to a borrowed reference.
class Ref {
public:
    Ref() noexcept = default;
    Ref(const Ref& o) noexcept : p_(o.p_) { Py_XINCREF(p_); }
    Ref(Ref&& o) noexcept : p_(o.p_) { o.p_ = nullptr; }
    ~Ref() { Py_XDECREF(p_); }
    Ref& operator=(Ref o) noexcept {
        std::swap(p_, o.p_);
        return *this;
    }

    static Ref steal(PyObject* p) { return Ref(check(p)); }
    static Ref borrow(PyObject* p) {
        Py_INCREF(check(p));
        return Ref(p);
    }
    // For results where NULL without an exception is meaningful.
    static Ref steal_nullable(PyObject* p) noexcept { return Ref(p); }

    PyObject* get() const noexcept { return p_; }
    PyObject* release() noexcept {
        PyObject* p = p_;
        p_ = nullptr;
        return p;
    }
    explicit operator bool() const noexcept { return p_ != nullptr; }
    bool is(PyObject* o) const noexcept { return p_ == o; }
    bool is_none() const noexcept { return p_ == Py_None; }

private:
    explicit Ref(PyObject* p) noexcept : p_(p) {}
    PyObject* p_ = nullptr;
};

inline Ref none() { return Ref::borrow(Py_None); }
inline Ref new_ref(PyObject* p) { return Ref::borrow(p); }

// Interned identifier, created once per call site.
#define TS_ID(text)                                                        \
    ([]() -> PyObject* {                                                   \
        static PyObject* interned_ = PyUnicode_InternFromString(text);     \
        return interned_;                                                  \
    }())

// Translate a C++ exception into the interpreter's error indicator.
inline void set_error_from_current_exception() noexcept {
    try {
        throw;
    } catch (const PyError&) {
    } catch (const std::bad_alloc&) {
        PyErr_NoMemory();
    } catch (...) {
        if (!PyErr_Occurred())
            PyErr_SetString(PyExc_SystemError, "trackscope: unexpected C++ exception");
    }
}

// Run `body`, returning its new reference, or NULL with the error set.
template <class F>
PyObject* boundary(F&& body) noexcept {
    try {
        return body().release();
    } catch (...) {
        set_error_from_current_exception();
        return nullptr;
    }
}

}  // namespace ts
