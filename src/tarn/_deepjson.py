"""JSON writing and reading without recursion.

The standard ``json`` module recurses once per nesting level and gives up at
the interpreter's recursion limit; syntax trees of long operator chains nest
far deeper.  These two functions produce and accept the same text as
``json.dumps`` / ``json.loads`` for such data, with an explicit stack.
"""
from __future__ import annotations

import json
import re
from json.decoder import scanstring  # type: ignore[attr-defined]  # public, though typeshed omits it
from json.encoder import encode_basestring, encode_basestring_ascii
from typing import Any

__all__ = ["dumps", "loads"]


def dumps(
    obj: Any,
    *,
    indent: int | str | None = None,
    separators: tuple[str, str] | None = None,
    sort_keys: bool = False,
    ensure_ascii: bool = True,
    allow_nan: bool = True,
    skipkeys: bool = False,
    check_circular: bool = True,
    default: Any = None,
) -> str:
    """``json.dumps`` for dicts with string keys, lists, tuples, strings,
    numbers, booleans and None.

    ``skipkeys``, ``check_circular`` and ``default`` are accepted for
    signature compatibility; for such data they change nothing.
    """
    if isinstance(indent, int):
        indent = " " * indent
    if separators is not None:
        item_separator, key_separator = separators
    elif indent is not None:
        item_separator, key_separator = ",", ": "
    else:
        item_separator, key_separator = ", ", ": "
    quote = encode_basestring_ascii if ensure_ascii else encode_basestring

    def scalar(value: Any) -> str:
        if isinstance(value, str):
            return quote(value)
        if value is None:
            return "null"
        if value is True:
            return "true"
        if value is False:
            return "false"
        if isinstance(value, (int, float)):
            return json.dumps(value, allow_nan=allow_nan)
        raise TypeError(f"Object of type {type(value).__name__} is not JSON serializable")

    def items_of(value: Any) -> Any:
        if isinstance(value, dict):
            return iter(sorted(value.items()) if sort_keys else value.items())
        return iter(value)

    if not isinstance(obj, (dict, list, tuple)):
        return scalar(obj)
    out: list[str] = []
    append = out.append
    # One frame per open container: [items, is_dict, level, count].
    stack: list[list[Any]] = []

    def open_container(value: Any, level: int) -> None:
        if value:
            append("{" if isinstance(value, dict) else "[")
            stack.append([items_of(value), isinstance(value, dict), level, 0])
        else:
            append("{}" if isinstance(value, dict) else "[]")

    open_container(obj, 0)
    while stack:
        frame = stack[-1]
        items, is_dict, level, _ = frame
        for item in items:
            if indent is None:
                if frame[3]:
                    append(item_separator)
            else:
                append((item_separator if frame[3] else "") + "\n" + indent * (level + 1))
            frame[3] += 1
            if is_dict:
                key, item = item
                append(quote(key) + key_separator)
            if isinstance(item, (dict, list, tuple)):
                open_container(item, level + 1)
                if item:
                    break
            else:
                append(scalar(item))
        else:
            if indent is not None:
                append("\n" + indent * level)
            append("}" if is_dict else "]")
            stack.pop()
    return "".join(out)


_TOKEN = re.compile(
    r"""[ \t\n\r]*(?:
        (?P<punct>[{}\[\],:])
      | (?P<string>")
      | (?P<number>-?(?:0|[1-9][0-9]*)(?P<real>(?:\.[0-9]+)?(?:[eE][-+]?[0-9]+)?))
      | (?P<word>true|false|null|NaN|Infinity|-Infinity)
    )""",
    re.VERBOSE,
)
_WORDS = {"null": None, "true": True, "false": False,
          "NaN": float("nan"), "Infinity": float("inf"), "-Infinity": float("-inf")}
_SPACE = re.compile(r"[ \t\n\r]*")
# What the next token may be.
_VALUE, _FIRST_VALUE, _KEY, _FIRST_KEY, _COLON, _AFTER = range(6)
_EXPECTED = {
    _VALUE: "Expecting value", _FIRST_VALUE: "Expecting value",
    _KEY: "Expecting property name enclosed in double quotes",
    _FIRST_KEY: "Expecting property name enclosed in double quotes",
    _COLON: "Expecting ':' delimiter", _AFTER: "Expecting ',' delimiter",
}


def _names_trailing_commas() -> bool:
    """Whether the running json reports a comma before a closing bracket as
    such (3.13 and later) rather than as a missing value or key."""
    try:
        json.loads("[0,]")
    except json.JSONDecodeError as exc:
        return exc.msg.startswith("Illegal trailing comma")
    return False


_TRAILING_COMMAS = _names_trailing_commas()


def loads(text: str | bytes) -> Any:
    """``json.loads`` with no limit on nesting depth."""
    if isinstance(text, (bytes, bytearray)):
        text = text.decode("utf-8")
    stack: list[Any] = []  # the open containers, innermost last
    keys: list[Any] = []  # per open container, the key awaiting its value
    result: Any = None
    state = _VALUE
    i = 0
    comma = -1  # where the comma just read stands
    while True:
        if state == _AFTER and not stack:
            end = _SPACE.match(text, i).end()  # type: ignore[union-attr]
            if end != len(text):
                raise json.JSONDecodeError("Extra data", text, end)
            return result
        match = _TOKEN.match(text, i)
        if match is None:
            at = _SPACE.match(text, i).end()  # type: ignore[union-attr]
            raise json.JSONDecodeError(_EXPECTED[state], text, at)
        kind = match.lastgroup
        at = match.start(kind)  # type: ignore[arg-type]
        i = match.end()
        punct = match.group("punct")
        if state == _COLON:
            if punct != ":":
                raise json.JSONDecodeError(_EXPECTED[state], text, at)
            state = _VALUE
            continue
        after_comma, comma = comma, -1
        if state == _AFTER:
            if punct == ",":
                state = _KEY if isinstance(stack[-1], dict) else _VALUE
                comma = at
                continue
            if punct != ("}" if isinstance(stack[-1], dict) else "]"):
                raise json.JSONDecodeError(_EXPECTED[state], text, at)
            stack.pop()
            keys.pop()
            continue
        if _TRAILING_COMMAS and after_comma >= 0 and punct == ("}" if state == _KEY else "]"):
            kind_of = "object" if state == _KEY else "array"
            raise json.JSONDecodeError(f"Illegal trailing comma before end of {kind_of}", text, after_comma)
        if state in (_KEY, _FIRST_KEY):
            if punct == "}" and state == _FIRST_KEY:
                stack.pop()
                keys.pop()
                state = _AFTER
            elif kind == "string":
                keys[-1], i = scanstring(text, i)
                state = _COLON
            else:
                raise json.JSONDecodeError(_EXPECTED[state], text, at)
            continue
        if punct == "]" and state == _FIRST_VALUE:
            stack.pop()
            keys.pop()
            state = _AFTER
            continue
        opened = _AFTER
        if punct == "{":
            value: Any = {}
            opened = _FIRST_KEY
        elif punct == "[":
            value = []
            opened = _FIRST_VALUE
        elif punct is not None:
            raise json.JSONDecodeError(_EXPECTED[state], text, at)
        elif kind == "string":
            value, i = scanstring(text, i)
        elif kind == "number":
            number = match.group("number")
            value = float(number) if match.group("real") else int(number)
        else:
            value = _WORDS[match.group("word")]
        if not stack:
            result = value
        elif isinstance(stack[-1], dict):
            stack[-1][keys[-1]] = value
        else:
            stack[-1].append(value)
        if opened != _AFTER:
            stack.append(value)
            keys.append(None)
        state = opened
