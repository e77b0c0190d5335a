// PyFileHandle: the Python class of an open file, made only by PyFs.open.
#pragma once

#include "pybinding/python.hpp"

#include "fs/file_handle.hpp"

namespace halvorn::py::py_file_handle {

// The PyFileHandle type object, made on first use; null with a Python
// exception set if it cannot be made.
PyTypeObject* type();

// A new PyFileHandle that owns `handle` (and through it the file's lock and
// a share of the file system); null with a Python exception set if the
// object cannot be made, in which case the handle is closed again.
PyObject* wrap(FileHandle handle) noexcept;

}  // namespace halvorn::py::py_file_handle
