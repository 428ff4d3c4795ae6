"""Semantic tokens: what each token of a document is, for highlighting.

Keywords come from the lexer (both keyword languages alike), names from the
resolver; string literals are cut around the code of their interpolations,
which is highlighted as code. Tokens never span lines (not every client
accepts multi-line tokens).
"""
from __future__ import annotations

import bisect
import heapq
from typing import Any

from tarn import names as N
from tarn.lsp.analysis import Analysis
from tarn.lsp.positions import Positions

# Standard token types and modifiers of the protocol; the legend is their order.
TOKEN_TYPES = [
    "namespace", "type", "class", "enum", "struct", "parameter", "variable", "property", "enumMember",
    "method", "macro", "keyword", "comment", "string", "number", "regexp", "operator", "decorator",
]
TOKEN_MODIFIERS = ["declaration", "readonly", "static", "abstract", "documentation"]

_T = {name: i for i, name in enumerate(TOKEN_TYPES)}
_M = {name: 1 << i for i, name in enumerate(TOKEN_MODIFIERS)}
_PUNCTUATION = frozenset({"(", ")", "[", "]", "{", "}", ",", ";", ".", "?.", "::", ":"})

_KIND_TYPES = {
    N.PARAMETER: "parameter", N.VARIABLE: "variable", N.VALUE: "variable", N.USE: "variable",
    N.LOOP: "variable", N.CATCH: "variable", N.METHOD: "method", N.CONSTANT: "variable",
    N.FIELD: "property", N.STRUCTURE: "struct", N.EXCEPTION: "class", N.ENUM: "enum", N.ITEM: "enumMember",
}
_ROLE_TYPES = {N.TYPE_USE: "type", N.MEMBER: "property", N.CALL: "method", N.ARGUMENT: "parameter", N.IMPORT: "namespace"}

Absolute = tuple[int, int, int, int, int]  # line, character, length, type, modifiers


def _classify(occ: N.Occurrence, imported: set[str]) -> tuple[int, int]:
    decl = occ.declaration
    mods = _M["declaration"] if occ.role == N.DECLARATION else 0
    if decl is None:
        if occ.role in _ROLE_TYPES:
            return _T[_ROLE_TYPES[occ.role]], mods
        return _T["namespace" if occ.name in imported else "variable"], mods
    kind = decl.kind
    node = decl.node
    if kind == N.VALUE or (kind in (N.CONSTANT, N.FIELD) and node.kind in ("VAL", "CONST")):
        mods |= _M["readonly"]
    if kind == N.CONSTANT or (kind == N.METHOD and node.is_static):
        mods |= _M["static"]
    if kind == N.METHOD and node.is_abstract:
        mods |= _M["abstract"]
    return _T[_KIND_TYPES[kind]], mods


def absolute_tokens(analysis: Analysis, positions: Positions) -> list[Absolute]:
    names = analysis.names
    classes: dict[int, tuple[int, int]] = {}
    regions: list[tuple[int, int]] = []
    inner: list[Any] = []
    if names is not None:
        imported = getattr(names, "imported", set())
        for occ in names.occurrences:
            classes[occ.start] = _classify(occ, imported)
        regions = names.interpolations
        inner = names.inner_tokens
    region_starts = [r[0] for r in regions]
    out: list[Absolute] = []
    starts = positions.starts
    fast = positions._same
    text = positions.text

    def emit(start: int, end: int, kind: int, mods: int) -> None:
        line = bisect.bisect_right(starts, start) - 1
        while True:
            line_end = positions.line_end(line)
            stop = min(end, line_end)
            if stop > start:
                if fast:
                    out.append((line, start - starts[line], stop - start, kind, mods))
                else:
                    char = positions.position(start)[1]
                    out.append((line, char, positions.position(stop)[1] - char, kind, mods))
            if end <= line_end or line + 1 >= len(starts):
                return
            line += 1
            start = starts[line]

    string, comment, operator = _T["string"], _T["comment"], _T["operator"]
    keyword, variable, namespace = _T["keyword"], _T["variable"], _T["namespace"]
    decorator, macro, number, regexp = _T["decorator"], _T["macro"], _T["number"], _T["regexp"]
    doc = _M["documentation"]
    previous = ""
    directive_line = -1
    in_annotation = False
    last_line = -1
    for tok in heapq.merge(analysis.tokens, inner, key=lambda t: t.start):
        kind = tok.kind
        start, end = tok.start, tok.end
        if kind in ("EOF", "BOM", "UNKNOWN"):
            continue
        if kind == "COMMENT":
            emit(start, end, comment, doc if tok.subkind == "doc" else 0)
            continue
        if kind == "STRING":
            i = bisect.bisect_right(region_starts, start)
            while i < len(regions) and regions[i][0] < end:
                emit(start, regions[i][0], string, 0)
                start = max(start, regions[i][1])
                i += 1
                while i < len(regions) and regions[i][0] < start:
                    i += 1  # nested inside the one just cut out
            emit(start, end, string, 0)
            previous = ""
            continue
        line = bisect.bisect_right(starts, start) - 1
        if kind == "OP" and tok.value == "#" and line > last_line:
            directive_line = line
        last_line = line
        if line == directive_line:
            emit(start, end, macro, 0)
            continue
        if kind == "OP":
            value = tok.value
            in_annotation = value == "@" or (in_annotation and value == "::")
            if value == "@":
                emit(start, end, decorator, 0)
            elif value not in _PUNCTUATION:
                emit(start, end, operator, 0)
            previous = value
            continue
        if kind == "NUMBER":
            emit(start, end, number, 0)
        elif kind == "PATTERN":
            emit(start, end, regexp, 0)
        elif in_annotation and kind in ("IDENT", "KEYWORD"):
            emit(start, end, decorator, 0)
        else:
            found = classes.get(start)
            if found is not None:
                emit(start, end, found[0], found[1])
            elif kind == "KEYWORD":
                emit(start, end, keyword, 0)
            elif kind == "IDENT":
                nxt = text[end:end + 2]
                emit(start, end, namespace if previous == "::" or nxt == "::" else variable, 0)
        in_annotation = False
        previous = tok.value
    out.sort()
    return out


def encode(tokens: list[Absolute]) -> list[int]:
    """The protocol's relative form: five integers per token."""
    data: list[int] = []
    line = char = 0
    for t_line, t_char, length, kind, mods in tokens:
        if t_line != line:
            char = 0
        data += (t_line - line, t_char - char, length, kind, mods)
        line, char = t_line, t_char
    return data


def in_lines(tokens: list[Absolute], first: int, last: int) -> list[Absolute]:
    lo = bisect.bisect_left(tokens, (first,))
    hi = bisect.bisect_left(tokens, (last + 1,))
    return tokens[lo:hi]


def delta(old: list[int], new: list[int]) -> tuple[int, int, list[int]]:
    """One edit (start, delete count, data) that turns ``old`` into ``new``."""
    n = min(len(old), len(new))
    head = 0
    while head < n and old[head] == new[head]:
        head += 1
    tail = 0
    while tail < n - head and old[-1 - tail] == new[-1 - tail]:
        tail += 1
    return head, len(old) - head - tail, new[head:len(new) - tail]
