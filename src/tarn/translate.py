"""Keywords switched between Russian and English (``tarn translate``).

Every token that the program uses as a keyword is rewritten in the target
language's form of the same keyword (a capitalised form as the capitalised
one), also in the code inside string interpolations, which the parser keeps
inside the string token and this module reads itself. Everything else stays as
written: names (a keyword spelling used as a name, such as ``a.type`` or a
capitalised keyword assigned to, would name something else if respelled),
strings, comments, the embedded blocks of query and resolvable literals, and
the lines the parser skips. A directive line naming the keyword language
(``#язык ru``, ``#lang en``) is rewritten to name the target.

The result is parsed again and compared with the source, keyword spellings
aside; where it would read differently the translation is refused, naming each
place.
"""
from __future__ import annotations

import functools
from bisect import bisect_left
from typing import Any

from tarn import lexer as _lexer
from tarn import parser as P
from tarn.rewrite import Refusal, first_error_or_module, tree_differences

__all__ = ["translate_text", "LANGUAGES", "DIRECTIVE_WORDS"]

LANGUAGES = ("ru", "en")
# The word after "#" on a directive line naming the keyword language.
DIRECTIVE_WORDS = {"ru": "язык", "en": "lang"}

# What may start a method reference as a keyword ("&this.m", "&global.m").
_REFERENCE_HEADS = frozenset(("THIS", "GLOBAL_EN", "GLOBAL_RU"))
# GLOBAL_RU and GLOBAL_EN are one keyword in two spellings.
_SAME_KEYWORD = {"GLOBAL_RU": "GLOBAL", "GLOBAL_EN": "GLOBAL"}
_NOT_CODE = frozenset(("COMMENT", "BOM"))


class TranslationRefused(Refusal):
    """The translation would change what the program says, or cannot be made."""


def translate_text(text: str, target: str) -> str:
    """`text` with its keywords in the language `target` ("ru" or "en").
    Raises `SourceHasErrors` for a text with syntax errors and
    `TranslationRefused`, naming each place, where the result would read
    differently or a keyword cannot be translated."""
    if target not in LANGUAGES:
        raise ValueError(f"unsupported language {target!r}; expected one of {', '.join(LANGUAGES)}")
    module = first_error_or_module(text)
    try:
        edits, problems = _Translation(text, target, module).run()
    except RecursionError:
        raise TranslationRefused([(0, "rewrite.reads-differently", {})]) from None
    if problems:
        raise TranslationRefused(problems)
    new = _applied(text, edits)
    if new != text:
        _verify(text, module, new)
    return new


def _applied(text: str, edits: list[tuple[int, int, str]]) -> str:
    out, pos = [], 0
    for start, end, repl in sorted(edits):
        out.append(text[pos:start])
        out.append(repl)
        pos = end
    out.append(text[pos:])
    return "".join(out)


# ---------------------------------------------------------------- the keyword table


Spellings = tuple[dict[str, tuple[str, str, bool]], dict[tuple[str, str, bool], str]]
_cached: tuple[object, Spellings] | None = None


def _spellings() -> Spellings:
    """(form -> (keyword, language, capitalised), and back), read from the
    language definition the lexer uses (again when its tables change); only
    forms that the lexer reads as that keyword count."""
    global _cached
    forms = _lexer._keyword_forms()
    if _cached is None or _cached[0] is not forms:
        _cached = (forms, _derived_spellings(forms))
    return _cached[1]


def _derived_spellings(forms: dict[str, str]) -> Spellings:
    by_form: dict[str, tuple[str, str, bool]] = {}
    back: dict[tuple[str, str, bool], str] = {}
    for canonical, entry in _lexer._language()["keywords"].items():
        keyword = _SAME_KEYWORD.get(canonical, canonical)
        for form in entry.get("forms", ()):
            if not isinstance(form, str) or forms.get(form) != canonical:
                continue
            key = (keyword, "en" if form.isascii() else "ru", form[:1].isupper())
            by_form[form] = key
            back.setdefault(key, form)
    return by_form, back


def _nameable(kind: str, value: str, canonical: str | None) -> bool:
    """Whether the parser may read the token as a name (its ``at_name``): a
    keyword that can never be a name keeps its meaning in any spelling."""
    if kind == "IDENT":
        return True
    return kind == "KEYWORD" and (canonical in P._NAME_KEYWORDS or (
        canonical in P._UPPER_NAME_KEYWORDS and value[:1].isupper()))


def _canonical(value: str) -> str:
    """The keyword a form spells (GLOBAL for both global forms), or the value
    itself when it is not a keyword form."""
    entry = _spellings()[0].get(value)
    return entry[0] if entry else value


# ---------------------------------------------------------------- roles of keyword tokens


class _Roles:
    """Which keyword tokens of a parsed text are names (kept as written),
    which tokens lie in embedded blocks and skipped lines (never touched)."""

    def __init__(self, toks: list[Any], module: P.Module) -> None:
        self.toks = toks
        self.starts = [t.start for t in toks]
        self.names: set[int] = set()
        self.untouched: set[int] = set()
        self.directives: list[int] = []
        self._walk(module)

    def at(self, offset: int) -> int:
        return bisect_left(self.starts, offset)

    def code_from(self, offset: int) -> int:
        i = self.at(offset)
        while self.toks[i].kind in _NOT_CODE:
            i += 1
        return i

    def span(self, start: int, end: int) -> range:
        return range(self.at(start), self.at(end))

    def own(self, node: Any, children: list[Any]) -> list[int]:
        """Token indices inside `node` and outside its `children`."""
        spans = sorted((c.start, c.end) for c in children if c is not None)
        out = []
        k = 0
        for i in self.span(node.start, node.end):
            s = self.starts[i]
            while k < len(spans) and spans[k][1] <= s:
                k += 1
            if not (k < len(spans) and spans[k][0] <= s):
                out.append(i)
        return out

    def name_at(self, i: int) -> None:
        tok = self.toks[i]
        if tok.kind == "KEYWORD" and _nameable(tok.kind, tok.value, tok.canonical):
            self.names.add(i)

    def names_in(self, indices: Any) -> None:
        for i in indices:
            self.name_at(i)

    def after_annotations(self, node: Any) -> int:
        return self.code_from(node.annotations[-1].end if node.annotations else node.start)

    def next_code(self, i: int) -> int:
        i += 1
        while self.toks[i].kind in _NOT_CODE:
            i += 1
        return i

    def _walk(self, module: P.Module) -> None:
        from tarn.tree import iter_child_nodes

        members = set(map(id, module.members))
        todo: list[Any] = [module]
        while todo:
            node = todo.pop()
            handler = getattr(self, "_" + type(node).__name__, None)
            if handler is not None:
                if type(node) is P.ObjectField:
                    handler(node, id(node) in members)
                else:
                    handler(node)
            todo.extend(iter_child_nodes(node))
        self._skipped_lines(module)

    def _skipped_lines(self, module: P.Module) -> None:
        """Directive lines: module-level "#" and everything on its line."""
        covered = sorted((n.start, n.end) for n in list(module.imports) + list(module.members))
        toks = self.toks
        for i, tok in enumerate(toks):
            if tok.kind == "OP" and tok.value == "#":
                k = bisect_left(covered, (tok.start + 1,)) - 1
                if k >= 0 and covered[k][1] > tok.start:
                    continue
                self.directives.append(i)
                j = i
                while toks[j].kind != "EOF" and toks[j].line == tok.line:
                    self.untouched.add(j)
                    j += 1

    # One method per record that holds a name in a field (or a skipped block).

    def _Name(self, node: P.Name) -> None:
        self.names_in(self.span(node.start, node.end))

    def _Member(self, node: P.Member) -> None:
        self.name_at(self.at(node.end) - 1)

    def _Method(self, node: P.Method) -> None:
        for i in self.own(node, node.annotations + node.params + [node.return_type] + node.body):
            if self.toks[i].kind == "KEYWORD" and self.toks[i].canonical == "METHOD":
                self.name_at(self.next_code(i))
                return

    def _Param(self, node: P.Param) -> None:
        self.names_in(self.own(node, node.annotations + [node.type, node.default]))

    def _ObjectField(self, node: P.ObjectField, module_level: bool) -> None:
        i = self.after_annotations(node)
        if not module_level:
            required = self.toks[i].canonical == "REQ"
            if required:
                i = self.next_code(i)
            i = self.next_code(i)  # the kind keyword
            if not required and self.toks[i].canonical == "REQ":
                i = self.next_code(i)
        else:
            i = self.next_code(i)
        self.name_at(i)

    def _Structure(self, node: Any) -> None:
        self.name_at(self.next_code(self.after_annotations(node)))

    _Enum = _Structure

    def _EnumItem(self, node: P.EnumItem) -> None:
        self.name_at(self.at(node.start))

    def _Import(self, node: P.Import) -> None:
        self.names_in(list(self.span(node.start, node.end))[1:])

    def _Annotation(self, node: P.Annotation) -> None:
        self.names_in(self.own(node, [a for a in node.args if a is not None]))

    def _VarDecl(self, node: P.VarDecl) -> None:
        self.name_at(self.next_code(self.at(node.start)))

    def _ForEach(self, node: Any) -> None:
        self.name_at(self.next_code(self.at(node.start)))

    _ForTo = _ForEach

    def _Try(self, node: P.Try) -> None:
        children = list(node.body) + [c[1] for c in node.catches] + [s for c in node.catches for s in c[2]]
        for i in self.own(node, children + list(node.finally_body or ())):
            if self.toks[i].kind == "KEYWORD" and self.toks[i].canonical == "CATCH":
                self.name_at(self.next_code(i))

    def _CallArg(self, node: P.CallArg) -> None:
        if node.name is not None:
            self.name_at(self.at(node.start))

    def _TypeRef(self, node: P.TypeRef) -> None:
        self.names_in(self.span(node.start, node.end))

    def _MethodRef(self, node: P.MethodRef) -> None:
        span = list(self.span(node.start, node.end))[1:]  # after the "&"
        if span and self.toks[span[0]].canonical in _REFERENCE_HEADS:
            span = span[1:]
        self.names_in(span)

    def _Literal(self, node: P.Literal) -> None:
        span = self.span(node.start, node.end)
        if node.kind == "TYPE":
            self.names_in(list(span)[1:])
        elif node.kind == "RESOLVABLE":
            self.name_at(span[0])
            self.untouched.update(span[1:])
        elif node.kind == "QUERY":
            self.untouched.update(span[1:])


# ---------------------------------------------------------------- translating


class _Translation:
    def __init__(self, text: str, target: str, module: P.Module, prefix: int = 0) -> None:
        self.text, self.target, self.module, self.prefix = text, target, module, prefix

    def run(self) -> tuple[list[tuple[int, int, str]], list[tuple[int, str, dict[str, object]]]]:
        """Edits and refused places, in offsets of the text (after the prefix
        for a fragment)."""
        toks = _lexer.tokenize(self.text)
        roles = _Roles(toks, self.module)
        by_form, back = _spellings()
        edits: list[tuple[int, int, str]] = []
        problems: list[tuple[int, str, dict[str, object]]] = []
        base = self.prefix
        for i, tok in enumerate(toks):
            if tok.start < base or i in roles.untouched:
                continue
            if tok.kind == "KEYWORD" and i not in roles.names:
                keyword, lang, capital = by_form[tok.value]
                if lang == self.target:
                    continue
                form = back.get((keyword, self.target, capital))
                if form is None:
                    problems.append((tok.start - base, "rewrite.no-form", {"word": tok.value, "lang": self.target}))
                else:
                    edits.append((tok.start - base, tok.end - base, form))
            elif tok.kind == "STRING":
                for start, code in _interpolations(tok.value):
                    inner_edits, inner_problems = _fragment(code, self.target)
                    at = tok.start - base + start
                    edits.extend((at + s, at + e, r) for s, e, r in inner_edits)
                    problems.extend((at + p, k, f) for p, k, f in inner_problems)
        if not base:
            edits.extend(self._directives(toks, roles))
        return edits, problems

    def _directives(self, toks: list[Any], roles: _Roles) -> list[tuple[int, int, str]]:
        """``#язык ru`` / ``#lang en`` naming the target in its own spelling."""
        edits = []
        words = set(DIRECTIVE_WORDS.values())
        for i in roles.directives:
            word, code = toks[i + 1], toks[i + 2]
            if word.line != toks[i].line or word.value not in words:
                continue
            edits.append((word.start, word.end, DIRECTIVE_WORDS[self.target]))
            if code.line == word.line and code.kind == "IDENT":
                edits.append((code.start, code.end, self.target))
        return edits


def _interpolations(value: str) -> list[tuple[int, str]]:
    """(offset in the token, code) of each interpolation ("${...}" or
    "%{...}") of a string literal token, read as the lexer reads them."""
    out = []
    j, n = 1, len(value)
    while j < n:
        c = value[j]
        if c == "\\":
            j += 2
        elif c == '"':
            break
        elif (c == "$" or c == "%") and j + 1 < n and value[j + 1] == "{":
            end = _lexer._skip_interpolation(value, j + 2)
            out.append((j + 2, value[j + 2:end - 1]))
            j = end
        else:
            j += 1
    return out


def _wrapper() -> str:
    """What an interpolation's code is parsed after: a module constant."""
    back = _spellings()[1]
    return (back.get(("VAL", "en", False)) or back[("VAL", "ru", False)]) + " _ = "


def _parse_fragment(code: str) -> tuple[str, P.Module | None]:
    """The code wrapped into a module, and its tree when it parses cleanly."""
    wrapped = _wrapper() + code + "\n"
    try:
        module, errors = P.parse_text(wrapped)
    except RecursionError:
        return wrapped, None
    return wrapped, (None if errors else module)


def _fragment(code: str, target: str) -> tuple[list[tuple[int, int, str]], list[tuple[int, str, dict[str, object]]]]:
    wrapped, module = _parse_fragment(code)
    prefix = len(_wrapper())
    if module is None:
        words = [t for t in _lexer.tokenize(code) if t.kind == "KEYWORD"
                 and _spellings()[0][t.value][1] != target]
        if words:
            return [], [(words[0].start, "rewrite.unreadable-interpolation", {"word": words[0].value})]
        return [], []
    return _Translation(wrapped, target, module, prefix).run()


# ---------------------------------------------------------------- the check


def _verify(text: str, module: P.Module, new: str) -> None:
    new_module, errors = P.parse_text(new)
    if errors:
        # Translation keeps every line, so the line of the new text names the place.
        line, col = _lexer._LineMap(new).linecol(errors[0].start)
        starts = _lexer._line_starts(text)
        raise TranslationRefused([(starts[line - 1] + col - 1, "rewrite.reads-differently", {})])
    places = tree_differences(module, new_module, _normalised)
    if places:
        raise TranslationRefused([(p, "rewrite.reads-differently", {}) for p in places])


def _normalised(record: Any, field: str, value: Any) -> Any:
    """A field's value with the spellings of keywords that can never be names
    replaced by the keyword (operators, literal keywords, keyword types such
    as ``void`` or ``undefined``, a member named by ``new``); a string literal
    by the meaning of its interpolations. A keyword spelling that can be a
    name is compared as written."""
    cls = type(record)
    if field == "op" and (cls is P.Binary or cls is P.Unary):
        return _canonical(value)
    if cls is P.Literal and field == "text":
        if record.kind in ("TRUE", "FALSE", "UNDEFINED"):
            return record.kind
        if record.kind == "STRING" and ("${" in value or "%{" in value):
            return _string_meaning(value)
        return value
    if cls is P.Member and field == "name":
        return _keywords_in(value, False)
    if cls is P.TypeRef and field == "names":
        return [_keywords_in(v, False) for v in value]
    if cls is P.TypeRef and field == "text":
        return _keywords_in(value, False)
    if cls is P.MethodRef and field == "text":
        return _keywords_in(value, True)
    return value


def _keywords_in(text: str, reference: bool) -> str:
    """`text` (a name, a type or a method reference) with each keyword that
    cannot be a name there written as its canonical name in angle quotes."""
    toks = _lexer.tokenize(text)
    if not any(t.kind == "KEYWORD" for t in toks):
        return text
    out = []
    for n, t in enumerate(toks[:-1]):
        head = reference and n == 0 and t.canonical in _REFERENCE_HEADS
        if t.kind == "KEYWORD" and (head or not _nameable(t.kind, t.value, t.canonical)):
            out.append("\u00ab" + _canonical(t.value) + "\u00bb")
        else:
            out.append(t.value)
    return "".join(out)


@functools.lru_cache(maxsize=4096)  # nested interpolations would recompute every inner string
def _string_meaning(value: str) -> tuple[Any, ...]:
    """The literal parts of a string token and, for each interpolation whose
    code parses, that code's tree (positions aside, keywords normalised)."""
    parts: list[Any] = []
    pos = 0
    for start, code in _interpolations(value):
        parts.append(value[pos:start])
        _, module = _parse_fragment(code)
        parts.append(code if module is None else _shape(module))
        pos = start + len(code)
    parts.append(value[pos:])
    return tuple(parts)


def _shape(node: Any) -> tuple[Any, ...]:
    """A record's fields in preorder, positions left out and values
    normalised: equal exactly when the trees read the same."""
    out: list[Any] = []
    todo: list[Any] = [(None, None, node)]
    while todo:
        owner, field, value = todo.pop()
        if isinstance(value, P.Node):
            out.append(type(value).__name__)
            names = [f for f in type(value).__match_args__ if f not in ("start", "end")]
            todo.extend((value, f, getattr(value, f)) for f in reversed(names))
            continue
        if field is not None:
            if isinstance(value, str):
                out.append(_normalised(owner, field, value))  # a string's meaning stays one element
                continue
            value = _normalised(owner, field, value)
        if isinstance(value, (list, tuple)):
            out.append(("[", len(value)))
            todo.extend((owner, None, v) for v in reversed(value))
        else:
            out.append(value)
    return tuple(out)
