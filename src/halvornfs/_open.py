"""open() on a halvorn tree, with the builtin open()'s meaning: the mode string
picks how the file is opened and which standard io objects are stacked on the
raw file, exactly as io.open stacks them on a FileIO."""

from __future__ import annotations

import functools
import io
import os
import sys
import warnings
from typing import IO, Any, Literal

from halvorn import PyFs

from halvornfs._errors import os_error
from halvornfs._raw import RawFile

# The default text encoding, with the warning that -X warn_default_encoding
# asks for; in io since 3.10, in its type stubs since 3.11.
if sys.version_info >= (3, 11):
    _text_encoding = io.text_encoding
else:
    _text_encoding = io.text_encoding  # type: ignore[attr-defined]


def path_text(path: str | os.PathLike[str]) -> str:
    """The path as the module takes it; bytes paths are refused, as the
    module refuses them."""
    text = os.fspath(path)
    if not isinstance(text, str):
        raise TypeError(f"expected a str path or an os.PathLike of one, got {type(text).__name__}")
    return text


def open(  # noqa: A001 -- the builtin's name, for the builtin's meaning
    fs: PyFs,
    path: str | os.PathLike[str],
    mode: str = "r",
    buffering: int = -1,
    encoding: str | None = None,
    errors: str | None = None,
    newline: str | None = None,
) -> IO[Any]:
    """Opens the file at `path` in the tree `fs` as the builtin open() opens a
    file on disk: "r" needs the file and creates nothing, "w" truncates or
    creates, "a" appends, "x" creates a new file only, "+" adds the other
    direction, "b" gives bytes and "t" (the default) text. A missing parent
    directory is FileNotFoundError, as with the builtin.

    The result is a BufferedReader, BufferedWriter or BufferedRandom, a
    TextIOWrapper over one of those, or with buffering=0 in binary mode the
    RawFile itself. It holds the file's lock until it is closed: a writer
    alone, readers together."""
    name = path if type(path) is str else path_text(path)
    if not isinstance(mode, str):
        raise TypeError(f"invalid mode: {mode!r}")
    if not isinstance(buffering, int):
        raise TypeError(f"invalid buffering: {buffering!r}")
    if encoding is not None and not isinstance(encoding, str):
        raise TypeError(f"invalid encoding: {encoding!r}")
    if errors is not None and not isinstance(errors, str):
        raise TypeError(f"invalid errors: {errors!r}")
    kind, updating, binary = _parse_mode(mode)
    if binary and encoding is not None:
        raise ValueError("binary mode doesn't take an encoding argument")
    if binary and errors is not None:
        raise ValueError("binary mode doesn't take an errors argument")
    if binary and newline is not None:
        raise ValueError("binary mode doesn't take a newline argument")
    if binary and buffering == 1:
        warnings.warn(
            "line buffering (buffering=1) isn't supported in binary mode, "
            "the default buffer size will be used",
            RuntimeWarning,
            2,
        )
    raw = open_raw(fs, name, kind, updating)
    result: IO[Any] = raw  # type: ignore[assignment]  # RawIOBase is no IO[bytes] in typeshed
    try:
        # A halvorn file is never a terminal, so only buffering=1 asks for
        # line buffering, and only text honours it.
        line_buffering = buffering == 1
        if buffering == 1 or buffering < 0:
            buffering = io.DEFAULT_BUFFER_SIZE
        if buffering == 0:
            if binary:
                return result
            raise ValueError("can't have unbuffered text I/O")
        buffer: io.BufferedIOBase
        if updating:
            buffer = io.BufferedRandom(raw, buffering)
        elif kind == "r":
            buffer = io.BufferedReader(raw, buffering)
        else:
            buffer = io.BufferedWriter(raw, buffering)
        result = buffer
        if binary:
            return result
        wrapper = io.TextIOWrapper(
            buffer, _text_encoding(encoding), errors, newline, line_buffering
        )
        result = wrapper
        wrapper.mode = mode  # type: ignore[misc]  # as io.open sets it
        return result
    except BaseException:
        result.close()
        raise


@functools.lru_cache(maxsize=64)
def _parse_mode(mode: str) -> tuple[str, bool, bool]:
    """The mode's kind ("r", "w", "a" or "x"), whether it has "+", and whether
    "b"; refused as io.open refuses it. A program uses a handful of modes,
    so each is taken apart once."""
    modes = set(mode)
    if modes - set("axrwb+t") or len(mode) > len(modes):
        raise ValueError(f"invalid mode: {mode!r}")
    if "t" in modes and "b" in modes:
        raise ValueError("can't have text and binary mode at once")
    kinds = [kind for kind in "rwax" if kind in modes]
    if len(kinds) != 1:
        raise ValueError("must have exactly one of create/read/write/append mode")
    return kinds[0], "+" in modes, "b" in modes


def open_raw(fs: PyFs, name: str, mode: str, updating: bool) -> RawFile:
    """The unbuffered file for one of the four modes ("r", "w", "a", "x"),
    with "+" as `updating`."""
    handle_mode: Literal["r", "w", "rw"] = "rw" if updating else ("r" if mode == "r" else "w")
    try:
        if mode == "r":
            handle = fs.open_existing(name, handle_mode)
        elif mode == "x":
            handle = fs.open_new(name, handle_mode)
        else:
            handle = fs.open(name, handle_mode)
    except ValueError as error:
        raise os_error(error, name) from error
    try:
        if mode == "w":
            try:
                handle.truncate(0)
            except ValueError as error:
                raise os_error(error, name) from error
        # readable, writable, appending, created
        return RawFile(
            handle, name, mode == "r" or updating, mode != "r" or updating, mode == "a", mode == "x"
        )
    except BaseException:
        handle.close()
        raise
