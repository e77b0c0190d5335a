// The type objects of the module's classes.
//
// Each class is described once by a ClassDef and its type object is made
// from it on first use (module initialisation, the first instance, the first
// argument check against it) and then kept for the life of the process.
// Every class gets the same properties: named "builtins.<Name>", only the
// default type flags, so it cannot be subclassed, has no instance __dict__,
// no weak references and is not tracked by the cyclic garbage collector.
#pragma once

#include "pybinding/python.hpp"

#include <atomic>
#include <span>

namespace halvorn::py {

struct ClassDef {
    const char* name;  // "builtins.PyFs"; must be static, the type keeps pointing at it
    // The constructor's signature, such as "()" or "(fs)", for classes that
    // have one (a Py_tp_new slot); null for classes Python cannot construct.
    const char* signature;
    const char* doc;
    int basicsize;
    // The slots, without Py_tp_doc and without the terminating entry. A
    // class without Py_tp_new gets one that raises "No constructor defined".
    std::span<const PyType_Slot> slots;
    // Called once, right after the type object is made, for a class that
    // puts attributes of its own in its class dictionary (values made once
    // and shared by every access). False with a Python exception set if
    // that fails; the type is then dropped and made afresh on the next use.
    bool (*populate)(PyTypeObject* type) = nullptr;
};

class ClassType {
public:
    constexpr explicit ClassType(const ClassDef& def) : def_(&def) {}

    // The type object, borrowed; null with a Python exception set if it
    // could not be made (the next call tries again).
    PyTypeObject* get();

private:
    const ClassDef* def_;
    // Not a function-local static: making the type can run Python code that
    // lets another thread in, which must not block on a C++ initialisation
    // guard. Threads that get here together each make one and the first to
    // publish it wins (locked.hpp, rule 4); the release of that exchange
    // makes the type and its populated dictionary visible to every reader.
    std::atomic<PyTypeObject*> type_ = nullptr;
};

// A dotted type name without its module, as the interpreter shows a type in
// its own messages: "PyFs" for "builtins.PyFs", "int" for "int".
const char* short_name(const char* dotted_name);

// The shape of a METH_FASTCALL | METH_KEYWORDS method (see args.hpp).
using FastcallMethod = PyObject* (*)(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                                     PyObject* kwnames);

// The shape of a METH_NOARGS method; the interpreter refuses any argument.
using NoArgsMethod = PyObject* (*)(PyObject* self, PyObject* unused);

// A method table stores every method as a PyCFunction and calls it by the
// shape its flags name; the cast goes through void (*)() to say so.
inline PyCFunction fastcall(FastcallMethod method) {
    return reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(method));
}

// Method table entries, the flags always matching the function's shape.
// `doc` starts with the signature line ("read($self, buffer)\n--\n\n"),
// from which the interpreter takes __text_signature__.
inline PyMethodDef method(const char* name, FastcallMethod function, const char* doc) {
    return {name, fastcall(function), METH_FASTCALL | METH_KEYWORDS, doc};
}
inline PyMethodDef method(const char* name, NoArgsMethod function, const char* doc) {
    return {name, function, METH_NOARGS, doc};
}

}  // namespace halvorn::py
