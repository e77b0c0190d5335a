"""Anthropic's text editor tool (`text_editor_20250728`, named
`str_replace_based_edit_tool`) on a tree, through the file system itself."""

from __future__ import annotations

import posixpath
from typing import Any, List, Mapping, Optional

import halvorn
from halvornsh._tools_common import (
    ToolReply,
    decode,
    error_text,
    insert_lines,
    is_dir,
    make_parents,
    match_offsets,
    read_text,
    split_lines,
    write_text,
)

COMMANDS = ("view", "create", "str_replace", "insert")

# What the editor appends when `max_characters` cuts a file short.
CLIPPED_NOTE = (
    "<response clipped><NOTE>To save on context only part of this file has been shown to you. "
    "You should retry this tool after you have searched inside the file with `grep -n` in order "
    "to find the line numbers of what you are looking for.</NOTE>"
)


class Refusal(Exception):
    """A request the tool answers with an error reply."""


class TextEditorTool:
    """Call with the tool input the model sent; returns the reply for the
    `tool_result` block. A relative path is taken from `cwd`. `view` shows at
    most `max_characters` characters of a file (the tool's own option)."""

    name = "str_replace_based_edit_tool"

    def __init__(
        self,
        fs: Optional[halvorn.PyFs] = None,
        *,
        cwd: str = "/",
        max_characters: Optional[int] = None,
    ) -> None:
        self.fs = fs if fs is not None else halvorn.PyFs()
        self.cwd = cwd
        self.max_characters = max_characters

    def __call__(self, tool_input: Mapping[str, Any]) -> ToolReply:
        try:
            return ToolReply(self._dispatch(tool_input))
        except Refusal as refusal:
            return ToolReply(str(refusal), is_error=True)
        except OSError as failure:
            return ToolReply(f"Error: {error_text(failure)}", is_error=True)

    def _dispatch(self, tool_input: Mapping[str, Any]) -> str:
        command = tool_input.get("command")
        if command not in COMMANDS:
            raise Refusal(
                f"Unrecognized command {command}. The allowed commands for the "
                f"{self.name} tool are: {', '.join(COMMANDS)}"
            )
        given = tool_input.get("path")
        if not isinstance(given, str) or not given:
            raise Refusal(f"Parameter `path` is required for command: {command}")
        path = posixpath.normpath(posixpath.join(self.cwd, given))
        exists = self.fs.exists(path)
        if command == "create":
            text = tool_input.get("file_text")
            if not isinstance(text, str):
                raise Refusal("Parameter `file_text` is required for command: create")
            if exists:
                raise Refusal(
                    f"File already exists at: {given}. Cannot overwrite files using command `create`."
                )
            make_parents(self.fs, path)
            write_text(self.fs, path, text, replace=False)
            return f"File created successfully at: {given}"
        if not exists:
            raise Refusal("Error: File not found")
        if is_dir(self.fs, path):
            if command != "view":
                raise Refusal(
                    f"The path {given} is a directory and only the `view` command can be used on directories"
                )
            if tool_input.get("view_range"):
                raise Refusal(
                    "The `view_range` parameter is not allowed when `path` points to a directory."
                )
            return self._listing(path, given)
        if command == "view":
            return self._view(path, tool_input.get("view_range"))
        if command == "str_replace":
            return self._replace(path, tool_input)
        return self._insert(path, given, tool_input)

    def _view(self, path: str, view_range: Any) -> str:
        text = read_text(self.fs, path)
        lines = split_lines(text)
        first, last = 1, len(lines)
        if view_range:
            first, last = check_range(view_range, len(lines))
        shown = "\n".join(lines[first - 1 : last])
        clipped = self.max_characters is not None and len(shown) > self.max_characters
        if clipped:
            shown = shown[: self.max_characters]
        numbered = "\n".join(
            f"{n}: {line}" for n, line in enumerate(decode_lines(shown), start=first)
        )
        return numbered + ("\n" + CLIPPED_NOTE if clipped else "")

    def _replace(self, path: str, tool_input: Mapping[str, Any]) -> str:
        old = tool_input.get("old_str")
        if not isinstance(old, str) or old == "":
            raise Refusal("Parameter `old_str` is required for command: str_replace")
        new = tool_input.get("new_str") or ""
        text = read_text(self.fs, path)
        found = match_offsets(text, old)
        if not found:
            raise Refusal(
                "Error: No match found for replacement. Please check your text and try again."
            )
        if len(found) > 1:
            raise Refusal(
                f"Error: Found {len(found)} matches for replacement text. "
                "Please provide more context to make a unique match."
            )
        at = found[0]
        write_text(self.fs, path, text[:at] + new + text[at + len(old) :], replace=True)
        return "Successfully replaced text at exactly one location."

    def _insert(self, path: str, given: str, tool_input: Mapping[str, Any]) -> str:
        after = tool_input.get("insert_line")
        new = tool_input.get("insert_text", tool_input.get("new_str"))
        if not isinstance(after, int) or isinstance(after, bool):
            raise Refusal("Parameter `insert_line` is required for command: insert")
        if not isinstance(new, str):
            raise Refusal("Parameter `insert_text` is required for command: insert")
        text = read_text(self.fs, path)
        count = len(split_lines(text))
        if not 0 <= after <= count:
            raise Refusal(
                f"Invalid `insert_line` parameter: {after}. It should be within the range of "
                f"lines of the file: [0, {count}]"
            )
        write_text(self.fs, path, insert_lines(text, after, new), replace=True)
        return f"The file {given} has been edited."

    def _listing(self, path: str, given: str) -> str:
        rows = [given.rstrip("/") or "/"]
        walk(self.fs, path, rows[0], 2, rows)
        return (
            f"Here's the files and directories up to 2 levels deep in {given}, "
            "excluding hidden items:\n" + "\n".join(rows) + "\n"
        )


def check_range(view_range: Any, count: int) -> "tuple[int, int]":
    if (
        not isinstance(view_range, (list, tuple))
        or len(view_range) != 2
        or not all(isinstance(n, int) and not isinstance(n, bool) for n in view_range)
    ):
        raise Refusal("Invalid `view_range`. It should be a list of two integers.")
    first, last = view_range
    if not 1 <= first <= max(count, 1):
        raise Refusal(
            f"Invalid `view_range`: {list(view_range)}. Its first element `{first}` should be "
            f"within the range of lines of the file: {[1, count]}"
        )
    if last > count:
        raise Refusal(
            f"Invalid `view_range`: {list(view_range)}. Its second element `{last}` should be "
            f"smaller than the number of lines in the file: `{count}`"
        )
    if last != -1 and last < first:
        raise Refusal(
            f"Invalid `view_range`: {list(view_range)}. Its second element `{last}` should be "
            f"larger or equal than its first `{first}`"
        )
    return first, (count if last == -1 else last)


def decode_lines(text: str) -> List[str]:
    # Back from the round-trip form to text fit to send.
    return decode(text.encode("utf-8", "surrogateescape")).split("\n") if text else []


def walk(fs: halvorn.PyFs, path: str, shown: str, depth: int, rows: List[str]) -> None:
    """Names below `path`, `depth` levels down, hidden ones left out."""
    files, dirs = fs.listdir(path)
    for name in sorted(files + dirs):
        if name.startswith("."):
            continue
        rows.append(posixpath.join(shown, name))
        if depth > 1 and name in dirs:
            walk(fs, posixpath.join(path, name), posixpath.join(shown, name), depth - 1, rows)
