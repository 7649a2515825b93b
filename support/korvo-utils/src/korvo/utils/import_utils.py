"""Import helpers: discovery of installed entry points."""

from __future__ import annotations

from importlib import metadata

__all__ = ["get_entry_points"]


def get_entry_points(group: str, /) -> list[metadata.EntryPoint]:
    """Return the installed entry points of ``group``, in discovery order."""
    return list(metadata.entry_points(group=group))
