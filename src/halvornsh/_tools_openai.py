"""OpenAI's shell tool (Responses API, `{"type": "shell"}`) on a tree."""

from __future__ import annotations

from typing import Any, Dict, Mapping, Optional, Tuple

import halvorn
from halvornsh._shell import Shell
from halvornsh._tools_bash import timeout_ms
from halvornsh._tools_common import decode


def cut_pair(out: str, err: str, limit: int) -> Tuple[str, str]:
    """Heads of stdout and stderr, at most `limit` characters together;
    stderr keeps at least half the room when it needs it, since the reason a
    command failed is usually there."""
    if len(out) + len(err) <= limit:
        return out, err
    err_room = min(len(err), limit // 2)
    out_room = min(len(out), limit - err_room)
    err_room = min(len(err), limit - out_room)
    return out[:out_room], err[:err_room]


class OpenAIShellTool:
    """Call with a `shell_call` output item (or just its `action`); returns the
    `shell_call_output` item to send back.

    Each command runs in a fresh shell on the same tree, from `cwd`, as each
    would in its own process: files persist between commands, shell state does
    not. A command's `timeout_ms` becomes the shell's wall-time limit for it,
    capped by the host's `max_wall_ms`; its output is cut to
    `max_output_length` characters (stdout and stderr together) and that
    length is passed back, as the API asks."""

    def __init__(
        self,
        fs: Optional[halvorn.PyFs] = None,
        *,
        cwd: str = "/",
        env: Optional[Mapping[str, str]] = None,
        max_wall_ms: int = 10_000,
        max_output_length: Optional[int] = None,
        **limits: int,
    ) -> None:
        self.fs = fs if fs is not None else halvorn.PyFs()
        self.cwd = cwd
        self.env = dict(env or {})
        self.max_wall_ms = max_wall_ms
        self.max_output_length = max_output_length
        self.limits = limits
        # Checks the limits and the cwd now rather than at the first call.
        Shell(self.fs, cwd=cwd, env=self.env, max_wall_ms=max_wall_ms, **limits)

    def __call__(self, shell_call: Mapping[str, Any]) -> Dict[str, Any]:
        action = shell_call.get("action", shell_call)
        commands = action.get("commands") or []
        wall = self.max_wall_ms
        if action.get("timeout_ms"):
            wall = max(1, min(int(action["timeout_ms"]), wall))
        length = action.get("max_output_length")
        if self.max_output_length is not None:
            length = min(length or self.max_output_length, self.max_output_length)
        output = [self._run(str(command), wall, length) for command in commands]
        reply: Dict[str, Any] = {"type": "shell_call_output", "output": output}
        if "call_id" in shell_call:
            reply["call_id"] = shell_call["call_id"]
        if length is not None:
            reply["max_output_length"] = length
        return reply

    def _run(self, command: str, wall: int, length: Optional[int]) -> Dict[str, Any]:
        shell = Shell(self.fs, cwd=self.cwd, env=self.env, max_wall_ms=wall, **self.limits)
        result = shell.run(command)
        out, err = decode(result.stdout), decode(result.stderr)
        if length is not None:
            out, err = cut_pair(out, err, length)
        outcome: Dict[str, Any]
        if timeout_ms(result) is not None:
            outcome = {"type": "timeout"}
        else:
            outcome = {"type": "exit", "exit_code": result.status}
        return {"stdout": out, "stderr": err, "outcome": outcome}
