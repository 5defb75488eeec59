// The compiled-function type: its slots, its attributes (name, qualified
// name, defaults, annotations, code, dict, weak references) and the
// definition of a function from its table row.  Calls go through
// binding.cpp.

#include "runtime/function.hpp"

#include "runtime/module.hpp"
#include "runtime/ops.hpp"

#include <cstddef>
#include <structmember.h>

namespace ts {

namespace {

Function* as_fn(PyObject* o) { return reinterpret_cast<Function*>(o); }

// ---- type slots ----

int fn_traverse(PyObject* self, visitproc visit, void* arg) {
    Function* fn = as_fn(self);
    Py_VISIT(Py_TYPE(self));
    Py_VISIT(fn->name);
    Py_VISIT(fn->qualname);
    Py_VISIT(fn->module);
    Py_VISIT(fn->doc);
    Py_VISIT(fn->defaults);
    Py_VISIT(fn->annotations);
    Py_VISIT(fn->dict);
    Py_VISIT(fn->globals);
    Py_VISIT(fn->builtins);
    Py_VISIT(fn->code);
    Py_VISIT(fn->param_names);
    Py_VISIT(fn->kwdefaults);
    return 0;
}

int fn_clear(PyObject* self) {
    Function* fn = as_fn(self);
    Py_CLEAR(fn->name);
    Py_CLEAR(fn->qualname);
    Py_CLEAR(fn->module);
    Py_CLEAR(fn->doc);
    Py_CLEAR(fn->defaults);
    Py_CLEAR(fn->annotations);
    Py_CLEAR(fn->dict);
    Py_CLEAR(fn->globals);
    Py_CLEAR(fn->builtins);
    Py_CLEAR(fn->code);
    Py_CLEAR(fn->param_names);
    Py_CLEAR(fn->kwdefaults);
    return 0;
}

void fn_dealloc(PyObject* self) {
    PyTypeObject* type = Py_TYPE(self);
    PyObject_GC_UnTrack(self);
    if (as_fn(self)->weakrefs) PyObject_ClearWeakRefs(self);
    fn_clear(self);
    PyObject_GC_Del(self);
    Py_DECREF(type);
}

PyObject* fn_repr(PyObject* self) {
    return PyUnicode_FromFormat("<function %U at %p>", as_fn(self)->qualname, self);
}

PyObject* fn_descr_get(PyObject* self, PyObject* obj, PyObject*) {
    if (obj == nullptr || obj == Py_None) {
        Py_INCREF(self);
        return self;
    }
    return PyMethod_New(self, obj);
}

// Pickled by reference, like a Python function: module and qualified name.
PyObject* fn_reduce(PyObject* self, PyObject*) {
    Py_INCREF(as_fn(self)->qualname);
    return as_fn(self)->qualname;
}

PyMethodDef fn_methods[] = {
    {"__reduce__", fn_reduce, METH_NOARGS, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

PyMemberDef fn_members[] = {
    {"__module__", T_OBJECT, offsetof(Function, module), 0, nullptr},
    {"__globals__", T_OBJECT, offsetof(Function, globals), READONLY, nullptr},
    {"__builtins__", T_OBJECT, offsetof(Function, builtins), READONLY, nullptr},
    {"__code__", T_OBJECT, offsetof(Function, code), READONLY, nullptr},
    {"__vectorcalloffset__", T_PYSSIZET, offsetof(Function, vectorcall), READONLY, nullptr},
    {"__dictoffset__", T_PYSSIZET, offsetof(Function, dict), READONLY, nullptr},
    {"__weaklistoffset__", T_PYSSIZET, offsetof(Function, weakrefs), READONLY, nullptr},
    {nullptr, 0, 0, 0, nullptr},
};

// Setter for an attribute that must hold a str.
int set_text_slot(PyObject** slot, PyObject* value, const char* what) {
    if (value == nullptr || !PyUnicode_Check(value)) {
        PyErr_Format(PyExc_TypeError, "%s must be set to a string object", what);
        return -1;
    }
    Py_INCREF(value);
    Py_SETREF(*slot, value);
    return 0;
}

PyObject* get_name(PyObject* self, void*) { return Py_NewRef(as_fn(self)->name); }
int set_name(PyObject* self, PyObject* v, void*) {
    return set_text_slot(&as_fn(self)->name, v, "__name__");
}
PyObject* get_qualname(PyObject* self, void*) { return Py_NewRef(as_fn(self)->qualname); }
int set_qualname(PyObject* self, PyObject* v, void*) {
    return set_text_slot(&as_fn(self)->qualname, v, "__qualname__");
}
PyObject* get_doc(PyObject* self, void*) { return Py_NewRef(as_fn(self)->doc); }
int set_doc(PyObject* self, PyObject* v, void*) {
    Py_XSETREF(as_fn(self)->doc, Py_NewRef(v ? v : Py_None));
    return 0;
}
PyObject* get_defaults(PyObject* self, void*) { return Py_NewRef(as_fn(self)->defaults); }
int set_defaults(PyObject* self, PyObject* v, void*) {
    if (v == nullptr) v = Py_None;
    if (v != Py_None && !PyTuple_Check(v)) {
        PyErr_SetString(PyExc_TypeError, "__defaults__ must be set to a tuple object");
        return -1;
    }
    Py_SETREF(as_fn(self)->defaults, Py_NewRef(v));
    return 0;
}
PyObject* get_kwdefaults(PyObject* self, void*) { return Py_NewRef(as_fn(self)->kwdefaults); }
int set_kwdefaults(PyObject* self, PyObject* v, void*) {
    if (v == nullptr) v = Py_None;
    if (v != Py_None && !PyDict_Check(v)) {
        PyErr_SetString(PyExc_TypeError, "__kwdefaults__ must be set to a dict object");
        return -1;
    }
    Py_SETREF(as_fn(self)->kwdefaults, Py_NewRef(v));
    return 0;
}
PyObject* get_annotations(PyObject* self, void*) {
    return Py_NewRef(as_fn(self)->annotations);
}
int set_annotations(PyObject* self, PyObject* v, void*) {
    if (v == nullptr) {
        v = PyDict_New();
        if (!v) return -1;
    } else if (!PyDict_Check(v)) {
        PyErr_SetString(PyExc_TypeError, "__annotations__ must be set to a dict object");
        return -1;
    } else {
        Py_INCREF(v);
    }
    Py_SETREF(as_fn(self)->annotations, v);
    return 0;
}

PyGetSetDef fn_getset[] = {
    {"__name__", get_name, set_name, nullptr, nullptr},
    {"__qualname__", get_qualname, set_qualname, nullptr, nullptr},
    {"__doc__", get_doc, set_doc, nullptr, nullptr},
    {"__defaults__", get_defaults, set_defaults, nullptr, nullptr},
    {"__kwdefaults__", get_kwdefaults, set_kwdefaults, nullptr, nullptr},
    {"__annotations__", get_annotations, set_annotations, nullptr, nullptr},
    {"__dict__", PyObject_GenericGetDict, PyObject_GenericSetDict, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

// ---- definition-time helpers ----

Ref default_value(const Default& d) {
    switch (d.kind) {
        case Default::real: return py_float(d.real_value);
        case Default::integer: return py_int(d.int_value);
        case Default::text: return py_str(d.text_value);
        case Default::boolean: return Ref::borrow(d.int_value ? Py_True : Py_False);
        case Default::none_: break;
    }
    return none();
}

Ref annotation(Ann a, PyObject* globals, PyObject* builtins) {
    auto ndarray = [&] { return attr(lookup_global(globals, builtins, TS_ID("np")), TS_ID("ndarray")); };
    switch (a) {
        case Ann::ndarray: return ndarray();
        case Ann::float_: return lookup_global(globals, builtins, TS_ID("float"));
        case Ann::optional_ndarray: {
            Ref opt = lookup_global(globals, builtins, TS_ID("Optional"));
            return item(opt.get(), ndarray().get());
        }
        case Ann::tuple_ndarray2: {
            Ref tup = lookup_global(globals, builtins, TS_ID("Tuple"));
            Ref nd = ndarray();
            Ref key = tuple({nd.get(), nd.get()});
            return item(tup.get(), key.get());
        }
        case Ann::none: break;
    }
    return none();
}

}  // namespace

Ref builtins_of(PyObject* globals) {
    PyObject* b = PyDict_GetItemWithError(globals, TS_ID("__builtins__"));
    if (!b && PyErr_Occurred()) raise();
    if (b && PyModule_Check(b)) return Ref::borrow(PyModule_GetDict(b));
    if (b && PyDict_Check(b)) return Ref::borrow(b);
    return Ref::borrow(PyEval_GetBuiltins());
}

namespace {

// A code object carrying the parameter names and counts, so that
// inspect.signature and help() read the real signature.
Ref signature_code(PyObject* globals, PyObject* name, PyObject* qualname, PyObject* names) {
    PyObject* file = PyDict_GetItemWithError(globals, TS_ID("__file__"));
    if (!file && PyErr_Occurred()) raise();
    const char* filename = (file && PyUnicode_Check(file)) ? PyUnicode_AsUTF8(file) : "<trackscope>";
    if (!filename) raise();
    const char* funcname = PyUnicode_AsUTF8(name);
    if (!funcname) raise();
    Ref empty = Ref::steal(reinterpret_cast<PyObject*>(PyCode_NewEmpty(filename, funcname, 0)));
    Ref count = py_int(PyTuple_GET_SIZE(names));
#if PY_VERSION_HEX >= 0x030B0000
    return call_method(empty.get(), TS_ID("replace"), {},
                       {{TS_ID("co_argcount"), count},
                        {TS_ID("co_nlocals"), count},
                        {TS_ID("co_varnames"), names},
                        {TS_ID("co_qualname"), qualname}});
#else
    (void)qualname;
    return call_method(empty.get(), TS_ID("replace"), {},
                       {{TS_ID("co_argcount"), count},
                        {TS_ID("co_nlocals"), count},
                        {TS_ID("co_varnames"), names}});
#endif
}

}  // namespace

PyTypeObject* FunctionType = nullptr;

void init_function_type() {
    if (FunctionType) return;
    static PyType_Slot slots[] = {
        {Py_tp_call, reinterpret_cast<void*>(PyVectorcall_Call)},
        {Py_tp_descr_get, reinterpret_cast<void*>(fn_descr_get)},
        {Py_tp_traverse, reinterpret_cast<void*>(fn_traverse)},
        {Py_tp_clear, reinterpret_cast<void*>(fn_clear)},
        {Py_tp_dealloc, reinterpret_cast<void*>(fn_dealloc)},
        {Py_tp_repr, reinterpret_cast<void*>(fn_repr)},
        {Py_tp_methods, fn_methods},
        {Py_tp_members, fn_members},
        {Py_tp_getset, fn_getset},
        {0, nullptr},
    };
    static PyType_Spec spec = {
        "trackscope.compiled_function",
        static_cast<int>(sizeof(Function)),
        0,
        // Built only by make_function: an instance created from Python would
        // lack its body, name and signature.  Immutable like the
        // interpreter's own function type.
        Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC | Py_TPFLAGS_HAVE_VECTORCALL |
            Py_TPFLAGS_METHOD_DESCRIPTOR | Py_TPFLAGS_DISALLOW_INSTANTIATION |
            Py_TPFLAGS_IMMUTABLETYPE,
        slots,
    };
    FunctionType = reinterpret_cast<PyTypeObject*>(check(PyType_FromSpec(&spec)));
}

bool is_function(PyObject* o) { return Py_TYPE(o) == FunctionType; }

Ref make_function(const FunctionDef& def, PyObject* globals, const char* class_name) {
    const int n = static_cast<int>(def.params.size());
    if (n > kMaxParams) raise(PyExc_SystemError, "too many parameters in a compiled function");
    Ref builtins = builtins_of(globals);
    Ref name = Ref::steal(PyUnicode_InternFromString(def.name));
    Ref qualname = class_name ? Ref::steal(PyUnicode_FromFormat("%s.%s", class_name, def.name))
                              : name;
    Ref module = Ref::borrow(PyDict_GetItemWithError(globals, TS_ID("__name__")));

    Ref names = Ref::steal(PyTuple_New(n));
    std::vector<Ref> defaults;
    for (int i = 0; i < n; ++i) {
        PyTuple_SET_ITEM(names.get(), i, check(PyUnicode_InternFromString(def.params[i].name)));
        if (def.params[i].def) defaults.push_back(default_value(*def.params[i].def));
    }
    Ref defaults_obj = none();
    if (!defaults.empty()) {
        defaults_obj = Ref::steal(PyTuple_New(static_cast<Py_ssize_t>(defaults.size())));
        for (std::size_t i = 0; i < defaults.size(); ++i)
            PyTuple_SET_ITEM(defaults_obj.get(), static_cast<Py_ssize_t>(i), defaults[i].release());
    }
    Ref annotations = Ref::steal(PyDict_New());
    for (int i = 0; i < n; ++i) {
        if (def.params[i].ann == Ann::none) continue;
        Ref a = annotation(def.params[i].ann, globals, builtins.get());
        check_int(PyDict_SetItem(annotations.get(), PyTuple_GET_ITEM(names.get(), i), a.get()));
    }
    if (def.returns != Ann::none) {
        Ref a = annotation(def.returns, globals, builtins.get());
        check_int(PyDict_SetItem(annotations.get(), TS_ID("return"), a.get()));
    }
    Ref doc = def.doc ? py_str(def.doc) : none();
    Ref code = signature_code(globals, name.get(), qualname.get(), names.get());

    Function* fn = PyObject_GC_New(Function, FunctionType);
    if (!fn) raise();
    fn->vectorcall = function_vectorcall;
    fn->def = &def;
    fn->body = def.body;
    fn->nparams = n;
    fn->name = name.release();
    fn->qualname = qualname.release();
    fn->module = module.release();
    fn->doc = doc.release();
    fn->defaults = defaults_obj.release();
    fn->annotations = annotations.release();
    fn->dict = nullptr;
    fn->globals = Py_NewRef(globals);
    fn->builtins = builtins.release();
    fn->code = code.release();
    fn->param_names = names.release();
    fn->kwdefaults = Py_NewRef(Py_None);
    fn->weakrefs = nullptr;
    PyObject_GC_Track(fn);
    return Ref::steal(reinterpret_cast<PyObject*>(fn));
}

void raise_name_error(PyObject* name) {
    PyErr_Format(PyExc_NameError, "name '%U' is not defined", name);
    // The interpreter also records the missing name on the exception.
    PyObject *type, *value, *tb;
    PyErr_Fetch(&type, &value, &tb);
    PyErr_NormalizeException(&type, &value, &tb);
    if (value && PyObject_SetAttr(value, TS_ID("name"), name) < 0) PyErr_Clear();
    PyErr_Restore(type, value, tb);
    raise();
}

}  // namespace ts
