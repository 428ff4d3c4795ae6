"""What the language server knows about one version of a document, as plain
data in code points: diagnostics, outline, folding, selection ranges, hover,
completion and renaming. No protocol types here; the server converts at the
edge.
"""
from __future__ import annotations

import bisect
import re
from collections.abc import Generator, Iterator
from dataclasses import dataclass, field
from functools import cached_property
from typing import Any, NamedTuple

from tarn import _check, i18n, names as N
from tarn import parser as P
from tarn import rewrite, tree
from tarn.fmt import changed_span, minimal_edits
from tarn.translate import LANGUAGES, translate_text
from tarn.lexer import Token, _keyword_forms, _line_starts, tokens as _tokens, tokenize

MESSAGES = {
    "lsp.module-method": {"ru": "метод модуля", "en": "module method"},
    "lsp.method-of": {"ru": "метод {owner}", "en": "method of {owner}"},
    "lsp.constant": {"ru": "константа модуля", "en": "module constant"},
    "lsp.field-of": {"ru": "поле {owner}", "en": "field of {owner}"},
    "lsp.item-of": {"ru": "значение перечисления {owner}", "en": "value of the enum {owner}"},
    "lsp.parameter-of": {"ru": "параметр метода {owner}", "en": "parameter of the method {owner}"},
    "lsp.lambda-parameter": {"ru": "параметр лямбды", "en": "lambda parameter"},
    "lsp.local": {"ru": "локальная переменная", "en": "local variable"},
    "lsp.loop": {"ru": "переменная цикла", "en": "loop variable"},
    "lsp.catch": {"ru": "переменная исключения", "en": "exception variable"},
    "lsp.structure": {"ru": "структура", "en": "structure"},
    "lsp.exception": {"ru": "исключение", "en": "exception"},
    "lsp.enum": {"ru": "перечисление", "en": "enum"},
    "lsp.rename-nothing": {"ru": "Здесь нет имени, которое можно переименовать", "en": "There is no name to rename here"},
    "lsp.rename-keyword": {"ru": "Ключевое слово нельзя переименовать", "en": "A keyword cannot be renamed"},
    "lsp.rename-literal": {"ru": "Литерал нельзя переименовать", "en": "A literal cannot be renamed"},
    "lsp.rename-unresolved": {
        "ru": "Не удаётся точно определить, к чему относится «{name}», поэтому имя не переименовано",
        "en": "It is not certain what '{name}' refers to, so it was not renamed",
    },
    "lsp.rename-invalid": {
        "ru": "«{name}» не годится: нужен идентификатор, который не является ключевым словом",
        "en": "'{name}' cannot be used: a name must be an identifier that is not a keyword",
    },
    "lsp.rename-unreadable": {
        "ru": "«{name}» встречается в коде, который не удалось разобрать (строка {line}), поэтому имя не переименовано",
        "en": "'{name}' occurs in code that could not be read (line {line}), so nothing was renamed",
    },
    "lsp.rename-conflict": {
        "ru": "После переименования в «{name}» изменилось бы, к чему относится имя в строке {line}; ничего не переименовано",
        "en": "Renaming to '{name}' would change what the name on line {line} refers to; nothing was renamed",
    },
    "lsp.translate-en": {"ru": "перевести ключевые слова на английский", "en": "translate keywords to English"},
    "lsp.translate-ru": {"ru": "перевести ключевые слова на русский", "en": "translate keywords to Russian"},
    "lsp.too-deep": {
        "ru": "Документ вложен слишком глубоко, имена в нём не разобраны",
        "en": "The document is nested too deeply for its names to be read",
    },
}
i18n.register(MESSAGES)


# ---------------------------------------------------------------- records


@dataclass(frozen=True)
class Related:
    start: int
    end: int
    message: str


@dataclass(frozen=True)
class Diagnostic:
    start: int
    end: int
    key: str
    message: str
    related: tuple[Related, ...] = ()


@dataclass
class Symbol:
    name: str
    kind: str  # "import", "method", "structure", "exception", "enum", "field", "constant", "item", "constructor"
    detail: str
    start: int
    end: int
    name_start: int
    name_end: int
    children: list[Symbol] = field(default_factory=list)


class Fold(NamedTuple):
    start_line: int  # 0-based
    end_line: int
    kind: str | None = None  # "comment", "imports" or None (a region)


@dataclass(frozen=True)
class HoverInfo:
    start: int
    end: int
    signature: str
    description: str
    documentation: str


@dataclass(frozen=True)
class Completion:
    label: str
    kind: str  # "keyword" or a declaration kind of tarn.names
    detail: str = ""


class Refusal(Exception):
    """A request that cannot be answered as asked; the text is for the user."""


# ---------------------------------------------------------------- diagnostics


def group_diagnostics(entries: list[tuple[int, int, str, str]]) -> list[Diagnostic]:
    """One diagnostic per start offset: the first reported there, with the
    rest of a recovery cascade at the same place as related information."""
    grouped: list[Diagnostic] = []
    first_at: dict[int, int] = {}
    for start, end, key, message in entries:
        index = first_at.get(start)
        if index is None:
            first_at[start] = len(grouped)
            grouped.append(Diagnostic(start, end, key, message))
        else:
            head = grouped[index]
            grouped[index] = Diagnostic(head.start, head.end, head.key, head.message,
                                        head.related + (Related(start, end, message),))
    return grouped


# ---------------------------------------------------------------- the document


class _Source:
    __slots__ = ("text", "cache")

    def __init__(self, text: str):
        self.text = text
        self.cache: dict[str, Any] = {}


class Analysis:
    """One version of a document. Everything is computed on first use and kept."""

    def __init__(self, text: str):
        self.text = text
        self._source = _Source(text)
        self.cache: dict[Any, Any] = {}  # results of the layers above, for this version

    @cached_property
    def starts(self) -> list[int]:
        return _line_starts(self.text)

    @cached_property
    def tokens(self) -> list[Token]:
        return _tokens(self._source)

    @cached_property
    def code_tokens(self) -> list[Token]:
        return [t for t in self.tokens if t.kind not in ("COMMENT", "BOM")]

    @cached_property
    def _code_starts(self) -> list[int]:
        return [t.start for t in self.code_tokens]

    @cached_property
    def module(self) -> Any | None:
        """The tree, or None for a document nested past the parser's bound."""
        self.tokens
        try:
            module, _ = P.parse(self._source)
        except RecursionError:
            return None
        return module

    @property
    def names(self) -> N.Names | None:
        while not self._resolve_step():
            pass
        return self._names

    _names: N.Names | None
    _resolving: Any = None

    def _resolve_step(self) -> bool:
        """One bounded step of resolving; True once the names are known."""
        if "_names" in self.__dict__:
            return True
        if self.module is None:
            self._names = None
            return True
        if self._resolving is None:
            self._resolving = N.resolving(self.text, self.tokens, self.module)
        try:
            next(self._resolving)
        except StopIteration as done:
            self._names = done.value
        except RecursionError:
            self._names = None
        else:
            return False
        self._resolving = None
        return True

    def names_at(self, offset: int) -> N.Names | None:
        """Names enough to answer for ``offset``: all of them when already
        known, else those of the module member there (and the module's own)."""
        return _drain(self.names_at_steps(offset))

    def names_at_steps(self, offset: int) -> Generator[None, None, N.Names | None]:
        if "_names" in self.__dict__ or self.module is None:
            while not self._resolve_step():
                yield
            return self._names
        members = self.module.members
        i = bisect.bisect_right([m.start for m in members], offset) - 1
        within = (members[i].start, members[i].end) if i >= 0 and offset <= members[i].end else (offset, offset)
        key = ("names at", within)
        if key not in self.cache:
            try:
                self.cache[key] = yield from N.resolving(self.text, self.tokens, self.module, within)
            except RecursionError:
                self.cache[key] = None
        return self.cache[key]

    def warm(self) -> Iterator[None]:
        """Computes what requests will need, in bounded steps."""
        self.tokens
        yield
        self.module
        yield
        while not self._resolve_step():
            yield

    @cached_property
    def diagnostics(self) -> list[Diagnostic]:
        return group_diagnostics(_check.diagnostics(self.text))

    # ------------------------------------------------------------ helpers

    def token_at(self, offset: int) -> Token | None:
        """The code token containing ``offset``, or ending right at it."""
        toks = self.code_tokens
        i = bisect.bisect_right(self._code_starts, offset) - 1
        if i >= 0 and toks[i].start <= offset <= toks[i].end and toks[i].kind != "EOF":
            if offset == toks[i].end and i + 1 < len(toks) and toks[i + 1].start == offset and toks[i + 1].kind in ("IDENT", "KEYWORD"):
                return toks[i + 1]
            return toks[i]
        return None

    def _slice(self, start: int, end: int) -> str:
        return " ".join(self.text[start:end].split()).replace("( ", "(").replace(" )", ")")

    def _line(self, offset: int) -> int:
        return bisect.bisect_right(self.starts, offset) - 1

    # ------------------------------------------------------------ outline

    def symbols(self) -> list[Symbol]:
        module = self.module
        if module is None:
            return []
        found = [self._import_symbol(imp) for imp in module.imports]
        found.extend(s for s in (self._member_symbol(m) for m in module.members) if s is not None)
        found.sort(key=lambda s: s.start)
        return found

    def _import_symbol(self, node: Any) -> Symbol:
        i = bisect.bisect_left(self._code_starts, node.start) + 1
        name_start = self.code_tokens[i].start if i < len(self.code_tokens) and node.name else node.start
        return Symbol(node.name or "?", "import", "", node.start, node.end, min(name_start, node.end), node.end)

    def _member_symbol(self, node: Any, container: Any = None) -> Symbol | None:
        decl = self._decl_for(node)
        name_start, name_end = (decl.start, decl.end) if decl is not None and decl.located else (node.start, node.start)
        kind_of = type(node)
        if kind_of is P.Method:
            symbol = Symbol(node.name, "method", self._method_detail(node), node.start, node.end, name_start, name_end)
        elif kind_of is P.Structure:
            symbol = Symbol(node.name, "exception" if node.kind == "EXCEPTION" else "structure", "",
                            node.start, node.end, name_start, name_end)
            symbol.children = [s for s in (self._member_symbol(m, node) for m in node.members) if s is not None]
        elif kind_of is P.Enum:
            symbol = Symbol(node.name, "enum", "", node.start, node.end, name_start, name_end)
            for item in node.items:
                symbol.children.append(Symbol(item.name, "item", "", item.start, item.end, item.start, item.start + len(item.name)))
            symbol.children.extend(self._member_symbol(m, node) for m in node.methods)  # type: ignore[misc]
            symbol.children.sort(key=lambda s: s.start)
        elif kind_of is P.ObjectField:
            detail = node.type.text if node.type is not None else ""
            symbol = Symbol(node.name, "field" if container is not None else "constant", detail,
                            node.start, node.end, name_start, name_end)
        elif kind_of is P.Constructor:
            keyword = self.token_at(node.start)
            symbol = Symbol(keyword.value if keyword else "constructor", "constructor", "",
                            node.start, node.end, node.start, node.end)
        else:
            return None
        if not symbol.name:
            symbol.name = "?"
        return symbol

    @cached_property
    def _members(self) -> dict[int, N.Declaration]:
        if "_names" in self.__dict__ and self.names is not None:  # already resolved
            return self.names.by_node
        return N.member_declarations(self.text, self.tokens, self.module)

    def _decl_for(self, node: Any) -> N.Declaration | None:
        return self._members.get(id(node))

    @staticmethod
    def _method_detail(node: Any) -> str:
        params = ", ".join(p.name + (": " + p.type.text if p.type is not None else "") for p in node.params)
        result = ": " + node.return_type.text if node.return_type is not None else ""
        return f"({params}){result}"

    # ------------------------------------------------------------ folding

    def folding(self) -> list[Fold]:
        folds: list[Fold] = []
        self._comment_folds(folds)
        module = self.module
        if module is None:
            return folds
        imports = module.imports
        run_start = None
        for i, imp in enumerate(imports):
            if run_start is None:
                run_start = imp
            nxt = imports[i + 1] if i + 1 < len(imports) else None
            if nxt is None or self._line(nxt.start) > self._line(imp.end) + 1:
                self._fold(folds, run_start.start, imp.end, "imports")
                run_start = None
        # Declarations and statements are walked; an expression only when it
        # holds a block lambda ("метод(...) ->"), whose body folds too.
        toks = self.code_tokens
        lambdas = [t.start for i, t in enumerate(toks[:-1])
                   if t.canonical == "METHOD" and toks[i + 1].value == "(" and toks[i + 1].kind == "OP"]
        stack: list[Any] = list(module.members)
        while stack:
            node = stack.pop()
            kind_of = type(node)
            if kind_of in _DECLARATION_FOLDS or kind_of is P.Lambda:
                self._fold(folds, node.start, node.end, None, closed=kind_of is not P.ObjectField)
            elif kind_of in _BLOCK_FOLDS:
                self._block_folds(node, folds)
            for child in tree.iter_child_nodes(node):
                if isinstance(child, (P.Stmt, P.Method, P.Structure, P.Enum, P.ObjectField, P.CaseWhen)):
                    stack.append(child)
                elif bisect.bisect_left(lambdas, child.start) < bisect.bisect_left(lambdas, child.end):
                    stack.extend(n for n in tree.walk(child) if type(n) is P.Lambda and n.body_stmts is not None)
        # Editors keep one fold per first line: the innermost (a branch of an
        # "if" rather than the whole statement).
        best: dict[int, Fold] = {}
        for fold in folds:
            if fold.start_line not in best or fold.end_line < best[fold.start_line].end_line:
                best[fold.start_line] = fold
        return sorted(best.values(), key=lambda f: f.start_line)

    def _fold(self, folds: list[Fold], start: int, end: int, kind: str | None, closed: bool = False) -> None:
        first = self._line(start)
        last = self._line(max(start, end - 1))
        # Keep a closing ";" that stands on a line of its own visible.
        if closed and end > start and self.text[end - 1] == ";" and not self.text[self.starts[last]:end - 1].strip():
            last -= 1
        if last > first:
            folds.append(Fold(first, last, kind))

    def _comment_folds(self, folds: list[Fold]) -> None:
        run: list[Token] = []
        for tok in self.tokens:
            if tok.kind != "COMMENT":
                continue
            if tok.subkind != "line":
                self._fold(folds, tok.start, tok.end, "comment")
                continue
            if run and tok.line == run[-1].line + 1:
                run.append(tok)
                continue
            if len(run) > 1:
                self._fold(folds, run[0].start, run[-1].end, "comment")
            run = [tok]
        if len(run) > 1:
            self._fold(folds, run[0].start, run[-1].end, "comment")

    def _block_folds(self, node: Any, folds: list[Fold]) -> None:
        """A fold per part of a compound statement: each branch from its
        keyword to the line before the next branch, the last to the ";"."""
        marks = [t.start for t in self._own_tokens(node) if t.canonical in _BRANCH_KEYWORDS]
        if type(node) is P.Case:
            marks.extend(when.start for when in node.whens)
        self._fold(folds, node.start, node.end, None, closed=True)
        bounds = [node.start]
        for mark in sorted(marks):
            if mark > node.start and self._line(mark) > self._line(bounds[-1]):
                bounds.append(mark)
        for i, start in enumerate(bounds):
            if i + 1 < len(bounds):
                first, last = self._line(start), self._line(bounds[i + 1]) - 1
                if last > first:
                    folds.append(Fold(first, last, None))
            else:
                self._fold(folds, start, node.end, None, closed=True)

    def _own_tokens(self, node: Any) -> list[Token]:
        """Tokens of a compound statement outside its conditions and bodies:
        its keywords, branch keywords and closing ";"."""
        inside = sorted((c.start, c.end) for c in tree.iter_child_nodes(node) if c.end > c.start)
        toks, starts = self.code_tokens, self._code_starts
        own: list[Token] = []
        cursor = node.start
        for start, end in inside + [(node.end, node.end)]:
            i = bisect.bisect_left(starts, cursor)
            while i < len(toks) and toks[i].start < min(start, node.end):
                own.append(toks[i])
                i += 1
            cursor = max(cursor, end)
        return own

    # ------------------------------------------------------------ selection

    def selection(self, offset: int) -> list[tuple[int, int]]:
        """Ranges around ``offset``, innermost first, each containing the
        previous: the token, the records around it (at most
        ``SELECTION_DEPTH`` of them, the innermost), the whole text."""
        return _drain(self.selection_steps(offset))

    def selection_steps(self, offset: int) -> Generator[None, None, list[tuple[int, int]]]:
        chain: list[tuple[int, int]] = []
        module = self.module
        if module is not None:
            node = module
            chain.append((module.start, module.end))
            while True:
                inner = None
                for child in tree.iter_child_nodes(node):
                    if child.start <= offset < child.end or (child.start == offset == child.end):
                        inner = child
                        break
                if inner is None:
                    break
                chain.append((inner.start, inner.end))
                node = inner
                if len(chain) % 4096 == 0:
                    yield  # a chain of operators can be as deep as the text is long
        tok = self.token_at(offset)
        if tok is not None:
            chain.append((tok.start, tok.end))
        del chain[:-SELECTION_DEPTH]
        chain.reverse()
        chain.append((0, len(self.text)))
        # widened where needed so that each range contains the one before
        result: list[tuple[int, int]] = []
        for start, end in chain:
            if result:
                start, end = min(start, result[-1][0]), max(end, result[-1][1])
                if (start, end) == result[-1]:
                    continue
            result.append((start, end))
        return result

    # ------------------------------------------------------------ names

    def occurrence(self, offset: int) -> N.Occurrence | None:
        names = self.names_at(offset)
        return names.at(offset) if names is not None else None

    def definition(self, offset: int) -> N.Declaration | None:
        occ = self.occurrence(offset)
        return occ.declaration if occ is not None else None

    def references(self, offset: int, include_declaration: bool = True) -> list[N.Occurrence]:
        occ = self.names.at(offset) if self.names is not None else None
        if occ is None or occ.declaration is None or self.names is None:
            return []
        found = self.names.references(occ.declaration)
        if not include_declaration:
            found = [o for o in found if o.role != N.DECLARATION]
        return found

    def hover(self, offset: int) -> HoverInfo | None:
        occ = self.occurrence(offset)
        if occ is None or occ.declaration is None:
            return None
        decl = occ.declaration
        return HoverInfo(occ.start, occ.end, self._signature(decl), self._describe(decl), self._documentation(decl))

    def _signature(self, decl: N.Declaration) -> str:
        node = decl.node
        kind = decl.kind
        if kind == N.METHOD:
            lo = node.annotations[-1].end if node.annotations else node.start
            return self._slice(self._first_token(lo), self._method_header_end(node, decl))
        if kind in (N.STRUCTURE, N.EXCEPTION, N.ENUM, N.ITEM) and decl.located:
            lo = node.annotations[-1].end if getattr(node, "annotations", None) else node.start
            text = self._slice(self._first_token(lo), decl.end)
            if kind == N.ITEM and decl.container is not None:
                text = f"{decl.container.name}.{decl.name}"
            return text
        if kind in (N.FIELD, N.CONSTANT):
            lo = node.annotations[-1].end if node.annotations else node.start
            end = node.type.end if node.type is not None else decl.end
            return self._slice(self._first_token(lo), max(end, decl.end))
        if kind == N.PARAMETER:
            end = node.type.end if node.type is not None else decl.end
            return self._slice(decl.start, max(end, decl.end))
        if kind in (N.VARIABLE, N.VALUE, N.USE):
            end = node.type.end if node.type is not None else decl.end
            return self._slice(node.start, max(end, decl.end))
        if kind == N.LOOP:
            return self._slice(node.start, decl.end)
        if kind == N.CATCH:
            for name, type_ref, _ in node.catches:
                if name == decl.name and type_ref is not None and type_ref.start >= decl.end:
                    return self._slice(self._token_before(decl.start), type_ref.end)
            return self._slice(self._token_before(decl.start), decl.end)
        return decl.name

    def _first_token(self, offset: int) -> int:
        i = bisect.bisect_left(self._code_starts, offset)
        return self.code_tokens[i].start if i < len(self.code_tokens) else offset

    def _token_before(self, offset: int) -> int:
        i = bisect.bisect_left(self._code_starts, offset) - 1
        return self.code_tokens[i].start if i >= 0 else offset

    def _method_header_end(self, node: Any, decl: N.Declaration) -> int:
        if node.return_type is not None:
            return node.return_type.end
        i = bisect.bisect_left(self._code_starts, decl.end)
        toks, depth = self.code_tokens, 0
        while i < len(toks) and toks[i].start < node.end:
            if toks[i].value == "(" and toks[i].kind == "OP":
                depth += 1
            elif toks[i].value == ")" and toks[i].kind == "OP":
                depth -= 1
                if depth <= 0:
                    return toks[i].end
            i += 1
        return decl.end

    def _describe(self, decl: N.Declaration) -> str:
        kind = decl.kind
        owner = decl.container.name if decl.container is not None else ""
        if kind == N.PARAMETER:
            if decl.container is not None and decl.node in getattr(decl.container.node, "params", ()):
                return i18n.t("lsp.parameter-of", owner=owner)
            return i18n.t("lsp.lambda-parameter")
        if kind == N.METHOD:
            return i18n.t("lsp.method-of", owner=owner) if owner else i18n.t("lsp.module-method")
        if kind == N.FIELD:
            return i18n.t("lsp.field-of", owner=owner)
        if kind == N.ITEM:
            return i18n.t("lsp.item-of", owner=owner)
        simple = {
            N.CONSTANT: "lsp.constant", N.VARIABLE: "lsp.local", N.VALUE: "lsp.local", N.USE: "lsp.local",
            N.LOOP: "lsp.loop", N.CATCH: "lsp.catch", N.STRUCTURE: "lsp.structure",
            N.EXCEPTION: "lsp.exception", N.ENUM: "lsp.enum",
        }
        return i18n.t(simple[kind]) if kind in simple else ""

    def _documentation(self, decl: N.Declaration) -> str:
        """The documentation comment right before the declaration."""
        node = decl.node
        if decl.kind in N.LOCAL_KINDS:
            return ""
        start = node.start
        toks = self.tokens
        i = self._token_index(start) - 1
        if i >= 0 and toks[i].kind == "COMMENT" and toks[i].subkind == "doc":
            return _doc_text(toks[i].value)
        return ""

    def _token_index(self, offset: int) -> int:
        starts = getattr(self, "_all_starts", None)
        if starts is None:
            starts = self._all_starts = [t.start for t in self.tokens]
        return bisect.bisect_left(starts, offset)

    # ------------------------------------------------------------ completion

    @cached_property
    def keyword_language(self) -> str:
        """"ru" or "en": the directive line ("#язык ru", "#lang en") when the
        file has one, else the language most of its keywords are written in."""
        toks = self.code_tokens
        for i, tok in enumerate(toks):
            if tok.kind == "OP" and tok.value == "#" and i + 2 < len(toks):
                word, value = toks[i + 1], toks[i + 2]
                if word.line == value.line == tok.line and word.value in ("язык", "lang") and value.value in ("ru", "en"):
                    return value.value
        english = sum(1 for t in toks if t.kind == "KEYWORD" and t.value.isascii())
        russian = sum(1 for t in toks if t.kind == "KEYWORD") - english
        return "en" if english > russian else "ru"

    def completion(self, offset: int) -> list[Completion]:
        tok = self.token_at(offset)
        names = self.names_at(offset)
        if tok is not None and tok.start < offset < tok.end and tok.kind in ("STRING", "PATTERN", "NUMBER"):
            if names is None or not any(s <= offset <= e for s, e in names.interpolations):
                return []
            return [Completion(d.name, d.kind, self._describe(d)) for d in names.visible(offset)]
        if any(t.kind == "COMMENT" and t.start < offset < t.end + (t.subkind == "line") for t in self._comments_near(offset)):
            return []
        i = bisect.bisect_left(self._code_starts, offset) - 1
        toks = self.code_tokens
        if i >= 0 and toks[i].end == offset and toks[i].kind in ("IDENT", "KEYWORD"):
            i -= 1  # the word being typed
        if i >= 0 and toks[i].kind == "OP" and toks[i].value in (".", "?."):
            return self._member_completion(i)
        items = [Completion(form, "keyword") for form in keyword_forms(self.keyword_language)]
        if names is not None:
            items.extend(Completion(d.name, d.kind, self._describe(d)) for d in names.visible(offset))
        return items

    def _comments_near(self, offset: int) -> list[Token]:
        i = self._token_index(offset)
        return [t for t in self.tokens[max(0, i - 1):i + 1] if t.kind == "COMMENT"]

    def _member_completion(self, dot: int) -> list[Completion]:
        obj = self.code_tokens[dot - 1]
        names = self.names_at(obj.start)
        if dot == 0 or names is None:
            return []
        members: dict[str, Any] | None = None
        if obj.canonical == "THIS":
            owner = _enclosing_type(names, obj.start)
            members = owner.members if owner is not None else None
        else:
            occ = names.at(obj.start)
            if occ is not None and occ.declaration is not None and occ.declaration.kind in N.TYPE_KINDS:
                members = occ.declaration.members
        if not members:
            return []
        return [Completion(name, d.kind, self._describe(d)) for name, d in members.items() if isinstance(d, N.Declaration)]

    # ------------------------------------------------------------ translation

    def translation_targets(self) -> list[str]:
        """The keyword languages worth translating to: the other one than
        the document's keywords are written in, both for a mixed document."""
        written = {"en" if t.value.isascii() else "ru" for t in self.code_tokens if t.kind == "KEYWORD"}
        return [lang for lang in LANGUAGES if written - {lang}]

    def translation(self, target: str) -> list[tuple[int, int, str]] | rewrite.Refusal:
        """Minimal edits that write the keywords in ``target``, or the
        translator's refusal (kept for this version: editors ask often)."""
        key = ("translation", target)
        if key not in self.cache:
            try:
                self.cache[key] = edits_between(self.text, translate_text(self.text, target))
            except rewrite.Refusal as refusal:
                self.cache[key] = refusal
        return self.cache[key]

    def places(self, refusal: rewrite.Refusal) -> str:
        """A rewrite's refusal as "line:column: message" per place."""
        out = []
        for offset, key, fields in refusal.places:
            offset = max(0, min(offset, len(self.text)))
            line = self._line(offset)
            out.append(f"{line + 1}:{offset - self.starts[line] + 1}: {rewrite.message(key, **fields)}")
        return "; ".join(out)

    # ------------------------------------------------------------ renaming

    def prepare_rename(self, offset: int) -> N.Occurrence:
        occ = self.occurrence(offset)
        if occ is None:
            tok = self.token_at(offset)
            if self.module is None:
                raise Refusal(i18n.t("lsp.too-deep"))
            if tok is not None and tok.kind == "KEYWORD":
                raise Refusal(i18n.t("lsp.rename-keyword"))
            if tok is not None and tok.kind in ("STRING", "PATTERN", "NUMBER"):
                raise Refusal(i18n.t("lsp.rename-literal"))
            raise Refusal(i18n.t("lsp.rename-nothing"))
        if occ.declaration is None or not occ.declaration.located:
            raise Refusal(i18n.t("lsp.rename-unresolved", name=occ.name))
        return occ

    def rename(self, offset: int, new_name: str) -> list[tuple[int, int, str]]:
        """Edits (start, end, text) that rename the name at ``offset``
        everywhere, or Refusal when that cannot be done with certainty."""
        return _drain(self.rename_steps(offset, new_name))

    def rename_steps(self, offset: int, new_name: str) -> Generator[None, None, list[tuple[int, int, str]]]:
        yield from self.warm()  # every use, not only those around the offset
        occ = self.prepare_rename(offset)
        decl = occ.declaration
        assert decl is not None and self.names is not None
        if not is_plain_name(new_name):
            raise Refusal(i18n.t("lsp.rename-invalid", name=new_name))
        if new_name == decl.name:
            return []
        for old in (decl.name, new_name):
            for start, _ in self.names.unreadable_uses(old):
                raise Refusal(i18n.t("lsp.rename-unreadable", name=old, line=self._line(start) + 1))
        sites = sorted({(o.start, o.end) for o in self.names.references(decl)})
        yield from self._check_meaning(decl, sites, new_name)
        return [(s, e, new_name) for s, e in sites]

    def _check_meaning(self, decl: N.Declaration, sites: list[tuple[int, int]], new_name: str) -> Iterator[None]:
        """Refuses a rename after which some name would refer to something else."""
        assert self.names is not None
        delta = len(new_name) - len(decl.name)
        site_starts = [s for s, _ in sites]
        parts, last = [], 0
        for s, e in sites:
            parts.append(self.text[last:s])
            parts.append(new_name)
            last = e
        parts.append(self.text[last:])
        after = Analysis("".join(parts))
        yield from after.warm()
        if after.names is None:
            raise Refusal(i18n.t("lsp.too-deep"))

        def moved(offset: int) -> int:
            return offset + delta * bisect.bisect_left(site_starts, offset)

        def key(d: N.Declaration | None, shift: bool) -> Any:
            if d is None:
                return None
            return (d.kind, moved(d.start) if shift else d.start)

        before = {moved(o.start): key(o.declaration, True) for o in self.names.occurrences}
        for occ in after.names.occurrences:
            if before.get(occ.start, "absent") != key(occ.declaration, False):
                raise Refusal(i18n.t("lsp.rename-conflict", name=new_name, line=after._line(occ.start) + 1))


# ---------------------------------------------------------------- helpers

_DECLARATION_FOLDS = (P.Method, P.Structure, P.Enum, P.ObjectField)
_BLOCK_FOLDS = (P.If, P.Case, P.While, P.ForEach, P.ForTo, P.Try, P.Scope)
_BRANCH_KEYWORDS = frozenset({"ELSE", "WHEN", "CATCH", "FINALLY"})


SELECTION_DEPTH = 100


def _drain(steps: Generator[None, None, Any]) -> Any:
    while True:
        try:
            next(steps)
        except StopIteration as done:
            return done.value


def _enclosing_type(names: N.Names, offset: int) -> N.Declaration | None:
    best = None
    for scope in names.scopes:
        if scope.kind in ("structure", "enum") and scope.start <= offset <= scope.end:
            best = scope
    return best.owner if best is not None else None


def _doc_text(comment: str) -> str:
    body = comment[3:-2] if comment.endswith("*/") else comment[3:]
    lines = [re.sub(r"^\s*\*? ?", "", line) for line in body.splitlines()]
    return "\n".join(lines).strip()


def keyword_forms(language: str) -> list[str]:
    """The first written form of every keyword in ``language`` ("ru": forms
    with letters outside ASCII, "en": ASCII forms), in the definition's order."""
    seen: dict[str, str] = {}
    for form, canonical in _keyword_forms().items():
        if (language == "en") == form.isascii():
            seen.setdefault(canonical, form)
    return list(seen.values())


def edits_between(old: str, new: str) -> list[tuple[int, int, str]]:
    """`minimal_edits` of a rewrite that keeps the tokens; should they not
    give back `new`, the one edit between the common prefix and suffix, so
    that an editor never receives edits that corrupt its text."""
    edits = minimal_edits(old, new)
    parts, last = [], 0
    for start, end, text in edits:
        parts += (old[last:start], text)
        last = end
    parts.append(old[last:])
    return edits if "".join(parts) == new else [changed_span(old, new)]


def is_plain_name(text: str) -> bool:
    toks = tokenize(text)
    return len(toks) == 2 and toks[0].kind == "IDENT" and toks[0].value == text
