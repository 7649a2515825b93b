"""Logic expressions over regular expressions, callables and nested logic."""

import logging
import re
from collections.abc import Callable
from typing import Any, ClassVar

__all__ = ["And", "Or", "Not"]

logger: logging.Logger

class BaseLogic:
    # Compiled patterns for str arguments, the callables themselves otherwise.
    expressions: list[re.Pattern[str] | Callable[..., Any]]
    __hash__: ClassVar[None]  # type: ignore[assignment]
    def __init__(self, *expressions: str | Callable[..., Any]) -> None: ...
    # Always raises NotImplementedError; the subclasses take the items.
    def __call__(self) -> bool: ...
    def __str__(self) -> str: ...
    def __repr__(self) -> str: ...
    def __eq__(self, other: object) -> bool: ...

class And(BaseLogic):
    def __call__(self, *items: Any) -> bool: ...

class Or(BaseLogic):
    def __call__(self, *items: Any) -> bool: ...

class Not(BaseLogic):
    def __call__(self, *items: Any) -> bool: ...

def logic_str(string: str | bytes) -> BaseLogic: ...
