"""Anthropic's memory tool (`memory_20250818`) on a tree: the model's
`/memories` is a directory of the tree, and no path may leave it."""

from __future__ import annotations

import posixpath
from typing import Any, Dict, List, Mapping, Optional

import halvorn
from halvornsh._tools_common import (
    ToolReply,
    error_text,
    insert_lines,
    is_dir,
    make_parents,
    match_offsets,
    read_text,
    split_lines,
    write_text,
)
from halvornsh._tools_editor import Refusal, decode_lines

ROOT = "/memories"
MAX_LINES = 999_999


def size_text(size: int) -> str:
    """Sizes as the tool's listings show them: 512B, 1.5K, 4.0K, 2.3M."""
    if size < 1024:
        return f"{size}B"
    value = float(size)
    for unit in "KMG":
        value /= 1024
        if value < 1024 or unit == "G":
            break
    return f"{value:.1f}{unit}"


class MemoryTool:
    """Call with the tool input the model sent; returns the reply for the
    `tool_result` block. The model's `/memories` is the tree's directory
    `base` (made on first use); paths outside it are refused."""

    def __init__(self, fs: Optional[halvorn.PyFs] = None, *, base: str = ROOT) -> None:
        self.fs = fs if fs is not None else halvorn.PyFs()
        self.base = posixpath.normpath(base)

    def __call__(self, tool_input: Mapping[str, Any]) -> ToolReply:
        try:
            make_parents(self.fs, self.base + "/x")
            return ToolReply(self._dispatch(tool_input))
        except Refusal as refusal:
            return ToolReply(str(refusal), is_error=True)
        except OSError as failure:
            return ToolReply(f"Error: {error_text(failure)}", is_error=True)

    def _tree_path(self, given: Any) -> str:
        """Where a model path lies in the tree; refuses any path that is not
        /memories or below it once `..` is resolved."""
        if not isinstance(given, str) or not given.startswith(ROOT):
            raise Refusal(f"Path must start with /memories, got: {given}")
        normal = posixpath.normpath(given)
        if normal != ROOT and not normal.startswith(ROOT + "/"):
            raise Refusal(f"Path {given} would escape /memories directory")
        return self.base + normal[len(ROOT) :]

    def _dispatch(self, tool_input: Mapping[str, Any]) -> str:
        command = tool_input.get("command")
        if command == "rename":
            return self._rename(tool_input.get("old_path"), tool_input.get("new_path"))
        given = tool_input.get("path")
        path = self._tree_path(given)
        if command == "create":
            if self.fs.exists(path):
                raise Refusal(f"Error: File {given} already exists")
            make_parents(self.fs, path)
            write_text(self.fs, path, str(tool_input.get("file_text", "")), replace=False)
            return f"File created successfully at: {given}"
        if command == "delete":
            if path == self.base:
                raise Refusal("Cannot delete the /memories directory itself")
            if not self.fs.exists(path):
                raise Refusal(f"The path {given} does not exist")
            self.fs.remove(path, True)
            return f"Successfully deleted {given}"
        if command not in ("view", "str_replace", "insert"):
            raise Refusal(f"Unknown command: {command}")
        if not self.fs.exists(path):
            raise Refusal(f"The path {given} does not exist. Please provide a valid path.")
        if command == "view" and is_dir(self.fs, path):
            return self._listing(path, str(given).rstrip("/") or ROOT)
        if is_dir(self.fs, path):
            raise Refusal(f"The path {given} is not a file.")
        text = read_text(self.fs, path)
        if command == "view":
            return self._view(text, str(given), tool_input.get("view_range"))
        if command == "str_replace":
            return self._replace(path, text, str(given), tool_input)
        after = tool_input.get("insert_line")
        count = len(split_lines(text))
        if not isinstance(after, int) or not 0 <= after <= count:
            raise Refusal(
                f"Invalid `insert_line` parameter: {after}. It should be within the range [0, {count}]."
            )
        write_text(
            self.fs,
            path,
            insert_lines(text, after, str(tool_input.get("insert_text", ""))),
            replace=True,
        )
        return f"The file {given} has been edited."

    def _view(self, text: str, given: str, view_range: Any) -> str:
        lines = text.split("\n")
        if len(lines) > MAX_LINES:
            raise Refusal(f"File {given} exceeds maximum line limit of 999,999 lines.")
        first, last = 1, len(lines)
        if isinstance(view_range, (list, tuple)) and len(view_range) == 2:
            first = max(1, int(view_range[0]))
            last = len(lines) if view_range[1] == -1 else int(view_range[1])
        shown = decode_lines("\n".join(lines[first - 1 : last]))
        numbered = "\n".join(f"{n:>6}\t{line}" for n, line in enumerate(shown, start=first))
        return f"Here's the content of {given} with line numbers:\n{numbered}"

    def _replace(self, path: str, text: str, given: str, tool_input: Mapping[str, Any]) -> str:
        old = str(tool_input.get("old_str", ""))
        new = str(tool_input.get("new_str", ""))
        found = match_offsets(text, old) if old else []
        if not found:
            raise Refusal(
                f"No replacement was performed, old_str `{old}` did not appear verbatim in {given}."
            )
        if len(found) > 1:
            where = ", ".join(str(text.count("\n", 0, at) + 1) for at in found)
            raise Refusal(
                f"No replacement was performed. Multiple occurrences of old_str `{old}` in lines: "
                f"{where}. Please ensure it is unique"
            )
        at = found[0]
        edited = text[:at] + new + text[at + len(old) :]
        write_text(self.fs, path, edited, replace=True)
        changed = text.count("\n", 0, at)
        lines = decode_lines(edited)
        low, high = max(0, changed - 2), min(len(lines), changed + 3)
        snippet = "\n".join(f"{n + 1:>6}\t{lines[n]}" for n in range(low, high))
        return (
            "The memory file has been edited. Here is the snippet showing the change "
            "(with line numbers):\n" + snippet
        )

    def _rename(self, old_given: Any, new_given: Any) -> str:
        old, new = self._tree_path(old_given), self._tree_path(new_given)
        if old == self.base or new == self.base:
            raise Refusal("Cannot rename the /memories directory itself")
        if self.fs.exists(new):
            raise Refusal(f"The destination {new_given} already exists")
        if not self.fs.exists(old):
            raise Refusal(f"The path {old_given} does not exist")
        make_parents(self.fs, new)
        self.fs.rename(old, new)
        return f"Successfully renamed {old_given} to {new_given}"

    def _listing(self, path: str, given: str) -> str:
        rows: List[str] = [f"{size_text(self._size(path))}\t{given}"]
        self._walk(path, given, 2, rows)
        return (
            f"Here're the files and directories up to 2 levels deep in {given}, "
            "excluding hidden items and node_modules:\n" + "\n".join(rows)
        )

    def _walk(self, path: str, shown: str, depth: int, rows: List[str]) -> None:
        files, dirs = self.fs.listdir(path)
        kinds: Dict[str, bool] = {name: False for name in files}
        kinds.update({name: True for name in dirs})
        for name in sorted(kinds):
            if name.startswith(".") or name == "node_modules":
                continue
            below = posixpath.join(path, name)
            rows.append(f"{size_text(self._size(below))}\t{shown}/{name}")
            if kinds[name] and depth > 1:
                self._walk(below, f"{shown}/{name}", depth - 1, rows)

    def _size(self, path: str) -> int:
        """A file's bytes, or all bytes below a directory, as `du` counts."""
        if not is_dir(self.fs, path):
            return self.fs.stat(path).st_size
        files, dirs = self.fs.listdir(path)
        return sum(self._size(posixpath.join(path, name)) for name in files + dirs)
