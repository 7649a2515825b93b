"""String helpers.

``typecast_str(value)`` turns text into the Python value it spells:

* a value that is not a ``str`` is returned as that very object;
* the text is stripped of surrounding whitespace for the tests below only;
* ``"true"`` / ``"false"`` (any case) become ``True`` / ``False``;
* an integer literal accepted by ``int(text)`` (sign and underscores
  allowed, e.g. ``"-1_000"``) becomes an ``int``;
* a float literal accepted by ``float(text)`` (``"1.5"``, ``"1e3"``,
  ``".5"``) becomes a ``float``; the words ``nan``, ``inf`` and
  ``infinity`` (any case or sign) are *not* converted, nor is text that
  would only read as an infinite float (``"1e999"``, or an integer longer
  than the interpreter's digit limit for ``int()``);
* anything else is returned unchanged, as the very object passed in.

``decode_cli_string(value)`` prepares a command-line argument for
evaluation as a Python expression:

* ``str``: text wrapped as a whole in a matching pair of single or double
  quotes (as a shell-quoted argument arrives) loses one level of those
  quotes; any other text is returned unchanged, so ``And('a', 'b')``
  and ``'a' + 'b'`` come back as they were;
* ``bytes``: decoded as UTF-8, then handled as ``str``;
* anything else: ``str(value)``.
"""

from __future__ import annotations

import math
from typing import Any

__all__ = ["typecast_str", "decode_cli_string"]

_NON_FINITE_WORDS = frozenset({"nan", "inf", "infinity"})


def typecast_str(value: Any, /) -> Any:
    """Convert text to a bool, int or float when it spells one; see module doc."""
    if not isinstance(value, str):
        return value
    text = value.strip()
    lowered = text.lower()
    if lowered == "true":
        return True
    if lowered == "false":
        return False
    try:
        return int(text)
    except ValueError:
        pass
    if lowered.lstrip("+-") in _NON_FINITE_WORDS:
        return value
    try:
        number = float(text)
    except ValueError:
        return value
    # An integer too long for int() (the interpreter's digit limit) would
    # come out as an infinite float: keep such text as it is.
    return number if math.isfinite(number) else value


def decode_cli_string(value: Any, /) -> str:
    """Return a command-line argument as expression text; see module doc."""
    if isinstance(value, bytes):
        value = value.decode("utf-8")
    elif not isinstance(value, str):
        return str(value)
    text = str(value)
    if _is_quoted_whole(text):
        return text[1:-1]
    return text


def _is_quoted_whole(text: str) -> bool:
    """True when the opening quote of ``text`` is closed by its last character."""
    if len(text) < 2 or text[0] not in "'\"" or text[-1] != text[0]:
        return False
    quote = text[0]
    i, end = 1, len(text) - 1
    while i < end:
        ch = text[i]
        if ch == "\\":
            i += 2
            continue
        if ch == quote:
            return False
        i += 1
    return i == end
