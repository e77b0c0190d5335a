# The real functions come in a dict of loosely typed callables, and each route
# hands their results on as the real os would.
# mypy: disable-error-code="no-any-return"
"""The replacements of os functions that the mode routes to a tree. A path
always goes to the tree; a descriptor goes to the tree only when the tree
made it, so standard streams, pipes and sockets stay real."""

from __future__ import annotations

import errno
import os
import stat as stat_module
from typing import Any, Callable, Iterator

from halvornfs._patch.tree import RealPath, Tree, _error

_NOT_SUPPORTED = "Symbolic and hard links are not held by a halvorn tree yet"


class TreeDirEntry:
    """What os.scandir yields, for an entry of the tree."""

    __slots__ = ("name", "path", "_directory", "_tree", "_stat")

    def __init__(self, tree: Tree, name: str, path: str, directory: bool) -> None:
        self._tree = tree
        self.name = name
        self.path = path
        self._directory = directory
        self._stat: os.stat_result | None = None

    def is_dir(self, *, follow_symlinks: bool = True) -> bool:
        return self._directory

    def is_file(self, *, follow_symlinks: bool = True) -> bool:
        return not self._directory

    def is_symlink(self) -> bool:
        return False

    def is_junction(self) -> bool:
        return False

    def stat(self, *, follow_symlinks: bool = True) -> os.stat_result:
        if self._stat is None:
            self._stat = self._tree.stat(self.path)
        return self._stat

    def inode(self) -> int:
        return self.stat().st_ino

    def __fspath__(self) -> str:
        return self.path

    def __repr__(self) -> str:
        return f"<DirEntry {self.name!r}>"


class TreeEntry(TreeDirEntry):
    """The bytes form, for os.scandir(bytes)."""

    __slots__ = ()

    def __init__(self, tree: Tree, name: str, path: str, directory: bool) -> None:
        super().__init__(tree, name, path, directory)
        self.name = os.fsencode(name)  # type: ignore[assignment]
        self.path = os.fsencode(path)  # type: ignore[assignment]

    def __fspath__(self) -> bytes:  # type: ignore[override]
        return self.path  # type: ignore[return-value]


class ScandirIterator:
    __slots__ = ("_entries",)

    def __init__(self, entries: Iterator[TreeDirEntry]) -> None:
        self._entries = entries

    def __iter__(self) -> ScandirIterator:
        return self

    def __next__(self) -> TreeDirEntry:
        return next(self._entries)

    def close(self) -> None:
        self._entries = iter(())

    def __enter__(self) -> ScandirIterator:
        return self

    def __exit__(self, *exc: object) -> None:
        self.close()


# The routes that take a path, which may be one the real call serves.
_BY_PATH = ("stat", "lstat", "listdir", "scandir", "mkdir", "rmdir", "unlink", "remove", "rename",
            "replace", "access", "chmod", "chown", "lchown", "utime", "truncate", "statvfs", "readlink", "open", "getxattr", "setxattr", "listxattr", "removexattr")


def _or_real(route: Callable[..., Any], original: Callable[..., Any]) -> Callable[..., Any]:
    def call(*args: Any, **kwargs: Any) -> Any:
        try:
            return route(*args, **kwargs)
        except RealPath:
            return original(*args, **kwargs)

    return call


def make_os(tree: Tree, real: dict[str, Callable[..., Any]]) -> dict[str, Callable[..., Any]]:
    """The os functions over `tree`; `real` holds the originals, for real
    descriptors."""
    fds = tree.fds
    real_stat, real_fstat = real["stat"], real["fstat"]
    real_read, real_write = real["read"], real["write"]
    real_close, real_lseek = real["close"], real["lseek"]
    tree_stat = tree.stat

    def stat(path: Any, *, dir_fd: int | None = None, follow_symlinks: bool = True) -> Any:
        if isinstance(path, int):
            if path in fds:
                return tree.fstat(path)
            return real_stat(path)
        return tree_stat(path, dir_fd)

    def lstat(path: Any, *, dir_fd: int | None = None) -> Any:
        return tree_stat(path, dir_fd)

    def fstat(fd: int) -> Any:
        if fd in fds:
            return tree.fstat(fd)
        return real_fstat(fd)

    def listdir(path: Any = None) -> list[Any]:
        if path is None:
            path = "."
        if isinstance(path, int) and path not in fds:
            return real["listdir"](path)
        names = tree.listdir(path)
        if isinstance(path, bytes):
            return [os.fsencode(name) for name in names]
        return names

    def scandir(path: Any = None) -> ScandirIterator:
        if path is None:
            path = "."
        if isinstance(path, int) and path not in fds:
            return real["scandir"](path)
        base, files, directories = tree.listing(path)
        if isinstance(path, int):
            # The entries of a descriptor's listing are named alone.
            shown = ""
        else:
            shown = os.fspath(path)
        as_bytes = isinstance(shown, bytes)
        if as_bytes:
            shown = os.fsdecode(shown)
        prefix = shown
        join = os.path.join
        kind = TreeEntry if as_bytes else TreeDirEntry

        def entries() -> Iterator[TreeDirEntry]:
            for name in directories:
                yield kind(tree, name, join(prefix, name), True)
            for name in files:
                yield kind(tree, name, join(prefix, name), False)

        return ScandirIterator(entries())

    def mkdir(path: Any, mode: int = 0o777, *, dir_fd: int | None = None) -> None:
        tree.mkdir(path, mode, dir_fd)

    def rmdir(path: Any, *, dir_fd: int | None = None) -> None:
        tree.rmdir(path, dir_fd)

    def unlink(path: Any, *, dir_fd: int | None = None) -> None:
        tree.unlink(path, dir_fd)

    def rename(src: Any, dst: Any, *, src_dir_fd: int | None = None,
               dst_dir_fd: int | None = None) -> None:
        tree.rename(src, dst, src_dir_fd, dst_dir_fd)

    def access(path: Any, mode: int, *, dir_fd: int | None = None, effective_ids: bool = False,
               follow_symlinks: bool = True) -> bool:
        if isinstance(path, int) and path not in fds:
            return real["access"](path, mode)
        try:
            if isinstance(path, int):
                tree.fstat(path)
            else:
                tree_stat(path, dir_fd)
        except OSError:
            return False
        return True

    def chmod(path: Any, mode: int, *, dir_fd: int | None = None,
              follow_symlinks: bool = True) -> None:
        if isinstance(path, int):
            if path not in fds:
                return real["chmod"](path, mode)
            path = tree.description(path).path
        tree.chmod(path, mode, dir_fd)

    def fchmod(fd: int, mode: int) -> None:
        if fd not in fds:
            return real["fchmod"](fd, mode)
        tree.chmod(tree.description(fd).path, mode)

    def chown(path: Any, uid: int, gid: int, *, dir_fd: int | None = None,
              follow_symlinks: bool = True) -> None:
        # The tree's owner is root, and root may give a file away: the call
        # succeeds and changes nothing that is reported.
        if isinstance(path, int) and path not in fds:
            return real["chown"](path, uid, gid)
        if not isinstance(path, int):
            tree_stat(path, dir_fd)

    def utime(path: Any, times: Any = None, *, ns: Any = None, dir_fd: int | None = None,
              follow_symlinks: bool = True) -> None:
        if isinstance(path, int):
            if path not in fds:
                if ns is None:
                    return real["utime"](path, times)
                return real["utime"](path, times, ns=ns)
            path = tree.description(path).path
        tree.utime(path, times, ns, dir_fd)

    def truncate(path: Any, length: int) -> None:
        if isinstance(path, int):
            return ftruncate(path, length)
        tree.truncate(path, length)

    def ftruncate(fd: int, length: int) -> None:
        if fd not in fds:
            return real["ftruncate"](fd, length)
        tree.ftruncate(fd, length)

    def getcwd() -> str:
        return tree.cwd

    def getcwdb() -> bytes:
        return os.fsencode(tree.cwd)

    def chdir(path: Any) -> None:
        if isinstance(path, int):
            if path not in fds:
                return real["chdir"](path)
            name = tree.description(path).path
        else:
            try:
                name = tree.abs(path, write=True)
            except RealPath:
                raise OSError(errno.EPERM, "The working directory of the mode is in the tree",
                              path) from None
        if not stat_module.S_ISDIR(tree_stat(name).st_mode):
            raise _error(errno.ENOTDIR, path)
        tree.cwd = name

    def fchdir(fd: int) -> None:
        chdir(fd)

    def statvfs(path: Any) -> os.statvfs_result:
        if isinstance(path, int):
            if path not in fds:
                return real["statvfs"](path)
        else:
            tree_stat(path)
        return tree.statvfs()

    def fstatvfs(fd: int) -> os.statvfs_result:
        if fd not in fds:
            return real["fstatvfs"](fd)
        return tree.statvfs()

    def symlink(src: Any, dst: Any, target_is_directory: bool = False, *,
                dir_fd: int | None = None) -> None:
        raise OSError(errno.EPERM, _NOT_SUPPORTED, src, None, dst)

    def link(src: Any, dst: Any, *, src_dir_fd: int | None = None, dst_dir_fd: int | None = None,
             follow_symlinks: bool = True) -> None:
        raise OSError(errno.EPERM, _NOT_SUPPORTED, src, None, dst)

    def readlink(path: Any, *, dir_fd: int | None = None) -> str:
        # Nothing in the tree is a link, and a path that is no link is EINVAL.
        tree_stat(path, dir_fd)
        raise _error(errno.EINVAL, path)

    def no_attributes(name: str) -> Callable[..., Any]:
        original = real[name]

        def call(path: Any, *args: Any, **kwargs: Any) -> Any:
            if isinstance(path, int) and path not in fds:
                return original(path, *args, **kwargs)
            if not isinstance(path, int):
                tree_stat(path)
            raise _error(errno.ENOTSUP, path)

        call.__name__ = name
        return call

    # --- Descriptors --------------------------------------------------------

    def open(path: Any, flags: int, mode: int = 0o777, *, dir_fd: int | None = None) -> int:
        return tree.open(path, flags, mode, dir_fd)

    def read(fd: int, size: int) -> bytes:
        if fd in fds:
            return tree.read(fd, size)
        return real_read(fd, size)

    def write(fd: int, data: Any) -> int:
        if fd in fds:
            return tree.write(fd, data)
        return real_write(fd, data)

    def pread(fd: int, size: int, offset: int) -> bytes:
        if fd in fds:
            return tree.pread(fd, size, offset)
        return real["pread"](fd, size, offset)

    def pwrite(fd: int, data: Any, offset: int) -> int:
        if fd in fds:
            return tree.pwrite(fd, data, offset)
        return real["pwrite"](fd, data, offset)

    def readv(fd: int, buffers: Any) -> int:
        if fd not in fds:
            return real["readv"](fd, buffers)
        views = [memoryview(buffer).cast("B") for buffer in buffers]
        data = tree.read(fd, sum(len(view) for view in views))
        done = 0
        for view in views:
            part = data[done : done + len(view)]
            view[: len(part)] = part
            done += len(part)
            if done >= len(data):
                break
        return len(data)

    def writev(fd: int, buffers: Any) -> int:
        if fd not in fds:
            return real["writev"](fd, buffers)
        return tree.write(fd, b"".join(bytes(buffer) for buffer in buffers))

    def lseek(fd: int, position: int, how: int) -> int:
        if fd in fds:
            return tree.lseek(fd, position, how)
        return real_lseek(fd, position, how)

    def close(fd: int) -> None:
        if fd in fds:
            return tree.close(fd)
        if tree.is_spare(fd):
            raise _error(errno.EBADF, None)
        return real_close(fd)

    def closerange(low: int, high: int) -> None:
        for fd in [fd for fd in fds if low <= fd < high]:
            tree.close(fd)
        tree.give_up_spare(low, high)
        real["closerange"](low, high)

    def dup(fd: int) -> int:
        if fd in fds:
            return tree.dup(fd)
        return real["dup"](fd)

    def dup2(fd: int, fd2: int, inheritable: bool = True) -> int:
        tree.give_up_spare(fd2, fd2 + 1)
        if fd not in fds and fd2 not in fds:
            return real["dup2"](fd, fd2, inheritable)
        if fd not in fds:
            tree.close(fd2)
            return real["dup2"](fd, fd2, inheritable)
        description = tree.description(fd)
        if fd2 == fd:
            return fd2
        if fd2 in fds:
            tree.close(fd2)
        with description.lock:
            description.refs += 1
        real["dup2"](fd, fd2, inheritable)
        fds[fd2] = description
        return fd2

    def fsync(fd: Any) -> None:
        number = fd if isinstance(fd, int) else fd.fileno()
        if number not in fds:
            return real["fsync"](fd)
        tree.description(number)

    def fdatasync(fd: Any) -> None:
        number = fd if isinstance(fd, int) else fd.fileno()
        if number not in fds:
            return real["fdatasync"](fd)
        tree.description(number)

    def sendfile(out_fd: int, in_fd: int, offset: Any, count: int) -> int:
        if out_fd not in fds and in_fd not in fds:
            return real["sendfile"](out_fd, in_fd, offset, count)
        if offset is None:
            data = read(in_fd, count)
        else:
            data = pread(in_fd, count, offset)
        return write(out_fd, data)

    routes: dict[str, Callable[..., Any]] = {
        "stat": stat, "lstat": lstat, "fstat": fstat, "listdir": listdir, "scandir": scandir,
        "mkdir": mkdir, "rmdir": rmdir, "unlink": unlink, "remove": unlink, "rename": rename,
        "replace": rename, "access": access, "chmod": chmod, "fchmod": fchmod, "chown": chown,
        "lchown": chown, "utime": utime, "truncate": truncate, "ftruncate": ftruncate,
        "getcwd": getcwd, "getcwdb": getcwdb, "chdir": chdir, "fchdir": fchdir,
        "statvfs": statvfs, "fstatvfs": fstatvfs, "symlink": symlink, "link": link,
        "readlink": readlink, "open": open, "read": read, "write": write, "pread": pread,
        "pwrite": pwrite, "readv": readv, "writev": writev, "lseek": lseek, "close": close,
        "closerange": closerange, "dup": dup, "dup2": dup2, "fsync": fsync,
        "fdatasync": fdatasync, "sendfile": sendfile,
    }
    for name in ("getxattr", "setxattr", "listxattr", "removexattr"):
        if name in real:
            routes[name] = no_attributes(name)
    for name in _BY_PATH:
        if name in routes and name in real:
            routes[name] = _or_real(routes[name], real[name])
    for name, function in routes.items():
        function.__qualname__ = function.__name__ = name
        function.__module__ = "os"
    return {name: function for name, function in routes.items() if name in real}
