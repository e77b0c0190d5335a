"""An agent shell on a halvorn tree: bash's language, run in-process.

    from halvornsh import Shell
    sh = Shell()
    result = sh.run("mkdir -p src && echo hi > src/a.txt && cat src/a.txt")
    result.stdout, result.stderr, result.status
"""

from halvornsh._shell import LIMIT_NAMES, Result, Shell, ShellBusyError
from halvornsh._tools_bash import BashTool
from halvornsh._tools_common import ToolReply
from halvornsh._tools_editor import TextEditorTool
from halvornsh._tools_memory import MemoryTool
from halvornsh._tools_openai import OpenAIShellTool

__all__ = [
    "LIMIT_NAMES",
    "BashTool",
    "MemoryTool",
    "OpenAIShellTool",
    "Result",
    "Shell",
    "ShellBusyError",
    "TextEditorTool",
    "ToolReply",
]
