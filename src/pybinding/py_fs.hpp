// PyFs: the Python class that owns one in-memory file system.
#pragma once

#include "pybinding/python.hpp"

#include <memory>

#include "fs/file_system.hpp"

namespace halvorn::py::py_fs {

// The PyFs type object, made on first use; null with a Python exception set
// if it cannot be made. For the module's class table and for checking that
// an argument is a PyFs (arg::Instance{py_fs::type, ...}).
PyTypeObject* type();

// The file system of `self`, which must be a PyFs instance: a method's
// receiver (the interpreter checks it) or an argument accepted by
// arg::Instance{py_fs::type, ...}. Copy the shared_ptr to keep the file
// system beyond the call, as a file handle or a terminal does.
const std::shared_ptr<FileSystem>& file_system(PyObject* self);

}  // namespace halvorn::py::py_fs
