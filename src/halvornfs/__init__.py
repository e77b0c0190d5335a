"""Ordinary Python file objects and an fsspec file system on a halvorn tree.

`open(fs, path, mode)` has the builtin open()'s meaning and returns the
standard io objects; `patch()` routes the process's own file calls (open, os,
pathlib, shutil, tempfile) to a tree; `HalvornFileSystem` is the fsspec class of the protocol
"halvorn" (it needs fsspec: pip install 'halvorn[fsspec]'). fsspec is
imported only when that class is first asked for.
"""

from __future__ import annotations

from typing import TYPE_CHECKING, Any

from halvornfs._open import open
from halvornfs._raw import RawFile

if TYPE_CHECKING:
    from halvornfs._patch.patcher import patch
    from halvornfs.filesystem import HalvornFileSystem

__all__ = ["HalvornFileSystem", "RawFile", "open", "patch"]


def __getattr__(name: str) -> Any:
    if name == "HalvornFileSystem":
        from halvornfs.filesystem import HalvornFileSystem

        return HalvornFileSystem
    if name == "patch":
        from halvornfs._patch.patcher import patch

        return patch
    raise AttributeError(f"module 'halvornfs' has no attribute {name!r}")
