#include "pybinding/py_file_handle.hpp"

#include <cstdint>
#include <optional>
#include <span>
#include <utility>

#include "error/internal_fault.hpp"
#include "pybinding/args.hpp"
#include "pybinding/class_type.hpp"
#include "pybinding/convert.hpp"
#include "pybinding/errors.hpp"
#include "pybinding/locked.hpp"
#include "pybinding/object.hpp"
#include "pybinding/read_report.hpp"
#include "pybinding/ref.hpp"
#include "pybinding/whence.hpp"

namespace halvorn::py::py_file_handle {

namespace {

// The handle, open or closed, for as long as the object lives: a closed
// handle still answers str() and keeps its share of the file system.
using HandleObject = Object<Locked<FileHandle>>;

Locked<FileHandle>& handle_of(PyObject* self) {
    return HandleObject::of(self);
}

// --- Destructor and string form ----------------------------------------------

void dealloc(PyObject* self) noexcept {
    // Closed here rather than left to the handle's destructor, which has no
    // way to report a failure to release the file's lock; from here it goes
    // to the unraisable-exception hook.
    guarded_dealloc(reinterpret_cast<PyObject*>(Py_TYPE(self)), [&] {
        const Status closed = handle_of(self).with_lock([](FileHandle& handle) -> Status {
            if (!handle.is_open()) return {};
            return handle.close();
        });
        if (!closed) raise_io_error(closed.error());
    });
    HandleObject::dealloc(self);
}

PyObject* str(PyObject* self) noexcept {
    return guarded([&] {
        return to_str(handle_of(self).with_lock([](FileHandle& h) { return h.to_string(); }));
    });
}

// The mode as open() spells it; "wr" opens the same handle as "rw".
const char* mode_text(FileHandleType type) {
    if (type.can_read() && type.can_write()) return "rw";
    if (type.can_read()) return "r";
    if (type.can_write()) return "w";
    return "";
}

// One short line whatever the file holds, for logs, tracebacks and
// notebooks; str() is the full diagnostic rendering, which carries every byte
// of every file. The class is named as it is imported, not by its
// "builtins." type name, so that the line says where to look.
PyObject* repr(PyObject* self) noexcept {
    return guarded([&]() -> PyObject* {
        struct Shown {
            std::optional<std::uint64_t> id;
            FileHandleType type;
            std::uint64_t offset;
        };
        const Shown shown = handle_of(self).with_lock([](const FileHandle& handle) {
            return Shown{handle.id(), handle.type(), handle.offset()};
        });
        const auto offset = static_cast<unsigned long long>(shown.offset);
        if (!shown.id) {
            return PyUnicode_FromFormat("<halvorn.PyFileHandle [closed] mode='%s' offset=%llu>",
                                        mode_text(shown.type), offset);
        }
        return PyUnicode_FromFormat("<halvorn.PyFileHandle id=%llu mode='%s' offset=%llu>",
                                    static_cast<unsigned long long>(*shown.id),
                                    mode_text(shown.type), offset);
    });
}

// --- Methods -----------------------------------------------------------------

// A copy of this many bytes or more between a caller's buffer and a file
// runs detached from the interpreter, so that other threads go on while it
// runs (locked.hpp). With another thread waiting for the interpreter, taking
// it back can wait for that thread's switch interval, so only copies long
// enough to be worth that wait let go. Measured: a pwrite of 1 MiB over
// existing pages takes about 70 us with or without letting go (the
// difference within the noise), one of 4 KiB 0.35 us, which a let-go would
// double.
constexpr std::uint64_t kDetachedCopy = std::uint64_t{1} << 20;

template <class Work>
decltype(auto) with_copy(Locked<FileHandle>& locked, std::uint64_t bytes, Work&& work) {
    if (bytes >= kDetachedCopy) return locked.with_lock_detached(std::forward<Work>(work));
    return locked.with_lock(std::forward<Work>(work));
}

// The published docstring, kept word for word, although the method returns
// the file's inode id as an int.
constexpr const char* kIdDoc =
    "id($self)\n--\n\n\n"
    "Returns a string representation of the file handle.\n";

// A number only an open handle has (its file's id, its offset), as an int.
template <class Field>
PyObject* open_field(PyObject* self, Field field) {
    Result<std::uint64_t> value =
        handle_of(self).with_lock([&](const FileHandle& handle) -> Result<std::uint64_t> {
            if (!handle.is_open()) return IoError::InvalidFileDescriptor;
            return field(handle);
        });
    return from_result(value, to_int);
}

PyObject* id(PyObject* self, PyObject*) noexcept {
    return guarded([&] { return open_field(self, [](const FileHandle& h) { return *h.id(); }); });
}

constexpr const char* kCloseDoc =
    "close($self)\n--\n\n\n"
    "Close the file handle.\n"
    "\n"
    "Notice that the pyobject still holds a reference to the file handle. However\n"
    "any subsequent read or write operation will fail.\n"
    "\n"
    "Small Note on garbage collection: The file handle will internally be closed\n"
    "HOWEVER it will still keep the file system and inode alive. Until the file\n"
    "handle is dropped.\n";

PyObject* close(PyObject* self, PyObject*) noexcept {
    return guarded([&] {
        return from_status(handle_of(self).with_lock([](FileHandle& h) { return h.close(); }));
    });
}

// A read of up to `wanted` bytes as a new bytes object: at `at`, or else at
// the offset, which it then advances. No Python object is made under the
// mutex, not even the result: an allocation that fails makes its
// MemoryError on the spot, which can start the garbage collector, whose
// finalizers may use this very handle. So the count is taken under the
// mutex, the bytes are made without it, and the copy is made under it again
// once the count is seen unchanged; another thread may have moved the
// offset, written or closed the handle meanwhile, and then the count is
// taken anew. `wanted` is a byte count from Python and may be anything up
// to 2**64 - 1; only what the file can give is allocated.
PyObject* read_new_bytes(Locked<FileHandle>& locked, std::optional<std::uint64_t> at,
                         std::uint64_t wanted) {
    const auto readable = [&](const FileHandle& handle) {
        return at ? handle.readable_at(*at, wanted) : handle.readable(wanted);
    };
    for (;;) {
        const Result<std::uint64_t> sized = locked.with_lock(readable);
        if (!sized) return raise_io_error(sized.error());
        Ref bytes = Ref::steal(PyBytes_FromStringAndSize(nullptr, static_cast<Py_ssize_t>(*sized)));
        if (!bytes) return nullptr;
        auto* const result = reinterpret_cast<std::uint8_t*>(PyBytes_AS_STRING(bytes.get()));
        const std::optional<Result<std::uint64_t>> count = with_copy(
            locked, *sized, [&](FileHandle& handle) -> std::optional<Result<std::uint64_t>> {
                const Result<std::uint64_t> now = readable(handle);
                if (!now) return now;
                if (*now != *sized) return std::nullopt;
                // Nothing can grow or shrink the file between the two calls:
                // a handle that reads keeps writers out, and the mutex keeps
                // this handle's offset still.
                const std::span into(result, *now);
                Result<std::uint64_t> read = at ? handle.read_at(*at, into) : handle.read(into);
                if (read) check_invariant(*read == *now, "a read returned less than the file held");
                return read;
            });
        if (!count) continue;
        if (!*count) return raise_io_error(count->error());
        return bytes.release();
    }
}

constexpr Params<1> kRead{"PyFileHandle.read", {"buffer"}};
constexpr const char* kReadDoc =
    "read($self, buffer)\n--\n\n\n"
    "Read data from the file handle.\n"
    "\n"
    "This function reads data from the file handle. The function will return a\n"
    "byte array with the data that was read from the file. The function will\n"
    "return an error if the read operation failed.\n";

PyObject* read(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
               PyObject* kwnames) noexcept {
    return guarded([&]() -> PyObject* {
        std::uint64_t wanted = 0;
        if (!bind_method(kRead, args, nargs, kwnames, arg::Size{wanted})) return nullptr;
        PyObject* bytes = read_new_bytes(handle_of(self), std::nullopt, wanted);
        // Reported once the handle is let go: the write of the line may
        // block on a full pipe, and must then hold up neither this handle's
        // other users nor, as it runs detached, any other thread.
        if (bytes != nullptr) report_read(static_cast<std::uint64_t>(PyBytes_GET_SIZE(bytes)));
        return bytes;
    });
}

constexpr Params<1> kWrite{"PyFileHandle.write", {"buffer"}};
constexpr const char* kWriteDoc =
    "write($self, buffer)\n--\n\n\n"
    "Write data to the file handle.\n"
    "\n"
    "This function writes data to the file handle. The function will return the\n"
    "number of bytes that were written to the file. The function will return an\n"
    "error if the write operation failed.\n";

PyObject* write(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                PyObject* kwnames) noexcept {
    return guarded([&]() -> PyObject* {
        std::span<const std::uint8_t> bytes;
        if (!bind_method(kWrite, args, nargs, kwnames, arg::ByteString{bytes})) return nullptr;
        return from_result(with_copy(handle_of(self), bytes.size(),
                                     [&](FileHandle& handle) { return handle.write(bytes); }),
                           to_int);
    });
}

constexpr Params<2> kSeek{"PyFileHandle.seek", {"offset", "whence"}};
constexpr const char* kSeekDoc =
    "seek($self, offset, whence)\n--\n\n\n"
    "Seek a certain position in the file.\n"
    "\n"
    "This function seeks a certain position in the file. The function will return\n"
    "the new position in the file. The function will return an error if the seek\n"
    "operation failed.\n";

PyObject* seek(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
               PyObject* kwnames) noexcept {
    return guarded([&]() -> PyObject* {
        std::uint64_t offset = 0;
        Borrowed from;
        if (!bind_method(kSeek, args, nargs, kwnames, arg::Size{offset},
                         arg::Instance{whence::type, from}))
            return nullptr;
        const SeekOrigin origin = whence::origin(from);
        return from_status(handle_of(self).with_lock(
            [&](FileHandle& handle) { return handle.seek(origin, offset); }));
    });
}

constexpr Params<1> kReadinto{"PyFileHandle.readinto", {"buffer"}};
constexpr const char* kReadintoDoc =
    "readinto($self, buffer)\n--\n\n\n"
    "Read data from the file handle into a buffer.\n"
    "\n"
    "This function copies up to len(buffer) bytes from the current position into\n"
    "buffer, a writable bytes-like object such as a bytearray, a memoryview or a\n"
    "numpy array, advances the position and returns the number of bytes copied.\n"
    "Unlike read, it reports nothing on standard output. The function will return\n"
    "an error if the read operation failed.\n";

// The io protocol's read, for code that reads on behalf of others: one copy,
// straight into the caller's memory, and no report line.
PyObject* readinto(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                   PyObject* kwnames) noexcept {
    return guarded([&]() -> PyObject* {
        // Declared first, so that the buffer is released last: after the
        // mutex, as releasing it may run Python code.
        arg::HeldBuffer buffer;
        if (!bind_method(kReadinto, args, nargs, kwnames, arg::Writable{buffer})) return nullptr;
        const std::span<std::uint8_t> into = buffer.bytes();
        return from_result(with_copy(handle_of(self), into.size(),
                                     [&](FileHandle& handle) { return handle.read(into); }),
                           to_int);
    });
}

constexpr Params<2> kPread{"PyFileHandle.pread", {"size", "offset"}};
constexpr const char* kPreadDoc =
    "pread($self, size, offset)\n--\n\n\n"
    "Read data from a position of the file.\n"
    "\n"
    "This function returns up to size bytes of the file from offset on, as bytes;\n"
    "at or past the end it returns b''. The position of the handle stays where it\n"
    "is, and nothing is reported on standard output. The handle must be open for\n"
    "reading. The function will return an error if the read operation failed.\n";

// For code that keeps its own position, as a file object does: no seek
// first, one copy into the result, and no report line.
PyObject* pread(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                PyObject* kwnames) noexcept {
    return guarded([&]() -> PyObject* {
        std::uint64_t wanted = 0;
        std::uint64_t offset = 0;
        if (!bind_method(kPread, args, nargs, kwnames, arg::Size{wanted}, arg::Size{offset}))
            return nullptr;
        return read_new_bytes(handle_of(self), offset, wanted);
    });
}

constexpr Params<2> kPwrite{"PyFileHandle.pwrite", {"buffer", "offset"}};
constexpr const char* kPwriteDoc =
    "pwrite($self, buffer, offset)\n--\n\n\n"
    "Write data at a position of the file.\n"
    "\n"
    "This function writes all of buffer, any contiguous bytes-like object (bytes,\n"
    "a bytearray, a memoryview, a numpy array), at offset and returns the number\n"
    "of bytes written. An offset past the end leaves zero bytes in the gap. The\n"
    "position of the handle stays where it is. The handle must be open for\n"
    "writing. The function will return an error if the write operation failed.\n";

PyObject* pwrite(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                 PyObject* kwnames) noexcept {
    return guarded([&]() -> PyObject* {
        // Declared first, so that the buffer is released last: after the
        // mutex, as releasing it may run Python code.
        arg::HeldBuffer buffer;
        std::uint64_t offset = 0;
        if (!bind_method(kPwrite, args, nargs, kwnames, arg::BytesLike{buffer}, arg::Size{offset}))
            return nullptr;
        const std::span<const std::uint8_t> from = buffer.bytes();
        return from_result(
            with_copy(handle_of(self), from.size(),
                      [&](FileHandle& handle) { return handle.write_at(offset, from); }),
            to_int);
    });
}

constexpr Params<1> kTruncate{"PyFileHandle.truncate", {"size"}, /*required=*/0};
constexpr const char* kTruncateDoc =
    "truncate($self, size=None)\n--\n\n\n"
    "Resize the file.\n"
    "\n"
    "This function cuts the file to size bytes, or grows it with zero bytes, and\n"
    "returns the new size; without a size it cuts the file at the current\n"
    "position. The position stays, but never past the new end. The handle must\n"
    "be open for writing. The function will return an error if the file could\n"
    "not be resized.\n";

PyObject* truncate(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                   PyObject* kwnames) noexcept {
    return guarded([&]() -> PyObject* {
        std::optional<std::uint64_t> size;
        if (!bind_method(kTruncate, args, nargs, kwnames, arg::OptionalSize{size})) return nullptr;
        return from_result(handle_of(self).with_lock([&](FileHandle& handle) {
            return handle.truncate(size.value_or(handle.offset()));
        }),
                           to_int);
    });
}

constexpr const char* kTellDoc =
    "tell($self)\n--\n\n\n"
    "Tell the current position in the file.\n"
    "\n"
    "This function returns the current position in the file. The function will\n"
    "return an error if the tell operation failed.\n";

PyObject* tell(PyObject* self, PyObject*) noexcept {
    return guarded(
        [&] { return open_field(self, [](const FileHandle& h) { return h.offset(); }); });
}

// --- The with statement ------------------------------------------------------

// A handle kept alive by a traceback or an interactive session's last result
// would hold its file's lock long after the code that opened it is done; a
// with block releases it on every way out.
constexpr const char* kEnterDoc =
    "__enter__($self)\n--\n\n"
    "Return the handle itself, to be closed when the with block ends.\n";

PyObject* enter(PyObject* self, PyObject*) noexcept {
    return Ref::share(self).release();
}

// The exception in flight, if any, is none of the handle's business: it is
// neither looked at nor suppressed.
struct Ignored {
    bool operator()(PyObject*) const { return true; }
};

constexpr Params<3> kExit{"PyFileHandle.__exit__", {"exc_type", "exc_value", "traceback"}};
constexpr const char* kExitDoc =
    "__exit__($self, exc_type, exc_value, traceback)\n--\n\n"
    "Close the handle unless the block closed it already.\n";

PyObject* leave(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                PyObject* kwnames) noexcept {
    return guarded([&]() -> PyObject* {
        if (!bind_method(kExit, args, nargs, kwnames, Ignored{}, Ignored{}, Ignored{}))
            return nullptr;
        // A block that closed the handle itself did what the exit would do;
        // "Invalid file descriptor" here would only hide the block's own
        // exception behind one about the cleanup.
        return from_status(handle_of(self).with_lock([](FileHandle& handle) -> Status {
            if (!handle.is_open()) return {};
            return handle.close();
        }));
    });
}

PyObject* closed(PyObject* self, void*) noexcept {
    return guarded([&] {
        const bool open =
            handle_of(self).with_lock([](const FileHandle& handle) { return handle.is_open(); });
        return PyBool_FromLong(!open);
    });
}

PyGetSetDef kProperties[] = {
    {"closed", closed, nullptr, "True once the handle is closed.", nullptr},
    {},
};

PyMethodDef kMethods[] = {
    method("__enter__", enter, kEnterDoc),
    method("__exit__", leave, kExitDoc),
    method("id", id, kIdDoc),
    method("close", close, kCloseDoc),
    method("read", read, kReadDoc),
    method("write", write, kWriteDoc),
    method("seek", seek, kSeekDoc),
    method("tell", tell, kTellDoc),
    method("readinto", readinto, kReadintoDoc),
    method("truncate", truncate, kTruncateDoc),
    method("pread", pread, kPreadDoc),
    method("pwrite", pwrite, kPwriteDoc),
    {},
};

// --- The class ---------------------------------------------------------------

constexpr const char* kDoc =
    "\n"
    "A simple wrapper around the FileHandle struct.\n"
    "\n"
    "This class is a simple wrapper around the FileHandle struct. It defines\n"
    "the basis for a file handle that can be used in Python. The file handle\n"
    "can be used to read and write data to a file.\n"
    "\n"
    "A file handle is always associated with a filesystem and an inode. The\n"
    "file handle can be used to read and write data to the file.\n";

const PyType_Slot kSlots[] = {
    {.slot = Py_tp_dealloc, .pfunc = reinterpret_cast<void*>(&dealloc)},
    {.slot = Py_tp_str, .pfunc = reinterpret_cast<void*>(&str)},
    {.slot = Py_tp_repr, .pfunc = reinterpret_cast<void*>(&repr)},
    {.slot = Py_tp_methods, .pfunc = kMethods},
    {.slot = Py_tp_getset, .pfunc = kProperties},
};

const ClassDef kClassDef{
    .name = "builtins.PyFileHandle",
    .signature = nullptr,
    .doc = kDoc,
    .basicsize = sizeof(HandleObject),
    .slots = kSlots,
};

constinit ClassType g_type(kClassDef);

}  // namespace

PyTypeObject* type() {
    return g_type.get();
}

PyObject* wrap(FileHandle handle) noexcept {
    PyTypeObject* cls = type();
    if (cls == nullptr) return nullptr;
    return HandleObject::create(cls, std::move(handle));
}

}  // namespace halvorn::py::py_file_handle
