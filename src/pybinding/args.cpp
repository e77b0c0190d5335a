#include "pybinding/args.hpp"

#include <algorithm>
#include <string>

#include "pybinding/errors.hpp"
#include "pybinding/ref.hpp"

namespace halvorn::py::detail {

namespace {

// The messages below follow the interpreter's own for Python functions,
// so that a call of ours fails the way a call of a Python function would.

bool takes_no_arguments(const ParamList& params) {
    PyErr_Format(PyExc_TypeError, "%s() takes no arguments", params.qualname);
    return false;
}

// "'a'", "'a' and 'b'", "'a', 'b', and 'c'".
std::string quoted_list(const ParamList& params, PyObject* const* slots, std::size_t count) {
    std::string text;
    std::size_t listed = 0;
    for (std::size_t i = 0; i < params.required; ++i) {
        if (slots[i] != nullptr) continue;
        if (listed > 0) text += count == 2 ? " and " : (listed + 1 == count ? ", and " : ", ");
        text += '\'';
        text += params.names[i];
        text += '\'';
        ++listed;
    }
    return text;
}

bool check_counts(const ParamList& params, Py_ssize_t nargs, PyObject* const* slots) {
    const std::size_t given = static_cast<std::size_t>(nargs);
    const std::size_t total = params.names.size();
    if (given > total) {
        if (params.required < total) {
            PyErr_Format(PyExc_TypeError,
                         "%s() takes from %zu to %zu positional arguments but %zu were given",
                         params.qualname, params.required, total, given);
        } else {
            PyErr_Format(PyExc_TypeError, "%s() takes %zu positional argument%s but %zu %s given",
                         params.qualname, total, total == 1 ? "" : "s", given,
                         given == 1 ? "was" : "were");
        }
        return false;
    }
    std::size_t missing = 0;
    for (std::size_t i = 0; i < params.required; ++i)
        missing += slots[i] == nullptr;
    if (missing > 0) {
        const std::string names = quoted_list(params, slots, missing);
        PyErr_Format(PyExc_TypeError, "%s() missing %zu required positional argument%s: %s",
                     params.qualname, missing, missing == 1 ? "" : "s", names.c_str());
        return false;
    }
    return true;
}

void place_positional(const ParamList& params, PyObject* const* args, Py_ssize_t nargs,
                      PyObject** slots) {
    const std::size_t count = std::min(static_cast<std::size_t>(nargs), params.names.size());
    for (std::size_t i = 0; i < count; ++i)
        slots[i] = args[i];
}

bool place_keyword(const ParamList& params, PyObject* name, PyObject* value, PyObject** slots) {
    if (!PyUnicode_Check(name)) {
        PyErr_Format(PyExc_TypeError, "%s() keywords must be strings", params.qualname);
        return false;
    }
    for (std::size_t i = 0; i < params.names.size(); ++i) {
        // Compares in place, without making a str of the parameter name.
        if (PyUnicode_CompareWithASCIIString(name, params.names[i]) != 0) continue;
        if (slots[i] != nullptr) {
            PyErr_Format(PyExc_TypeError, "%s() got multiple values for argument '%s'",
                         params.qualname, params.names[i]);
            return false;
        }
        slots[i] = value;
        return true;
    }
    PyErr_Format(PyExc_TypeError, "%s() got an unexpected keyword argument '%S'", params.qualname,
                 name);
    return false;
}

}  // namespace

bool bind_vector(const ParamList& params, PyObject* const* args, Py_ssize_t nargs,
                 PyObject* kwnames, PyObject** slots) {
    const Py_ssize_t nkw = kwnames == nullptr ? 0 : PyTuple_GET_SIZE(kwnames);
    if (params.names.empty()) return nargs == 0 && nkw == 0 ? true : takes_no_arguments(params);
    place_positional(params, args, nargs, slots);
    for (Py_ssize_t i = 0; i < nkw; ++i) {
        if (!place_keyword(params, PyTuple_GET_ITEM(kwnames, i), args[nargs + i], slots))
            return false;
    }
    return check_counts(params, nargs, slots);
}

bool bind_tuple(const ParamList& params, PyObject* args, PyObject* kwargs, PyObject** slots) {
    const Py_ssize_t nargs = args == nullptr ? 0 : PyTuple_GET_SIZE(args);
    const Py_ssize_t nkw = kwargs == nullptr ? 0 : PyDict_GET_SIZE(kwargs);
    if (params.names.empty()) return nargs == 0 && nkw == 0 ? true : takes_no_arguments(params);
    if (nargs > 0) place_positional(params, PySequence_Fast_ITEMS(args), nargs, slots);
    Py_ssize_t position = 0;
    PyObject* name = nullptr;
    PyObject* value = nullptr;
    while (nkw > 0 && PyDict_Next(kwargs, &position, &name, &value)) {
        if (!place_keyword(params, name, value, slots)) return false;
    }
    return check_counts(params, nargs, slots);
}

bool blame_argument(const char* name) {
    if (!PyErr_ExceptionMatches(PyExc_TypeError)) return false;
    Ref first = fetch_exception();
    PyErr_Format(PyExc_TypeError, "argument '%s': %S", name, first.get());
    Ref second = fetch_exception();
    if (second) {
        PyException_SetCause(second.get(), Ref::share(first.get()).release());
        PyException_SetContext(second.get(), first.release());
    }
    restore_exception(std::move(second));
    return false;
}

}  // namespace halvorn::py::detail
