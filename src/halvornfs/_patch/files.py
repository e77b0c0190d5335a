"""The builtin open() of the mode: the standard io stack over a raw file on a
tree descriptor, with FileIO's rules, so that what it returns is a real
BufferedReader, BufferedWriter, BufferedRandom or TextIOWrapper."""

from __future__ import annotations

import io
import os
import warnings
from typing import Any, Callable

from halvornfs._open import _parse_mode, _text_encoding
from halvornfs._patch.tree import RealPath, Tree

_FLAGS = {
    "r": os.O_RDONLY,
    "w": os.O_WRONLY | os.O_CREAT | os.O_TRUNC,
    "a": os.O_WRONLY | os.O_CREAT | os.O_APPEND,
    "x": os.O_WRONLY | os.O_CREAT | os.O_EXCL,
}
_CLOEXEC = getattr(os, "O_CLOEXEC", 0)


class TreeFileIO(io.RawIOBase):
    """An unbuffered binary file on one descriptor of the tree."""

    def __init__(self, tree: Tree, fd: int, name: Any, mode: str, closefd: bool) -> None:
        self._tree = tree
        self._fd = fd
        self.name = name
        self._mode = mode
        self._closefd = closefd
        description = self._description = tree.description(fd)
        self._readable = description.readable
        self._writable = description.writable

    @property
    def mode(self) -> str:
        return self._mode

    @property
    def closefd(self) -> bool:
        return self._closefd

    def readable(self) -> bool:
        self._check_open()
        return self._readable

    def writable(self) -> bool:
        self._check_open()
        return self._writable

    def seekable(self) -> bool:
        self._check_open()
        return True

    def isatty(self) -> bool:
        self._check_open()
        return False

    def fileno(self) -> int:
        self._check_open()
        return self._fd

    def readinto(self, buffer: Any) -> int:
        self._check_open()
        if not self._readable:
            raise io.UnsupportedOperation("File not open for reading")
        view = memoryview(buffer).cast("B")
        data = self._tree.read(self._fd, len(view))
        view[: len(data)] = data
        return len(data)

    def readall(self) -> bytes:
        self._check_open()
        if not self._readable:
            raise io.UnsupportedOperation("File not open for reading")
        return self._tree.read(self._fd, 2**62)

    def read(self, size: int | None = -1) -> bytes:
        self._check_open()
        if size is None or size < 0:
            return self.readall()
        if not self._readable:
            raise io.UnsupportedOperation("File not open for reading")
        return self._tree.read(self._fd, size)

    def write(self, buffer: Any) -> int:
        self._check_open()
        if not self._writable:
            raise io.UnsupportedOperation("File not open for writing")
        return self._tree.write(self._fd, buffer)

    def seek(self, offset: int, whence: int = io.SEEK_SET) -> int:
        self._check_open()
        if whence not in (0, 1, 2, 3, 4):
            raise ValueError(f"invalid whence ({whence}, should be 0, 1 or 2)")
        return self._tree.lseek(self._fd, offset, whence)

    def tell(self) -> int:
        self._check_open()
        return self._description.pos

    def truncate(self, size: int | None = None) -> int:
        self._check_open()
        if not self._writable:
            raise io.UnsupportedOperation("File not open for writing")
        if size is None:
            size = self.tell()
        self._tree.ftruncate(self._fd, size)
        return size

    def close(self) -> None:
        if self.closed:
            return
        try:
            io.RawIOBase.close(self)
        finally:
            if self._closefd and not self._tree.stopped:
                self._tree.close(self._fd)

    def __repr__(self) -> str:
        if self.closed:
            return "<halvornfs TreeFileIO [closed]>"
        return f"<halvornfs TreeFileIO name={self.name!r} mode={self._mode!r} closefd={self._closefd}>"

    def _check_open(self) -> None:
        if self.closed:
            raise ValueError("I/O operation on closed file")


def _raw_mode(kind: str, updating: bool) -> str:
    # As FileIO names its modes: "w+" reads back as "rb+".
    if kind in ("r", "w"):
        return "rb+" if updating else kind + "b"
    return kind + ("b+" if updating else "b")


def make_open(tree: Tree, real_open: Callable[..., Any]) -> Callable[..., Any]:
    """The builtin open() routed to `tree`; a real descriptor's number goes
    to the real open."""
    fds = tree.fds

    def open(  # noqa: A001 -- the builtin's name, for the builtin's meaning
        file: Any,
        mode: str = "r",
        buffering: int = -1,
        encoding: str | None = None,
        errors: str | None = None,
        newline: str | None = None,
        closefd: bool = True,
        opener: Callable[[Any, int], int] | None = None,
    ) -> Any:
        if isinstance(file, int) and not isinstance(file, bool):
            if file not in fds:
                return real_open(file, mode, buffering, encoding, errors, newline, closefd, opener)
        elif not isinstance(file, (str, bytes, os.PathLike)):
            raise TypeError(f"expected str, bytes or os.PathLike object, not {type(file).__name__}")
        if not isinstance(mode, str):
            raise TypeError(f"open() argument 'mode' must be str, not {type(mode).__name__}")
        kind, updating, binary = _parse_mode(mode)
        if binary and encoding is not None:
            raise ValueError("binary mode doesn't take an encoding argument")
        if binary and errors is not None:
            raise ValueError("binary mode doesn't take an errors argument")
        if binary and newline is not None:
            raise ValueError("binary mode doesn't take a newline argument")
        if binary and buffering == 1:
            warnings.warn("line buffering (buffering=1) isn't supported in binary mode, "
                          "the default buffer size will be used", RuntimeWarning, 2)
        if not binary and buffering == 0:
            raise ValueError("can't have unbuffered text I/O")
        if isinstance(file, int):
            fd = file
        else:
            if not closefd:
                raise ValueError("Cannot use closefd=False with file name")
            flags = _FLAGS[kind] | _CLOEXEC
            if updating:
                flags = (flags & ~os.O_WRONLY) | os.O_RDWR
            if opener is None:
                try:
                    fd = tree.open(file, flags, 0o666)
                except RealPath:
                    return real_open(file, mode, buffering, encoding, errors, newline, closefd)
            else:
                fd = opener(file, flags)
                if not isinstance(fd, int):
                    raise TypeError(f"expected integer from opener")
                if fd < 0:
                    raise ValueError(f"opener returned {fd}")
                if fd not in fds:
                    return real_open(fd, mode, buffering, encoding, errors, newline, True, None)
        raw = TreeFileIO(tree, fd, file, _raw_mode(kind, updating), closefd)
        result: Any = raw
        try:
            if kind == "a":
                raw.seek(0, io.SEEK_END)
            line_buffering = buffering == 1
            if buffering == 1 or buffering < 0:
                buffering = io.DEFAULT_BUFFER_SIZE
            if buffering == 0:
                return raw
            if updating:
                result = io.BufferedRandom(raw, buffering)
            elif kind == "r":
                result = io.BufferedReader(raw, buffering)
            else:
                result = io.BufferedWriter(raw, buffering)
            if binary:
                return result
            result = io.TextIOWrapper(result, _text_encoding(encoding), errors, newline,
                                      line_buffering)
            result.mode = mode
            return result
        except BaseException:
            result.close()
            raise

    return open
