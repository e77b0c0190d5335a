// Whence: the Python enumeration that names where a seek counts from.
#pragma once

#include "pybinding/python.hpp"

#include "fs/file_handle.hpp"
#include "pybinding/ref.hpp"

namespace halvorn::py::whence {

// The Whence type object, with its members SEEK_SET, SEEK_CUR and SEEK_END;
// made on first use, null with a Python exception set if it cannot be made.
PyTypeObject* type();

// The origin that `member`, a Whence instance (as arg::Instance{whence::type,
// ...} accepts), stands for in the core.
SeekOrigin origin(Borrowed member);

}  // namespace halvorn::py::whence
