"""Named nodes rendered as a text tree."""

from typing import Any

class Sprig:
    name: str
    # Any object can be a child; its str() is what is drawn.
    children: list[Any]
    def __init__(self, name: str, children: list[Any] | None = None) -> None: ...
    def add_child(self, item: Any) -> None: ...
    def __str__(self) -> str: ...
