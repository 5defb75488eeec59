// The compiled-function type: a callable that behaves like a Python function
// for its callers (attributes, argument binding and its error messages,
// method binding, inspect.signature, pickling by reference) and whose body is
// a C++ routine.
#pragma once

#include "runtime/object.hpp"

#include <optional>
#include <vector>

namespace ts {

// Annotation expressions, evaluated once against the module namespace when
// the function is defined.
enum class Ann {
    none,
    ndarray,           // np.ndarray
    float_,            // float
    optional_ndarray,  // Optional[np.ndarray]
    tuple_ndarray2,    // Tuple[np.ndarray, np.ndarray]
};

// Constant default value of a parameter.
struct Default {
    enum Kind { none_, real, integer, text, boolean } kind;
    double real_value = 0.0;
    long long int_value = 0;
    const char* text_value = nullptr;

    static Default none() { return {none_}; }
    static Default f(double v) { return {real, v}; }
    static Default i(long long v) { return {integer, 0.0, v}; }
    static Default s(const char* v) { return {text, 0.0, 0, v}; }
    static Default b(bool v) { return {boolean, 0.0, v ? 1 : 0}; }
};

struct Param {
    const char* name;
    Ann ann = Ann::none;
    std::optional<Default> def = std::nullopt;
};

struct Function;

// What a body sees: its bound arguments (borrowed, one per parameter, in
// parameter order) and the defining module's namespace.
struct Call {
    Function* fn;
    PyObject* const* args;

    PyObject* arg(int i) const { return args[i]; }
    // Module global, then builtin; NameError "name '%s' is not defined".
    Ref global(PyObject* name) const;
    // The module global only when it is still the object bound at definition
    // time under `name` is checked by the caller; this returns the borrowed
    // current binding or nullptr (no error) when absent.
    PyObject* global_borrowed(PyObject* name) const;
};

using Body = Ref (*)(Call&);

// One row of a module's or class's function table.
struct FunctionDef {
    const char* name;
    std::vector<Param> params;
    Ann returns;
    const char* doc;  // nullptr: __doc__ is None
    Body body;
};

constexpr int kMaxParams = 8;

struct Function {
    PyObject_HEAD
    vectorcallfunc vectorcall;
    const FunctionDef* def;
    Body body;
    int nparams;
    PyObject* name;
    PyObject* qualname;
    PyObject* module;
    PyObject* doc;
    PyObject* defaults;     // tuple or None
    PyObject* annotations;  // dict
    PyObject* dict;         // __dict__, created lazily
    PyObject* globals;      // defining module's namespace
    PyObject* builtins;
    PyObject* code;         // code object describing the signature
    PyObject* param_names;  // tuple of interned str
    PyObject* kwdefaults;   // None or dict; no keyword-only parameters read it
    PyObject* weakrefs;
};

extern PyTypeObject* FunctionType;

// The vectorcall of every compiled function: binds the arguments as the
// interpreter binds a Python function's, then runs the body.
PyObject* function_vectorcall(PyObject* self, PyObject* const* args, size_t nargsf,
                              PyObject* kwnames);

// Create a function of `def` defined in the module namespace `globals`;
// `class_name` prefixes the qualified name of methods.
Ref make_function(const FunctionDef& def, PyObject* globals, const char* class_name = nullptr);

bool is_function(PyObject* o);

// The builtins a function defined in `globals` sees, as the interpreter
// chooses them: the namespace's __builtins__ (module or dict), else the
// current builtins.
Ref builtins_of(PyObject* globals);

// NameError "name '%s' is not defined", with the name recorded on it.
[[noreturn]] void raise_name_error(PyObject* name);

// Ready the type; called once from the init function.
void init_function_type();

}  // namespace ts
