"""The independent reference scripts of tests/reference, imported by name."""

import importlib.util
import pathlib

_DIR = pathlib.Path(__file__).resolve().parent.parent / "reference"


def load(name):
    """The module tests/reference/<name>.py."""
    found = importlib.util.spec_from_file_location(name, _DIR / f"{name}.py")
    mod = importlib.util.module_from_spec(found)
    found.loader.exec_module(mod)
    return mod
