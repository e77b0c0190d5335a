"""The fsspec file system class on a halvorn tree, under the protocol
"halvorn". Importing this module imports fsspec; the package imports it only
when the class is asked for."""

from __future__ import annotations

import datetime
import os
from typing import IO, Any, Callable, TypeVar

from fsspec import AbstractFileSystem  # type: ignore[import-untyped]
from fsspec.utils import stringify_path  # type: ignore[import-untyped]
from halvorn import PyFileHandle, PyFs, Whence

from halvornfs._errors import os_error
from halvornfs._open import open as open_file
from halvornfs._raw import READ_ALL

_NOT_FOUND = "Inode not found"
_EXISTS = "Resource already exists"

_END = Whence.SEEK_END
_T = TypeVar("_T")

# The tree of every instance made without fs=, so that one call's
# to_csv("halvorn://x.csv") and a later read_csv("halvorn://x.csv") meet.
DEFAULT_TREE = PyFs()


class _TreeKey:
    """A tree as it stands in an instance's arguments. fsspec keeps one
    instance per thread and per argument, keyed by the text of the
    arguments; a tree prints its node count ("<halvorn.PyFs nodes=1>"), which
    changes with every file made, and two trees can print alike. This prints
    the tree's identity alone, so each tree has one instance per thread
    however it changes. The instance the cache holds keeps its tree alive,
    so no other tree can take that identity meanwhile."""

    __slots__ = ("tree",)

    def __init__(self, tree: PyFs) -> None:
        self.tree = tree

    def __repr__(self) -> str:
        return f"<halvorn tree at {id(self.tree):#x}>"


class _OnePerTree(type(AbstractFileSystem)):  # type: ignore[misc]
    """Puts the tree's key in place of the tree before fsspec reads the
    arguments; the instance's storage_options keep the key, which leads back
    to the same instance."""

    def __call__(cls, *args: Any, **kwargs: Any) -> Any:
        tree = kwargs.get("fs")
        if tree is not None and not isinstance(tree, _TreeKey):
            if not isinstance(tree, PyFs):
                raise TypeError(f"fs must be a halvorn.PyFs, not {type(tree).__name__}")
            kwargs["fs"] = _TreeKey(tree)
        return super().__call__(*args, **kwargs)


class HalvornFileSystem(AbstractFileSystem, metaclass=_OnePerTree):  # type: ignore[misc]
    """An fsspec file system on one halvorn tree: `fs=` an existing PyFs, or
    without it the tree this process shares (`DEFAULT_TREE`).

    Files open as the standard io objects of `halvornfs.open`, so "r+b" and
    seeking while writing work. Opening for writing, piping and copying make
    missing parent directories, as object stores and memory:// behave; `mv`
    is one atomic rename of the whole subtree.
    """

    protocol = ("halvorn",)
    root_marker = "/"

    def __init__(self, *args: Any, fs: PyFs | _TreeKey | None = None, **options: Any) -> None:
        super().__init__(*args, **options)
        if isinstance(fs, _TreeKey):
            fs = fs.tree
        self.tree: PyFs = DEFAULT_TREE if fs is None else fs
        # The tree's methods, bound once. fsspec gives each thread an instance
        # of its own, so calls through these touch nothing another thread
        # uses; each `self.tree` would take a reference to the one tree, whose
        # count the cores of a free-threaded interpreter would pass around.
        tree = self.tree
        self._tree_stat, self._tree_exists = tree.stat, tree.exists
        self._tree_listdir, self._tree_mkdir = tree.listdir, tree.mkdir
        self._tree_remove, self._tree_rename = tree.remove, tree.rename
        self._tree_open, self._tree_open_new = tree.open, tree.open_new
        self._tree_open_existing = tree.open_existing

    @classmethod
    def _strip_protocol(cls, path: Any) -> Any:
        return _strip(path)

    @classmethod
    def _parent(cls, path: Any) -> str:
        # The tree splits a path at its last "/" or "\", so the parents
        # made for a path are the ones the tree then looks in.
        path = _strip(path).rstrip(_SEPARATORS)
        cut = _last_separator(path)
        return "/" + path[:cut].lstrip(_SEPARATORS) if cut > 0 else "/"

    # --- Looking -------------------------------------------------------------

    def info(self, path: str, **kwargs: Any) -> dict[str, Any]:
        path = _strip(path)
        try:
            return _info(path, self._tree_stat(path))
        except ValueError as error:
            raise os_error(error, path) from error

    def ls(self, path: str, detail: bool = True, **kwargs: Any) -> list[Any]:
        path = _strip(path)
        try:
            files, dirs = self._tree_listdir(path)
        except ValueError as error:
            status = self._status(path)  # the error of a missing path, or a file
            if _is_dir(status.st_mode):
                raise os_error(error, path) from error
            return [_info(path, status) if detail else path]
        prefix = path if path.endswith("/") else path + "/"
        names = [prefix + name for name in files + dirs]
        if not detail:
            return names
        entries = []
        for name in names:
            try:
                entries.append(_info(name, self._tree_stat(name)))
            except ValueError:
                continue  # removed since the listing, as a scan of a disk would miss it
        return entries

    def exists(self, path: str, **kwargs: Any) -> bool:
        return self._tree_exists(_strip(path))

    def isdir(self, path: str) -> bool:
        try:
            return _is_dir(self._tree_stat(_strip(path)).st_mode)
        except ValueError:
            return False

    def isfile(self, path: str) -> bool:
        try:
            return _is_file(self._tree_stat(_strip(path)).st_mode)
        except ValueError:
            return False

    def size(self, path: str) -> int:
        return int(self._status(_strip(path)).st_size)

    def created(self, path: str) -> datetime.datetime:
        status = self._status(_strip(path))
        return datetime.datetime.fromtimestamp(status.st_ctime, tz=datetime.timezone.utc)

    def modified(self, path: str) -> datetime.datetime:
        status = self._status(_strip(path))
        return datetime.datetime.fromtimestamp(status.st_mtime, tz=datetime.timezone.utc)

    # --- Directories ---------------------------------------------------------

    def mkdir(self, path: str, create_parents: bool = True, **kwargs: Any) -> None:
        path = _strip(path)
        if not create_parents:
            self._call(self._tree_mkdir, path)
        elif self._tree_exists(path):
            raise FileExistsError(17, "File exists", path)
        else:
            self.makedirs(path, exist_ok=True)

    def makedirs(self, path: str, exist_ok: bool = False) -> None:
        path = _strip(path)
        try:
            self._tree_mkdir(path)
            return
        except ValueError as error:
            message = str(error)
            if message == _EXISTS and exist_ok and self.isdir(path):
                return
            if message != _NOT_FOUND or path == "/":
                raise os_error(error, path) from error
        self.makedirs(self._parent(path), exist_ok=True)
        try:
            self._tree_mkdir(path)
        except ValueError as error:
            # Another thread may have made it since.
            if not (str(error) == _EXISTS and exist_ok and self.isdir(path)):
                raise os_error(error, path) from error

    def rmdir(self, path: str) -> None:
        path = _strip(path)
        if not _is_dir(self._status(path).st_mode):
            raise NotADirectoryError(20, "Not a directory", path)
        self._call(self._tree_remove, path, False)

    # --- Removing ------------------------------------------------------------

    def rm_file(self, path: str) -> None:
        # fsspec's rm calls this for the directories it removes as well.
        path = _strip(path)
        self._call(self._tree_remove, path, False)

    _rm = rm_file

    def rm(
        self, path: str | list[str], recursive: bool = False, maxdepth: int | None = None
    ) -> None:
        paths = [path] if isinstance(path, str) else list(path)
        if maxdepth is not None or any(_has_magic(p) for p in paths):
            super().rm(path, recursive=recursive, maxdepth=maxdepth)
            return
        # A whole subtree goes in one call, rather than a walk and a call for
        # each file.
        for one in paths:
            self._call(self._tree_remove, _strip(one), recursive)

    # --- Moving and copying --------------------------------------------------

    def mv(
        self,
        path1: str | list[str],
        path2: str | list[str],
        recursive: bool = False,
        maxdepth: int | None = None,
        **kwargs: Any,
    ) -> None:
        """Moves by renaming: one atomic step whatever the source holds, so a
        failure (a directory into its own subtree, onto a file, onto an open
        file) leaves both ends as they were. A destination that is a
        directory, or ends in "/", receives the source under its own name.
        Globs and maxdepth select parts of trees, which no rename can do:
        those go through fsspec's copy and removal."""
        if maxdepth is None and isinstance(path1, str) and isinstance(path2, str):
            if not _has_magic(path1):
                self._rename(path1, path2)
                return
        elif maxdepth is None and isinstance(path1, list) and isinstance(path2, list):
            if len(path1) != len(path2):
                raise ValueError("mv needs as many destinations as sources")
            for source, target in zip(path1, path2):
                self._rename(source, target)
            return
        super().mv(path1, path2, recursive=recursive, maxdepth=maxdepth, **kwargs)

    def _rename(self, path1: str, path2: str) -> None:
        source = _strip(path1)
        target = _strip(path2)
        if target != source and (path2.endswith("/") or self.isdir(target)):
            target = target.rstrip("/") + "/" + source[_last_separator(source) + 1 :]
        try:
            self._tree_rename(source, target)
            return
        except ValueError as error:
            if str(error) != _NOT_FOUND or not self._tree_exists(source):
                raise os_error(error, source, target) from error
        self.makedirs(self._parent(target), exist_ok=True)
        self._call2(self._tree_rename, source, target)

    def cp_file(self, path1: str, path2: str, **kwargs: Any) -> None:
        source = _strip(path1)
        target = _strip(path2)
        if _is_dir(self._status(source).st_mode):
            self.makedirs(target, exist_ok=True)
            return
        self._write_all(target, self._read_all(source, None, None), create=False)

    # --- Whole files ---------------------------------------------------------

    def cat_file(
        self, path: str, start: int | None = None, end: int | None = None, **kwargs: Any
    ) -> bytes:
        return self._read_all(_strip(path), start, end)

    def pipe_file(self, path: str, value: bytes, mode: str = "overwrite", **kwargs: Any) -> None:
        self._write_all(_strip(path), value, create=mode == "create")

    def _open(
        self,
        path: str,
        mode: str = "rb",
        block_size: Any = None,
        autocommit: bool = True,
        cache_options: Any = None,
        **kwargs: Any,
    ) -> IO[Any]:
        if not autocommit:
            raise NotImplementedError("halvorn files are written in place; no transactions")
        path = _strip(path)
        buffering = block_size if isinstance(block_size, int) and block_size > 0 else -1
        try:
            return open_file(self.tree, path, mode, buffering)
        except FileNotFoundError:
            if "r" in mode or self._tree_exists(path):
                raise
        self.makedirs(self._parent(path), exist_ok=True)
        return open_file(self.tree, path, mode, buffering)

    # --- Helpers -------------------------------------------------------------

    def _status(self, path: str) -> os.stat_result:
        try:
            return self._tree_stat(path)
        except ValueError as error:
            raise os_error(error, path) from error

    def _call(self, method: Callable[..., _T], path: str, *args: Any) -> _T:
        try:
            return method(path, *args)
        except ValueError as error:
            raise os_error(error, path) from error

    def _call2(self, method: Callable[[str, str], _T], path: str, other: str) -> _T:
        try:
            return method(path, other)
        except ValueError as error:
            raise os_error(error, path, other) from error

    def _read_all(self, path: str, start: int | None, end: int | None) -> bytes:
        try:
            handle = self._tree_open_existing(path, "r")
        except ValueError as error:
            raise os_error(error, path) from error
        try:
            if start is None and end is None:
                return handle.pread(READ_ALL, 0)
            handle.seek(0, _END)
            wanted = range(handle.tell())[start:end]
            return handle.pread(len(wanted), wanted.start) if wanted else b""
        except ValueError as error:
            raise os_error(error, path) from error
        finally:
            handle.close()

    def _write_all(self, path: str, value: Any, *, create: bool) -> None:
        handle = self._open_for_writing(path, create)
        try:
            if not create:
                handle.truncate(0)
            handle.pwrite(value, 0)
        except ValueError as error:
            raise os_error(error, path) from error
        finally:
            handle.close()

    def _open_for_writing(self, path: str, create: bool) -> PyFileHandle:
        opener = self._tree_open_new if create else self._tree_open
        try:
            return opener(path, "w")
        except ValueError as error:
            if str(error) != _NOT_FOUND or self._tree_exists(path):
                raise os_error(error, path) from error
        self.makedirs(self._parent(path), exist_ok=True)
        return self._call(opener, path, "w")


# The path as the class keeps it. A function of the module rather than the
# classmethod alone, which binds the class that every thread shares each time
# it is called.
def _strip(path: Any) -> Any:
    # Every call of the class passes here first: a path already in its
    # one form ("/a/b") goes through as it is.
    if type(path) is str and path[:1] == "/" and path[-1:] != "/" and "//" not in path:
        return path
    if isinstance(path, list):
        return [_strip(p) for p in path]
    path = stringify_path(path)
    if path.startswith("halvorn://"):
        path = path[len("halvorn://") :]
    if "::" in path or "://" in path:
        return path.rstrip("/")
    return "/" + "/".join(part for part in path.split("/") if part)


def _info(name: str, status: os.stat_result) -> dict[str, Any]:
    directory = _is_dir(status.st_mode)
    return {
        "name": name,
        "size": status.st_size,
        "type": "directory" if directory else "file",
        "created": status.st_ctime,
        "mtime": status.st_mtime,
        "mode": status.st_mode,
        "ino": status.st_ino,
        "nlink": status.st_nlink,
    }


_SEPARATORS = "/\\"


def _last_separator(path: str) -> int:
    """Where the tree splits `path` into parent and last name, or -1."""
    return max(path.rfind("/"), path.rfind("\\"))


def _has_magic(path: str) -> bool:
    return any(char in path for char in "*?[")


# Bit tests with literal constants, rather than calls of the stat module's
# functions, which every thread would share.
def _is_dir(mode: int) -> bool:
    return mode & 0o170000 == 0o040000


def _is_file(mode: int) -> bool:
    return mode & 0o170000 == 0o100000

