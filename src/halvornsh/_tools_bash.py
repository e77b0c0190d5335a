"""Anthropic's bash tool (`bash_20250124`) on one persistent Shell."""

from __future__ import annotations

import re
from typing import Any, Mapping, Optional

from halvornsh._shell import Result, Shell
from halvornsh._tools_common import ToolReply, cut_text, decode

# The shell ends a run that is out of time with a last stderr line naming
# the limit and its value: "...limit reached: max_wall_ms (10000)".
TIMEOUT_LINE = re.compile(rb"limit reached: max_wall_ms \((\d+)\)\s*$")


def timeout_ms(result: Result) -> Optional[int]:
    """The wall-time limit in ms when the run ended on it, else None."""
    if result.status == 0:
        return None
    last = result.stderr.rstrip(b"\n").rsplit(b"\n", 1)[-1]
    found = TIMEOUT_LINE.search(last)
    return int(found.group(1)) if found else None


def without_last_line(data: bytes) -> bytes:
    head, _, _ = data.rstrip(b"\n").rpartition(b"\n")
    return head + b"\n" if head else b""


class BashTool:
    """Call with the tool input the model sent (`{"command": ...}` or
    `{"restart": true}`); returns the reply for the `tool_result` block.

    Variables, functions, options and the working directory persist between
    calls, as in one bash session; the tree persists across a restart, as
    files would. Output beyond `max_chars` characters or `max_lines` lines is
    cut, with a note saying so."""

    def __init__(
        self,
        shell: Optional[Shell] = None,
        *,
        max_chars: Optional[int] = 30_000,
        max_lines: Optional[int] = None,
    ) -> None:
        self.shell = shell if shell is not None else Shell()
        self.max_chars = max_chars
        self.max_lines = max_lines

    def __call__(self, tool_input: Mapping[str, Any]) -> ToolReply:
        if tool_input.get("restart"):
            self.shell.reset()
            return ToolReply("Bash session restarted")
        command = tool_input.get("command")
        if not isinstance(command, str):
            return ToolReply("Error: no command provided", is_error=True)
        result = self.shell.run(command)
        limit = timeout_ms(result)
        if limit is not None:
            # The shell stays usable after its limit, so unlike a hung bash
            # this needs no restart; the model is told what it would expect.
            seconds = limit / 1000
            text = decode(result.stdout + without_last_line(result.stderr))
            note = f"Error: Command timed out after {seconds:g} seconds"
            text = self._cut(text)
            gap = "\n" if text and not text.endswith("\n") else ""
            return ToolReply(text + gap + note, is_error=True)
        out, err = decode(result.stdout), decode(result.stderr)
        text = out + ("\n" if out and err and not out.endswith("\n") else "") + err
        # A failure is what the command reports on stderr as it fails, like
        # "x: command not found"; grep finding nothing (status 1, silent) is
        # an answer, not an error.
        return ToolReply(self._cut(text), is_error=result.status != 0 and err != "")

    def _cut(self, text: str) -> str:
        return cut_text(text, self.max_chars, self.max_lines)
