"""The raw file class under the standard io stack: one PyFileHandle, seen as
an unbuffered binary file with the builtin FileIO's rules."""

from __future__ import annotations

import errno
import io
import operator
import os
from _thread import RLock
from typing import TYPE_CHECKING

from halvorn import PyFileHandle, Whence

from halvornfs._errors import os_error

if TYPE_CHECKING:
    from typing_extensions import Buffer

_SEEK_DATA = getattr(os, "SEEK_DATA", 3)
_SEEK_HOLE = getattr(os, "SEEK_HOLE", 4)

# More than any file holds: a read of it reads to the end, and the handle
# allocates only what is there.
READ_ALL = 2**63

# An offset the handle can never have: the next readinto seeks first.
_UNKNOWN = -1


class RawFile(io.RawIOBase):
    """An unbuffered binary file on one open PyFileHandle, which it owns and
    closes.

    A file object must have a position that writes advance, may seek past
    the end, and may truncate; the handle's writes leave its offset still and
    its seeks stop at the end. So the position lives here: writes and whole
    reads name it to the handle, and the handle's offset is moved to it only
    before a readinto that needs it there.

    The file's size is kept here as well. While this handle is open no other
    handle can change the file: a writer holds it alone and readers keep
    writers out, so only this object's own writes and truncations move it.

    Threads may share one file object, as they share a FileIO, whose
    position the kernel moves with each read and write. Here the position is
    read, used and advanced in separate steps, so every call that uses or
    moves it holds the object's lock throughout: two threads never write
    over each other's chunk or read the same one twice. The lock is
    reentrant, so that a signal handler or a buffer's export that calls back
    in on the same thread cannot hang it.
    """

    def __init__(
        self,
        handle: PyFileHandle,
        name: str,
        readable: bool,
        writable: bool,
        appending: bool = False,
        created: bool = False,
    ) -> None:
        # Made for every open: no keyword arguments, and no call of
        # RawIOBase's __init__, which keeps nothing.
        self._handle = handle
        self.name = name
        self._readable = readable
        self._writable = writable
        self._appending = appending
        self._created = created
        # The C lock itself: threading.RLock is a Python function that
        # returns it, a call more on every open.
        self._lock = RLock()
        try:
            handle.seek(0, Whence.SEEK_END)
            self._size = self._offset = handle.tell()
        except ValueError as error:
            raise os_error(error, name) from error
        self._pos = self._size if appending else 0

    # --- What the file is ---------------------------------------------------

    @property
    def mode(self) -> str:
        """The mode as FileIO spells it: "rb", "rb+", "wb", "ab", "ab+", "xb"..."""
        if self._created:
            return "xb+" if self._readable else "xb"
        if self._appending:
            return "ab+" if self._readable else "ab"
        if self._readable:
            return "rb+" if self._writable else "rb"
        return "wb"

    def readable(self) -> bool:
        self._check_open()
        return self._readable

    def writable(self) -> bool:
        self._check_open()
        return self._writable

    def seekable(self) -> bool:
        self._check_open()
        return True

    def fileno(self) -> int:
        # The file has no descriptor; code that wants one (numpy's tofile)
        # looks for this error and falls back to write().
        raise io.UnsupportedOperation("fileno: a halvorn file has no file descriptor")

    def __repr__(self) -> str:
        if self.closed:
            return "<halvornfs.RawFile [closed]>"
        return f"<halvornfs.RawFile name={self.name!r} mode={self.mode!r}>"

    # --- Reading ------------------------------------------------------------

    def readinto(self, buffer: Buffer) -> int:
        if self.closed:
            raise ValueError("I/O operation on closed file")
        if not self._readable:
            raise io.UnsupportedOperation("File not open for reading")
        with self._lock:
            if self._pos >= self._size:
                return 0
            try:
                # Below the size, so the handle's seek, which stops at the
                # end, lands exactly.
                if self._offset != self._pos:
                    self._handle.seek(self._pos, Whence.SEEK_SET)
                count = self._handle.readinto(buffer)
            except ValueError as error:
                self._offset = _UNKNOWN
                raise os_error(error, self.name) from error
            self._pos += count
            self._offset = self._pos
            return count

    def read(self, size: int | None = -1) -> bytes:
        # None or a negative size reads to the end, as FileIO's read does;
        # RawIOBase's would refuse None. A sized read is one pread into bytes
        # of their own, rather than a bytearray filled and then copied.
        if size is None:
            return self.readall()
        size = operator.index(size)
        if size < 0:
            return self.readall()
        if self.closed:
            raise ValueError("I/O operation on closed file")
        if not self._readable:
            raise io.UnsupportedOperation("File not open for reading")
        with self._lock:
            try:
                data = self._handle.pread(size, self._pos)
            except ValueError as error:
                raise os_error(error, self.name) from error
            self._pos += len(data)
            return data

    def readall(self) -> bytes:
        # One read of all that is left, rather than RawIOBase's growing
        # series of small ones.
        if self.closed:
            raise ValueError("I/O operation on closed file")
        if not self._readable:
            raise io.UnsupportedOperation("File not open for reading")
        with self._lock:
            try:
                data = self._handle.pread(READ_ALL, self._pos)
            except ValueError as error:
                raise os_error(error, self.name) from error
            self._pos += len(data)
            return data

    # --- Writing ------------------------------------------------------------

    def write(self, buffer: Buffer) -> int:
        if self.closed:
            raise ValueError("I/O operation on closed file")
        if not self._writable:
            raise io.UnsupportedOperation("File not open for writing")
        with self._lock:
            position = self._size if self._appending else self._pos
            try:
                # At the position, which may lie past the end, as a seek may
                # leave a file object: the gap reads back as zero bytes.
                count = self._handle.pwrite(buffer, position)
            except ValueError as error:
                raise os_error(error, self.name) from error
            # An empty write changes nothing, as the kernel's: it neither
            # fills a gap nor, appending, moves the position to the end.
            if count:
                self._pos = position + count
                if self._pos > self._size:
                    self._size = self._pos
            return count

    def truncate(self, size: int | None = None) -> int:
        self._check_open()
        if not self._writable:
            raise io.UnsupportedOperation("File not open for writing")
        size = None if size is None else operator.index(size)
        with self._lock:
            if size is None:
                size = self._pos
            if size < 0:
                raise OSError(errno.EINVAL, "Invalid argument: negative size", self.name)
            try:
                self._handle.truncate(size)
            except ValueError as error:
                self._offset = _UNKNOWN
                raise os_error(error, self.name) from error
            self._size = size
            # A shorter file clamps the handle's offset; a longer one leaves it.
            self._offset = min(self._offset, size)
            return size

    # --- Position -----------------------------------------------------------

    def seek(self, offset: int, whence: int = io.SEEK_SET) -> int:
        self._check_open()
        offset = operator.index(offset)
        with self._lock:
            if whence == io.SEEK_SET:
                target = offset
            elif whence == io.SEEK_CUR:
                target = self._pos + offset
            elif whence == io.SEEK_END:
                target = self._size + offset
            elif whence in (_SEEK_DATA, _SEEK_HOLE):
                # Every byte is stored (a gap is filled with zero bytes), so data
                # runs from anywhere in the file up to its one hole, the end.
                if not 0 <= offset < self._size:
                    raise OSError(errno.ENXIO, "No such device or address", self.name)
                target = offset if whence == _SEEK_DATA else self._size
            else:
                raise ValueError(f"invalid whence ({whence}, should be 0, 1 or 2)")
            if target < 0:
                raise OSError(errno.EINVAL, "Invalid argument: negative position", self.name)
            self._pos = target
            return target

    def tell(self) -> int:
        self._check_open()
        return self._pos

    # --- Closing ------------------------------------------------------------

    def close(self) -> None:
        if self.closed:
            return
        try:
            io.RawIOBase.close(self)
        finally:
            try:
                self._handle.close()
            except ValueError as error:
                raise os_error(error, self.name) from error

    # --- Helpers ------------------------------------------------------------

    def _check_open(self) -> None:
        if self.closed:
            raise ValueError("I/O operation on closed file")
