"""The module's ValueError messages as the OSError subclasses that Python code
catches, so that `except FileNotFoundError:` works on a halvorn tree as it does
on a disk. The ValueError stays reachable as the cause, with the module's own
words."""

from __future__ import annotations

import errno

# errno and the text shown to a person, by the module's fixed message. OSError
# picks the subclass from the errno (ENOENT gives FileNotFoundError, EISDIR
# IsADirectoryError, ...); ENOTEMPTY and EBUSY have none and stay OSError.
_BY_MESSAGE: dict[str, tuple[int, str]] = {
    "Inode not found": (errno.ENOENT, "No such file or directory"),
    "The specified INode is not a directory": (errno.ENOTDIR, "Not a directory"),
    # Links are followed, so what is not a file is a directory.
    "The specified INode is not a file": (errno.EISDIR, "Is a directory"),
    "The specified INode is not a symlink": (errno.EINVAL, "Not a symbolic link"),
    "Resource already exists": (errno.EEXIST, "File exists"),
    "Directory is not empty": (errno.ENOTEMPTY, "Directory not empty"),
    "Resource is currently in use": (
        errno.EBUSY,
        "Resource is currently in use: another handle holds the file"
        " (a writer needs it alone, and readers keep writers out); close that handle first",
    ),
    "Maximum filesystem depth exceeded": (
        errno.ENAMETOOLONG,
        "Maximum filesystem depth exceeded (a directory is at most 64 levels below the root)",
    ),
    "Cannot move a directory into its own subtree": (
        errno.EINVAL,
        "Cannot move a directory into its own subtree",
    ),
    "The root directory cannot be moved or replaced": (
        errno.EBUSY,
        "The root directory cannot be moved or replaced",
    ),
    "No space left on file system": (errno.ENOSPC, "No space left on file system"),
    "No nodes left on file system": (errno.ENOSPC, "No nodes left on file system"),
    "File name too long": (errno.ENAMETOOLONG, "File name too long"),
    "Invalid file descriptor": (errno.EBADF, "Bad file descriptor"),
}
_UNSUPPORTED = "File does not support the specified operation: "


def os_error(error: ValueError, path: str, other: str | None = None) -> Exception:
    """The OSError for the module's `error` about `path` (and `other`, the
    second path of a rename); a ValueError the module raises for a bad
    argument rather than a file system state comes back unchanged."""
    message = str(error)
    known = _BY_MESSAGE.get(message)
    if known is None and message.startswith(_UNSUPPORTED):
        known = (errno.EBADF, f"Bad file descriptor (not open for {message[len(_UNSUPPORTED):]})")
    if known is None:
        return error
    code, text = known
    if other is None:
        return OSError(code, text, path)
    return OSError(code, text, path, None, other)
