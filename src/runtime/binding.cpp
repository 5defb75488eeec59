// Argument binding of compiled functions: positional and keyword arguments
// matched to parameters, defaults filled in, and the interpreter's own
// messages for every binding error; then the body runs.

#include "runtime/function.hpp"

#include "runtime/ops.hpp"
#include "runtime/recursion.hpp"

#include <algorithm>
#include <cstddef>

namespace ts {

namespace {

Function* as_fn(PyObject* o) { return reinterpret_cast<Function*>(o); }

// ---- argument binding errors, worded as the interpreter words them ----

void too_many_positional(Function* fn, Py_ssize_t given, Py_ssize_t ndefaults) {
    const Py_ssize_t n = fn->nparams;
    Ref sig;
    bool plural;
    if (ndefaults) {
        plural = true;
        sig = Ref::steal(PyUnicode_FromFormat("from %zd to %zd", n - ndefaults, n));
    } else {
        plural = n != 1;
        sig = Ref::steal(PyUnicode_FromFormat("%zd", n));
    }
    PyErr_Format(PyExc_TypeError, "%U() takes %U positional argument%s but %zd %s given",
                 fn->qualname, sig.get(), plural ? "s" : "", given,
                 given == 1 ? "was" : "were");
}

void missing_arguments(Function* fn, PyObject* const* bound, Py_ssize_t required) {
    Ref names = Ref::steal(PyList_New(0));
    for (Py_ssize_t i = 0; i < required; ++i) {
        if (bound[i]) continue;
        Ref r = Ref::steal(PyObject_Repr(PyTuple_GET_ITEM(fn->param_names, i)));
        check_int(PyList_Append(names.get(), r.get()));
    }
    const Py_ssize_t len = PyList_GET_SIZE(names.get());
    Ref text;
    if (len == 1) {
        text = Ref::borrow(PyList_GET_ITEM(names.get(), 0));
    } else if (len == 2) {
        text = Ref::steal(PyUnicode_FromFormat("%U and %U", PyList_GET_ITEM(names.get(), 0),
                                               PyList_GET_ITEM(names.get(), 1)));
    } else {
        Ref tail = Ref::steal(PyUnicode_FromFormat(", %U, and %U",
                                                   PyList_GET_ITEM(names.get(), len - 2),
                                                   PyList_GET_ITEM(names.get(), len - 1)));
        check_int(PyList_SetSlice(names.get(), len - 2, len, nullptr));
        Ref comma = py_str(", ");
        Ref head = Ref::steal(PyUnicode_Join(comma.get(), names.get()));
        text = Ref::steal(PyUnicode_Concat(head.get(), tail.get()));
    }
    PyErr_Format(PyExc_TypeError, "%U() missing %i required positional argument%s: %U",
                 fn->qualname, static_cast<int>(len), len == 1 ? "" : "s", text.get());
}

#if PY_VERSION_HEX >= 0x030D0000
// The interpreter's "Did you mean" for an unexpected keyword (3.13+): the
// closest parameter name by its weighted Levenshtein distance, if close
// enough.
constexpr std::size_t kMoveCost = 2;
constexpr std::size_t kCaseCost = 1;
constexpr Py_ssize_t kMaxStringSize = 40;

std::size_t substitution_cost(char a, char b) {
    if ((a & 31) != (b & 31)) return kMoveCost;
    if (a == b) return 0;
    if ('A' <= a && a <= 'Z') a += 'a' - 'A';
    if ('A' <= b && b <= 'Z') b += 'a' - 'A';
    return a == b ? kCaseCost : kMoveCost;
}

std::size_t levenshtein(const char* a, std::size_t a_size, const char* b, std::size_t b_size,
                        std::size_t max_cost) {
    while (a_size && b_size && a[0] == b[0]) ++a, ++b, --a_size, --b_size;
    while (a_size && b_size && a[a_size - 1] == b[b_size - 1]) --a_size, --b_size;
    if (a_size == 0 || b_size == 0) return (a_size + b_size) * kMoveCost;
    if (a_size > kMaxStringSize || b_size > kMaxStringSize) return max_cost + 1;
    if (b_size < a_size) {
        std::swap(a, b);
        std::swap(a_size, b_size);
    }
    if ((b_size - a_size) * kMoveCost > max_cost) return max_cost + 1;
    std::size_t row[kMaxStringSize];
    for (std::size_t i = 0, cost = kMoveCost; i < a_size; ++i, cost += kMoveCost) row[i] = cost;
    std::size_t result = 0;
    for (std::size_t j = 0; j < b_size; ++j) {
        std::size_t distance = result = j * kMoveCost;
        std::size_t minimum = static_cast<std::size_t>(-1);
        for (std::size_t i = 0; i < a_size; ++i) {
            const std::size_t substitute = distance + substitution_cost(b[j], a[i]);
            distance = row[i];
            const std::size_t insert_delete = std::min(result, distance) + kMoveCost;
            result = std::min(insert_delete, substitute);
            row[i] = result;
            minimum = std::min(minimum, result);
        }
        if (minimum > max_cost) return max_cost + 1;
    }
    return result;
}

PyObject* suggest_param(Function* fn, PyObject* key) {
    Py_ssize_t key_size;
    const char* key_text = PyUnicode_AsUTF8AndSize(key, &key_size);
    if (!key_text) {
        PyErr_Clear();
        return nullptr;
    }
    PyObject* best = nullptr;
    std::size_t best_distance = static_cast<std::size_t>(PY_SSIZE_T_MAX);
    for (int j = 0; j < fn->nparams; ++j) {
        PyObject* name = PyTuple_GET_ITEM(fn->param_names, j);
        Py_ssize_t size;
        const char* text = PyUnicode_AsUTF8AndSize(name, &size);
        if (!text) {
            PyErr_Clear();
            return nullptr;
        }
        if (PyUnicode_Compare(key, name) == 0) continue;
        std::size_t max_distance = static_cast<std::size_t>((key_size + size + 3) * kMoveCost / 6);
        max_distance = std::min(max_distance, best_distance - 1);
        const std::size_t d = levenshtein(key_text, static_cast<std::size_t>(key_size), text,
                                          static_cast<std::size_t>(size), max_distance);
        if (d > max_distance) continue;
        if (!best || d < best_distance) {
            best = name;
            best_distance = d;
        }
    }
    return best;
}
#endif

void unexpected_keyword(Function* fn, PyObject* key) {
#if PY_VERSION_HEX >= 0x030D0000
    if (PyObject* suggestion = suggest_param(fn, key)) {
        PyErr_Format(PyExc_TypeError,
                     "%U() got an unexpected keyword argument '%S'. Did you mean '%S'?",
                     fn->qualname, key, suggestion);
        return;
    }
#endif
    PyErr_Format(PyExc_TypeError, "%U() got an unexpected keyword argument '%S'", fn->qualname, key);
}

int find_param(Function* fn, PyObject* key) {
    PyObject* const* names = &PyTuple_GET_ITEM(fn->param_names, 0);
    for (int j = 0; j < fn->nparams; ++j)
        if (names[j] == key) return j;
    for (int j = 0; j < fn->nparams; ++j) {
        int eq = PyObject_RichCompareBool(names[j], key, Py_EQ);
        if (eq < 0) return -2;
        if (eq) return j;
    }
    return -1;
}

// The body under the depth guard, with its arguments bound.
PyObject* run_body(Function* fn, PyObject* const* bound) {
    NestedCall depth;
    if (!depth.enter()) return nullptr;
    Call call{fn, bound};
    return boundary([&] { return fn->body(call); });
}

// Keywords, defaults and binding errors: out of line, so that a call giving
// every parameter positionally pays for none of it.
[[gnu::noinline]] PyObject* bind_and_run(Function* fn, PyObject* const* args, size_t nargsf,
                                         PyObject* kwnames) {
    const Py_ssize_t nargs = PyVectorcall_NARGS(nargsf);
    const int n = fn->nparams;
    PyObject* bound[kMaxParams] = {};
    const Py_ssize_t ncopy = nargs < n ? nargs : n;
    for (Py_ssize_t i = 0; i < ncopy; ++i) bound[i] = args[i];

    if (kwnames) {
        const Py_ssize_t nkw = PyTuple_GET_SIZE(kwnames);
        for (Py_ssize_t k = 0; k < nkw; ++k) {
            PyObject* key = PyTuple_GET_ITEM(kwnames, k);
            if (!PyUnicode_Check(key)) {
                PyErr_Format(PyExc_TypeError, "%U() keywords must be strings", fn->qualname);
                return nullptr;
            }
            const int j = find_param(fn, key);
            if (j == -2) return nullptr;
            if (j < 0) {
                unexpected_keyword(fn, key);
                return nullptr;
            }
            if (bound[j]) {
                PyErr_Format(PyExc_TypeError, "%U() got multiple values for argument '%S'",
                             fn->qualname, key);
                return nullptr;
            }
            bound[j] = args[nargs + k];
        }
    }

    // Hold the defaults for the duration of the call: the body may rebind them.
    Ref defaults = Ref::borrow(fn->defaults);
    const Py_ssize_t ndefaults = PyTuple_Check(fn->defaults) ? PyTuple_GET_SIZE(fn->defaults) : 0;
    if (nargs > n) {
        too_many_positional(fn, nargs, ndefaults);
        return nullptr;
    }
    const Py_ssize_t first_default = n - ndefaults;
    for (Py_ssize_t j = 0; j < first_default; ++j) {
        if (!bound[j]) {
            try {
                missing_arguments(fn, bound, first_default);
            } catch (...) {
                set_error_from_current_exception();
            }
            return nullptr;
        }
    }
    for (Py_ssize_t j = first_default < 0 ? 0 : first_default; j < n; ++j)
        if (!bound[j]) bound[j] = PyTuple_GET_ITEM(fn->defaults, j - first_default);

    return run_body(fn, bound);
}

}  // namespace

PyObject* function_vectorcall(PyObject* self, PyObject* const* args, size_t nargsf,
                              PyObject* kwnames) {
    Function* fn = as_fn(self);
    // Every parameter given positionally: the caller's array is the binding.
    if (!kwnames && PyVectorcall_NARGS(nargsf) == fn->nparams) return run_body(fn, args);
    return bind_and_run(fn, args, nargsf, kwnames);
}

PyObject* Call::global_borrowed(PyObject* name) const {
    PyObject* v = PyDict_GetItemWithError(fn->globals, name);
    if (!v && !PyErr_Occurred()) v = PyDict_GetItemWithError(fn->builtins, name);
    if (!v && PyErr_Occurred()) raise();
    return v;
}

Ref Call::global(PyObject* name) const {
    PyObject* v = global_borrowed(name);
    if (v) return Ref::borrow(v);
    raise_name_error(name);
}

}  // namespace ts
