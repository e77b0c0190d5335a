#include "pybinding/whence.hpp"

#include <cstdint>
#include <iterator>

#include "pybinding/class_type.hpp"
#include "pybinding/convert.hpp"
#include "pybinding/errors.hpp"
#include "pybinding/object.hpp"

namespace halvorn::py::whence {

namespace {

struct Member {
    const char* name;
    const char* repr;
    SeekOrigin origin;
};

// Indexed by the member's integer value, which is what Python code compares
// and converts. The core numbers its origins differently (End before
// Current), so the value is never passed on as it is.
constexpr Member kMembers[] = {
    {"SEEK_SET", "Whence.SEEK_SET", SeekOrigin::Start},
    {"SEEK_CUR", "Whence.SEEK_CUR", SeekOrigin::Current},
    {"SEEK_END", "Whence.SEEK_END", SeekOrigin::End},
};

// The payload is the member's value, an index into kMembers.
using WhenceObject = Object<std::uint8_t>;

std::uint8_t value_of(PyObject* self) {
    return WhenceObject::of(self);
}

PyObject* repr(PyObject* self) noexcept {
    return guarded([&] { return to_str(kMembers[value_of(self)].repr); });
}

PyObject* to_integer(PyObject* self) noexcept {
    return guarded([&] { return to_int(value_of(self)); });
}

// == and != against another member or anything with an integer value
// (through __index__), by value. Everything else, and every ordering, is
// left to the interpreter, which makes == with a str false and < an error.
PyObject* compare(PyObject* self, PyObject* other, int op) noexcept {
    return guarded([&]() -> PyObject* {
        if (op != Py_EQ && op != Py_NE) Py_RETURN_NOTIMPLEMENTED;
        long long other_value = 0;
        if (Py_TYPE(other) == Py_TYPE(self)) {
            other_value = value_of(other);
        } else {
            if (!PyIndex_Check(other)) Py_RETURN_NOTIMPLEMENTED;
            other_value = PyLong_AsLongLong(other);  // through __index__
            if (other_value == -1 && PyErr_Occurred()) {
                // A value that does not fit, or an __index__ that fails, is
                // simply not comparable; only an interrupt or an exit gets
                // through.
                if (!PyErr_ExceptionMatches(PyExc_Exception)) return nullptr;
                PyErr_Clear();
                Py_RETURN_NOTIMPLEMENTED;
            }
        }
        const bool equal = other_value == value_of(self);
        return PyBool_FromLong(equal == (op == Py_EQ));
    });
}

// The members are made once, with the class, and kept in its dictionary, so
// `Whence.SEEK_SET is Whence.SEEK_SET`. Whence has no constructor of its
// own: these three are the only instances there are.
bool add_members(PyTypeObject* type) {
    for (std::size_t value = 0; value < std::size(kMembers); ++value) {
        Ref member = Ref::steal(WhenceObject::create(type, static_cast<std::uint8_t>(value)));
        if (!member) return false;
        if (PyObject_SetAttrString(reinterpret_cast<PyObject*>(type), kMembers[value].name,
                                   member.get()) < 0)
            return false;
    }
    return true;
}

constexpr const char* kDoc =
    "\n"
    "A small enumeration to determine the whence\n"
    "when seeking in a file.\n";

// Comparison without a hash slot: the interpreter sets __hash__ to None, so
// members cannot be set members or dictionary keys, as == with ints would
// demand equal hashes.
const PyType_Slot kSlots[] = {
    {.slot = Py_tp_dealloc, .pfunc = reinterpret_cast<void*>(&WhenceObject::dealloc)},
    {.slot = Py_tp_repr, .pfunc = reinterpret_cast<void*>(&repr)},
    {.slot = Py_nb_int, .pfunc = reinterpret_cast<void*>(&to_integer)},
    {.slot = Py_tp_richcompare, .pfunc = reinterpret_cast<void*>(&compare)},
};

const ClassDef kClassDef{
    .name = "builtins.Whence",
    .signature = nullptr,
    .doc = kDoc,
    .basicsize = sizeof(WhenceObject),
    .slots = kSlots,
    .populate = add_members,
};

constinit ClassType g_type(kClassDef);

}  // namespace

PyTypeObject* type() {
    return g_type.get();
}

SeekOrigin origin(Borrowed member) {
    return kMembers[value_of(member.get())].origin;
}

}  // namespace halvorn::py::whence
