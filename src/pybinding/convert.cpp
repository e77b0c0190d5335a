#include "pybinding/convert.hpp"

#include <cstring>

#include "pybinding/class_type.hpp"

namespace halvorn::py {

namespace {

bool wrong_type(const char* expected, PyObject* value) {
    PyErr_Format(PyExc_TypeError, "expected %s, got %s", expected,
                 short_name(Py_TYPE(value)->tp_name));
    return false;
}

// numpy's boolean scalar is not a bool subclass, so it is recognised by its
// type's full name: numpy.bool_ up to numpy 1, numpy.bool from numpy 2. Only
// a static (C-defined) type's tp_name is its full dotted name; a Python
// class could call itself anything.
bool is_numpy_bool(PyTypeObject* type) {
    if (PyType_HasFeature(type, Py_TPFLAGS_HEAPTYPE)) return false;
    return std::strcmp(type->tp_name, "numpy.bool_") == 0 ||
           std::strcmp(type->tp_name, "numpy.bool") == 0;
}

}  // namespace

namespace arg {

bool Text::operator()(PyObject* value) const {
    if (!PyUnicode_Check(value)) return wrong_type("str", value);
    Py_ssize_t size = 0;
    // The UTF-8 form is cached in the str object, so the view stays valid as
    // long as the argument does.
    const char* data = PyUnicode_AsUTF8AndSize(value, &size);
    if (data == nullptr) return false;
    out = std::string_view(data, static_cast<std::size_t>(size));
    return true;
}

bool Path::operator()(PyObject* value) const {
    if (PyUnicode_Check(value)) return Text{out.text}(value);
    // Only an os.PathLike is asked for its path (a special method, looked up
    // on the type); anything else keeps the message a str parameter gives.
    if (PyBytes_Check(value) || !PyObject_HasAttrString(reinterpret_cast<PyObject*>(Py_TYPE(value)),
                                                        "__fspath__"))
        return wrong_type("str", value);
    Ref path = Ref::steal(PyOS_FSPath(value));
    if (!path) return false;
    if (!PyUnicode_Check(path.get())) {
        PyErr_Format(PyExc_TypeError, "expected str from os.fspath(), got %s",
                     short_name(Py_TYPE(path.get())->tp_name));
        return false;
    }
    if (!Text{out.text}(path.get())) return false;
    out.made = std::move(path);
    return true;
}

bool OptionalText::operator()(PyObject* value) const {
    if (value == Py_None) {
        out.reset();
        return true;
    }
    std::string_view text;
    if (!Text{text}(value)) return false;
    out = text;
    return true;
}

bool ByteString::operator()(PyObject* value) const {
    if (!PyBytes_Check(value)) return wrong_type("bytes", value);
    out = std::span(reinterpret_cast<const std::uint8_t*>(PyBytes_AS_STRING(value)),
                    static_cast<std::size_t>(PyBytes_GET_SIZE(value)));
    return true;
}

bool Size::operator()(PyObject* value) const {
    // The interpreter's own conversions give the messages: OverflowError
    // "can't convert negative int to unsigned" or "int too big to convert",
    // TypeError "'str' object cannot be interpreted as an integer".
    Ref index;
    if (!PyLong_Check(value)) {
        index = Ref::steal(PyNumber_Index(value));
        if (!index) return false;
        value = index.get();
    }
    const unsigned long long number = PyLong_AsUnsignedLongLong(value);
    if (number == static_cast<unsigned long long>(-1) && PyErr_Occurred()) return false;
    out = number;
    return true;
}

bool OptionalSize::operator()(PyObject* value) const {
    if (value == Py_None) {
        out.reset();
        return true;
    }
    std::uint64_t size = 0;
    if (!Size{size}(value)) return false;
    out = size;
    return true;
}

bool Writable::operator()(PyObject* value) const {
    if (!PyObject_CheckBuffer(value)) return wrong_type("a writable bytes-like object", value);
    if (PyObject_GetBuffer(value, &out.view_, PyBUF_WRITABLE) == 0) {
        out.held_ = true;
        return true;
    }
    // Read-only memory (bytes) is a wrong type of argument, as io's own
    // readinto says; memory that is not contiguous keeps its BufferError.
    if (!PyErr_ExceptionMatches(PyExc_BufferError)) return false;
    Ref refused = fetch_exception();
    Py_buffer view;
    if (PyObject_GetBuffer(value, &view, PyBUF_SIMPLE) == 0) {
        PyBuffer_Release(&view);
        return wrong_type("a writable bytes-like object", value);
    }
    PyErr_Clear();
    restore_exception(std::move(refused));
    return false;
}

bool BytesLike::operator()(PyObject* value) const {
    if (!PyObject_CheckBuffer(value)) return wrong_type("a bytes-like object", value);
    // Memory that is not contiguous keeps the BufferError that says so.
    if (PyObject_GetBuffer(value, &out.view_, PyBUF_SIMPLE) != 0) return false;
    out.held_ = true;
    return true;
}

bool Limit::operator()(PyObject* value, const char* name) const {
    if (value == Py_None) {
        out.reset();
        return true;
    }
    // To Python a bool is an int, but max_nodes=True is a slip, not a count.
    if (PyBool_Check(value)) return wrong_type("int or None", value);
    Ref index = Ref::steal(PyNumber_Index(value));
    if (!index) return false;
    int sign = 0;
    const long long small = PyLong_AsLongLongAndOverflow(index.get(), &sign);
    if (small == -1 && PyErr_Occurred()) return false;
    if (sign < 0 || (sign == 0 && small <= 0)) {
        PyErr_Format(PyExc_ValueError, "argument '%s': expected a positive int or None, got %R",
                     name, index.get());
        return false;
    }
    const unsigned long long number = PyLong_AsUnsignedLongLong(index.get());
    if (number == static_cast<unsigned long long>(-1) && PyErr_Occurred()) return false;
    out = number;
    return true;
}

bool Boolean::operator()(PyObject* value) const {
    if (value == Py_True || value == Py_False) {
        out = value == Py_True;
        return true;
    }
    if (!is_numpy_bool(Py_TYPE(value))) return wrong_type("bool", value);
    const int truth = PyObject_IsTrue(value);
    if (truth < 0) return false;
    out = truth != 0;
    return true;
}

bool Instance::operator()(PyObject* value) const {
    PyTypeObject* expected = type();
    if (expected == nullptr) return false;
    if (!PyObject_TypeCheck(value, expected))
        return wrong_type(short_name(expected->tp_name), value);
    out = Borrowed(value);
    return true;
}

}  // namespace arg

PyObject* none() noexcept {
    Py_RETURN_NONE;
}

PyObject* to_int(std::uint64_t value) noexcept {
    return PyLong_FromUnsignedLongLong(static_cast<unsigned long long>(value));
}

namespace {

bool is_ascii(std::string_view text) {
    std::size_t i = 0;
    for (; i + 8 <= text.size(); i += 8) {
        std::uint64_t word;
        std::memcpy(&word, text.data() + i, 8);
        if (word & 0x8080808080808080ULL) return false;
    }
    for (; i < text.size(); ++i) {
        if (static_cast<unsigned char>(text[i]) >= 0x80) return false;
    }
    return true;
}

}  // namespace

PyObject* to_str(std::string_view text) noexcept {
    // Names are mostly ASCII: then the text is the str's storage as it is,
    // and the general decoder's bookkeeping can be skipped.
    if (is_ascii(text)) {
        PyObject* str = PyUnicode_New(static_cast<Py_ssize_t>(text.size()), 127);
        if (str != nullptr && !text.empty())
            std::memcpy(PyUnicode_DATA(str), text.data(), text.size());
        return str;
    }
    return PyUnicode_DecodeUTF8(text.data(), static_cast<Py_ssize_t>(text.size()), nullptr);
}

PyObject* to_bytes(std::span<const std::uint8_t> bytes) noexcept {
    return PyBytes_FromStringAndSize(reinterpret_cast<const char*>(bytes.data()),
                                     static_cast<Py_ssize_t>(bytes.size()));
}

}  // namespace halvorn::py
