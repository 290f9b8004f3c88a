"""Optimisation set-up: the optimizer and learning-rate scheduler factories."""

from quillane.utils.ostravel import ostravel
from quillane.utils.marlowen import create_scheduler

__all__ = ["ostravel", "create_scheduler"]
