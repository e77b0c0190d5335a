#include "pybinding/errors.hpp"

#include <pthread.h>
#include <sys/uio.h>
#include <unistd.h>

#include <array>
#include <atomic>
#include <charconv>
#include <exception>
#include <new>
#include <string>
#include <string_view>

#include "error/internal_fault.hpp"

namespace halvorn::py {

PyObject* raise_value_error(std::string_view message) {
    Ref text = Ref::steal(
        PyUnicode_FromStringAndSize(message.data(), static_cast<Py_ssize_t>(message.size())));
    if (text) PyErr_SetObject(PyExc_ValueError, text.get());
    return nullptr;
}

PyObject* raise_io_error(const IoError& error) {
    return raise_value_error(error.message());
}

// Python 3.12 replaced the (type, value, traceback) triple of the error
// indicator by a single exception object; older versions only have the
// triple, whose functions 3.12 deprecates.
Ref fetch_exception() noexcept {
#if PY_VERSION_HEX >= 0x030C0000
    return Ref::steal(PyErr_GetRaisedException());
#else
    PyObject* type = nullptr;
    PyObject* value = nullptr;
    PyObject* traceback = nullptr;
    PyErr_Fetch(&type, &value, &traceback);
    if (type == nullptr) return {};
    PyErr_NormalizeException(&type, &value, &traceback);
    Ref owned_type = Ref::steal(type);
    Ref owned_traceback = Ref::steal(traceback);
    if (value != nullptr && traceback != nullptr) PyException_SetTraceback(value, traceback);
    return Ref::steal(value);
#endif
}

void restore_exception(Ref exception) noexcept {
    if (!exception) return;
#if PY_VERSION_HEX >= 0x030C0000
    PyErr_SetRaisedException(exception.release());
#else
    PyObject* value = exception.release();
    PyObject* type = reinterpret_cast<PyObject*>(Py_TYPE(value));
    Py_INCREF(type);
    PyErr_Restore(type, value, PyException_GetTraceback(value));
#endif
}

namespace {

constexpr std::string_view kNoDescription = "internal failure without a description";

// The exception class of internal failures. Made on first use and kept for
// the life of the process. It is deliberately not an attribute of the
// module: nothing should catch it by name, as it means the module is broken.
// Not a function-local static: making the class can run Python code that
// lets another thread in, and that thread must not block on a C++
// initialisation guard. Threads that get here together each make one and
// the first to publish it wins (locked.hpp, rule 4).
std::atomic<PyObject*> g_internal_failure = nullptr;

PyObject* internal_failure_class() {
    if (PyObject* known = g_internal_failure.load(std::memory_order_acquire)) return known;
    PyObject* made = PyErr_NewExceptionWithDoc(
        "halvorn.InternalFault",
        "An internal invariant of halvorn was violated; the object involved "
        "may be left in an inconsistent state.",
        PyExc_BaseException, nullptr);
    if (made == nullptr) return nullptr;
    PyObject* published = nullptr;
    if (!g_internal_failure.compare_exchange_strong(published, made, std::memory_order_acq_rel)) {
        Py_DECREF(made);  // another thread published its own first
        return published;
    }
    return made;
}

std::string_view describe(const char* text) {
    std::string_view view = text == nullptr ? std::string_view() : std::string_view(text);
    return view.empty() ? kNoDescription : view;
}

std::string_view describe(const std::string& text) {
    return text.empty() ? kNoDescription : std::string_view(text);
}

// One line on the process's standard error, written in one call and without
// allocating, since the failure being reported may be a failed allocation:
//   halvorn: internal failure in thread 'NAME' (tid N) at FILE:LINE (FUNCTION): MESSAGE
void report(const std::source_location& where, std::string_view message) noexcept {
    std::array<char, 16> name{};  // thread names are at most 15 bytes
    if (pthread_getname_np(pthread_self(), name.data(), name.size()) != 0) name[0] = '\0';
    const std::string_view thread_name(name.data());

    std::array<char, 24> tid{};
    const std::string_view tid_text(
        tid.data(), std::to_chars(tid.begin(), tid.end(), gettid()).ptr - tid.data());
    std::array<char, 24> line{};
    const std::string_view line_text(
        line.data(), std::to_chars(line.begin(), line.end(), where.line()).ptr - line.data());

    const std::string_view parts[] = {
        "halvorn: internal failure in thread '",
        thread_name,
        "' (tid ",
        tid_text,
        ") at ",
        where.file_name(),
        ":",
        line_text,
        " (",
        where.function_name(),
        "): ",
        message,
        "\n",
    };
    std::array<iovec, std::size(parts)> vectors{};
    for (std::size_t i = 0; i < std::size(parts); ++i) {
        vectors[i] = {const_cast<char*>(parts[i].data()), parts[i].size()};
    }
    // Nothing sensible is left to do if standard error is gone.
    [[maybe_unused]] const ssize_t written =
        writev(STDERR_FILENO, vectors.data(), static_cast<int>(vectors.size()));
}

// Raises the internal-failure exception with `message`. An exception that
// was already pending is kept as its context rather than lost. If the
// exception cannot even be made, the failure to make it (a MemoryError) is
// what Python sees.
void raise_internal_failure(std::string_view message) noexcept {
    Ref pending = fetch_exception();
    if (PyObject* cls = internal_failure_class()) {
        Ref text = Ref::steal(PyUnicode_DecodeUTF8(
            message.data(), static_cast<Py_ssize_t>(message.size()), "replace"));
        if (text) PyErr_SetObject(cls, text.get());
    }
    if (pending) {
        Ref raised = fetch_exception();
        if (raised) PyException_SetContext(raised.get(), pending.release());
        restore_exception(std::move(raised));
    }
}

}  // namespace

namespace detail {

void raise_caught_failure(const std::source_location& entry) noexcept {
    try {
        throw;
    } catch (const std::bad_alloc&) {
        // Running out of memory breaks no invariant (every operation that
        // allocates leaves its object as it was when it fails) and is the
        // caller's to handle, so it is the MemoryError the interpreter
        // raises for its own allocations, without a report.
        PyErr_NoMemory();
    } catch (const InternalFault& fault) {
        report(fault.where(), describe(fault.message()));
        raise_internal_failure(describe(fault.message()));
    } catch (const std::exception& error) {
        report(entry, describe(error.what()));
        raise_internal_failure(describe(error.what()));
    } catch (...) {
        report(entry, kNoDescription);
        raise_internal_failure(kNoDescription);
    }
}

}  // namespace detail

}  // namespace halvorn::py
