"""The korvo.utils stand-in that configuration and logic build on."""

from __future__ import annotations

import math

import pytest
from hypothesis import given, strategies as st

from korvo.utils.import_utils import get_entry_points
from korvo.utils.strings import decode_cli_string, typecast_str


class TestTypecastStr:
    @pytest.mark.parametrize(
        "text, expected",
        [
            ("true", True), (" FALSE\n", False), ("True", True),
            ("1", 1), ("-12", -12), ("+7", 7), ("1_000", 1000), (" 42 ", 42),
            ("1.5", 1.5), ("-.5", -0.5), ("1e3", 1000.0), ("1_0.5", 10.5),
        ],
    )
    def test_converts(self, text, expected):
        result = typecast_str(text)
        assert result == expected and type(result) is type(expected)

    @pytest.mark.parametrize(
        "text",
        ["", "  ", "hello", "nan", "NaN", "inf", "-inf", "+Infinity", " infinity ",
         "1_", "1__0", "0x10", "yes", "1.2.3", " padded text "],
    )
    def test_leaves_other_text_as_same_object(self, text):
        assert typecast_str(text) is text

    @pytest.mark.parametrize("value", [None, 3, 2.5, b"1", ["1"], object()])
    def test_non_str_returned_as_is(self, value):
        assert typecast_str(value) is value

    def test_str_subclass(self):
        class Text(str):
            pass

        assert typecast_str(Text("12")) == 12
        word = Text("word")
        assert typecast_str(word) is word

    @given(st.integers())
    def test_int_round_trip(self, n):
        assert typecast_str(str(n)) == n

    @given(st.floats(allow_nan=False, allow_infinity=False))
    def test_float_round_trip(self, x):
        result = typecast_str(repr(x))
        assert isinstance(result, float) and result == x
        assert math.copysign(1, result) == math.copysign(1, x)


class TestDecodeCliString:
    @pytest.mark.parametrize(
        "value, expected",
        [
            ("'a'", "a"),
            ('"And(\'a\', \'b\')"', "And('a', 'b')"),
            ("\"'x'\"", "'x'"),
            ("''", ""),
            (r"'it\'s'", r"it\'s"),
            (b"'x'", "x"),
            ("café".encode(), "café"),
            (5, "5"),
            (None, "None"),
        ],
    )
    def test_decodes(self, value, expected):
        assert decode_cli_string(value) == expected

    @pytest.mark.parametrize(
        "text",
        ["And('a', 'b')", "'a' + 'b'", "\"a\" or \"b\"", "'", "'a\"", "plain", "", r"'a\'"],
    )
    def test_unwrapped_text_unchanged(self, text):
        assert decode_cli_string(text) == text


def test_get_entry_points():
    scripts = get_entry_points("console_scripts")
    assert isinstance(scripts, list)
    assert "pip" in {ep.name for ep in scripts}
    assert get_entry_points("korvo.no-such-group") == []


def test_text_that_only_reads_as_infinity_stays_text():
    from korvo.utils.strings import typecast_str

    huge = "9" * 5000
    assert typecast_str(huge) is huge
    assert typecast_str("1e999") == "1e999"
