#include "pybinding/py_term.hpp"

#include <cstdint>
#include <string_view>
#include <utility>

#include "pybinding/args.hpp"
#include "pybinding/class_type.hpp"
#include "pybinding/convert.hpp"
#include "pybinding/errors.hpp"
#include "pybinding/locked.hpp"
#include "pybinding/object.hpp"
#include "pybinding/py_fs.hpp"
#include "pybinding/ref.hpp"
#include "terminal/terminal.hpp"

namespace halvorn::py::py_term {

namespace {

// A run may move the terminal's current directory, so runs on one terminal
// are serialised by its mutex.
using TermObject = Object<Locked<terminal::Terminal>>;

// --- Constructor -------------------------------------------------------------

constexpr Params<1> kConstructor{"PyTerm", {"fs"}};

PyObject* construct(PyTypeObject* type, PyObject* args, PyObject* kwargs) noexcept {
    return guarded([&]() -> PyObject* {
        Borrowed fs;
        if (!bind_constructor(kConstructor, args, kwargs, arg::Instance{py_fs::type, fs}))
            return nullptr;
        // The terminal shares the file system, not the PyFs object, so it
        // goes on working after that object is gone.
        terminal::Terminal made(py_fs::file_system(fs.get()));
        return TermObject::create(type, std::move(made));
    });
}

// --- String form -------------------------------------------------------------

// The current directory by id: its path could be long and could be gone (a
// removed directory keeps its id until the next `cd`), an id is neither.
PyObject* repr(PyObject* self) noexcept {
    return guarded([&] {
        const std::uint64_t cwd = TermObject::of(self).with_lock(
            [](const terminal::Terminal& terminal) { return terminal.context.cwd; });
        return PyUnicode_FromFormat("<halvorn.PyTerm cwd_id=%llu>",
                                    static_cast<unsigned long long>(cwd));
    });
}

// --- Methods -----------------------------------------------------------------

constexpr Params<1> kExec{"PyTerm.exec", {"command"}};
constexpr const char* kExecDoc =
    "exec($self, command)\n--\n\n\n"
    "Execute a command in the terminal.\n";

PyObject* exec(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
               PyObject* kwnames) noexcept {
    return guarded([&]() -> PyObject* {
        std::string_view command;
        if (!bind_method(kExec, args, nargs, kwnames, arg::Text{command})) return nullptr;
        terminal::TextResult result = TermObject::of(self).with_lock(
            [&](terminal::Terminal& terminal) { return terminal.run(command); });
        // The terminal's error texts are complete messages of their own.
        return result ? to_str(*result) : raise_value_error(result.error());
    });
}

PyMethodDef kMethods[] = {
    method("exec", exec, kExecDoc),
    {},
};

// --- The class ---------------------------------------------------------------

constexpr const char* kDoc =
    "\n"
    "A structure representing a simple terminal\n";

const PyType_Slot kSlots[] = {
    {.slot = Py_tp_new, .pfunc = reinterpret_cast<void*>(&construct)},
    {.slot = Py_tp_dealloc, .pfunc = reinterpret_cast<void*>(&TermObject::dealloc)},
    {.slot = Py_tp_repr, .pfunc = reinterpret_cast<void*>(&repr)},
    {.slot = Py_tp_methods, .pfunc = kMethods},
};

const ClassDef kClassDef{
    .name = "builtins.PyTerm",
    .signature = "(fs)",
    .doc = kDoc,
    .basicsize = sizeof(TermObject),
    .slots = kSlots,
};

constinit ClassType g_type(kClassDef);

}  // namespace

PyTypeObject* type() {
    return g_type.get();
}

}  // namespace halvorn::py::py_term
