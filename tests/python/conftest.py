import importlib
import os
import sys

import pytest


@pytest.fixture(scope="session")
def frametest():
    """The test-only extension built beside the C++ tests (build/wheel/pyext)."""
    here = os.path.dirname(os.path.abspath(__file__))
    ext_dir = os.environ.get("QUORVALE_TEST_EXT") or os.path.join(here, "..", "..", "build", "wheel", "pyext")
    if ext_dir not in sys.path:
        sys.path.insert(0, ext_dir)
    return importlib.import_module("_frametest")
