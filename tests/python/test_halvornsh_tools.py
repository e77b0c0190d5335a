"""The tool adapters, each through one whole exchange: inputs as the model
sends them, replies as the host returns them, then the tree afterwards."""

from __future__ import annotations

import halvorn
import halvornfs
from halvornsh import BashTool, MemoryTool, OpenAIShellTool, Shell, TextEditorTool, ToolReply

# Enough loop and command room that only the wall-time limit can end a spin.
SPIN = {"max_loop_iterations": 10**12, "max_commands": 10**12}


def content(fs: halvorn.PyFs, path: str) -> bytes:
    with halvornfs.open(fs, path, "rb") as file:
        return file.read()


def drive(tool, steps) -> None:
    for tool_input, expected in steps:
        reply = tool(tool_input)
        if isinstance(expected, ToolReply):
            assert reply == expected, tool_input
        else:  # an error reply, checked by how it starts
            assert reply.is_error and reply.content.startswith(expected), (tool_input, reply)


def test_bash_tool_exchange():
    fs = halvorn.PyFs()
    tool = BashTool(Shell(fs, max_wall_ms=300, **SPIN), max_lines=4)
    drive(
        tool,
        [
            (
                {"command": "mkdir -p /src && cd /src && printf 'a\\nb\\n' > f.txt && X=1"},
                ToolReply(""),
            ),
            ({"command": "echo $X; pwd; cat f.txt"}, ToolReply("1\n/src\na\nb\n")),
            ({"command": "echo out; echo err >&2"}, ToolReply("out\nerr\n")),
            ({"command": "grep zzz f.txt"}, ToolReply("")),  # status 1, no error
            (
                {"command": "for i in 1 2 3 4 5 6; do echo $i; done"},
                ToolReply("1\n2\n3\n4\n\n... Output truncated (6 total lines) ..."),
            ),
            ({"command": "nosuchcmd"}, "halvornsh"),
            ({"command": "echo partial; while :; do :; done"}, "partial\nError: Command timed out"),
            ({"command": "echo after"}, ToolReply("after\n")),  # usable without a restart
            ({"restart": True}, ToolReply("Bash session restarted")),
            ({"command": "echo ${X:-unset}; pwd"}, ToolReply("unset\n/\n")),
            ({}, "Error: no command provided"),
        ],
    )
    assert content(fs, "/src/f.txt") == b"a\nb\n"


def test_bash_tool_timeout_reply_names_the_limit():
    reply = BashTool(Shell(max_wall_ms=250, **SPIN))({"command": "while :; do :; done"})
    assert reply == ToolReply("Error: Command timed out after 0.25 seconds", is_error=True)


PRIMES = "def get_primes(limit):\n    for num in range(2, limit + 1)\n        yield num\n"


def test_text_editor_exchange():
    fs = halvorn.PyFs()
    tool = TextEditorTool(fs, cwd="/repo", max_characters=20)
    wide = TextEditorTool(fs, cwd="/repo")
    drive(
        wide,
        [
            (
                {"command": "create", "path": "primes.py", "file_text": PRIMES},
                ToolReply("File created successfully at: primes.py"),
            ),
            ({"command": "create", "path": "primes.py", "file_text": ""}, "File already exists"),
            (
                {"command": "view", "path": "/repo/primes.py", "view_range": [2, -1]},
                ToolReply("2:     for num in range(2, limit + 1)\n3:         yield num"),
            ),
            (
                {"command": "view", "path": "primes.py", "view_range": [3, 9]},
                "Invalid `view_range`",
            ),
            (
                {
                    "command": "str_replace",
                    "path": "primes.py",
                    "old_str": "limit + 1)",
                    "new_str": "limit + 1):",
                },
                ToolReply("Successfully replaced text at exactly one location."),
            ),
            (
                {"command": "str_replace", "path": "primes.py", "old_str": "nothing"},
                "Error: No match found for replacement. Please check your text and try again.",
            ),
            (
                {"command": "str_replace", "path": "primes.py", "old_str": "num"},
                "Error: Found 2 matches for replacement text. Please provide more context",
            ),
            (
                {
                    "command": "insert",
                    "path": "primes.py",
                    "insert_line": 0,
                    "insert_text": '"""Primes."""',
                },
                ToolReply("The file primes.py has been edited."),
            ),
            (
                {"command": "insert", "path": "primes.py", "insert_line": 9, "new_str": "x"},
                "Invalid `insert_line`",
            ),
            ({"command": "view", "path": "missing.py"}, "Error: File not found"),
            (
                {"command": "str_replace", "path": "/repo", "old_str": "a"},
                "The path /repo is a directory",
            ),
            (
                {"command": "view", "path": "/repo"},
                ToolReply(
                    "Here's the files and directories up to 2 levels deep in /repo, excluding hidden items:\n"
                    "/repo\n/repo/primes.py\n"
                ),
            ),
            ({"command": "undo_edit", "path": "primes.py"}, "Unrecognized command undo_edit"),
        ],
    )
    view = tool({"command": "view", "path": "primes.py"})
    assert view.content.startswith('1: """Primes."""\n2: def ge\n<response clipped>')
    assert (
        content(fs, "/repo/primes.py")
        == ('"""Primes."""\n' + PRIMES.replace("+ 1)", "+ 1):")).encode()
    )
    assert fs.listdir("/repo") == (["primes.py"], [])  # no scratch file left behind


def test_memory_tool_exchange():
    fs = halvorn.PyFs()
    fs.mkdir("/secret")
    tool = MemoryTool(fs, base="/agent/memories")
    path = "/memories/prefs.md"
    drive(
        tool,
        [
            (
                {"command": "view", "path": "/memories"},
                ToolReply(
                    "Here're the files and directories up to 2 levels deep in /memories, "
                    "excluding hidden items and node_modules:\n0B\t/memories"
                ),
            ),
            (
                {
                    "command": "create",
                    "path": path,
                    "file_text": "Prices: without tax.\nTone: brief.\n",
                },
                ToolReply(f"File created successfully at: {path}"),
            ),
            (
                {"command": "create", "path": path, "file_text": "x"},
                f"Error: File {path} already exists",
            ),
            (
                {"command": "str_replace", "path": path, "old_str": "without", "new_str": "with"},
                ToolReply(
                    "The memory file has been edited. Here is the snippet showing the change "
                    "(with line numbers):\n     1\tPrices: with tax.\n     2\tTone: brief.\n     3\t"
                ),
            ),
            (
                {"command": "str_replace", "path": path, "old_str": "e", "new_str": ""},
                "No replacement was performed. Multiple",
            ),
            (
                {"command": "insert", "path": path, "insert_line": 0, "insert_text": "# Sam\n"},
                ToolReply(f"The file {path} has been edited."),
            ),
            (
                {"command": "view", "path": path, "view_range": [2, 3]},
                ToolReply(
                    f"Here's the content of {path} with line numbers:\n     2\tPrices: with tax.\n     3\tTone: brief."
                ),
            ),
            (
                {"command": "rename", "old_path": path, "new_path": "/memories/people/sam.md"},
                ToolReply(f"Successfully renamed {path} to /memories/people/sam.md"),
            ),
            (
                {"command": "view", "path": "/memories"},
                ToolReply(
                    "Here're the files and directories up to 2 levels deep in /memories, "
                    "excluding hidden items and node_modules:\n37B\t/memories\n37B\t/memories/people\n"
                    "37B\t/memories/people/sam.md"
                ),
            ),
            (
                {"command": "view", "path": "/memories/../secret"},
                "Path /memories/../secret would escape",
            ),
            (
                {"command": "create", "path": "/etc/x", "file_text": "x"},
                "Path must start with /memories",
            ),
            (
                {"command": "delete", "path": "/memories"},
                "Cannot delete the /memories directory itself",
            ),
            (
                {"command": "delete", "path": "/memories/people"},
                ToolReply("Successfully deleted /memories/people"),
            ),
            (
                {"command": "view", "path": "/memories/people/sam.md"},
                "The path /memories/people/sam.md does not exist",
            ),
        ],
    )
    assert fs.listdir("/agent/memories") == ([], [])
    assert fs.listdir("/secret") == ([], [])


def test_openai_shell_exchange():
    fs = halvorn.PyFs()
    tool = OpenAIShellTool(fs, cwd="/", max_wall_ms=5_000, **SPIN)
    reply = tool(
        {
            "type": "shell_call",
            "call_id": "call_1",
            "action": {
                "commands": [
                    "cd /tmp 2>/dev/null; X=1; printf 'hello world' > /a.txt",
                    "echo ${X:-fresh}; pwd; cat /a.txt",
                    "echo oops >&2; exit 3",
                    "while :; do :; done",
                ],
                "timeout_ms": 200,
                "max_output_length": 8,
            },
        }
    )
    assert reply == {
        "type": "shell_call_output",
        "call_id": "call_1",
        "max_output_length": 8,
        "output": [
            {"stdout": "", "stderr": "", "outcome": {"type": "exit", "exit_code": 0}},
            {"stdout": "fresh\n/\n", "stderr": "", "outcome": {"type": "exit", "exit_code": 0}},
            {"stdout": "", "stderr": "oops\n", "outcome": {"type": "exit", "exit_code": 3}},
            reply["output"][3],
        ],
    }
    assert reply["output"][3]["outcome"] == {"type": "timeout"}
    assert content(fs, "/a.txt") == b"hello world"
