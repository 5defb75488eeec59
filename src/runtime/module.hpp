// Building a module's namespace from C++: the import statements, function
// tables and class statements that a module body executes, in order.
#pragma once

#include "runtime/function.hpp"
#include "runtime/object.hpp"

#include <vector>

namespace ts {

// A class statement: a plain class built with type(name, (), namespace).
struct MemberDef {
    enum Kind { method, property } kind;
    FunctionDef fn;
};

struct ClassDef {
    const char* name;
    const char* doc;  // nullptr: no docstring
    std::vector<MemberDef> members;
};

class ModuleScope {
public:
    explicit ModuleScope(PyObject* module);

    PyObject* module() const { return module_; }
    PyObject* globals() const { return globals_; }

    // import <name> [as <alias>]
    void import_as(const char* name, const char* alias);
    // from <name> import <item> [as <alias>], one item
    void from_import(const char* name, const char* item, const char* alias);
    // from <name> import *
    void import_star(const char* name);
    // <name> = value
    void set(const char* name, const Ref& value);
    // a global, then a builtin; NameError otherwise
    Ref get(const char* name) const;

    // def statements, in table order
    void define(const std::vector<FunctionDef>& table);
    // class statement; returns the class after binding it
    Ref define_class(const ClassDef& def);

private:
    PyObject* module_;
    PyObject* globals_;
};

// Names bound by a module body and read later by fast paths: the object a
// global held when the body ran, for identity checks at call time.
Ref lookup_global(PyObject* globals, PyObject* builtins, PyObject* name);

}  // namespace ts
