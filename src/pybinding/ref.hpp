// Ownership of Python references, spelled out in types.
//
// Every reference this module owns lives in a Ref, which drops it in its
// destructor. A reference it only looks at (an argument, an item of a
// container, an object found in a dictionary) is a Borrowed when it is
// passed around or kept in a variable, and a bare PyObject* only where the
// interpreter's own signatures put one. Keeping an object alive or handing a
// new reference back to the interpreter is therefore always a visible act:
// a move, release(), or share() of a borrowed pointer.
#pragma once

#include "pybinding/python.hpp"

#include <utility>

namespace halvorn::py {

class Ref {
public:
    Ref() noexcept = default;

    // Adopts a new reference, such as the result of a call that returns one.
    // A null result (a failed call) gives an empty Ref.
    [[nodiscard]] static Ref steal(PyObject* object) noexcept { return Ref(object); }
    // Takes a reference of our own to an object that someone else owns.
    [[nodiscard]] static Ref share(PyObject* object) noexcept {
        Py_XINCREF(object);
        return Ref(object);
    }

    Ref(Ref&& other) noexcept : object_(std::exchange(other.object_, nullptr)) {}
    Ref& operator=(Ref&& other) noexcept {
        Ref old(std::exchange(object_, std::exchange(other.object_, nullptr)));
        return *this;
    }
    Ref(const Ref&) = delete;
    Ref& operator=(const Ref&) = delete;
    ~Ref() { Py_XDECREF(object_); }

    PyObject* get() const noexcept { return object_; }
    explicit operator bool() const noexcept { return object_ != nullptr; }

    // Hands the reference on (to the interpreter as a result, or to a call
    // that steals it); this Ref is empty afterwards.
    [[nodiscard]] PyObject* release() noexcept { return std::exchange(object_, nullptr); }

private:
    explicit Ref(PyObject* object) noexcept : object_(object) {}

    PyObject* object_ = nullptr;
};

// A reference owned elsewhere, valid only while its owner keeps it. It never
// touches the reference count; share() makes an owned reference from it.
class Borrowed {
public:
    constexpr Borrowed() noexcept = default;
    constexpr explicit Borrowed(PyObject* object) noexcept : object_(object) {}

    PyObject* get() const noexcept { return object_; }
    explicit operator bool() const noexcept { return object_ != nullptr; }
    [[nodiscard]] Ref share() const noexcept { return Ref::share(object_); }

private:
    PyObject* object_ = nullptr;
};

}  // namespace halvorn::py
