// How failures leave the module.
//
// Below the boundary, failures are values (IoError). At the boundary they
// become Python exceptions: an IoError becomes ValueError with the error's
// message, and anything thrown in C++ is stopped by the guard every entry
// point runs its body through. A failed allocation becomes MemoryError; an
// InternalFault, or whatever else, is reported on standard error and raised
// as the module's internal-failure exception, which derives from
// BaseException so that an ordinary `except Exception` does not swallow a
// broken invariant. No C++ exception ever unwinds into the interpreter.
#pragma once

#include "pybinding/python.hpp"

#include <source_location>
#include <string_view>
#include <type_traits>

#include "error/io_error.hpp"
#include "pybinding/ref.hpp"

namespace halvorn::py {

// Sets ValueError whose one argument is `message` (UTF-8); returns null so
// that an entry point can `return raise_value_error(...)`. Every failure the
// core or the terminal reports reaches Python this way.
PyObject* raise_value_error(std::string_view message);

// Sets ValueError with the message of `error`; returns null.
PyObject* raise_io_error(const IoError& error);

// Takes the pending Python exception out of the error indicator (empty Ref
// when there is none), and puts one back (nothing for an empty Ref).
Ref fetch_exception() noexcept;
void restore_exception(Ref exception) noexcept;

namespace detail {

// Call only from inside a catch block: reports the exception being handled
// and raises the internal-failure exception for it. `entry` names the entry
// point, for failures that carry no location of their own.
void raise_caught_failure(const std::source_location& entry) noexcept;

template <class R>
R error_value() noexcept {
    if constexpr (std::is_pointer_v<R>) {
        return nullptr;
    } else {
        static_assert(std::is_integral_v<R>, "entry points return an object or an integer");
        return static_cast<R>(-1);
    }
}

}  // namespace detail

// Runs the body of an entry point (module initialisation, constructor,
// method, slot) so that nothing thrown inside it reaches the interpreter.
// The body returns the entry point's result, with a Python exception set
// when that is the error value; anything thrown becomes the
// internal-failure exception and the error value. `entry` defaults to the
// calling entry point itself.
template <class Body>
auto guarded(Body&& body, std::source_location entry = std::source_location::current()) noexcept
    -> decltype(body()) {
    try {
        return body();
    } catch (...) {
        detail::raise_caught_failure(entry);
    }
    return detail::error_value<decltype(body())>();
}

// Runs the body of a deallocation, which must not raise: an exception left
// by the body, or anything it throws, goes to the interpreter's
// unraisable-exception hook with `where` as the object it happened in (pass
// the type, never the object being freed). An exception that was already
// pending when deallocation began is kept as it was.
template <class Body>
void guarded_dealloc(PyObject* where, Body&& body,
                     std::source_location entry = std::source_location::current()) noexcept {
    Ref pending = fetch_exception();
    try {
        body();
    } catch (...) {
        detail::raise_caught_failure(entry);
    }
    if (PyErr_Occurred()) PyErr_WriteUnraisable(where);
    restore_exception(std::move(pending));
}

}  // namespace halvorn::py
