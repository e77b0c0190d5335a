// The interpreter's C interface, included before anything else: Python.h
// sets feature macros that the C library headers must see first, and
// PY_SSIZE_T_CLEAN makes every "#" length in the interpreter's format
// strings a Py_ssize_t.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>
