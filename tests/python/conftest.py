import os
import subprocess
import sys
import textwrap

import pytest

import halvorn


def public_names(cls):
    """The names a class defines itself, dunders aside, sorted."""
    return sorted(name for name in vars(cls) if not name.startswith("__"))


def check_method_documentation(cls, name, docs):
    """`docs[name]` is (text signature, docstring) of cls.name, exactly."""
    signature, doc = docs[name]
    method = getattr(cls, name)
    assert method.__text_signature__ == signature
    assert method.__doc__ == doc


@pytest.fixture
def fs():
    """A fresh file system."""
    return halvorn.PyFs()


@pytest.fixture
def term(fs):
    """A terminal on the test's file system."""
    return halvorn.PyTerm(fs)


@pytest.fixture
def run_python():
    """Runs a snippet in a fresh interpreter that imports the same halvorn
    build as this test session; returns the completed process."""
    module_dir = os.path.dirname(halvorn.__file__)
    env = dict(os.environ)
    env["PYTHONPATH"] = os.pathsep.join(filter(None, [module_dir, env.get("PYTHONPATH")]))

    def run(source):
        return subprocess.run(
            [sys.executable, "-c", textwrap.dedent(source)],
            env=env,
            capture_output=True,
            text=True,
            timeout=60,
        )

    return run
