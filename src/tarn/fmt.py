"""The one canonical layout of tarn sources (``tarn fmt``).

The formatter works on the tokens (comments are tokens, so none is lost) and
reads the syntax tree for what the tokens alone cannot tell: where statements
and members begin, which ";" closes which construct, which "-" is a sign and
which "<" opens type arguments. It never reflows: a line break the author put
inside an expression stays, and only blanks, indentation, blank lines and the
breaks that put each statement on its own line change.

`format_text` refuses a text with syntax errors (guessing on broken code loses
code) and checks every result: the tokens must be the same apart from the
blanks between them, and the tree the same apart from positions; otherwise it
raises `InternalError` instead of returning text that means something else.
"""
from __future__ import annotations

import re
from bisect import bisect_left
from operator import attrgetter
from typing import Any

from tarn import lexer as _lexer
from tarn import parser as P
from tarn.rewrite import InternalError, first_error_or_module, tree_differences

__all__ = ["format_text", "format_edits", "minimal_edits"]

INDENT = "    "
TAB_WIDTH = 4  # for measuring old indentation written with tabs
MAX_BLANKS_IN_BODY = 1
MAX_BLANKS_BETWEEN_MEMBERS = 2

_OPENERS = frozenset("([{")
_CLOSERS = frozenset(")]}")
_WORDS = frozenset(("IDENT", "KEYWORD", "NUMBER"))
_NOT_CODE = frozenset(("COMMENT", "BOM"))
# Always one space on both sides. "+", "-", "<" and ">" are decided per token.
_SPACED = frozenset(("=", "+=", "-=", "*=", "/=", "==", "!=", "<=", ">=", "->", "??", "|", "*", "/", "%", "**"))
_GLUE_AFTER = frozenset((".", "?.", "::", "@", "&", "#"))
_GLUE_BEFORE = frozenset((".", "?.", "::", "!"))
# What a type can end with before its nullable "?".
_TYPE_ENDS = frozenset((")", "]", ">", "?"))
_BRANCH_KEYWORDS = frozenset(("ELSE", "CATCH", "FINALLY"))
_LINE_BREAK = re.compile("\r\n|\r|\n")


def format_text(text: str) -> str:
    """`text` in the canonical layout. Raises `SourceHasErrors` for a text
    with syntax errors and `InternalError` when the result would not be the
    same program (a fault of the formatter; nothing is returned then)."""
    module = first_error_or_module(text)
    toks = _lexer.tokenize(text)
    new = _Layout(text, toks, module).render()
    if new != text:
        verify(text, toks, module, new)
    return new


def verify(text: str, toks: list[Any], module: P.Module, new: str) -> None:
    """Raises `InternalError` unless `new` has the same tokens as `text`
    (blanks and line breaks between them aside, comments compared line by
    line without their indentation), the same text in embedded blocks (again
    line by line) and the same tree apart from positions."""
    new_toks = _lexer.tokenize(new)
    for a, b in zip(toks, new_toks):
        if a.kind != b.kind or (a.value != b.value and (a.kind != "COMMENT" or _squeezed(a.value) != _squeezed(b.value))):
            _unsafe("rewrite.detail-tokens", offset=a.start)
    if len(toks) != len(new_toks):
        _unsafe("rewrite.detail-tokens", offset=toks[min(len(toks), len(new_toks)) - 1].start)
    new_module, errors = P.parse_text(new)
    if errors:
        _unsafe("rewrite.detail-errors", message=errors[0].message)
    places = tree_differences(module, new_module, limit=1)
    if places:
        line, col = _lexer._LineMap(text).linecol(places[0])
        _unsafe("rewrite.detail-tree", line=line, col=col)
    old_blocks, new_blocks = _embedded_blocks(module, toks), _embedded_blocks(new_module, new_toks)
    for (start, end), (new_start, new_end) in zip(old_blocks, new_blocks):
        if _squeezed(text[start:end]) != _squeezed(new[new_start:new_end]):
            _unsafe("rewrite.detail-region", line=_lexer._LineMap(text).linecol(start)[0])


def _unsafe(detail: str, **fields: object) -> None:
    from tarn.rewrite import message

    raise InternalError([(0, "rewrite.unsafe", {"what": message("rewrite.what-fmt"),
                                                "detail": message(detail, **fields)})])


def _squeezed(text: str) -> list[str]:
    """Lines without the blanks around them: what moving a comment or an
    embedded block to another indentation may change."""
    return [line.strip(" \t") for line in text.replace("\r\n", "\n").replace("\r", "\n").split("\n")]


def _embedded_blocks(module: P.Module, toks: list[Any]) -> list[tuple[int, int]]:
    """Spans from the "{" to the end of each query and resolvable literal."""
    from tarn.tree import walk

    starts = [t.start for t in toks]
    spans = []
    for node in walk(module):
        if type(node) is P.Literal and node.kind in ("QUERY", "RESOLVABLE"):
            i = bisect_left(starts, node.start + 1)
            while toks[i].kind in _NOT_CODE:
                i += 1
            spans.append((toks[i].start, node.end))
    return sorted(spans)


# ---------------------------------------------------------------- minimal edits


def minimal_edits(old: str, new: str) -> list[tuple[int, int, str]]:
    """(start, end, replacement) in code-point offsets of `old`, in order and
    not overlapping, that turn `old` into `new` when both have the same tokens
    (a formatted text and its source): per gap between tokens whose blanks
    changed, the part that differs; per token whose text changed (a comment
    moved to another indentation), the whole token."""
    edits: list[tuple[int, int, str]] = []
    a_prev = b_prev = 0
    for a, b in zip(_lexer.tokenize(old), _lexer.tokenize(new)):
        was, now = old[a_prev:a.start], new[b_prev:b.start]
        if was != now:
            p = 0
            while p < min(len(was), len(now)) and was[p] == now[p]:
                p += 1
            q = 0
            while q < min(len(was), len(now)) - p and was[-1 - q] == now[-1 - q]:
                q += 1
            edits.append((a_prev + p, a.start - q, now[p:len(now) - q]))
        if a.value != b.value:
            edits.append((a.start, a.end, b.value))
        a_prev, b_prev = a.end, b.end
    return _merged(edits)


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
    lo = text.rfind("\n", 0, lo) + 1
    nl = text.find("\n", hi)
    hi = len(text) if nl < 0 else nl
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


# ---------------------------------------------------------------- the plan from the tree

# The fields of each record that may hold records, learned from the first
# record of each type seen (a text or flag field never holds one).
_CHILDREN: dict[type, Any] = {}


def _children_getter(node: Any) -> Any:
    names = [f for f in type(node).__match_args__[2:]
             if not isinstance(getattr(node, f), (str, bool, int))]
    getter = attrgetter(*names) if len(names) > 1 else (
        (lambda n, g=attrgetter(names[0]): (g(n),)) if names else (lambda n: ()))
    _CHILDREN[type(node)] = getter
    return getter


class _Item:
    """A statement, member, enumeration item or "when" arm: something that
    starts a line at a level of its own. `spec` says how its level follows
    from its parent: an int (levels deeper than the enclosing item) or the
    index of the token that starts a block lambda (one level deeper than that
    token's line)."""

    __slots__ = ("last", "spec", "in_body", "is_import")

    def __init__(self, last: int, spec: int, in_body: bool, is_import: bool = False) -> None:
        self.last, self.spec, self.in_body, self.is_import = last, spec, in_body, is_import


class _Plan:
    """What the tree says about the tokens, by token index."""

    def __init__(self, toks: list[Any], module: P.Module) -> None:
        self.kinds = [t.kind for t in toks]
        self.values = [t.value for t in toks]
        self.starts = [t.start for t in toks]
        self.index = dict(zip(self.starts, range(len(toks))))
        self.toks = toks
        self.items: dict[int, list[_Item]] = {}
        self.forced: set[int] = set()          # a line break before, unless the line has no code yet
        self.closers: dict[int, int] = {}      # ";" -> -1 (its item's level) or the lambda's start index
        self.at_item_level: set[int] = set()   # branch keywords, annotations and what follows them
        self.branches: set[int] = set()        # branch keywords (ELSE, CATCH, FINALLY)
        self.signs: set[int] = set()           # prefix "+" and "-"
        self.ternary: set[int] = set()         # "?" and ":" of a ternary
        self.comparisons: set[int] = set()     # "<" and ">" that compare (the others bracket types)
        self.tight: set[int] = set()           # "(" of calls and parameter lists, "[" of indexing
        self.blocks: dict[int, int] = {}       # "{" of a query or resolvable literal -> its last token
        self.lambdas: set[int] = set()         # first tokens of block lambdas
        self.typed_literals: set[int] = set()  # "<" that starts a typed collection literal
        self.import_ends: set[int] = set()     # last tokens of imports
        self._walk(module)

    def classes(self) -> list[str]:
        """Per token what spacing depends on: the kind, or for an operator its
        text and its role where the tree gives it one."""
        out = [v if k == "OP" else k for k, v in zip(self.kinds, self.values)]
        for role, marked in (("sign", self.signs), ("ternary", self.ternary), ("compare", self.comparisons),
                             ("tight", self.tight), ("typed", self.typed_literals)):
            for i in marked:
                out[i] = out[i] + " " + role
        return out

    # -- token look-ups

    def at(self, offset: int) -> int:
        return self.index[offset]  # type: ignore[no-any-return]

    def code_from(self, offset: int, skip: str = "") -> int:
        """Index of the first code token at or after `offset`, passing over
        tokens whose text is in `skip`."""
        i = bisect_left(self.starts, offset)
        kinds, values = self.kinds, self.values
        while kinds[i] in _NOT_CODE or (values[i] in skip and kinds[i] == "OP"):
            i += 1
        return i

    def code_before(self, offset: int, skip: str = "") -> int:
        i = bisect_left(self.starts, offset) - 1
        kinds, values = self.kinds, self.values
        while kinds[i] in _NOT_CODE or (values[i] in skip and kinds[i] == "OP"):
            i -= 1
        return i

    def last_of(self, node: Any) -> int:
        return bisect_left(self.starts, node.end) - 1

    def own_keywords(self, node: Any, children: list[Any], wanted: frozenset[str]) -> list[int]:
        """Tokens of `node` outside the spans of `children` that are keywords
        of the canonical names `wanted`."""
        spans = sorted((c.start, c.end) for c in children if c is not None)
        toks, kinds = self.toks, self.kinds
        found = []
        i, last = self.at(node.start), self.last_of(node)
        k = 0
        while i <= last:
            s = self.starts[i]
            while k < len(spans) and spans[k][1] <= s:
                k += 1
            if k < len(spans) and spans[k][0] <= s:
                i = bisect_left(self.starts, spans[k][1])
                continue
            if kinds[i] == "KEYWORD" and toks[i].canonical in wanted:
                found.append(i)
            i += 1
        return found

    # -- marking

    def _item(self, node: Any, spec: int, forced: bool = True, in_body: bool = True,
              is_import: bool = False) -> None:
        # A constructor's span is its keyword alone, without its annotations.
        first = self.at(node.annotations[0].start if type(node) is P.Constructor and node.annotations
                        else node.start)
        last = self.last_of(node)
        # Parentheses do not widen a span: a statement that starts with "("
        # starts before its record, and may end after it.
        opened = 0
        while first and (self.values[first - 1] == "(" or self.kinds[first - 1] in _NOT_CODE):
            k = first - 1
            while k >= 0 and self.kinds[k] in _NOT_CODE:
                k -= 1
            if k < 0 or self.values[k] != "(" or self.kinds[k] != "OP":
                break
            first, opened = k, opened + 1
        while opened:
            k = last + 1
            while self.kinds[k] in _NOT_CODE:
                k += 1
            if self.values[k] != ")" or self.kinds[k] != "OP":
                break
            last, opened = k, opened - 1
        self.items.setdefault(first, []).append(_Item(last, spec, in_body, is_import))
        if forced:
            self.forced.add(first)

    def _closer(self, node: Any, spec: int = -1) -> None:
        i = self.last_of(node)
        if self.values[i] == ";":
            self.closers[i] = spec
            self.forced.add(i)

    def _branch(self, i: int) -> None:
        self.at_item_level.add(i)
        self.branches.add(i)
        self.forced.add(i)

    def _annotated(self, node: Any) -> None:
        annotations = node.annotations
        if annotations:
            for a in annotations:
                self.at_item_level.add(self.at(a.start))
            self.at_item_level.add(self.code_from(annotations[-1].end))

    def _walk(self, module: P.Module) -> None:
        for imp in module.imports:
            self._item(imp, 0, in_body=False, is_import=True)
            self.import_ends.add(self.last_of(imp))
        for member in module.members:
            self._item(member, 0, in_body=type(member) is P.Method)
        stack: list[Any] = list(module.members)
        handlers = self._handlers()
        children = _CHILDREN
        leaves = _LEAVES
        while stack:
            node = stack.pop()
            cls = type(node)
            handler = handlers.get(cls)
            if handler is not None:
                handler(node)
            getter = children.get(cls) or _children_getter(node)
            for value in getter(node):
                kind = type(value)
                if kind is list or kind is tuple:
                    _push_records(value, stack)
                elif kind not in leaves:
                    stack.append(value)

    def _handlers(self) -> dict[type, Any]:
        return {
            P.Method: self._method, P.Structure: self._structure, P.Enum: self._enum,
            P.ObjectField: self._annotated, P.Constructor: self._annotated,
            P.If: self._if, P.Case: self._case, P.Try: self._try,
            P.While: self._loop, P.ForEach: self._loop, P.ForTo: self._loop, P.Scope: self._loop,
            P.Unary: self._unary, P.Ternary: self._ternary, P.Compare: self._compare,
            P.Call: self._call, P.New: self._new, P.Index: self._index, P.MethodRef: self._method_ref,
            P.Annotation: self._annotation, P.Lambda: self._lambda, P.Literal: self._literal,
            P.ArrayLit: self._typed, P.MapLit: self._typed,
        }

    # Statement and member records mark their own items; the generic walk
    # below them still visits their children (bodies included) for the rest.

    def _method(self, node: P.Method) -> None:
        self._annotated(node)
        i = self.code_from(node.annotations[-1].end if node.annotations else node.start)
        while self.values[i] != "(":
            i += 1
        self.tight.add(i)
        if not node.is_abstract:
            self._closer(node)
        for stmt in node.body:
            self._item(stmt, 1)

    def _structure(self, node: P.Structure) -> None:
        self._annotated(node)
        for member in node.members:
            self._item(member, 1, in_body=type(member) is P.Method)
        self._closer(node)

    def _enum(self, node: P.Enum) -> None:
        self._annotated(node)
        for n, item in enumerate(node.items):
            self._item(item, 1, forced=n == 0, in_body=False)
        for method in node.methods:
            self._item(method, 1)
        self._closer(node)

    def _if(self, node: P.If) -> None:
        conds = [c for c, _ in node.branches]
        bodies = [s for _, body in node.branches for s in body] + list(node.else_body or ())
        for i in self.own_keywords(node, conds + bodies, _BRANCH_KEYWORDS):
            self._branch(i)
        for stmt in bodies:
            self._item(stmt, 1)
        self._closer(node)

    def _case(self, node: P.Case) -> None:
        for when in node.whens:
            self._item(when, 0)
            for stmt in when.body:
                self._item(stmt, 1)
        else_body = list(node.else_body or ())
        for i in self.own_keywords(node, [node.subject] + node.whens + else_body, _BRANCH_KEYWORDS):
            self._branch(i)
        for stmt in else_body:
            self._item(stmt, 1)
        self._closer(node)

    def _try(self, node: P.Try) -> None:
        bodies = list(node.body) + [s for c in node.catches for s in c[2]] + list(node.finally_body or ())
        types = [c[1] for c in node.catches]
        for i in self.own_keywords(node, bodies + types, _BRANCH_KEYWORDS):
            self._branch(i)
        for stmt in bodies:
            self._item(stmt, 1)
        self._closer(node)

    def _loop(self, node: Any) -> None:
        for stmt in node.body:
            self._item(stmt, 1)
        self._closer(node)

    def _unary(self, node: P.Unary) -> None:
        if node.op in ("+", "-"):
            self.signs.add(self.at(node.start))

    def _ternary(self, node: P.Ternary) -> None:
        self.ternary.add(self.code_before(node.then.start, "("))
        if node.otherwise is not None:
            self.ternary.add(self.code_from(node.then.end, ")"))

    def _compare(self, node: P.Compare) -> None:
        end = node.first.end
        for _, operand in node.rest:
            i = self.code_from(end, ")")
            self.comparisons.add(i)
            end = operand.end if operand is not None else self.starts[i] + len(self.values[i])

    def _call(self, node: P.Call) -> None:
        end = node.type_args[-1].end if node.type_args else node.callee.end
        self.tight.add(self.code_from(end))

    def _new(self, node: P.New) -> None:
        if node.args is not None:
            self.tight.add(self.code_from(node.type.end))

    def _index(self, node: P.Index) -> None:
        self.tight.add(self.code_from(node.obj.end, ")"))

    def _method_ref(self, node: P.MethodRef) -> None:
        for i in range(self.at(node.start), self.last_of(node) + 1):
            if self.values[i] == "(":
                self.tight.add(i)

    def _annotation(self, node: P.Annotation) -> None:
        at = self.at(node.start)
        i = at + 1
        last = self.last_of(node)
        while i <= last and self.values[i] != "(":
            i += 1
        if i <= last and self.toks[i].line == self.toks[at].line:
            self.tight.add(i)

    def _lambda(self, node: P.Lambda) -> None:
        if node.body_stmts is None:
            return
        first = self.at(node.start)
        self.lambdas.add(first)
        self.tight.add(self.code_from(self.starts[first] + 1))
        for stmt in node.body_stmts:
            self._item(stmt, -1 - first)
        self._closer(node, first)

    def _typed(self, node: Any) -> None:
        if node.type_args:
            self.typed_literals.add(self.at(node.start))

    def _literal(self, node: P.Literal) -> None:
        if node.kind in ("QUERY", "RESOLVABLE"):
            brace = self.code_from(node.start + 1)
            if self.values[brace] == "{":
                self.blocks[brace] = self.last_of(node)


# What the walk does not visit: records without records below them and with
# nothing to mark, and the field values that are no records.
_LEAVES = frozenset((P.Name, P.TypeRef, P.This, P.GlobalAccess, P.Break, P.Continue, P.Import, P.EnumItem,
                     type(None), str, bool, int))


def _push_records(values: Any, stack: list[Any]) -> None:
    for v in values:
        kind = type(v)
        if kind is list or kind is tuple:
            _push_records(v, stack)
        elif kind not in _LEAVES:
            stack.append(v)


# ---------------------------------------------------------------- rendering


class _Context:
    """An item being laid out: its level, and for each bracket opened in it
    and not yet closed the level of the line that opened it."""

    __slots__ = ("item", "last", "level", "open")

    def __init__(self, item: _Item, level: int) -> None:
        self.item, self.last, self.level = item, item.last, level
        self.open: list[int] = []


def _may_touch_brace(kind: str, value: str, canonical: str | None) -> bool:
    """A name written right before "{" makes a resolvable literal, so the
    formatter keeps such a name and brace touching or apart as written."""
    if kind == "IDENT":
        return True
    return kind == "KEYWORD" and (canonical in P._NAME_KEYWORDS or (
        canonical in P._UPPER_NAME_KEYWORDS and value[:1].isupper()))


class _Layout:
    def __init__(self, text: str, toks: list[Any], module: P.Module) -> None:
        self.text = text
        self.toks = toks
        self.plan = _Plan(toks, module)
        self.newline = _newline_of(text, toks)
        self.line_starts = _lexer._line_starts(text)

    # -- spacing between two tokens on one line

    def gap(self, a: int, b: int) -> str:
        kinds, values = self.plan.kinds, self.plan.values
        ka, kb, va, vb = kinds[a], kinds[b], values[a], values[b]
        if kb in _NOT_CODE:
            return "" if ka == "OP" and va in _OPENERS else " "
        if ka in _NOT_CODE:
            return "" if kb == "OP" and (vb in _CLOSERS or vb == ",") else " "
        space = self._gap(a, b, ka, kb, va, vb)
        if space or ka != "OP" or kb != "OP":
            return space
        # Two operators written together must not read as a longer one, nor
        # as the start of a comment.
        match = _lexer._operator_re().match(va + vb)
        if (match is not None and match.end() > len(va)) or (va[-1] == "/" and vb[0] in "/*"):
            return " "
        return ""

    def _gap(self, a: int, b: int, ka: str, kb: str, va: str, vb: str) -> str:
        plan = self.plan
        if ka == "OP" and (va in _OPENERS or va in _GLUE_AFTER or a in plan.signs or (
                va == "<" and a not in plan.comparisons)):
            return ""
        if kb == "OP":
            if vb == "," or vb in _CLOSERS or vb in _GLUE_BEFORE:
                return ""
            if vb in _SPACED or b in plan.ternary or b in plan.comparisons:
                return " "
            if vb == ":" or vb == ">":
                return ""
            if vb == "<":
                return "" if (ka == "IDENT" or ka == "KEYWORD") and b not in plan.typed_literals else " "
            if vb == "?":
                return "" if ka in _WORDS or va in _TYPE_ENDS else " "
            if vb in _OPENERS:
                if b in plan.tight:
                    return ""
                if vb == "{" and _may_touch_brace(ka, va, self.toks[a].canonical):
                    return "" if plan.starts[b] == plan.starts[a] + len(va) else " "
                if ka == "OP" and va == ">" and a not in plan.comparisons:
                    return ""  # <T>[...] and <K, V>{...}
                return " "
        return " "

    # -- the pass over the tokens

    def render(self) -> str:
        plan = self.plan
        toks, kinds, values, starts = self.toks, plan.kinds, plan.values, plan.starts
        count = len(toks) - 1  # without EOF
        i = 0
        prefix = ""
        if count and kinds[0] == "BOM" and starts[0] == 0:
            prefix, i = values[0], 1
        if i >= count:
            return prefix
        self.out: list[str | None] = []       # output lines; None: a comment line not laid out yet
        self.pending: list[list[Any]] = []    # [out index, comment tokens] of those lines
        self.line: list[str] = []
        self.level = self.block_level = 0
        self.stack: list[_Context] = []
        stack = self.stack
        self.lambda_levels: dict[int, int] = {}
        self.last_code = self.ctx_done = -1
        lines = [t.line for t in toks]
        end_lines = [t.end_line for t in toks]
        forced, blocks, lambdas, items = plan.forced, plan.blocks, plan.lambdas, plan.items
        # Spacing depends only on the two tokens' classes (kind, or operator
        # text and role), except for a "{" after a name, which may have to
        # touch it: computed once per pair of classes.
        classes = plan.classes()
        spacing: dict[tuple[str, str], str] = {}
        # Tokens where more happens than spacing and copying: brackets,
        # comments, "#" and what the plan marks.
        rare_classes = {c for c in set(classes) if c in _NOT_CODE or c[0] in "()[]{}#"}
        rare = forced | lambdas | blocks.keys() | items.keys() | {
            k for k, c in enumerate(classes) if c in rare_classes}
        gap = self.gap
        comment_line = line_has_code = False
        line = self.line
        prev = last_code = -1
        while i < count:
            if prev < 0 or lines[i] > end_lines[prev]:
                brk = True
            elif line_has_code and i in forced:
                brk = True
            else:
                brk = values[i] == "#" and line_has_code and self._directive(i)
            kind = kinds[i]
            if brk:
                if prev >= 0:
                    self._end_line(comment_line)
                    blanks = lines[i] - end_lines[prev] - 1
                    if blanks > 0:
                        self.out.extend([""] * min(blanks, self._max_blanks(prev, i)))
                anchor = i if kind not in _NOT_CODE else self._anchor_after_comments(i, lines, end_lines)
                if anchor < 0:
                    comment_line, line_has_code = True, False
                    self.pending.append([-1, [i]])
                    prev = i
                    i += 1
                    continue
                comment_line = line_has_code = False
                self.last_code = last_code
                level, block_level = self._level_of(anchor)
                self._flush_pending(anchor, level)
                self.level, self.block_level = level, block_level
                line = self.line = [INDENT * level]
            elif comment_line:
                self.pending[-1][1].append(i)
                prev = i
                i += 1
                continue
            else:
                cb = classes[i]
                if cb == "{":
                    line.append(gap(prev, i))
                else:
                    key = (classes[prev], cb)
                    space = spacing.get(key)
                    if space is None:
                        space = spacing[key] = gap(prev, i)
                    line.append(space)
            if i in rare:
                if kind in _NOT_CODE:
                    self._put_comment(i)
                    prev = i
                    i += 1
                    continue
                value = values[i]
                bracket = kind == "OP" and (value in _OPENERS or value in _CLOSERS)
                if i > self.ctx_done and (bracket or i in items):
                    self._advance_context(i)
                if i in lambdas:
                    self.lambda_levels[i] = self.level
                if i in blocks:
                    last = blocks[i]
                    self._put_block(i, last)
                    last_code = prev = last
                    line_has_code = True
                    i = last + 1
                    continue
                if bracket:
                    if stack:
                        if value in _OPENERS:
                            stack[-1].open.append(self.level)
                        elif stack[-1].open:
                            stack[-1].open.pop()
                elif value == "#" and kind == "OP" and self._directive(i):
                    # A directive line: the parser skips everything on it.
                    last = i
                    while last + 1 < count and lines[last + 1] == lines[i]:
                        last += 1
                    line.append(self.text[starts[i]:toks[last].end].rstrip(" \t"))
                    last_code = prev = last
                    line_has_code = True
                    i = last + 1
                    continue
            line.append(values[i])
            last_code = prev = i
            line_has_code = True
            i += 1
        self._end_line(comment_line)
        self._flush_pending(-1, 0)
        out = self.out
        while out and out[-1] == "":
            out.pop()
        return prefix + self.newline.join(out) + self.newline  # type: ignore[arg-type]

    def _put(self, piece: str) -> None:
        self.line.append(piece)

    def _col(self) -> int:
        """Column (from 0) where the next piece of the current line goes."""
        text = "".join(self.line)
        tail = max(text.rfind("\n"), text.rfind("\r"))
        return len(text) - tail - 1

    def _end_line(self, comment_line: bool) -> None:
        if comment_line:
            self.pending[-1][0] = len(self.out)
            self.out.append(None)
        else:
            self.out.append("".join(self.line))

    def _directive(self, i: int) -> bool:
        if self.plan.kinds[i] != "OP" or self.plan.values[i] != "#":
            return False
        self._pop_ended(i)
        return not self.stack

    def _pop_ended(self, i: int) -> None:
        stack = self.stack
        while stack and stack[-1].last < i:
            stack.pop()

    def _anchor_after_comments(self, i: int, lines: list[int], end_lines: list[int]) -> int:
        """The first code token on the line that starts with comment `i`, or
        -1 when the line holds comments only."""
        kinds = self.plan.kinds
        j = i
        while kinds[j] in _NOT_CODE:
            if lines[j + 1] > end_lines[j]:
                return -1
            j += 1
        return j if kinds[j] != "EOF" else -1

    def _max_blanks(self, prev: int, i: int) -> int:
        self._pop_ended(i)
        if self.stack:
            return MAX_BLANKS_IN_BODY if self.stack[-1].item.in_body else MAX_BLANKS_BETWEEN_MEMBERS
        if prev in self.plan.import_ends and any(it.is_import for it in self.plan.items.get(i, ())):
            return 0  # a run of imports stays together
        return MAX_BLANKS_BETWEEN_MEMBERS

    def _advance_context(self, i: int) -> None:
        self._pop_ended(i)
        stack = self.stack
        for item in self.plan.items.get(i, ()):
            spec = item.spec
            if spec < 0:
                level = self.lambda_levels[-1 - spec] + 1
            elif stack:
                level = stack[-1].level + spec
            else:
                level = 0
            stack.append(_Context(item, level))
        self.ctx_done = i

    def _level_of(self, i: int) -> tuple[int, int]:
        """The indentation (in levels) of the line whose first code token is
        `i`, and the level of the item that line belongs to."""
        plan = self.plan
        self._advance_context(i)
        if not self.stack:
            return 0, 0
        top = self.stack[-1].level
        spec = plan.closers.get(i)
        if spec is not None:
            return (top if spec < 0 else self.lambda_levels[spec]), top
        if i in plan.items or i in plan.at_item_level:
            return top, top
        return self._continuation(i, self.stack[-1]), top

    def _continuation(self, i: int, ctx: _Context) -> int:
        """The level of a line inside an item that does not start anything:
        one deeper than the line that opened the innermost bracket still
        open (that line's own level for a line starting with its closing
        bracket), and one more when the line continues an expression rather
        than starting an element of the bracketed list; outside brackets one
        deeper than the item."""
        kinds, values = self.plan.kinds, self.plan.values
        opened = ctx.open
        if kinds[i] == "OP" and values[i] in _CLOSERS:
            return opened[-1] if opened else ctx.level
        if not opened:
            return ctx.level + 1
        last = self.last_code
        after_opener = kinds[last] == "OP" and (values[last] in _OPENERS or values[last] == ",")
        return opened[-1] + (1 if after_opener else 2)

    def _flush_pending(self, anchor: int, level: int) -> None:
        """Lays out the comment-only lines before the code line that starts
        with `anchor` (-1: the end of the text): at that line's level, one
        deeper when that line closes something (a comment there still
        belongs to the body above), never shallower than the code above."""
        if not self.pending:
            return
        plan = self.plan
        if anchor < 0:
            level = 0
        elif anchor in plan.closers or anchor in plan.branches or (
                plan.kinds[anchor] == "OP" and plan.values[anchor] in _CLOSERS):
            level += 1
        level = max(level, self.block_level)
        saved = self.line
        for index, group in self.pending:
            self.line = [INDENT * level]
            for n, i in enumerate(group):
                if n:
                    self._put(self.gap(group[n - 1], i))
                self._put_comment(i)
            self.out[index] = "".join(self.line)
        self.pending = []
        self.line = saved

    def _old_indent(self, offset: int) -> tuple[int, int]:
        """Width (tabs expanded) of the indentation of the source line holding
        `offset`, and of the text before `offset` on it."""
        begin = self.line_starts[bisect_left(self.line_starts, offset + 1) - 1]
        if begin == 0 and self.text.startswith("\ufeff"):
            begin = 1  # the BOM is no column of the output
        before = self.text[begin:offset]
        body = before.lstrip(" \t")
        return len(before[:len(before) - len(body)].expandtabs(TAB_WIDTH)), len(before.expandtabs(TAB_WIDTH))

    def _put_multiline(self, text: str, delta: int, keep: list[tuple[int, int]]) -> None:
        self.line.append(_shifted(text, delta, keep))

    def _put_comment(self, i: int) -> None:
        tok = self.toks[i]
        if tok.line == tok.end_line:
            self._put(tok.value)
        else:
            self._put_multiline(tok.value, self._col() - self._old_indent(tok.start)[1], [])

    def _put_block(self, first: int, last: int) -> None:
        """An embedded block ("{" ... "}" of a query or resolvable literal)
        as written, its later lines moved by as much as the line it starts on
        (string literals in it untouched)."""
        toks = self.toks
        start = toks[first].start
        keep = [(t.start - start, t.end - start) for t in toks[first:last + 1]
                if t.kind in ("STRING", "PATTERN") and t.line != t.end_line]
        delta = len(INDENT) * self.level - self._old_indent(start)[0]
        self._put_multiline(self.text[start:toks[last].end], delta, keep)


def _shifted(text: str, delta: int, keep: list[tuple[int, int]]) -> str:
    """`text` (a multi-line comment or embedded block) with every line after
    the first moved `delta` columns (tabs in its indentation expanded) and
    trailing blanks dropped; not moved at all when some line would have to
    lose more indentation than it has. Line breaks inside the spans `keep`
    (string literals) are left exactly as they are."""
    pieces = []
    breaks = [(m.start(), m.end()) for m in _LINE_BREAK.finditer(text)
              if not any(s < m.start() < e for s, e in keep)]
    if not breaks:
        return text
    lines = []
    last = 0
    for pos, stop in breaks:
        lines.append((text[last:pos], text[pos:stop]))
        last = stop
    lines.append((text[last:], ""))
    indents = []
    for k, (line, _) in enumerate(lines):
        if k == 0:
            continue
        body = line.lstrip(" \t")
        if body:
            indents.append(len(line[:len(line) - len(body)].expandtabs(TAB_WIDTH)))
    if indents and min(indents) + delta < 0:
        delta = 0
    for k, (line, brk) in enumerate(lines):
        if k:
            body = line.lstrip(" \t")
            if body:
                width = len(line[:len(line) - len(body)].expandtabs(TAB_WIDTH))
                line = " " * (width + delta) + body
            else:
                line = ""
        if brk:
            line = line.rstrip(" \t")
        pieces.append(line + brk)
    return "".join(pieces)


def _newline_of(text: str, toks: list[Any]) -> str:
    """The line break the text uses between tokens (the first one found;
    breaks inside comments and strings do not count), else "\n"."""
    prev = 0
    for tok in toks:
        gap = text[prev:tok.start]
        k = min((p for p in (gap.find("\r"), gap.find("\n")) if p >= 0), default=-1)
        if k >= 0:
            return "\r\n" if gap.startswith("\r\n", k) else gap[k]
        prev = tok.end
    return "\n"
