"""unittest support for the transparent mode: a base class whose tests each
run in a fresh tree, reachable as `self.fs`."""

from __future__ import annotations

import unittest
from typing import Any, ClassVar

from halvornfs._patch.patcher import patch


class TreeTestCase(unittest.TestCase):
    """Each test runs with the process's file calls routed to a fresh tree;
    `tree_limits` gives it limits (max_bytes, max_nodes, max_name_length)."""

    tree_limits: ClassVar[dict[str, Any]] = {}
    fs: Any

    def setUp(self) -> None:
        super().setUp()
        patcher = patch(**self.tree_limits)
        self.fs = patcher.start()
        self.addCleanup(patcher.stop)
