"""Starting and stopping the mode: the names of os, io, builtins and the
modules that copied them are swapped for the tree's, and swapped back."""

from __future__ import annotations

import builtins
import contextlib
import functools
import inspect
import io
import os
import sys
import tempfile
import threading
from types import FunctionType, ModuleType, TracebackType
from typing import Any, Callable, Iterator, TypeVar

from halvorn import PyFs

from halvornfs._patch.files import TreeFileIO, make_open
from halvornfs._patch.routes import make_os
from halvornfs._patch.tree import Tree

_F = TypeVar("_F", bound=Callable[..., Any])

# The os names the mode replaces when the platform has them.
_OS_NAMES = (
    "stat", "lstat", "fstat", "listdir", "scandir", "mkdir", "rmdir", "unlink", "remove",
    "rename", "replace", "access", "chmod", "fchmod", "chown", "lchown", "utime", "truncate",
    "ftruncate", "getcwd", "getcwdb", "chdir", "fchdir", "statvfs", "fstatvfs", "symlink", "link",
    "readlink", "open", "read", "write", "pread", "pwrite", "readv", "writev", "lseek", "close",
    "closerange", "dup", "dup2", "fsync", "fdatasync", "sendfile", "getxattr", "setxattr",
    "listxattr", "removexattr",
)
# shutil's fast paths that hand real descriptors to the kernel, and its
# descriptor-based rmtree, which the mode turns off while it runs.
_SHUTIL_FLAGS = ("_USE_CP_SENDFILE", "_USE_CP_COPY_FILE_RANGE", "_HAS_FCOPYFILE",
                 "_use_fd_functions")
# Modules whose copies of the real functions stay real: the import system,
# the modules patched by name, pytest's own machinery, and this package.
_KEEP_REAL = ("halvorn", "halvornfs", "halvorn_shell", "_pytest", "pytest", "pluggy",
              "importlib", "_frozen_importlib", "_frozen_importlib_external", "zipimport",
              "posix", "os", "io", "_io", "builtins", "sys", "encodings", "_pyio")

# The places outside os, io and builtins that hold a real function, found once
# per module: (container, attribute, kind), the kind saying how it is held:
# as the attribute itself, wrapped in a staticmethod, or among a function's
# default values (`def close(self, unlink=os.unlink)`).
_Place = tuple[Any, str, str]
_found: dict[str, tuple[ModuleType, list[_Place]]] = {}
_known_names: set[str] | None = None
_known_places: list[_Place] = []


def _keeps_real(name: str) -> bool:
    head = name.partition(".")[0]
    return head in _KEEP_REAL


def _defaults(function: Any, originals: dict[int, Any], places: list[_Place]) -> None:
    if not isinstance(function, FunctionType):
        return
    if function.__defaults__ and any(id(value) in originals for value in function.__defaults__):
        places.append((function, "__defaults__", "defaults"))
    keywords = function.__kwdefaults__
    if keywords and any(id(value) in originals for value in keywords.values()):
        places.append((function, "__kwdefaults__", "kwdefaults"))


def _scan(module: ModuleType, originals: dict[int, Any]) -> list[_Place]:
    places: list[_Place] = []
    try:
        items = list(vars(module).items())
    except (TypeError, RuntimeError):
        return places
    name = getattr(module, "__name__", None)
    for attribute, value in items:
        if id(value) in originals:
            places.append((module, attribute, "plain"))
        elif isinstance(value, FunctionType):
            _defaults(value, originals, places)
        elif isinstance(value, type) and getattr(value, "__module__", None) == name:
            try:
                members = list(vars(value).items())
            except (TypeError, RuntimeError):
                continue
            for member, held in members:
                if id(held) in originals:
                    places.append((value, member, "method"))
                elif isinstance(held, staticmethod) and id(held.__func__) in originals:
                    places.append((value, member, "static"))
                elif isinstance(held, (staticmethod, classmethod)):
                    _defaults(held.__func__, originals, places)
                else:
                    # Only plain functions: looking into any other object
                    # may run its code (a lazy module imports on touch).
                    _defaults(held, originals, places)
    return places


def _places(originals: dict[int, Any]) -> list[_Place]:
    """Every place that copied a real function before the mode started:
    `from os import stat`, `bltn_open = open`, a class attribute, a default."""
    global _known_names, _known_places
    # Most starts follow an identical set of imports: one comparison of the
    # module names stands for the whole walk.
    if _known_names is not None and sys.modules.keys() == _known_names:
        return _known_places
    result: list[_Place] = []
    names = set(sys.modules)
    for name, module in list(sys.modules.items()):
        if _keeps_real(name) or not isinstance(module, ModuleType):
            continue
        known = _found.get(name)
        if known is None or known[0] is not module:
            try:
                known = (module, _scan(module, originals))
            except Exception:
                # A module that cannot be looked into holds nothing found.
                known = (module, [])
            _found[name] = known
        result.extend(known[1])
    _known_names, _known_places = names, result
    return result


def _swapped(held: Any, kind: str, routes: dict[int, Any], originals: dict[int, Any]) -> Any:
    """What replaces `held` at a place of `kind`, or None to leave it."""

    def route(value: Any) -> Any:
        found = routes.get(id(value))
        return found if found is not None and originals.get(id(value)) is value else None

    if kind == "plain":
        return route(held)
    if kind == "method":
        # A builtin function kept on a class is called unbound; a Python one
        # would bind, so it goes in wrapped.
        found = route(held)
        return staticmethod(found) if found is not None else None
    if kind == "static":
        found = route(held.__func__)
        return staticmethod(found) if found is not None else None
    if kind == "defaults":
        values = tuple(route(value) or value for value in held or ())
        return values if values != held else None
    swapped = {key: route(value) or value for key, value in (held or {}).items()}
    return swapped if swapped != held else None


class patch:  # noqa: N801 -- used as a function: `with halvornfs.patch() as fs:`
    """Routes the file system calls of the whole process to a halvorn tree.

    `with patch() as fs:` or `p = patch(); fs = p.start(); ...; p.stop()`.
    `fs` is the PyFs given, or a fresh one made with the limits given. One
    mode at a time per process: a second start while one runs raises
    RuntimeError. Also a decorator: each call of the function runs in a fresh
    tree, handed to it as `halvorn_fs` when it has a parameter of that name.
    """

    _lock = threading.Lock()
    _running: patch | None = None

    def __init__(self, fs: PyFs | None = None, *, max_bytes: int | None = None,
                 max_nodes: int | None = None, max_name_length: int | None = None) -> None:
        self._given = fs
        self._limits = {"max_bytes": max_bytes, "max_nodes": max_nodes,
                        "max_name_length": max_name_length}
        if fs is not None and any(value is not None for value in self._limits.values()):
            raise TypeError("limits are those of the PyFs given; pass them to PyFs() instead")
        self._undo: list[tuple[Any, str, Any]] = []
        self._swaps: list[tuple[Any, str, Any]] = []
        self._tree: Tree | None = None

    @property
    def fs(self) -> PyFs | None:
        """The tree while the mode runs, else None."""
        return self._tree.fs if self._tree is not None else None

    @classmethod
    def running(cls) -> patch | None:
        """The patcher that runs now, if one does."""
        return cls._running

    def start(self) -> PyFs:
        with patch._lock:
            if patch._running is not None:
                raise RuntimeError(
                    "halvornfs.patch is already running in this process: the mode routes the "
                    "whole process to one tree, so stop the running one before starting another"
                )
            fs = self._given if self._given is not None else PyFs(**self._limits)
            cwd = os.getcwd()
            temporary = tempfile.gettempdir()
            tree = Tree(fs, cwd)
            for path in (cwd, temporary):
                _make_directories(fs, path)
            real = {name: getattr(os, name) for name in _OS_NAMES if hasattr(os, name)}
            routes = make_os(tree, real)
            tree_open = make_open(tree, builtins.open)
            swaps: list[tuple[Any, str, Any]] = [(os, name, route) for name, route in routes.items()]
            swaps.append((builtins, "open", tree_open))
            swaps.append((io, "open", tree_open))
            import shutil

            for flag in _SHUTIL_FLAGS:
                if hasattr(shutil, flag):
                    swaps.append((shutil, flag, False))
            by_original = {id(real[name]): route for name, route in routes.items()}
            by_original[id(builtins.open)] = tree_open
            # The originals stay alive while the mode runs, so their ids stay theirs.
            originals = {id(value): value for value in real.values()}
            originals[id(builtins.open)] = builtins.open
            for container, attribute, kind in _places(originals):
                if kind in ("defaults", "kwdefaults"):
                    held = getattr(container, attribute)
                else:
                    held = vars(container).get(attribute)
                value = _swapped(held, kind, by_original, originals)
                if value is not None:
                    swaps.append((container, attribute, value))
            swaps.extend(_library_shims())
            undo: list[tuple[Any, str, Any]] = []
            try:
                for container, attribute, value in swaps:
                    undo.append((container, attribute, getattr(container, attribute)
                                 if isinstance(container, FunctionType)
                                 else vars(container)[attribute]))
                    setattr(container, attribute, value)
            except BaseException:
                _restore(undo)
                raise
            self._undo = undo
            self._swaps = swaps
            self._tree = tree
            patch._running = self
            return fs

    def stop(self) -> None:
        with patch._lock:
            if patch._running is not self:
                raise RuntimeError("this halvornfs.patch is not running")
            _restore(self._undo)
            self._undo = []
            tree, self._tree = self._tree, None
            patch._running = None
        assert tree is not None
        tree.close_all()

    @contextlib.contextmanager
    def suspended(self) -> Iterator[None]:
        """The real names back for a while, the tree kept: for the test
        runner's own work (reading sources for a report) amid a test."""
        with patch._lock:
            if patch._running is not self:
                raise RuntimeError("this halvornfs.patch is not running")
            _restore(self._undo)
        try:
            yield
        finally:
            with patch._lock:
                for container, attribute, value in self._swaps:
                    setattr(container, attribute, value)

    def __enter__(self) -> PyFs:
        return self.start()

    def __exit__(self, kind: type[BaseException] | None, value: BaseException | None,
                 traceback: TracebackType | None) -> None:
        self.stop()

    def __call__(self, function: _F) -> _F:
        given, limits = self._given, self._limits
        takes_fs = "halvorn_fs" in inspect.signature(function).parameters

        @functools.wraps(function)
        def run(*args: Any, **kwargs: Any) -> Any:
            with patch(given, **limits) as fs:
                if takes_fs:
                    kwargs["halvorn_fs"] = fs
                return function(*args, **kwargs)

        return run  # type: ignore[return-value]


# Libraries that hand a real file's descriptor to C code: numpy writes and
# reads a file object straight through its number when it looks like a disk
# file, which a tree file does. Told it is none, numpy uses write and read.
_FILE_CHECKS = (("numpy.lib._format_impl", "isfileobj"), ("numpy.lib.format", "isfileobj"),
                ("numpy.compat.py3k", "isfileobj"), ("numpy.compat", "isfileobj"))


def _library_shims() -> list[tuple[Any, str, Any]]:
    shims: list[tuple[Any, str, Any]] = []
    for module_name, attribute in _FILE_CHECKS:
        module = sys.modules.get(module_name)
        original = getattr(module, attribute, None) if module is not None else None
        if original is None:
            continue

        def check(file: Any, _original: Any = original) -> Any:
            raw = getattr(getattr(file, "buffer", file), "raw", file)
            if isinstance(raw, TreeFileIO):
                return False
            return _original(file)

        shims.append((module, attribute, check))
    return shims


def _restore(undo: list[tuple[Any, str, Any]]) -> None:
    for container, attribute, value in reversed(undo):
        setattr(container, attribute, value)


def _make_directories(fs: PyFs, path: str) -> None:
    so_far = ""
    for part in path.split("/"):
        if not part:
            continue
        so_far += "/" + part
        if not fs.exists(so_far):
            fs.mkdir(so_far)
