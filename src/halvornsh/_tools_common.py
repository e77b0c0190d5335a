"""What the tool adapters share: the reply a host sends back, output cutting,
and whole-file reads and writes on the tree."""

from __future__ import annotations

import posixpath
import stat
import uuid
from dataclasses import dataclass
from typing import Any, Dict, List, Optional

import halvorn
import halvornfs


@dataclass(frozen=True)
class ToolReply:
    """The text a tool returns to the model, and whether it reports a failure."""

    content: str
    is_error: bool = False

    def block(self, tool_use_id: str) -> Dict[str, Any]:
        """The `tool_result` content block of the Messages API."""
        return {
            "type": "tool_result",
            "tool_use_id": tool_use_id,
            "content": self.content,
            "is_error": self.is_error,
        }


def decode(data: bytes) -> str:
    # Text for the model: invalid bytes become U+FFFD, since a reply must be
    # valid UTF-8 to be sent at all.
    return data.decode("utf-8", "replace")


def cut_text(text: str, max_chars: Optional[int], max_lines: Optional[int]) -> str:
    """Keeps the head of `text`, with the note agents are told to expect."""
    lines = split_lines(text)
    if max_lines is not None and len(lines) > max_lines:
        text = "\n".join(lines[:max_lines])
        text += f"\n\n... Output truncated ({len(lines)} total lines) ..."
    if max_chars is not None and len(text) > max_chars:
        total = len(text)
        text = text[:max_chars] + f"\n\n... Output truncated ({total} total characters) ..."
    return text


# File contents keep undecodable bytes through an edit: they go out exactly as
# they came in.
def read_text(fs: halvorn.PyFs, path: str) -> str:
    with halvornfs.open(fs, path, "rb") as file:
        data: bytes = file.read()
    return data.decode("utf-8", "surrogateescape")


def write_text(fs: halvorn.PyFs, path: str, text: str, *, replace: bool) -> None:
    """Writes a whole file in one step: the new text goes to a file beside it,
    then a rename puts it in place, so a full tree leaves the old file whole."""
    data = text.encode("utf-8", "surrogateescape")
    if not replace:
        with halvornfs.open(fs, path, "xb") as file:
            file.write(data)
        return
    head, name = posixpath.split(path)
    scratch = posixpath.join(head, f".{name}.{uuid.uuid4().hex[:12]}.edit")
    try:
        with halvornfs.open(fs, scratch, "xb") as file:
            file.write(data)
        fs.rename(scratch, path)
    except BaseException:
        if fs.exists(scratch):
            fs.remove(scratch, False)
        raise


def make_parents(fs: halvorn.PyFs, path: str) -> None:
    parts = [p for p in posixpath.dirname(path).split("/") if p]
    current = ""
    for part in parts:
        current += "/" + part
        if not fs.exists(current):
            fs.mkdir(current)


def is_dir(fs: halvorn.PyFs, path: str) -> bool:
    return fs.exists(path) and stat.S_ISDIR(fs.stat(path).st_mode)


def match_offsets(text: str, needle: str) -> List[int]:
    """Every place `needle` starts, overlapping ones too: "aa" is twice in
    "aaa", so it is not a unique match there."""
    found: List[int] = []
    at = text.find(needle)
    while at != -1:
        found.append(at)
        at = text.find(needle, at + 1)
    return found


def split_lines(text: str) -> List[str]:
    """The file's lines without their newlines; a final newline ends the last
    line rather than starting an empty one."""
    if text == "":
        return []
    lines = text.split("\n")
    if text.endswith("\n"):
        lines.pop()
    return lines


def insert_lines(text: str, after: int, new: str) -> str:
    """`new` as whole lines after line `after` (0: at the top)."""
    lines = text.split("\n")
    ends_with_newline = text.endswith("\n") or text == ""
    if ends_with_newline:
        lines.pop()
    block = new[:-1] if new.endswith("\n") else new
    lines[after:after] = block.split("\n")
    return "\n".join(lines) + ("\n" if ends_with_newline else "")


def error_text(exc: OSError) -> str:
    return exc.strerror or str(exc)
