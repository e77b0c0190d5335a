"""fsspec's own suite for file system back ends (fsspec.tests.abstract: copy,
get, put, open and pipe), run against the halvorn class, each case on a tree
of its own."""

import pytest

pytest.importorskip("fsspec")
# Older fsspec releases (Debian's, on the aarch64 stage) ship no such suite.
abstract = pytest.importorskip("fsspec.tests.abstract")

from halvorn import PyFs  # noqa: E402
from halvornfs import HalvornFileSystem  # noqa: E402


class HalvornFixtures(abstract.AbstractFixtures):
    @pytest.fixture
    def fs(self):
        return HalvornFileSystem(fs=PyFs())

    @pytest.fixture
    def fs_join(self):
        return lambda *parts: "/".join(parts)

    @pytest.fixture
    def fs_path(self):
        return ""


class TestCopy(abstract.AbstractCopyTests, HalvornFixtures):
    pass


class TestGet(abstract.AbstractGetTests, HalvornFixtures):
    pass


class TestPut(abstract.AbstractPutTests, HalvornFixtures):
    pass


class TestOpen(abstract.AbstractOpenTests, HalvornFixtures):
    pass


class TestPipe(abstract.AbstractPipeTests, HalvornFixtures):
    pass
