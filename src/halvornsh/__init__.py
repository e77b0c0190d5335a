"""An agent shell on a halvorn tree: bash's language, run in-process.

    from halvornsh import Shell
    sh = Shell()
    result = sh.run("mkdir -p src && echo hi > src/a.txt && cat src/a.txt")
    result.stdout, result.stderr, result.status
"""

from halvornsh._shell import LIMIT_NAMES, Result, Shell, ShellBusyError

__all__ = ["LIMIT_NAMES", "Result", "Shell", "ShellBusyError"]
