// Conversions between Python values and the values the core works with.
//
// Arguments: one converter per parameter kind, handed to bind_method or
// bind_constructor (args.hpp) with the variable it fills. Each returns false
// with a Python exception set when the value does not fit; a TypeError is
// then reported against the parameter by the binding layer, so the
// converters themselves know nothing of parameter names (but for one that
// raises another error about its argument, which is handed the name). Texts and byte
// strings are views into the Python object, valid while the call lasts.
//
// Results: each returns a new reference, or null with an exception set.
#pragma once

#include "pybinding/python.hpp"

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <utility>

#include "error/result.hpp"
#include "pybinding/errors.hpp"
#include "pybinding/ref.hpp"

namespace halvorn::py {

namespace arg {

// A str (or subclass), as its UTF-8 bytes. A str that has no UTF-8 form
// (lone surrogates) raises the interpreter's UnicodeEncodeError.
struct Text {
    std::string_view& out;
    bool operator()(PyObject* value) const;
};

// A path: a str, or an os.PathLike whose __fspath__ gives a str (a
// pathlib.PurePosixPath). The str that __fspath__ made is kept with the view,
// which is valid while the PathText lives.
struct PathText {
    std::string_view text;
    Ref made;
};
struct Path {
    PathText& out;
    bool operator()(PyObject* value) const;
};

// Like Text, but None, or leaving the argument out, gives no value.
struct OptionalText {
    std::optional<std::string_view>& out;
    bool operator()(PyObject* value) const;
    void absent() const { out.reset(); }
};

// A bytes object (or subclass) only: the contents of a bytearray or a
// memoryview could change under the core's feet while it works on them.
struct ByteString {
    std::span<const std::uint8_t>& out;
    bool operator()(PyObject* value) const;
};

// An int, or anything with __index__, from 0 to 2**64 - 1. Out of range
// raises OverflowError.
struct Size {
    std::uint64_t& out;
    bool operator()(PyObject* value) const;
};

// Like Size, but None, or leaving the argument out, gives no value.
struct OptionalSize {
    std::optional<std::uint64_t>& out;
    bool operator()(PyObject* value) const;
    void absent() const { out.reset(); }
};

// The memory of a contiguous object of the buffer protocol (bytes,
// bytearray, memoryview, array.array, a numpy array), held until the
// HeldBuffer goes. Its release may run Python code, so the holder lets it go
// only after every lock of the call is released. While it is held the
// memory cannot move or go (a bytearray refuses to resize), though the
// object's owner may still change the bytes: a copy from it is then the
// owner's race, never a read of freed memory.
class HeldBuffer {
public:
    HeldBuffer() = default;
    HeldBuffer(const HeldBuffer&) = delete;
    HeldBuffer& operator=(const HeldBuffer&) = delete;
    ~HeldBuffer() {
        if (held_) PyBuffer_Release(&view_);
    }
    std::span<std::uint8_t> bytes() const {
        return {static_cast<std::uint8_t*>(view_.buf), static_cast<std::size_t>(view_.len)};
    }

private:
    friend struct Writable;
    friend struct BytesLike;
    Py_buffer view_{};
    bool held_ = false;
};
// Writable memory only (bytearray, not bytes), for a read to fill.
struct Writable {
    HeldBuffer& out;
    bool operator()(PyObject* value) const;
};
// Any contiguous memory, read-only too, for a write to copy from.
struct BytesLike {
    HeldBuffer& out;
    bool operator()(PyObject* value) const;
};

// A limit: None, or leaving the argument out, gives no value; else a
// positive int (or anything with __index__), up to 2**64 - 1. A bool is
// refused with TypeError, as no count; zero or a negative value with
// ValueError, which names the argument; a larger one raises OverflowError.
struct Limit {
    std::optional<std::uint64_t>& out;
    bool operator()(PyObject* value, const char* name) const;
    void absent() const { out.reset(); }
};

// True or False, or a numpy boolean scalar; an int is refused, so that a
// flag cannot be passed by accident as a count or the other way round.
struct Boolean {
    bool& out;
    bool operator()(PyObject* value) const;
};

// An instance of one of our classes; `type` gives the class (made on first
// use, so asking for it can fail).
struct Instance {
    PyTypeObject* (*type)();
    Borrowed& out;
    bool operator()(PyObject* value) const;
};

}  // namespace arg

// None, as a new reference.
PyObject* none() noexcept;
PyObject* to_int(std::uint64_t value) noexcept;
// A new str from UTF-8 text.
PyObject* to_str(std::string_view text) noexcept;
PyObject* to_bytes(std::span<const std::uint8_t> bytes) noexcept;

// None for success, the mapped IoError otherwise.
inline PyObject* from_status(const Status& status) {
    return status ? none() : raise_io_error(status.error());
}

// The value converted by `convert` (one of the above, or a lambda) on
// success, the mapped IoError otherwise. A result passed as an rvalue hands
// its value over, so that a value that owns something (a file handle) can
// be moved into the object made from it.
template <class R, class Convert>
PyObject* from_result(R&& result, Convert&& convert) {
    return result ? convert(*std::forward<R>(result)) : raise_io_error(result.error());
}

}  // namespace halvorn::py
