"""Helpers for syntax trees in the spirit of Python's ``ast`` module.

Everything that follows children is iterative: left-nested operator chains
from real sources can be far deeper than the Python recursion limit.
"""
from __future__ import annotations

import json
from collections import deque
from collections.abc import Iterator
from typing import Any

from tarn import _deepjson
from tarn import lexer as _lexer
from tarn import parser as _parser

__all__ = [
    "NodeVisitor",
    "dump",
    "fields",
    "from_dict",
    "from_json",
    "iter_child_nodes",
    "position",
    "to_dict",
    "to_json",
    "walk",
]

_RECORDS = (_parser.Node, _parser.ParseError)
_PRINTED_RECORDS = (*_RECORDS, _parser._Parser)
_CONTAINERS = (list, tuple)
_SCALARS = (str, int, float)
_TYPE_KEY = "_type"
_TUPLE_KEY = "_tuple"


def fields(node: _parser.Node | _parser.ParseError) -> list[tuple[str, Any]]:
    """(name, value) pairs of the record's fields in declaration order."""
    return list(node.__getstate__().items())


def iter_child_nodes(node: _parser.Node) -> Iterator[_parser.Node]:
    """Records held directly by ``node``, looking through lists and tuples."""
    for value in node.__getstate__().values():
        if isinstance(value, _parser.Node):
            yield value
        elif isinstance(value, _CONTAINERS):
            yield from _records_in(value)


def _records_in(container: list[Any] | tuple[Any, ...]) -> Iterator[_parser.Node]:
    # Containers nest (If.branches: list of (Expr, list) pairs); a stack of
    # iterators keeps the source order without recursion.
    stack = [iter(container)]
    while stack:
        for item in stack[-1]:
            if isinstance(item, _parser.Node):
                yield item
            elif isinstance(item, _CONTAINERS):
                stack.append(iter(item))
                break
        else:
            stack.pop()


def walk(node: _parser.Node) -> Iterator[_parser.Node]:
    """``node`` and all records below it, breadth first, like ``ast.walk``."""
    todo: deque[_parser.Node] = deque([node])
    while todo:
        current = todo.popleft()
        todo.extend(iter_child_nodes(current))
        yield current


class NodeVisitor:
    """Calls ``visit_<ClassName>`` for each record, else ``generic_visit``.

    As with ``ast.NodeVisitor`` the traversal follows the Python call stack;
    use :func:`walk` for trees of unbounded depth.
    """

    def visit(self, node: _parser.Node) -> Any:
        visitor = getattr(self, "visit_" + type(node).__name__, self.generic_visit)
        return visitor(node)

    def generic_visit(self, node: _parser.Node) -> None:
        for child in iter_child_nodes(node):
            self.visit(child)


def dump(node: object, indent: int | str | None = None) -> str:
    """Text form of a tree, like ``ast.dump``.

    Without ``indent`` it is the records' own printable form (their repr is
    this function); with it, every field and list element goes on its own
    line. A record, list or tuple met again inside itself prints as ``...``,
    ``[...]`` or ``(...)``.
    """
    if isinstance(indent, int):
        indent = " " * indent
    out: list[str] = []
    inside: set[int] = set()  # ids of the records and containers being printed
    # Work items: a str is emitted as is, an int leaves the object of that
    # id, a (value, level) pair is expanded.
    stack: list[Any] = [(node, 0)]
    while stack:
        item = stack.pop()
        if isinstance(item, str):
            out.append(item)
            continue
        if isinstance(item, int):
            inside.discard(item)
            continue
        value, level = item
        kind = type(value)
        if isinstance(value, _PRINTED_RECORDS):
            opening, closing, again = kind.__name__ + "(", ")", "..."
            parts = [(name + "=", getattr(value, name)) for name in kind.__match_args__]
        elif (kind is list or kind is tuple) and value:
            opening, closing, again = ("[", "]", "[...]") if kind is list else ("(", ")", "(...)")
            parts = [("", element) for element in value]
            if len(value) == 1 and kind is tuple:
                closing = ",)"
        else:
            out.append(repr(value))
            continue
        if id(value) in inside:
            out.append(again)
            continue
        inside.add(id(value))
        if indent is None:
            prefix, separator = "", ", "
        else:
            prefix = "\n" + indent * (level + 1)
            separator = "," + prefix
        stack.append(id(value))
        stack.append(closing)
        for i in range(len(parts) - 1, -1, -1):
            label, field = parts[i]
            stack.append((field, level + 1))
            stack.append((prefix if i == 0 else separator) + label)
        out.append(opening)
    return "".join(out)


def to_dict(node: object) -> Any:
    """Plain data for a tree: records become dicts with a ``"_type"`` key,
    lists stay lists, tuples become ``{"_tuple": [...]}``."""
    root: list[Any] = [None]
    # (value, container to write into, key or index there)
    stack: list[tuple[Any, Any, Any]] = [(node, root, 0)]
    while stack:
        value, target, key = stack.pop()
        if value is None or isinstance(value, _SCALARS):
            target[key] = value
        elif isinstance(value, _RECORDS):
            record: dict[str, Any] = {_TYPE_KEY: type(value).__name__}
            target[key] = record
            for name, field in value.__getstate__().items():
                # Placeholder first: later filling keeps the field order.
                record[name] = None
                stack.append((field, record, name))
        elif isinstance(value, list):
            items: list[Any] = [None] * len(value)
            target[key] = items
            stack.extend((element, items, i) for i, element in enumerate(value))
        elif isinstance(value, tuple):
            items = [None] * len(value)
            target[key] = {_TUPLE_KEY: items}
            stack.extend((element, items, i) for i, element in enumerate(value))
        else:
            raise TypeError(f"cannot convert {type(value).__qualname__} object in a syntax tree")
    return root[0]


def _record_class(name: Any) -> type:
    cls = getattr(_parser, name, None) if isinstance(name, str) else None
    # Only records may be built from data: nothing else of the module is
    # reachable through a "_type" taken from a file.
    if not (isinstance(cls, type) and issubclass(cls, _RECORDS)):
        raise ValueError(f"unknown record type {name!r}")
    return cls


def from_dict(data: Any) -> Any:
    """Inverse of :func:`to_dict`."""
    # Pre-order pass: one shell per container, children after their parent.
    # Building the shells in reverse order then makes every record after all
    # of its children, without recursion.
    shells: list[tuple[str, Any, Any, Any, Any]] = []  # (kind, shell, extra, parent, key)
    root: list[Any] = [None]
    stack: list[tuple[Any, Any, Any]] = [(data, root, 0)]
    while stack:
        value, parent, key = stack.pop()
        if value is None or isinstance(value, _SCALARS):
            parent[key] = value
            continue
        if isinstance(value, list):
            items: list[Any] = [None] * len(value)
            shells.append(("list", items, None, parent, key))
            stack.extend((element, items, i) for i, element in enumerate(value))
        elif isinstance(value, dict) and _TUPLE_KEY in value and len(value) == 1:
            elements = value[_TUPLE_KEY]
            if not isinstance(elements, list):
                raise ValueError(f"{_TUPLE_KEY!r} must hold a list")
            items = [None] * len(elements)
            shells.append(("tuple", items, None, parent, key))
            stack.extend((element, items, i) for i, element in enumerate(elements))
        elif isinstance(value, dict) and _TYPE_KEY in value:
            cls = _record_class(value[_TYPE_KEY])
            arguments: dict[str, Any] = {}
            shells.append(("record", arguments, cls, parent, key))
            for name, field in value.items():
                if name != _TYPE_KEY:
                    arguments[name] = None
                    stack.append((field, arguments, name))
        else:
            raise ValueError(f"not a tree value: {type(value).__qualname__}")
    for kind, shell, cls, parent, key in reversed(shells):
        if kind == "record":
            parent[key] = cls(**shell)
        elif kind == "tuple":
            parent[key] = tuple(shell)
        else:
            parent[key] = shell
    return root[0]


def to_json(node: object, **json_kw: Any) -> str:
    """JSON text of :func:`to_dict`; ``json_kw`` as for ``json.dumps``."""
    data = to_dict(node)
    try:
        return json.dumps(data, **json_kw)
    except RecursionError:
        return _deepjson.dumps(data, **json_kw)


def from_json(text: str | bytes) -> Any:
    """Inverse of :func:`to_json`."""
    try:
        data = json.loads(text)
    except RecursionError:
        data = _deepjson.loads(text)
    return from_dict(data)


def position(text: str, offset: int) -> tuple[int, int]:
    """1-based (line, column) of a code-point offset, by the lexer's rules."""
    return _lexer._LineMap(text).linecol(offset)
