"""The one canonical layout of tarn sources (``tarn fmt``).

The layout is decided on the tokens (comments are tokens, so none is lost)
with the syntax tree telling what the tokens alone cannot: where statements
and members begin, which ";" closes which construct, which "-" is a sign and
which "<" opens type arguments. It never reflows: a line break the author put
inside an expression stays; only blanks, indentation, blank lines and the
breaks that put each statement on its own line change. The pass itself is
native (``tarn._format``, over the core's tokens and tree), so checking a large
tree costs little more than parsing it.

`format_text` refuses a text with syntax errors (guessing on broken code loses
code) and checks every result that differs from its input: the tokens must be
the same apart from the blanks between them, and the tree the same apart from
positions; otherwise it raises `InternalError` instead of returning text that
means something else.
"""
from __future__ import annotations

import bisect
from typing import Any, NoReturn

from tarn import _format
from tarn import lexer as _lexer
from tarn import parser as P
from tarn.rewrite import InternalError, first_error_or_module

__all__ = ["format_text", "format_edits", "minimal_edits", "verify"]


def format_text(text: str) -> str:
    """`text` in the canonical layout. Raises `SourceHasErrors` for a text
    with syntax errors and `InternalError` when the result would not be the
    same program (a fault of the formatter; nothing is returned then)."""
    done = _format.checked_layout(text)  # the text is lexed and parsed once for both
    if done is None:
        first_error_or_module(text)  # names the first error
        _unsafe("rewrite.detail-errors", message="tarn._format")  # the two parsers disagree
    new, found = done
    if found is not None:
        _refuse(text, new, found)
    return new


def verify(text: str, new: str) -> None:
    """Raises `InternalError` unless `new` has the same tokens as `text`
    (blanks and line breaks between them aside, comments compared line by
    line without the blanks around each line), the same tree apart from
    positions and the same text in embedded blocks (again line by line)."""
    found = _format.difference(text, new)
    if found is not None:
        _refuse(text, new, found)


def _refuse(text: str, new: str, found: tuple[str, int]) -> NoReturn:
    what, offset = found
    if what == "errors":
        errors = P.parse_text(new)[1]
        _unsafe("rewrite.detail-errors", message=errors[0].message if errors else "?")
    line, col = _lexer._LineMap(text).linecol(offset)
    detail = {"tokens": "rewrite.detail-tokens", "tree": "rewrite.detail-tree"}.get(what, "rewrite.detail-region")
    _unsafe(detail, offset, line=line, col=col)


def _unsafe(detail: str, offset: int = 0, **fields: object) -> NoReturn:
    from tarn.rewrite import message

    raise InternalError([(offset, "rewrite.unsafe", {"what": message("rewrite.what-fmt"),
                                                     "detail": message(detail, **fields)})])


# ---------------------------------------------------------------- minimal edits


def minimal_edits(old: str, new: str) -> list[tuple[int, int, str]]:
    """(start, end, replacement) in code-point offsets of `old`, in order and
    not overlapping, that turn `old` into `new` when both have the same tokens
    (a formatted text and its source): per gap between tokens whose blanks
    changed, the part that differs; per token whose text changed (a comment
    moved to another indentation), the whole token."""
    if old == new:
        return []  # the usual case on save: no need to tokenize both
    edits: list[tuple[int, int, str]] = []
    a_prev = b_prev = 0
    for a, b in zip(_lexer.tokenize(old), _lexer.tokenize(new)):
        was, now = old[a_prev:a.start], new[b_prev:b.start]
        if was != now:
            start, end, repl = changed_span(was, now)
            edits.append((a_prev + start, a_prev + end, repl))
        if a.value != b.value:
            edits.append((a.start, a.end, b.value))
        a_prev, b_prev = a.end, b.end
    return _merged(edits)


def changed_span(old: str, new: str) -> tuple[int, int, str]:
    """The one edit that turns `old` into `new`: what lies between their
    common prefix and their common suffix."""
    p = 0
    while p < min(len(old), len(new)) and old[p] == new[p]:
        p += 1
    q = 0
    while q < min(len(old), len(new)) - p and old[-1 - q] == new[-1 - q]:
        q += 1
    return p, len(old) - q, new[p:len(new) - q]


def _merged(edits: list[tuple[int, int, str]]) -> list[tuple[int, int, str]]:
    out: list[tuple[int, int, str]] = []
    for start, end, repl in edits:
        if out and out[-1][1] == start:
            s, _, r = out.pop()
            out.append((s, end, r + repl))
        else:
            out.append((start, end, repl))
    return out


def format_edits(text: str, start: int | None = None, end: int | None = None) -> list[tuple[int, int, str]]:
    """The edits of `format_text` as `minimal_edits`; with a range
    [`start`, `end`) (code-point offsets), only those inside the lines of the
    statements and members that the range touches."""
    new = format_text(text)
    edits = minimal_edits(text, new)
    if start is None or end is None:
        return edits
    module = first_error_or_module(text)
    lo, hi = _touched_statements(module, start, max(start, end))
    # Whole lines, with the lexer's line breaks ("\r\n", "\n" and a lone "\r").
    starts = _lexer._line_starts(text)
    lo = starts[bisect.bisect_right(starts, lo) - 1]
    following = bisect.bisect_right(starts, hi)
    hi = len(text) if following == len(starts) else starts[following] - 1
    if text.startswith("\r\n", hi - 1):
        hi -= 1
    return [e for e in edits if e[0] >= lo and e[1] <= hi]


def _touched_statements(module: P.Module, start: int, end: int) -> tuple[int, int]:
    """The span of the statements and members that [start, end] touches:
    the innermost ones whose bodies hold the whole range, all of them when
    it spans several."""
    lo, hi = start, end
    todo: list[Any] = [module.imports, module.members]
    while todo:
        for node in todo.pop():
            if node.end < start or node.start > end:
                continue
            inner = [n for group in _statement_lists(node) for n in group if n.start <= end and n.end >= start]
            if inner and min(n.start for n in inner) <= start and end <= max(n.end for n in inner):
                todo.append(inner)
            else:
                lo, hi = min(lo, node.start), max(hi, node.end)
    return lo, hi


def _statement_lists(node: Any) -> list[list[Any]]:
    cls = type(node)
    if cls is P.Structure:
        return [node.members]
    if cls is P.Enum:
        return [node.items, node.methods]
    if cls is P.Method or cls in _BODY_OWNERS:
        return [node.body]
    if cls is P.If:
        return [b for _, b in node.branches] + ([node.else_body] if node.else_body else [])
    if cls is P.Case:
        return [node.whens] + ([node.else_body] if node.else_body else [])
    if cls is P.CaseWhen:
        return [node.body]
    if cls is P.Try:
        return [node.body] + [c[2] for c in node.catches] + ([node.finally_body] if node.finally_body else [])
    return []


_BODY_OWNERS = (P.While, P.ForEach, P.ForTo, P.Scope)
