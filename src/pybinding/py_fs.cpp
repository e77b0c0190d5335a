#include "pybinding/py_fs.hpp"

#include <new>
#include <utility>

#include "pybinding/args.hpp"
#include "pybinding/class_type.hpp"
#include "pybinding/convert.hpp"
#include "pybinding/errors.hpp"
#include "pybinding/ref.hpp"

namespace halvorn::py::py_fs {

namespace {

struct PyFsObject {
    PyObject ob_base;  // what PyObject_HEAD declares
    // Constructed in construct(), destroyed in dealloc(); shared with the
    // file handles and terminals made on this file system.
    std::shared_ptr<FileSystem> fs;
};

PyFsObject* as_fs(PyObject* self) {
    return reinterpret_cast<PyFsObject*>(self);
}

// --- Constructor, destructor and string form ---------------------------------

constexpr Params<0> kConstructor{"PyFs", {}};

PyObject* construct(PyTypeObject* type, PyObject* args, PyObject* kwargs) noexcept {
    return guarded([&]() -> PyObject* {
        if (!bind_constructor(kConstructor, args, kwargs)) return nullptr;
        // The file system first: if that throws, there is no half-made
        // object whose deallocation would destroy a member never constructed.
        std::shared_ptr<FileSystem> fs = FileSystem::create();
        PyObject* self = type->tp_alloc(type, 0);
        if (self == nullptr) return nullptr;
        new (&as_fs(self)->fs) std::shared_ptr<FileSystem>(std::move(fs));
        return self;
    });
}

void dealloc(PyObject* self) noexcept {
    PyTypeObject* type = Py_TYPE(self);
    guarded_dealloc(reinterpret_cast<PyObject*>(type), [&] {
        using Shared = std::shared_ptr<FileSystem>;
        as_fs(self)->fs.~Shared();
    });
    type->tp_free(self);
    Py_DECREF(type);  // every instance of a heap type holds a reference to it
}

PyObject* str(PyObject* self) noexcept {
    return guarded([&] { return to_str(as_fs(self)->fs->render()); });
}

// --- Methods ----------------------------------------------------------------
// mkdir, touch, open, listdir, remove and tree go here, each entered in
// kMethods below.

PyMethodDef kMethods[] = {
    {},
};

// --- The class ---------------------------------------------------------------

constexpr const char* kDoc =
    "\n"
    "An highly simplified binding for a simple filesystem written in C++\n"
    "\n"
    "This class is a simple wrapper around the FileSystem struct. It defines\n"
    "the basis for a small filesystem that can be used in Python. The filesystem\n"
    "can handle files, nested directories and symlinks.\n"
    "\n"
    "The filesystem is thread-safe and can be shared between multiple threads.\n";

const PyType_Slot kSlots[] = {
    {.slot = Py_tp_new, .pfunc = reinterpret_cast<void*>(&construct)},
    {.slot = Py_tp_dealloc, .pfunc = reinterpret_cast<void*>(&dealloc)},
    {.slot = Py_tp_str, .pfunc = reinterpret_cast<void*>(&str)},
    {.slot = Py_tp_methods, .pfunc = kMethods},
};

const ClassDef kClassDef{
    .name = "builtins.PyFs",
    .signature = "()",
    .doc = kDoc,
    .basicsize = sizeof(PyFsObject),
    .slots = kSlots,
};

constinit ClassType g_type(kClassDef);

}  // namespace

PyTypeObject* type() {
    return g_type.get();
}

const std::shared_ptr<FileSystem>& file_system(PyObject* self) {
    return as_fs(self)->fs;
}

}  // namespace halvorn::py::py_fs
