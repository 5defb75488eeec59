// Thin throwing wrappers over the C API operations that module code uses:
// attribute access, calls, subscripts, arithmetic and small containers.
#pragma once

#include "runtime/object.hpp"

#include <initializer_list>
#include <vector>

namespace ts {

inline Ref attr(PyObject* o, PyObject* name) { return Ref::steal(PyObject_GetAttr(o, name)); }
inline Ref attr(const Ref& o, PyObject* name) { return attr(o.get(), name); }
// getattr(module, name).  A name in a plain module's dict is that entry: the
// module type itself defines no attribute outside the dunder names.
inline Ref module_attr(PyObject* module, PyObject* name) {
    if (Py_TYPE(module) == &PyModule_Type && PyUnicode_CheckExact(name)) {
        PyObject* v = PyDict_GetItemWithError(PyModule_GetDict(module), name);
        if (v) return Ref::borrow(v);
        if (PyErr_Occurred()) raise();
    }
    return attr(module, name);
}

// setattr(o, name, v).  With an interned name, PyObject_SetAttr only calls
// the type's tp_setattro: call it directly.
inline void set_attr(PyObject* o, PyObject* name, PyObject* v) {
    setattrofunc setattro = Py_TYPE(o)->tp_setattro;
    if (setattro && PyUnicode_CheckExact(name) && PyUnicode_CHECK_INTERNED(name))
        check_int(setattro(o, name, v));
    else
        check_int(PyObject_SetAttr(o, name, v));
}
inline void set_attr(PyObject* o, PyObject* name, const Ref& v) { set_attr(o, name, v.get()); }

// One call site's `o.<name> = v`, made every call on instances that hold
// their attributes in a dict: the type (and its version tag, which the
// interpreter renews whenever the type or a base changes) for which <name>
// was found to be no data descriptor, so that later stores go straight to
// the instance dict.  Anything else takes set_attr.
struct StoreSite {
    PyTypeObject* type = nullptr;
    unsigned int version = 0;
};
void store_attr(StoreSite& site, PyObject* o, PyObject* name, PyObject* v);

// A keyword argument of a call: name (interned) and borrowed value.
struct Kw {
    PyObject* name;
    PyObject* value;
    Kw(PyObject* n, PyObject* v) : name(n), value(v) {}
    Kw(PyObject* n, const Ref& v) : name(n), value(v.get()) {}
};

namespace detail {

// A vectorcall stack: `first` in slot 0, then the positional arguments, then
// the keyword values, whose names make up `names`.
struct CallStack {
    static constexpr std::size_t kMax = 8;
    PyObject* slots[kMax + 1];
    Ref names;

    CallStack(PyObject* first, std::initializer_list<PyObject*> args,
              std::initializer_list<Kw> kwargs) {
        if (args.size() + kwargs.size() > kMax)
            raise(PyExc_SystemError, "too many call arguments");
        std::size_t n = 0;
        slots[n++] = first;
        for (PyObject* a : args) slots[n++] = a;
        if (kwargs.size()) {
            names = Ref::steal(PyTuple_New(static_cast<Py_ssize_t>(kwargs.size())));
            Py_ssize_t i = 0;
            for (const Kw& k : kwargs) {
                Py_INCREF(k.name);
                PyTuple_SET_ITEM(names.get(), i++, k.name);
                slots[n++] = k.value;
            }
        }
    }
};

}  // namespace detail

inline Ref call(PyObject* f, std::initializer_list<PyObject*> args,
                std::initializer_list<Kw> kwargs = {}) {
    // Slot 0 stays free for PY_VECTORCALL_ARGUMENTS_OFFSET.
    detail::CallStack s(nullptr, args, kwargs);
    return Ref::steal(PyObject_Vectorcall(f, s.slots + 1,
                                          args.size() | PY_VECTORCALL_ARGUMENTS_OFFSET,
                                          s.names.get()));
}
inline Ref call(const Ref& f, std::initializer_list<PyObject*> args,
                std::initializer_list<Kw> kwargs = {}) {
    return call(f.get(), args, kwargs);
}

// o.name(args...), looked up as the interpreter looks up a method it calls:
// a plain function of the type is called with `o` first, no bound method made.
inline Ref call_method(PyObject* o, PyObject* name, std::initializer_list<PyObject*> args,
                       std::initializer_list<Kw> kwargs = {}) {
    detail::CallStack s(o, args, kwargs);
    return Ref::steal(PyObject_VectorcallMethod(
        name, s.slots, (args.size() + 1) | PY_VECTORCALL_ARGUMENTS_OFFSET, s.names.get()));
}

// `o.name` fetched for a call, as the interpreter's method-call syntax
// fetches it: a function found on the type comes back unbound, with `o` as
// the argument to pass first, so that no bound method is made; anything else
// comes back as the attribute itself.  Same lookups, same errors.
struct MethodRef {
    Ref callable;
    PyObject* self = nullptr;  // borrowed `o` when the callable takes it first
};
MethodRef method_of(PyObject* o, PyObject* name);

// Call a fetched method with the positional arguments `args[0..nargs)` and
// the keyword values after them, named by `kwnames`; `args[-1]` must be
// writable.
inline Ref call(const MethodRef& m, PyObject** args, std::size_t nargs, PyObject* kwnames) {
    if (m.self) {
        args[-1] = m.self;
        return Ref::steal(PyObject_Vectorcall(m.callable.get(), args - 1, nargs + 1, kwnames));
    }
    return Ref::steal(PyObject_Vectorcall(m.callable.get(), args,
                                          nargs | PY_VECTORCALL_ARGUMENTS_OFFSET, kwnames));
}

// The value of an exact int within [lo, hi]; false, with no error set, for
// anything else.  Runs no Python code.
inline bool exact_int_in(PyObject* o, long long lo, long long hi, long long& value) {
    if (!PyLong_CheckExact(o)) return false;
    int overflow = 0;
    const long long v = PyLong_AsLongLongAndOverflow(o, &overflow);
    if (overflow || (v == -1 && PyErr_Occurred())) {
        PyErr_Clear();
        return false;
    }
    if (v < lo || v > hi) return false;
    value = v;
    return true;
}

inline Ref item(PyObject* o, PyObject* key) { return Ref::steal(PyObject_GetItem(o, key)); }
inline Ref item(PyObject* o, Py_ssize_t i) {
    Ref k = Ref::steal(PyLong_FromSsize_t(i));
    return item(o, k.get());
}
// A literal 0 would otherwise also match the PyObject* key overload.
inline Ref item(PyObject* o, int i) { return item(o, static_cast<Py_ssize_t>(i)); }
inline void set_item(PyObject* o, PyObject* key, PyObject* v) {
    check_int(PyObject_SetItem(o, key, v));
}

inline Ref add(PyObject* a, PyObject* b) { return Ref::steal(PyNumber_Add(a, b)); }
inline Ref sub(PyObject* a, PyObject* b) { return Ref::steal(PyNumber_Subtract(a, b)); }
inline Ref mul(PyObject* a, PyObject* b) { return Ref::steal(PyNumber_Multiply(a, b)); }
inline Ref div(PyObject* a, PyObject* b) { return Ref::steal(PyNumber_TrueDivide(a, b)); }
inline Ref matmul(PyObject* a, PyObject* b) { return Ref::steal(PyNumber_MatrixMultiply(a, b)); }
inline Ref neg(PyObject* a) { return Ref::steal(PyNumber_Negative(a)); }
inline Ref pow(PyObject* a, PyObject* b) { return Ref::steal(PyNumber_Power(a, b, Py_None)); }

inline bool truth(PyObject* o) { return check_int(PyObject_IsTrue(o)) != 0; }
// `a <op> b` as a condition: the comparison's result, then its truth (no
// identity shortcut, so arrays and NaN behave as in the interpreter).
inline bool compare(PyObject* a, PyObject* b, int op) {
    Ref result = Ref::steal(PyObject_RichCompare(a, b, op));
    return truth(result.get());
}
inline bool not_equal(PyObject* a, PyObject* b) {
    return check_int(PyObject_RichCompareBool(a, b, Py_NE)) != 0;
}
inline bool equal(PyObject* a, PyObject* b) {
    return check_int(PyObject_RichCompareBool(a, b, Py_EQ)) != 0;
}

inline Ref py_int(long long v) { return Ref::steal(PyLong_FromLongLong(v)); }
inline Ref py_float(double v) { return Ref::steal(PyFloat_FromDouble(v)); }
inline Ref py_str(const char* s) { return Ref::steal(PyUnicode_FromString(s)); }

inline Ref tuple(std::initializer_list<PyObject*> items) {
    Ref t = Ref::steal(PyTuple_New(static_cast<Py_ssize_t>(items.size())));
    Py_ssize_t i = 0;
    for (PyObject* o : items) {
        Py_INCREF(o);
        PyTuple_SET_ITEM(t.get(), i++, o);
    }
    return t;
}
inline Ref list(std::initializer_list<PyObject*> items) {
    Ref l = Ref::steal(PyList_New(static_cast<Py_ssize_t>(items.size())));
    Py_ssize_t i = 0;
    for (PyObject* o : items) {
        Py_INCREF(o);
        PyList_SET_ITEM(l.get(), i++, o);
    }
    return l;
}
// x[..., index]
inline Ref last_axis(PyObject* x, PyObject* index) {
    Ref key = tuple({Py_Ellipsis, index});
    return item(x, key.get());
}

// slice(start, stop, None); pass nullptr for None.
inline Ref slice(PyObject* start, PyObject* stop) {
    return Ref::steal(PySlice_New(start, stop, nullptr));
}

// Unpack an iterable into exactly n items with the interpreter's messages.
std::vector<Ref> unpack(PyObject* iterable, Py_ssize_t n);

// format(value, '')
inline Ref format_text(PyObject* v) { return Ref::steal(PyObject_Format(v, nullptr)); }

}  // namespace ts
