# Types of the extension module `halvorn`. The module is one shared object, so
# its types ship as this stub-only package beside it.

import os
from types import TracebackType
from typing import ClassVar, Final, Literal, Protocol, SupportsIndex, TypeAlias, TypedDict, final

from typing_extensions import Buffer

__all__ = ["PyFs", "PyFileHandle", "PyTerm", "Whence"]

# "wr" opens the same handle as "rw"; any other text is refused at runtime
# with ValueError "Unrecognized file mode".
_Mode = Literal["", "r", "w", "rw", "wr"]
# Every path parameter takes a str or an os.PathLike whose path is a str.
_Path: TypeAlias = str | os.PathLike[str]

class _Remove(Protocol):
    def __call__(self, path: _Path, recurse: bool) -> None: ...

# What PyFs.usage reports; a limit the file system was made without is None.
class _Usage(TypedDict):
    bytes: int
    nodes: int
    max_bytes: int | None
    max_nodes: int | None
    max_name_length: int | None

@final
class PyFs:
    """A file system that lives in memory; shared by its handles and terminals."""

    def __new__(
        cls,
        *,
        max_bytes: SupportsIndex | None = None,
        max_nodes: SupportsIndex | None = None,
        max_name_length: SupportsIndex | None = None,
    ) -> PyFs:
        """Each limit None or a positive int; exceeding one raises ValueError."""
    def mkdir(self, path: _Path) -> None: ...
    def touch(self, path: _Path) -> None: ...
    def open(self, path: _Path, mode: _Mode) -> PyFileHandle:
        """Opens (creating if missing) a file; mode is "", "r", "w", "rw" or "wr"."""
    def open_existing(self, path: _Path, mode: _Mode) -> PyFileHandle:
        """Opens a file that exists; creates nothing."""
    def open_new(self, path: _Path, mode: _Mode) -> PyFileHandle:
        """Creates a file and opens it; an existing name is an error."""
    def listdir(self, path: _Path) -> tuple[list[str], list[str]]:
        """The names below path: first the non-directories, then the directories."""
    # The method's text signature reads "(recurse=False)", yet it takes a path
    # and a flag, both required. A method stub could not match both that
    # signature (which stubtest compares against) and the calls that really
    # work; an attribute of a callable type checks the real calls.
    remove: _Remove
    def tree(self, path: _Path, ident: str | None = None) -> str: ...
    def usage(self) -> _Usage:
        """Bytes and nodes in use and the limits in force, without a walk of the tree."""
    def stat(self, path: _Path) -> os.stat_result:
        """Kind, inode id, size and times of an entry; takes no file lock."""
    def exists(self, path: _Path) -> bool: ...
    def rename(self, src: _Path, dst: _Path) -> None:
        """Moves an entry in one step, replacing a file or an empty directory."""

@final
class PyFileHandle:
    """An open file, made only by PyFs.open; holds the file's lock until closed."""

    def id(self) -> int:
        """The inode id of the file."""
    def close(self) -> None: ...
    def read(self, buffer: SupportsIndex) -> bytes:
        """Reads up to buffer bytes and reports the count on standard output."""
    def write(self, buffer: bytes) -> int:
        """Writes at the current offset, which stays where it was."""
    def seek(self, offset: SupportsIndex, whence: Whence) -> None: ...
    def tell(self) -> int: ...
    def readinto(self, buffer: Buffer) -> int:
        """Reads into a writable buffer and advances; reports nothing."""
    def truncate(self, size: SupportsIndex | None = None) -> int:
        """Cuts or zero-extends the file (at the offset by default); needs "w"."""
    def pread(self, size: SupportsIndex, offset: SupportsIndex) -> bytes:
        """Up to size bytes from offset; the offset stays; reports nothing."""
    def pwrite(self, buffer: Buffer, offset: SupportsIndex) -> int:
        """Writes all of a bytes-like buffer at offset (zeros fill a gap); the offset stays."""
    @property
    def closed(self) -> bool:
        """True once the handle is closed."""
    def __enter__(self) -> PyFileHandle: ...
    def __exit__(
        self,
        exc_type: type[BaseException] | None,
        exc_value: BaseException | None,
        traceback: TracebackType | None,
    ) -> None:
        """Closes the handle unless it is closed already; never suppresses."""

@final
class PyTerm:
    """A shell-like terminal on a PyFs, with a current directory of its own."""

    def __new__(cls, fs: PyFs) -> PyTerm: ...
    def exec(self, command: str) -> str:
        """Runs one command line; a failing command raises ValueError."""

@final
class Whence:
    """The origin of PyFileHandle.seek."""

    SEEK_SET: Final[Whence]
    SEEK_CUR: Final[Whence]
    SEEK_END: Final[Whence]
    def __int__(self) -> int: ...
    # Equal to the same member and to its integer value; never ordered.
    def __eq__(self, value: object, /) -> bool: ...
    def __ne__(self, value: object, /) -> bool: ...
    __hash__: ClassVar[None]  # type: ignore[assignment]
