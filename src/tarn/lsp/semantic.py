"""Semantic tokens: what each token of a document is, for highlighting.

Keywords come from the lexer (both keyword languages alike), names from the
resolver; string literals are cut around the code of their interpolations,
which is highlighted as code. Tokens never span lines (not every client
accepts multi-line tokens).
"""
from __future__ import annotations

import bisect
from collections.abc import Iterator
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
    for _ in steps(analysis, positions):
        pass
    return analysis.cache[("semantic", positions.encoding)]


def steps(analysis: Analysis, positions: Positions, budget: int = 2000) -> Iterator[None]:
    """Computes the tokens in bounded steps (an interrupted run is resumed
    by the next caller); the result is kept in ``analysis.cache``."""
    key = ("semantic", positions.encoding)
    if key in analysis.cache:
        return
    running = analysis.cache.get(("semantic steps", positions.encoding))
    if running is None:
        running = analysis.cache[("semantic steps", positions.encoding)] = _compute(analysis, positions, budget)
    yield from running


def _compute(analysis: Analysis, positions: Positions, budget: int) -> Iterator[None]:
    key = ("semantic", positions.encoding)
    names = analysis.names
    classes: dict[int, tuple[int, int]] = {}
    regions: list[tuple[int, int]] = []
    inner: list[Any] = []
    if names is not None:
        for occ in names.occurrences:
            classes[occ.start] = _classify(occ, names.imported)
        regions = names.interpolations
        inner = names.inner_tokens
    region_starts = [r[0] for r in regions]
    inner_starts = [t.start for t in inner]
    out: list[Absolute] = []
    append = out.append
    starts = positions.starts
    fast = positions._same
    plain = positions.plain
    text = positions.text

    def emit(start: int, end: int, kind: int, mods: int) -> None:
        """The general case: any offsets, split at line ends."""
        line = bisect.bisect_right(starts, start) - 1
        while True:
            line_end = positions.line_end(line)
            stop = min(end, line_end)
            if stop > start:
                char = positions.character(line, start)
                append((line, char, positions.character(line, stop) - char, kind, mods))
            if end <= line_end or line + 1 >= len(starts):
                return
            line += 1
            start = starts[line]

    string, comment, operator = _T["string"], _T["comment"], _T["operator"]
    keyword, variable, namespace = _T["keyword"], _T["variable"], _T["namespace"]
    decorator, macro, number, regexp = _T["decorator"], _T["macro"], _T["number"], _T["regexp"]
    doc = _M["documentation"]
    state: dict[str, Any] = {"previous": "", "directive": -1, "annotation": False, "line": -1}

    def code(tok: Any, line: int, single: bool) -> None:
        kind = tok.kind
        start, end = tok.start, tok.end
        if kind == "OP" and tok.value == "#" and line > state["line"]:
            state["directive"] = line
        state["line"] = line
        if line == state["directive"]:
            found: tuple[int, int] | None = (macro, 0)
        elif kind == "OP":
            value = tok.value
            state["annotation"] = value == "@" or (state["annotation"] and value == "::")
            state["previous"] = value
            found = (decorator, 0) if value == "@" else None if value in _PUNCTUATION else (operator, 0)
            if found is None:
                return
        elif kind == "NUMBER":
            found = (number, 0)
        elif kind == "PATTERN":
            found = (regexp, 0)
        elif state["annotation"] and kind in ("IDENT", "KEYWORD"):
            found = (decorator, 0)
        else:
            found = classes.get(start)
            if found is None:
                if kind == "KEYWORD":
                    found = (keyword, 0)
                elif kind == "IDENT":
                    found = (namespace if state["previous"] == "::" or text.startswith("::", end) else variable, 0)
        if kind != "OP":
            state["annotation"] = False
            state["previous"] = tok.value
        if found is None:
            return
        if single:
            append((line, tok.col - 1, end - start, found[0], found[1]))
        else:
            emit(start, end, found[0], found[1])

    def literal(start: int, end: int) -> None:
        """A string literal, cut around the code of its interpolations."""
        i = bisect.bisect_right(region_starts, start)
        while i < len(regions) and regions[i][0] < end:
            emit(start, regions[i][0], string, 0)
            lo, hi = regions[i]
            k = bisect.bisect_left(inner_starts, lo)
            while k < len(inner) and inner[k].start < hi:
                tok = inner[k]
                if tok.kind == "STRING":
                    literal(tok.start, tok.end)
                    k = bisect.bisect_left(inner_starts, tok.end)
                    continue
                code(tok, bisect.bisect_right(starts, tok.start) - 1, False)
                k += 1
            start = max(start, hi)
            i = bisect.bisect_left(region_starts, start, i + 1)
        emit(start, end, string, 0)
        state["previous"] = ""

    # The document's own tokens, inline: the same rules as ``code`` (which
    # serves the tokens inside interpolations), without a call per token.
    previous = ""
    directive = last_line = -1
    annotation = False
    classified = classes.get
    for count, tok in enumerate(analysis.tokens):
        if count % budget == budget - 1:
            yield
            if key in analysis.cache:
                return  # finished by another caller meanwhile
        kind = tok.kind
        if kind == "COMMENT":
            emit(tok.start, tok.end, comment, doc if tok.subkind == "doc" else 0)
            continue
        if kind == "STRING":
            literal(tok.start, tok.end)
            previous = ""
            continue
        if kind == "EOF" or kind == "BOM" or kind == "UNKNOWN":
            continue
        line = tok.line - 1
        mods = 0
        if kind == "OP":
            value = tok.value
            if value == "#" and line > last_line:
                directive = line
            last_line = line
            if line == directive:
                found = macro
            else:
                annotation = value == "@" or (annotation and value == "::")
                previous = value
                if value == "@":
                    found = decorator
                elif value in _PUNCTUATION:
                    continue
                else:
                    found = operator
        else:
            last_line = line
            if line == directive:
                found = macro
            elif kind == "IDENT" or kind == "KEYWORD":
                if annotation:
                    found = decorator
                else:
                    pair = classified(tok.start)
                    if pair is not None:
                        found, mods = pair
                    elif kind == "KEYWORD":
                        found = keyword
                    else:
                        found = namespace if previous == "::" or text.startswith("::", tok.end) else variable
            elif kind == "NUMBER":
                found = number
            else:
                found = regexp
            annotation = False
            previous = tok.value
        if tok.end_line == tok.line and (fast or plain(line)):
            append((line, tok.col - 1, tok.end - tok.start, found, mods))
        else:
            emit(tok.start, tok.end, found, mods)
    out.sort()
    analysis.cache[key] = out


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
