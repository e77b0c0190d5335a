"""The operating system calls of the mode on one tree: paths relative to a
working directory of its own, descriptors numbered as real ones, and the
errors and result types the real calls give.

Every descriptor of the tree holds a real descriptor of /dev/null, opened
through the saved real os.open, and is known by its number: no tree descriptor
can share a number with a real one. It is opened as a bare path (O_PATH), on
which the kernel refuses every read and write: C code that takes the number
behind a tree file (numpy's tofile, mmap) fails with EBADF instead of losing
data into /dev/null, while calls that only look (isatty, set_inheritable)
still work.
"""

from __future__ import annotations

import errno
import os
import stat as stat_module
import threading
import time
from typing import Any, Callable

from halvorn import PyFs

from halvornfs._errors import os_error
from halvornfs._patch.nodes import FileNode

_BUSY = "Resource is currently in use"
_REAL_OPEN = os.open
_REAL_CLOSE = os.close
_NULL_FLAGS = getattr(os, "O_PATH", os.O_RDONLY) | os.O_CLOEXEC
_TMPFILE = getattr(os, "O_TMPFILE", 0)
_TMPFILE_BITS = _TMPFILE & ~getattr(os, "O_DIRECTORY", 0)
_DIRECTORY = getattr(os, "O_DIRECTORY", 0)
_MAX_NAME = 255
_CHANGES = os.O_WRONLY | os.O_RDWR | os.O_CREAT | os.O_TRUNC | os.O_APPEND
_SPARE = 64


class RealPath(Exception):
    """Raised by a path the mode leaves to the real call: the devices and
    kernel views (/dev, /proc, /sys), and reads of the interpreter's own
    library (so tzdata, certifi and package data keep loading)."""


# Always real: subprocess opens os.devnull for its children, and code reads
# /proc for the machine it runs on.
_DEVICES = ("/dev/", "/proc/", "/sys/")
_library_roots: tuple[str, ...] | None = None


def _libraries() -> tuple[str, ...]:
    """The folders of installed Python code and its data: read from the
    disk, never written."""
    global _library_roots
    if _library_roots is None:
        import site
        import sysconfig

        paths = sysconfig.get_paths()
        roots = {paths[key] for key in ("stdlib", "platstdlib", "purelib", "platlib") if key in paths}
        try:
            roots.update(site.getsitepackages())
        except AttributeError:  # a virtualenv's old site module
            pass
        roots.add("/usr/share/zoneinfo")
        _library_roots = tuple(sorted(os.path.normpath(root) + "/" for root in roots))
    return _library_roots


_layout: tuple[list[str], dict[str, int]] | None = None


def _stat_layout() -> tuple[list[str], dict[str, int]]:
    """The names of os.stat_result's fields past the ten of its tuple, in
    the order its constructor takes them, and each name's place: a result
    made from one sequence is several times cheaper than one made from a
    tuple and a dict. Found once by asking a probe."""
    global _layout
    if _layout is None:
        count = os.stat_result.n_fields
        probe = os.stat_result(tuple(range(count)))
        where: dict[str, int] = {}
        for name in dir(os.stat_result):
            value = getattr(probe, name, None) if name.startswith("st_") else None
            if type(value) is int and 10 <= value < count:
                where[name] = value
        hidden = sorted(where, key=where.__getitem__)
        _layout = (hidden, where)
    return _layout


def _error(code: int, path: Any, other: Any = None) -> OSError:
    if other is None:
        return OSError(code, os.strerror(code), path)
    return OSError(code, os.strerror(code), path, None, other)


class Description:
    """An open file description: what dup shares, with one position."""

    __slots__ = ("node", "directory", "path", "pos", "readable", "writable", "append", "lock",
                 "refs")

    def __init__(self, node: FileNode | None, path: str, readable: bool, writable: bool,
                 append: bool) -> None:
        self.node = node
        self.directory = node is None
        self.path = path
        self.pos = 0
        self.readable = readable
        self.writable = writable
        self.append = append
        # The position and the I/O that moves it are one step.
        self.lock = threading.Lock()
        self.refs = 1


class Tree:
    """The tree the mode routes to: paths, descriptors and the open files."""

    def __init__(self, fs: PyFs, cwd: str) -> None:
        self.fs = fs
        self.cwd = cwd
        self._nodes: dict[int, FileNode] = {}
        self._nodes_lock = threading.Lock()
        self.fds: dict[int, Description] = {}
        self._fds_lock = threading.Lock()
        # Modes and times set by chmod and utime, by inode; the tree keeps
        # neither of its own.
        self._modes: dict[int, int] = {}
        self._times: dict[int, tuple[int, int]] = {}
        # Set once the mode stops: files left open close without a word.
        self.stopped = False
        # Real numbers held for descriptors to come (see close).
        self._spare: list[int] = []
        self._outside = _DEVICES + _libraries()

    # --- Paths --------------------------------------------------------------

    def abs(self, path: Any, dir_fd: int | None = None, write: bool = False) -> str:
        """The absolute tree path of `path` (str, bytes or PathLike), without
        a trailing separator but the root's. RealPath for a path the real
        call serves; a change under the interpreter's library is EROFS."""
        if type(path) is str and path[:1] == "/" and path[-1:] != "/" and "\0" not in path:
            # Most paths are absolute already: nothing to join or strip.
            name = path
        else:
            name = self._abs(path, dir_fd)
        if (name + "/").startswith(self._outside):
            if (name + "/").startswith(_DEVICES) or not write:
                raise RealPath(name)
            raise _error(errno.EROFS, path)
        return name

    def _abs(self, path: Any, dir_fd: int | None) -> str:
        text = os.fspath(path)
        if isinstance(text, bytes):
            text = os.fsdecode(text)
        if not isinstance(text, str):
            raise TypeError(f"expected str, bytes or os.PathLike object, not {type(path).__name__}")
        if not text:
            raise _error(errno.ENOENT, text)
        if "\0" in text:
            raise ValueError("embedded null byte")
        if text[0] != "/":
            if dir_fd is not None:
                base = self.description(dir_fd).path
            else:
                base = self.cwd
            text = base + "/" + text if base != "/" else "/" + text
        if len(text) > 1 and text[-1] == "/":
            stripped = text.rstrip("/")
            # A trailing separator names a directory: "file/" is no file.
            self._check_directory(stripped or "/", path)
            return stripped or "/"
        return text

    def _check_directory(self, name: str, shown: Any) -> None:
        try:
            status = self.fs.stat(name)
        except ValueError:
            return
        if not stat_module.S_ISDIR(status.st_mode):
            raise _error(errno.ENOTDIR, shown)

    def call(self, method: Callable[..., Any], name: str, shown: Any, *args: Any) -> Any:
        try:
            return method(name, *args)
        except ValueError as error:
            raise os_error(error, shown) from None

    # --- Status -------------------------------------------------------------

    def stat(self, path: Any, dir_fd: int | None = None) -> os.stat_result:
        name = self.abs(path, dir_fd)
        try:
            result = self.fs.stat(name)
        except ValueError as error:
            raise os_error(error, path) from None
        if self._modes or self._times:
            return self._amend(result)
        return result

    def _amend(self, result: os.stat_result) -> os.stat_result:
        ino = result.st_ino
        mode = self._modes.get(ino)
        times = self._times.get(ino)
        if mode is None and times is None:
            return result
        hidden, where = _stat_layout()
        values = list(result)
        values += [getattr(result, name) for name in hidden]
        if mode is not None:
            values[0] = stat_module.S_IFMT(result.st_mode) | mode
        if times is not None:
            atime, mtime = times
            values[7], values[8] = atime // 10**9, mtime // 10**9
            for name, value in (("st_atime", atime / 1e9), ("st_mtime", mtime / 1e9),
                                ("st_atime_ns", atime), ("st_mtime_ns", mtime)):
                if name in where:
                    values[where[name]] = value
        return os.stat_result(values)

    def chmod(self, path: Any, mode: int, dir_fd: int | None = None) -> None:
        self.abs(path, dir_fd, True)
        ino = self.stat(path, dir_fd).st_ino
        self._modes[ino] = mode & 0o7777

    def utime(self, path: Any, times: Any = None, ns: Any = None,
              dir_fd: int | None = None) -> None:
        self.abs(path, dir_fd, True)
        ino = self.stat(path, dir_fd).st_ino
        self._set_times(ino, times, ns)

    def _set_times(self, ino: int, times: Any, ns: Any) -> None:
        if times is not None and ns is not None:
            raise ValueError("utime: you may specify either 'times' or 'ns' but not both")
        if ns is not None:
            atime, mtime = (int(ns[0]), int(ns[1]))
        elif times is not None:
            if not isinstance(times, tuple) or len(times) != 2:
                raise TypeError("utime: 'times' must be either a tuple of two ints or None")
            atime, mtime = (int(times[0] * 1e9), int(times[1] * 1e9))
        else:
            atime = mtime = time.time_ns()
        self._times[ino] = (atime, mtime)

    def statvfs(self) -> os.statvfs_result:
        usage = self.fs.usage()
        # One byte a block, so shutil.disk_usage reports the limits exactly.
        limit = usage["max_bytes"]
        total = limit if limit is not None else 2**63 - 1
        free = max(total - usage["bytes"], 0)
        nodes = usage["max_nodes"]
        files = nodes if nodes is not None else 2**63 - 1
        ffree = max(files - usage["nodes"], 0)
        name_max = usage["max_name_length"] or _MAX_NAME
        return os.statvfs_result((4096, 1, total, free, free, files, ffree, ffree, 0, name_max))

    # --- Directories --------------------------------------------------------

    def listdir(self, path: Any) -> list[str]:
        if isinstance(path, int):
            name = self.description(path).path
        else:
            name = self.abs(path)
        files: list[str]
        directories: list[str]
        files, directories = self.call(self.fs.listdir, name, path)
        return directories + files

    def listing(self, path: Any) -> tuple[str, list[str], list[str]]:
        name = self.description(path).path if isinstance(path, int) else self.abs(path)
        files, directories = self.call(self.fs.listdir, name, path)
        return name, files, directories

    def mkdir(self, path: Any, mode: int = 0o777, dir_fd: int | None = None) -> None:
        name = self.abs(path, dir_fd, True)
        try:
            self.fs.mkdir(name)
        except ValueError as error:
            message = str(error)
            if message == "Resource already exists" and len(os.path.basename(name)) > self._name_max():
                raise _error(errno.ENAMETOOLONG, path) from None
            raise os_error(error, path) from None

    def _name_max(self) -> int:
        return self.fs.usage()["max_name_length"] or _MAX_NAME

    def rmdir(self, path: Any, dir_fd: int | None = None) -> None:
        name = self.abs(path, dir_fd, True)
        status = self.call(self.fs.stat, name, path)
        if not stat_module.S_ISDIR(status.st_mode):
            raise _error(errno.ENOTDIR, path)
        if name == "/":
            raise _error(errno.EBUSY, path)
        self.call(self.fs.remove, name, path, False)

    def unlink(self, path: Any, dir_fd: int | None = None) -> None:
        name = self.abs(path, dir_fd, True)
        status = self.call(self.fs.stat, name, path)
        if stat_module.S_ISDIR(status.st_mode):
            raise _error(errno.EISDIR, path)
        try:
            self.fs.remove(name, False)
        except ValueError as error:
            if str(error) != _BUSY:
                raise os_error(error, path) from None
            # Open through the mode (or closed since): its descriptors keep
            # its bytes, and the name goes.
            self._detach(status.st_ino)
            self.call(self.fs.remove, name, path, False)
        self._forget(status.st_ino)

    def _forget(self, ino: int) -> None:
        self._modes.pop(ino, None)
        self._times.pop(ino, None)

    def _detach(self, ino: int) -> bool:
        """Lets the open file `ino` go from the tree, keeping its bytes for
        its descriptors; False if the mode does not hold it open."""
        with self._nodes_lock:
            node = self._nodes.pop(ino, None)
            if node is None:
                return False
            node.detach()
            return True

    def rename(self, src: Any, dst: Any, src_dir_fd: int | None = None,
               dst_dir_fd: int | None = None) -> None:
        try:
            source: str | None = self.abs(src, src_dir_fd, True)
        except RealPath:
            source = None
        try:
            target: str | None = self.abs(dst, dst_dir_fd, True)
        except RealPath:
            target = None
        if source is None and target is None:
            raise RealPath(src)
        if source is None or target is None:
            # One end on the disk, one in the tree: two devices.
            raise _error(errno.EXDEV, src, dst)
        if source == target:
            self.call(self.fs.stat, source, src)
            return
        try:
            self.fs.rename(source, target)
        except ValueError as error:
            message = str(error)
            if message == _BUSY:
                # The file replaced is open: its descriptors keep its bytes.
                try:
                    ino = self.fs.stat(target).st_ino
                except ValueError:
                    ino = -1
                if ino >= 0:
                    self._detach(ino)
                    try:
                        self.fs.rename(source, target)
                    except ValueError as again:
                        raise os_error(again, src, dst) from None
                    self._forget(ino)
                    self._moved(source, target)
                    return
            raise os_error(error, src, dst) from None
        self._moved(source, target)

    def _moved(self, source: str, target: str) -> None:
        if not self._nodes:
            return
        prefix = source + "/"
        with self._nodes_lock:
            for node in self._nodes.values():
                if node.path == source:
                    node.path = target
                elif node.path.startswith(prefix):
                    node.path = target + node.path[len(source):]

    # --- Descriptors --------------------------------------------------------

    def description(self, fd: int) -> Description:
        try:
            return self.fds[fd]
        except KeyError:
            raise _error(errno.EBADF, None) from None

    def open(self, path: Any, flags: int, mode: int = 0o777, dir_fd: int | None = None) -> int:
        name = self.abs(path, dir_fd, bool(flags & _CHANGES))
        access = flags & os.O_ACCMODE
        readable = access in (os.O_RDONLY, os.O_RDWR)
        writable = access in (os.O_WRONLY, os.O_RDWR)
        if _TMPFILE and flags & _TMPFILE_BITS == _TMPFILE_BITS:
            # A file without a name: tempfile falls back to a named one that
            # it removes at once.
            raise _error(errno.EOPNOTSUPP, path)
        # A new file's mode under the usual umask is kept only when it
        # differs from what the tree reports for every file; only then, or
        # for O_DIRECTORY, is the path looked at before it is opened.
        kept_mode = mode & 0o755 != 0o644 and mode & 0o755 != 0o755
        created = False
        if kept_mode or flags & _DIRECTORY:
            try:
                status = self.fs.stat(name)
            except ValueError:
                status = None
            created = status is None
            if status is not None and stat_module.S_ISDIR(status.st_mode):
                return self._open_directory(name, path, flags, writable)
            if flags & _DIRECTORY:
                raise _error(errno.ENOTDIR if status is not None else errno.ENOENT, path)
        try:
            node = self._open_node(name, path, flags)
        except IsADirectoryError:
            return self._open_directory(name, path, flags, writable)
        try:
            if flags & os.O_TRUNC and writable:
                node.truncate(0)
            if created and kept_mode:
                self._modes[node.ino] = mode & 0o755
            return self._add(Description(node, name, readable, writable, bool(flags & os.O_APPEND)))
        except BaseException:
            self._release(node)
            raise

    def _open_directory(self, name: str, path: Any, flags: int, writable: bool) -> int:
        if flags & os.O_CREAT and flags & os.O_EXCL:
            raise _error(errno.EEXIST, path)
        if writable or flags & os.O_CREAT:
            raise _error(errno.EISDIR, path)
        return self._add(Description(None, name, False, False, False))

    def _open_node(self, name: str, shown: Any, flags: int) -> FileNode:
        fs = self.fs
        with self._nodes_lock:
            try:
                if flags & os.O_CREAT and flags & os.O_EXCL:
                    handle = fs.open_new(name, "rw")
                elif flags & os.O_CREAT:
                    handle = fs.open(name, "rw")
                else:
                    handle = fs.open_existing(name, "rw")
            except ValueError as error:
                if str(error) != _BUSY:
                    if str(error) == "Resource already exists" and not flags & os.O_EXCL:
                        if len(os.path.basename(name)) > self._name_max():
                            raise _error(errno.ENAMETOOLONG, shown) from None
                    raise os_error(error, shown) from None
                node = self._nodes.get(self.call(fs.stat, name, shown).st_ino)
                if node is None:
                    raise os_error(error, shown) from None
            else:
                ino = handle.id()
                node = FileNode(ino, handle, name)
                self._nodes[ino] = node
            node.opens += 1
            return node

    def _release(self, node: FileNode) -> None:
        # The handle closes under the lock: an open that found the file busy
        # must find its node still registered.
        with self._nodes_lock:
            node.opens -= 1
            if node.opens:
                return
            if self._nodes.get(node.ino) is node:
                del self._nodes[node.ino]
            node.release()

    def _add(self, description: Description) -> int:
        try:
            fd = self._spare.pop()
        except IndexError:
            fd = _REAL_OPEN(os.devnull, _NULL_FLAGS)
        self.fds[fd] = description
        return fd

    def close(self, fd: int) -> None:
        with self._fds_lock:
            description = self.fds.pop(fd, None)
            if description is None:
                raise _error(errno.EBADF, None)
            # A closed number is kept for the next open, still held, so
            # opening and closing a file costs no system call; the numbers
            # of the standard streams (a dup2 onto them) go back at once.
            if fd > 2 and len(self._spare) < _SPARE and not self.stopped:
                self._spare.append(fd)
                fd = -1
        if fd >= 0:
            _REAL_CLOSE(fd)
        self._drop(description)

    def _drop(self, description: Description) -> None:
        with description.lock:
            description.refs -= 1
            last = description.refs == 0
        if last and description.node is not None:
            self._release(description.node)

    def dup(self, fd: int) -> int:
        description = self.description(fd)
        with description.lock:
            description.refs += 1
        return self._add(description)

    def close_all(self) -> None:
        self.stopped = True
        for fd in list(self.fds):
            try:
                self.close(fd)
            except OSError:
                pass
        with self._fds_lock:
            spare, self._spare = self._spare, []
        for fd in spare:
            _REAL_CLOSE(fd)

    def is_spare(self, fd: int) -> bool:
        """Whether `fd` is a number held for later: closed, to its user."""
        return fd in self._spare

    def give_up_spare(self, low: int, high: int) -> None:
        """Forgets the held numbers in [low, high), which a real call is about
        to close or replace."""
        with self._fds_lock:
            self._spare = [fd for fd in self._spare if not low <= fd < high]

    def file_node(self, fd: int) -> tuple[Description, FileNode]:
        description = self.description(fd)
        node = description.node
        if node is None:
            raise _error(errno.EISDIR, description.path)
        return description, node

    def read(self, fd: int, size: int) -> bytes:
        description, node = self.file_node(fd)
        if not description.readable:
            raise _error(errno.EBADF, None)
        if size < 0:
            raise ValueError("negative buffersize in read")
        with description.lock:
            data: bytes = self._io(node.pread, size, description.pos, path=description.path)
            description.pos += len(data)
        return data

    def write(self, fd: int, data: Any) -> int:
        description, node = self.file_node(fd)
        if not description.writable:
            raise _error(errno.EBADF, None)
        data = bytes(data) if not isinstance(data, bytes) else data
        if not data:
            return 0
        with description.lock:
            if description.append:
                offset = self._io(node.append, data, path=description.path)
            else:
                offset = description.pos
                self._io(node.pwrite, data, offset, path=description.path)
            description.pos = offset + len(data)
        return len(data)

    def pread(self, fd: int, size: int, offset: int) -> bytes:
        description, node = self.file_node(fd)
        if not description.readable:
            raise _error(errno.EBADF, None)
        if offset < 0:
            raise _error(errno.EINVAL, None)
        data: bytes = self._io(node.pread, size, offset, path=description.path)
        return data

    def pwrite(self, fd: int, data: Any, offset: int) -> int:
        description, node = self.file_node(fd)
        if not description.writable:
            raise _error(errno.EBADF, None)
        if offset < 0:
            raise _error(errno.EINVAL, None)
        data = bytes(data)
        if not data:
            return 0
        self._io(node.pwrite, data, offset, path=description.path)
        return len(data)

    def _io(self, method: Callable[..., Any], *args: Any, path: str = "") -> Any:
        try:
            return method(*args)
        except ValueError as error:
            raise os_error(error, path) from None

    def lseek(self, fd: int, position: int, how: int) -> int:
        description = self.description(fd)
        with description.lock:
            if how == os.SEEK_SET:
                target = position
            elif how == os.SEEK_CUR:
                target = description.pos + position
            elif how == os.SEEK_END:
                target = self._size(description) + position
            elif how in (getattr(os, "SEEK_DATA", 3), getattr(os, "SEEK_HOLE", 4)):
                size = self._size(description)
                if not 0 <= position < size:
                    raise _error(errno.ENXIO, None)
                target = position if how == getattr(os, "SEEK_DATA", 3) else size
            else:
                raise _error(errno.EINVAL, None)
            if target < 0:
                raise _error(errno.EINVAL, None)
            description.pos = target
            return target

    def _size(self, description: Description) -> int:
        node = description.node
        return 0 if node is None else node.size()

    def ftruncate(self, fd: int, length: int) -> None:
        description, node = self.file_node(fd)
        if not description.writable:
            raise _error(errno.EINVAL, None)
        if length < 0:
            raise _error(errno.EINVAL, None)
        self._io(node.truncate, length, path=description.path)

    def truncate(self, path: Any, length: int) -> None:
        if length < 0:
            raise _error(errno.EINVAL, path)
        fd = self.open(path, os.O_WRONLY)
        try:
            self.ftruncate(fd, length)
        finally:
            self.close(fd)

    def fstat(self, fd: int) -> os.stat_result:
        description = self.description(fd)
        node = description.node
        try:
            result = self.fs.stat(node.path if node is not None else description.path)
        except ValueError:
            result = None
        if node is None:
            if result is None:
                raise _error(errno.ENOENT, description.path)
            return result
        if result is None or result.st_ino != node.ino:
            # Removed while open: what is left is its bytes.
            now = time.time_ns()
            extra = {"st_atime": now / 1e9, "st_mtime": now / 1e9, "st_ctime": now / 1e9,
                     "st_atime_ns": now, "st_mtime_ns": now, "st_ctime_ns": now,
                     "st_blksize": 4096, "st_blocks": 0, "st_rdev": 0}
            result = os.stat_result(
                (stat_module.S_IFREG | 0o644, node.ino, 1, 0, 0, 0, node.size(), now // 10**9,
                 now // 10**9, now // 10**9), extra)
        if self._modes or self._times:
            return self._amend(result)
        return result
