#include "runtime/ops.hpp"

#include <dlfcn.h>

namespace ts {

// What PyObject_GenericSetAttr does for a name that the type does not hold as
// a data descriptor: store into the instance dict.  _PyObject_GetDictPtr
// moves attributes kept inline into a dict first (3.11+), which is why the
// sites are stores on instances that hold a dict already.
void store_attr(StoreSite& site, PyObject* o, PyObject* name, PyObject* v) {
#if !defined(Py_GIL_DISABLED) && PY_VERSION_HEX < 0x030E0000
    PyTypeObject* tp = Py_TYPE(o);
    if (tp->tp_setattro == PyObject_GenericSetAttr && PyUnicode_CheckExact(name)) {
        if (site.type != tp || site.version != tp->tp_version_tag || site.version == 0) {
            site.type = nullptr;
            // The lookup gives the type a version tag if it has none; a second
            // one, served from the interpreter's cache, confirms no code run by
            // the first changed the type meanwhile.
            PyObject* descr = _PyType_Lookup(tp, name);
            const unsigned int version = tp->tp_version_tag;
            if (version != 0 && _PyType_Lookup(tp, name) == descr &&
                tp->tp_version_tag == version &&
                !(descr && Py_TYPE(descr)->tp_descr_set)) {
                site.type = tp;
                site.version = version;
            }
        }
        if (site.type == tp) {
            PyObject** dict = _PyObject_GetDictPtr(o);
            if (dict && *dict) {
                check_int(PyDict_SetItem(*dict, name, v));
                return;
            }
        }
    }
#else
    (void)site;
#endif
    set_attr(o, name, v);
}

namespace {

// The interpreter's own method lookup (LOAD_METHOD's), exported by 3.10 to
// 3.13 though declared in no public header; looked up once, and absent on
// an interpreter that does not export it.
using GetMethod = int (*)(PyObject*, PyObject*, PyObject**);

GetMethod interpreter_get_method() {
#if PY_VERSION_HEX < 0x030E0000
    static const GetMethod found =
        reinterpret_cast<GetMethod>(dlsym(RTLD_DEFAULT, "_PyObject_GetMethod"));
    return found;
#else
    return nullptr;
#endif
}

}  // namespace

MethodRef method_of(PyObject* o, PyObject* name) {
    MethodRef m;
    if (GetMethod get = interpreter_get_method()) {
        PyObject* found = nullptr;
        const int unbound = get(o, name, &found);
        m.callable = Ref::steal(found);
        if (unbound) m.self = o;
        return m;
    }
    m.callable = attr(o, name);
    return m;
}

// Sequence unpacking as the interpreter does it for `a, b, c, d = x`.
std::vector<Ref> unpack(PyObject* iterable, Py_ssize_t n) {
    Ref it = Ref::steal_nullable(PyObject_GetIter(iterable));
    if (!it) {
        if (PyErr_ExceptionMatches(PyExc_TypeError) && Py_TYPE(iterable)->tp_iter == nullptr &&
            !PySequence_Check(iterable)) {
            PyErr_Clear();
            PyErr_Format(PyExc_TypeError, "cannot unpack non-iterable %.200s object",
                         Py_TYPE(iterable)->tp_name);
        }
        raise();
    }
    std::vector<Ref> out;
    out.reserve(static_cast<std::size_t>(n));
    for (Py_ssize_t i = 0; i < n; ++i) {
        Ref v = Ref::steal_nullable(PyIter_Next(it.get()));
        if (!v) {
            if (!PyErr_Occurred())
                PyErr_Format(PyExc_ValueError, "not enough values to unpack (expected %zd, got %zd)",
                             n, i);
            raise();
        }
        out.push_back(std::move(v));
    }
    Ref extra = Ref::steal_nullable(PyIter_Next(it.get()));
    if (extra) {
        PyErr_Format(PyExc_ValueError, "too many values to unpack (expected %zd)", n);
        raise();
    }
    if (PyErr_Occurred()) raise();
    return out;
}

}  // namespace ts
