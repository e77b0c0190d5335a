"""The pytest plugin of halvornfs, found through the `pytest11` entry point.

`halvorn_fs` runs each test in a fresh tree and yields its PyFs; the
`halvorn_fs_module` and `halvorn_fs_session` fixtures keep one tree for a
module or the whole run. The mark `@pytest.mark.halvorn_fs(max_bytes=...,
max_nodes=..., max_name_length=...)` gives the tree limits, to try code on a
full disk. Nothing of the mode is imported until a test asks for a fixture.
"""

from __future__ import annotations

import sys
from typing import Any, Iterator

import pytest


def pytest_configure(config: pytest.Config) -> None:
    config.addinivalue_line(
        "markers",
        "halvorn_fs(max_bytes=None, max_nodes=None, max_name_length=None): limits of the "
        "tree the halvorn_fs fixture makes",
    )


@pytest.hookimpl(hookwrapper=True)
def pytest_runtest_makereport(item: pytest.Item, call: pytest.CallInfo[None]) -> Iterator[None]:
    # The report of a failure reads the test's source from the disk
    # (linecache, inspect): the mode steps aside while it is made.
    patcher = sys.modules.get("halvornfs._patch.patcher")
    running = patcher.patch.running() if patcher is not None else None
    if running is None or call.excinfo is None:
        yield
        return
    with running.suspended():
        yield


def _run(limits: dict[str, Any]) -> Iterator[Any]:
    from halvornfs._patch.patcher import patch

    patcher = patch(**limits)
    fs = patcher.start()
    try:
        yield fs
    finally:
        patcher.stop()


def _limits(request: pytest.FixtureRequest) -> dict[str, Any]:
    mark = request.node.get_closest_marker("halvorn_fs")
    return dict(mark.kwargs) if mark is not None else {}


@pytest.fixture
def halvorn_fs(request: pytest.FixtureRequest) -> Iterator[Any]:
    """The PyFs of a fresh tree that the test's file calls reach."""
    yield from _run(_limits(request))


@pytest.fixture(scope="module")
def halvorn_fs_module(request: pytest.FixtureRequest) -> Iterator[Any]:
    """One tree for every test of a module."""
    yield from _run(_limits(request))


@pytest.fixture(scope="session")
def halvorn_fs_session(request: pytest.FixtureRequest) -> Iterator[Any]:
    """One tree for the whole run."""
    yield from _run(_limits(request))
