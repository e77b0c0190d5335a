"""The files that descriptors of the mode have open, one state per file.

The tree's file lock lets one writer hold a file alone, while a disk lets any
number of descriptors hold it in any mode. So every descriptor on one file
shares a single handle opened for reading and writing, held here while any of
them is open, and does its I/O at explicit offsets: no descriptor ever
disturbs another's position.

A file removed while open lives on here, as bytes that no path reaches, until
its last descriptor closes: the tree cannot keep a file without a name, and
code such as tempfile.TemporaryFile removes the name at once.
"""

from __future__ import annotations

import threading

from halvorn import PyFileHandle, Whence

from halvornfs._raw import READ_ALL


class FileNode:
    """One open file: its handle while it has a name, its bytes after."""

    __slots__ = ("ino", "handle", "data", "opens", "lock", "path")

    def __init__(self, ino: int, handle: PyFileHandle, path: str) -> None:
        self.ino = ino
        self.handle: PyFileHandle | None = handle
        self.data: bytearray | None = None
        self.opens = 0
        # Held by an append (its size and its write are one step) and by the
        # change from handle to bytes.
        self.lock = threading.Lock()
        self.path = path

    def size(self) -> int:
        handle = self.handle
        if handle is None:
            assert self.data is not None
            return len(self.data)
        with self.lock:
            handle = self.handle
            if handle is None:
                assert self.data is not None
                return len(self.data)
            handle.seek(0, Whence.SEEK_END)
            return handle.tell()

    def pread(self, size: int, offset: int) -> bytes:
        handle = self.handle
        if handle is not None:
            try:
                return handle.pread(size, offset)
            except ValueError:
                if self.handle is not None:
                    raise
        assert self.data is not None
        return bytes(self.data[offset : offset + size])

    def pwrite(self, data: bytes, offset: int) -> int:
        handle = self.handle
        if handle is not None:
            try:
                return handle.pwrite(data, offset)
            except ValueError:
                if self.handle is not None:
                    raise
        with self.lock:
            store = self.data
            assert store is not None
            if offset > len(store):
                store.extend(bytes(offset - len(store)))
            store[offset : offset + len(data)] = data
        return len(data)

    def append(self, data: bytes) -> int:
        """Writes at the end, wherever other appenders leave it; the offset
        the data landed at."""
        with self.lock:
            handle = self.handle
            if handle is None:
                assert self.data is not None
                offset = len(self.data)
                self.data.extend(data)
                return offset
            handle.seek(0, Whence.SEEK_END)
            offset = handle.tell()
            handle.pwrite(data, offset)
            return offset

    def truncate(self, size: int) -> None:
        with self.lock:
            handle = self.handle
            if handle is not None:
                handle.truncate(size)
                return
            store = self.data
            assert store is not None
            if size < len(store):
                del store[size:]
            else:
                store.extend(bytes(size - len(store)))

    def detach(self) -> None:
        """Keeps the contents here and lets the tree's file go."""
        with self.lock:
            handle = self.handle
            if handle is None:
                return
            self.data = bytearray(handle.pread(READ_ALL, 0))
            self.handle = None
            handle.close()

    def release(self) -> None:
        with self.lock:
            handle, self.handle = self.handle, None
            self.data = None
        if handle is not None:
            handle.close()
