// The memory of an instance of one of the module's classes: the object
// header the interpreter manages, followed by a C++ payload.
//
// The interpreter allocates and frees the memory but knows nothing of C++,
// so the payload is constructed in place once the memory exists and
// destroyed before it is freed. A class states its layout once, as
// Object<Payload>, and uses it for its basicsize, to reach the payload of
// `self`, to make instances and as its deallocation slot.
#pragma once

#include "pybinding/python.hpp"

#include <new>
#include <type_traits>
#include <utility>

#include "pybinding/errors.hpp"

namespace halvorn::py {

template <class Payload>
struct Object {
    PyObject ob_base;  // what PyObject_HEAD declares
    Payload payload;

    // The payload of `self`, which must be an instance of a class laid out
    // as this Object.
    static Payload& of(PyObject* self) noexcept { return reinterpret_cast<Object*>(self)->payload; }

    // A new instance of `type` whose payload is made from `args`; null with
    // a Python exception set if the memory cannot be had. Whatever the
    // payload is to own is built by the caller beforehand, so that nothing
    // can fail between allocation and construction and leave an instance
    // whose deallocation would destroy a payload that was never made.
    template <class... Args>
    static PyObject* create(PyTypeObject* type, Args&&... args) noexcept {
        static_assert(std::is_nothrow_constructible_v<Payload, Args&&...>,
                      "build what may fail before the instance is allocated");
        PyObject* self = type->tp_alloc(type, 0);
        if (self == nullptr) return nullptr;
        new (&of(self)) Payload(std::forward<Args>(args)...);
        return self;
    }

    // The deallocation slot: destroys the payload, frees the memory and
    // drops the reference every instance of a heap type holds to its type.
    static void dealloc(PyObject* self) noexcept {
        PyTypeObject* type = Py_TYPE(self);
        guarded_dealloc(reinterpret_cast<PyObject*>(type), [&] { of(self).~Payload(); });
        type->tp_free(self);
        Py_DECREF(type);
    }
};

}  // namespace halvorn::py
