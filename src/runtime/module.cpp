#include "runtime/module.hpp"

#include "runtime/ops.hpp"

namespace ts {

namespace {

Ref import_module(PyObject* name, PyObject* globals, PyObject* fromlist) {
    return Ref::steal(PyImport_ImportModuleLevelObject(name, globals, nullptr, fromlist, 0));
}

// The interpreter's `from module import name`: attribute, then the submodule
// in sys.modules, then ImportError.
Ref import_from(PyObject* module, PyObject* name) {
    PyObject* value = nullptr;
    if (ts::lookup_attr(module, name, &value) < 0) raise();
    if (value) return Ref::steal(value);
    Ref pkgname = Ref::steal_nullable(PyObject_GetAttr(module, TS_ID("__name__")));
    if (pkgname && PyUnicode_Check(pkgname.get())) {
        Ref full = Ref::steal(PyUnicode_FromFormat("%U.%U", pkgname.get(), name));
        PyObject* found = PyImport_GetModule(full.get());
        if (found) return Ref::steal(found);
        if (PyErr_Occurred()) raise();
    } else {
        PyErr_Clear();
        pkgname = py_str("<unknown module name>");
    }
    Ref path = Ref::steal_nullable(PyModule_GetFilenameObject(module));
    if (!path) {
        PyErr_Clear();
        path = py_str("unknown location");
    }
    Ref msg = Ref::steal(PyUnicode_FromFormat("cannot import name %R from %R (%S)", name,
                                              pkgname.get(), path.get()));
    PyErr_SetImportError(msg.get(), pkgname.get(), path.get());
    raise();
}

}  // namespace

Ref lookup_global(PyObject* globals, PyObject* builtins, PyObject* name) {
    PyObject* v = PyDict_GetItemWithError(globals, name);
    if (!v && !PyErr_Occurred()) v = PyDict_GetItemWithError(builtins, name);
    if (v) return Ref::borrow(v);
    if (PyErr_Occurred()) raise();
    raise_name_error(name);
}

ModuleScope::ModuleScope(PyObject* module)
    : module_(module), globals_(check(PyModule_GetDict(module))) {}

void ModuleScope::import_as(const char* name, const char* alias) {
    Ref n = py_str(name);
    Ref mod = import_module(n.get(), globals_, nullptr);
    set(alias, mod);
}

void ModuleScope::from_import(const char* name, const char* item, const char* alias) {
    Ref n = py_str(name);
    Ref it = Ref::steal(PyUnicode_InternFromString(item));
    Ref fromlist = tuple({it.get()});
    Ref mod = import_module(n.get(), globals_, fromlist.get());
    Ref value = import_from(mod.get(), it.get());
    set(alias, value);
}

// As the interpreter runs `from name import *`: the names of __all__, else
// the public keys of __dict__, fetched one index at a time, so that Python
// code run by an attribute lookup may change the list without harm.
void ModuleScope::import_star(const char* name) {
    Ref n = py_str(name);
    Ref star = py_str("*");
    Ref fromlist = tuple({star.get()});
    Ref mod = import_module(n.get(), globals_, fromlist.get());
    PyObject* all = nullptr;
    if (ts::lookup_attr(mod.get(), TS_ID("__all__"), &all) < 0) raise();
    Ref names = Ref::steal_nullable(all);
    bool skip_private = false;
    if (!names) {
        PyObject* dict = nullptr;
        if (ts::lookup_attr(mod.get(), TS_ID("__dict__"), &dict) < 0) raise();
        if (!dict)
            raise(PyExc_ImportError, "from-import-* object has no __dict__ and no __all__");
        Ref d = Ref::steal(dict);
        names = Ref::steal(PyMapping_Keys(d.get()));
        skip_private = true;
    }
    for (Py_ssize_t i = 0;; ++i) {
        Ref key = Ref::steal_nullable(PySequence_GetItem(names.get(), i));
        if (!key) {
            if (!PyErr_ExceptionMatches(PyExc_IndexError)) raise();
            PyErr_Clear();
            return;
        }
        if (!PyUnicode_Check(key.get())) {
            Ref modname = attr(mod, TS_ID("__name__"));
            if (!PyUnicode_Check(modname.get())) {
                PyErr_Format(PyExc_TypeError, "module __name__ must be a string, not %.100s",
                             Py_TYPE(modname.get())->tp_name);
                raise();
            }
            PyErr_Format(PyExc_TypeError, "%s in %U.%s must be str, not %.100s",
                         skip_private ? "Key" : "Item", modname.get(),
                         skip_private ? "__dict__" : "__all__", Py_TYPE(key.get())->tp_name);
            raise();
        }
        if (skip_private && PyUnicode_GET_LENGTH(key.get()) > 0 &&
            PyUnicode_READ_CHAR(key.get(), 0) == '_')
            continue;
        Ref value = attr(mod.get(), key.get());
        check_int(PyDict_SetItem(globals_, key.get(), value.get()));
    }
}

void ModuleScope::set(const char* name, const Ref& value) {
    check_int(PyDict_SetItemString(globals_, name, value.get()));
}

Ref ModuleScope::get(const char* name) const {
    Ref key = Ref::steal(PyUnicode_InternFromString(name));
    Ref builtins = builtins_of(globals_);
    return lookup_global(globals_, builtins.get(), key.get());
}

void ModuleScope::define(const std::vector<FunctionDef>& table) {
    for (const FunctionDef& def : table) {
        Ref fn = make_function(def, globals_);
        set(def.name, fn);
    }
}

Ref ModuleScope::define_class(const ClassDef& def) {
    Ref ns = Ref::steal(PyDict_New());
    Ref modname = get("__name__");
    check_int(PyDict_SetItemString(ns.get(), "__module__", modname.get()));
    Ref qualname = py_str(def.name);
    check_int(PyDict_SetItemString(ns.get(), "__qualname__", qualname.get()));
    if (def.doc) {
        Ref doc = py_str(def.doc);
        check_int(PyDict_SetItemString(ns.get(), "__doc__", doc.get()));
    }
    for (const MemberDef& m : def.members) {
        Ref fn = make_function(m.fn, globals_, def.name);
        if (m.kind == MemberDef::property)
            fn = Ref::steal(PyObject_CallOneArg(reinterpret_cast<PyObject*>(&PyProperty_Type),
                                                fn.get()));
        check_int(PyDict_SetItemString(ns.get(), m.fn.name, fn.get()));
    }
    Ref name = py_str(def.name);
    Ref bases = Ref::steal(PyTuple_New(0));
    Ref cls = call(reinterpret_cast<PyObject*>(&PyType_Type), {name.get(), bases.get(), ns.get()});
    set(def.name, cls);
    return cls;
}

}  // namespace ts
