// Init function, module table and module finder.
//
// `import trackscope` creates the entry module and runs its body; the body's
// star import reaches `motion_env_wbt`, and that one's `math_transfrom`,
// through `ModuleTableFinder` on sys.meta_path.  Bodies therefore finish in
// the order math_transfrom, motion_env_wbt, trackscope.

#include "math_transfrom/module.hpp"
#include "motion_env_wbt/module.hpp"
#include "trackscope/module.hpp"
#include "runtime/function.hpp"
#include "runtime/ops.hpp"

#include <dlfcn.h>
#include <libgen.h>

#include <cstring>
#include <string>
#include <vector>

namespace {

using ts::Ref;

struct ModuleEntry {
    std::string name;        // full import name
    const char* short_name;  // N in D/N.py
    void (*statements)(ts::ModuleScope&);
    bool is_package;
};

std::vector<ModuleEntry>& module_table() {
    static std::vector<ModuleEntry> table = {
        {"math_transfrom", "math_transfrom", math_transfrom::body, false},
        {"motion_env_wbt", "motion_env_wbt", motion_env_wbt::body, false},
        {"trackscope", "trackscope", trackscope::body, false},
    };
    return table;
}

const ModuleEntry* find_entry(PyObject* fullname) {
    if (!PyUnicode_Check(fullname)) return nullptr;
    const char* text = PyUnicode_AsUTF8(fullname);
    if (!text) {
        PyErr_Clear();
        return nullptr;
    }
    for (const ModuleEntry& e : module_table())
        if (e.name == text) return &e;
    return nullptr;
}

// D: directory of the loaded extension file, computed once per process.
const std::string& extension_dir() {
    static const std::string dir = [] {
        Dl_info info{};
        if (!dladdr(reinterpret_cast<void*>(&find_entry), &info) || !info.dli_fname) return std::string(".");
        std::vector<char> path(info.dli_fname, info.dli_fname + std::strlen(info.dli_fname) + 1);
        return std::string(dirname(path.data()));
    }();
    return dir;
}

PyObject* the_finder = nullptr;  // the ModuleTableFinder instance on sys.meta_path

// Standard attributes, set before the first statement of a body.
void set_module_attributes(PyObject* module, const char* short_name) {
    PyObject* dict = ts::check(PyModule_GetDict(module));
    Ref name = ts::attr(module, TS_ID("__name__"));
    Ref dot = ts::py_str(".");
    Ref parts = Ref::steal(PyUnicode_RPartition(name.get(), dot.get()));
    if (PyUnicode_GET_LENGTH(PyTuple_GET_ITEM(parts.get(), 1)) > 0)
        ts::set_attr(module, TS_ID("__package__"), PyTuple_GET_ITEM(parts.get(), 0));
    PyObject* builtins = PyDict_GetItemWithError(dict, TS_ID("__builtins__"));
    if (!builtins) {
        if (PyErr_Occurred()) ts::raise();
        ts::check_int(PyDict_SetItem(dict, TS_ID("__builtins__"), PyEval_GetBuiltins()));
    }
    ts::set_attr(module, TS_ID("__loader__"), the_finder);
    Ref bootstrap = Ref::steal(PyImport_ImportModule("importlib._bootstrap"));
    Ref module_spec = ts::call_method(bootstrap.get(), TS_ID("_spec_from_module"), {module});
    ts::set_attr(module, TS_ID("__spec__"), module_spec);
    ts::set_attr(module_spec.get(), TS_ID("_initializing"), Py_True);
    ts::set_attr(module, TS_ID("__doc__"), Py_None);
    Ref file = Ref::steal(PyUnicode_FromFormat("%s/%s.py", extension_dir().c_str(), short_name));
    ts::set_attr(module, TS_ID("__file__"), file);
    ts::set_attr(module_spec.get(), TS_ID("origin"), file);
    ts::set_attr(module_spec.get(), TS_ID("has_location"), Py_True);
    ts::set_attr(module, TS_ID("__cached__"), Py_None);
}

void run_body(const ModuleEntry& entry, PyObject* module) {
    set_module_attributes(module, entry.short_name);
    ts::ModuleScope scope(module);
    entry.statements(scope);
}

// ---- ModuleTableFinder ----

struct Finder {
    PyObject_HEAD
};

PyObject* finder_find_spec(PyObject* self, PyObject* args, PyObject* kwargs) {
    static const char* keywords[] = {"fullname", "path", "target", nullptr};
    PyObject *fullname, *path = Py_None, *target = Py_None;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "O|OO:find_spec", const_cast<char**>(keywords),
                                     &fullname, &path, &target))
        return nullptr;
    if (!find_entry(fullname)) Py_RETURN_NONE;
    return ts::boundary([&] {
        Ref bootstrap = Ref::steal(PyImport_ImportModule("importlib._bootstrap"));
        Ref spec_type = ts::attr(bootstrap, TS_ID("ModuleSpec"));
        return ts::call(spec_type, {fullname, self}, {{TS_ID("is_package"), Py_False}});
    });
}

PyObject* finder_create_module(PyObject*, PyObject* spec) {
    return ts::boundary([&] {
        Ref name = ts::attr(spec, TS_ID("name"));
        return Ref::steal(PyModule_NewObject(name.get()));
    });
}

PyObject* finder_exec_module(PyObject*, PyObject* module) {
    if (!PyModule_Check(module)) {
        PyErr_Format(PyExc_TypeError, "exec_module() argument must be a module, not %.200s",
                     Py_TYPE(module)->tp_name);
        return nullptr;
    }
    return ts::boundary([&] {
        Ref name = ts::attr(module, TS_ID("__name__"));
        const ModuleEntry* entry = find_entry(name.get());
        if (!entry) {
            PyErr_Format(PyExc_ImportError, "no built-in module named %R", name.get());
            ts::raise();
        }
        Ref modules = Ref::borrow(PyImport_GetModuleDict());
        ts::set_item(modules.get(), name.get(), module);
        run_body(*entry, module);
        PyObject* spec = nullptr;
        if (ts::lookup_attr(module, TS_ID("__spec__"), &spec) < 0) ts::raise();
        Ref held = Ref::steal_nullable(spec);
        if (held && !held.is_none()) {
            PyObject* flag = nullptr;
            if (ts::lookup_attr(spec, TS_ID("_initializing"), &flag) < 0) ts::raise();
            Ref f = Ref::steal_nullable(flag);
            if (f) ts::set_attr(spec, TS_ID("_initializing"), Py_False);
        }
        return ts::none();
    });
}

PyObject* finder_is_package(PyObject*, PyObject* fullname) {
    if (const ModuleEntry* e = find_entry(fullname)) return Py_NewRef(e->is_package ? Py_True : Py_False);
    Py_RETURN_NONE;
}

PyObject* finder_repr(PyObject*) { return PyUnicode_FromString("<ModuleTableFinder>"); }

PyMethodDef finder_methods[] = {
    {"find_spec", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(finder_find_spec)),
     METH_VARARGS | METH_KEYWORDS, nullptr},
    {"create_module", finder_create_module, METH_O, nullptr},
    {"exec_module", finder_exec_module, METH_O, nullptr},
    {"is_package", finder_is_package, METH_O, nullptr},
    {nullptr, nullptr, 0, nullptr},
};


// Once per process: rename the entry for a package context and put the
// finder at sys.meta_path[2].
void register_finder(const std::string& package_context) {
    if (the_finder) return;
    const std::size_t dot = package_context.rfind('.');
    if (dot != std::string::npos) {
        const std::string last = package_context.substr(dot + 1);
        const std::string prefix = package_context.substr(0, dot + 1);
        for (ModuleEntry& e : module_table())
            if (e.name == last || e.name.rfind(last + ".", 0) == 0) e.name = prefix + e.name;
    }
    static PyType_Slot slots[] = {
        {Py_tp_methods, finder_methods},
        {Py_tp_repr, reinterpret_cast<void*>(finder_repr)},
        {0, nullptr},
    };
    // One instance per process, made here; the type is sealed like a builtin.
    static PyType_Spec spec = {"trackscope.ModuleTableFinder", static_cast<int>(sizeof(Finder)), 0,
                               Py_TPFLAGS_DEFAULT | Py_TPFLAGS_DISALLOW_INSTANTIATION |
                                   Py_TPFLAGS_IMMUTABLETYPE,
                               slots};
    Ref type = Ref::steal(PyType_FromSpec(&spec));
    Ref finder = Ref::steal(PyType_GenericAlloc(reinterpret_cast<PyTypeObject*>(type.get()), 0));
    PyObject* meta_path = ts::check(PySys_GetObject("meta_path"));
    ts::check_int(PyList_Insert(meta_path, 2, finder.get()));
    the_finder = finder.release();
}

PyModuleDef entry_def = {PyModuleDef_HEAD_INIT, "trackscope", nullptr, -1, nullptr,
                         nullptr, nullptr, nullptr, nullptr};

PyObject* init_entry() {
    std::string context;
#if PY_VERSION_HEX < 0x030C0000
    if (_Py_PackageContext) context = _Py_PackageContext;
#endif
    static std::string module_name;
    module_name = context.empty() ? "trackscope" : context;
    entry_def.m_name = module_name.c_str();
    PyObject* module = PyModule_Create2(&entry_def, 1013);
    if (!module) return nullptr;
#if PY_VERSION_HEX >= 0x030C0000
    // Module creation resolved the package context into the name.
    const char* created = PyModule_GetName(module);
    if (!created) {
        Py_DECREF(module);
        return nullptr;
    }
    context = created;
#endif
    Ref name = Ref::steal_nullable(PyModule_GetNameObject(module));
    PyObject* modules = PyImport_GetModuleDict();
    if (!name || PyDict_SetItem(modules, name.get(), module) < 0) {
        Py_DECREF(module);
        return nullptr;
    }
    try {
        ts::init_function_type();
        register_finder(context);
        const ModuleEntry& entry = module_table().back();
        run_body(entry, module);
    } catch (...) {
        ts::set_error_from_current_exception();
        // A failed body leaves nothing in sys.modules.
        PyObject *type, *value, *tb;
        PyErr_Fetch(&type, &value, &tb);
        if (PyDict_DelItem(modules, name.get()) < 0) PyErr_Clear();
        PyErr_Restore(type, value, tb);
        Py_DECREF(module);
        return nullptr;
    }
    return module;
}

}  // namespace

PyMODINIT_FUNC PyInit_trackscope(void) { return init_entry(); }
