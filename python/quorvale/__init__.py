"""Compact static indexes over sets of distinct strings."""

from . import _core
from ._core import *  # noqa: F401,F403

__all__ = list(_core.__all__)
