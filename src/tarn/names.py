"""Names within one source file: which declaration each name refers to.

``resolve(text)`` walks the syntax tree once and returns a ``Names`` table of
every occurrence of a name (declarations and uses) with the declaration it
refers to, or none when the name cannot be placed with certainty. Offsets are
code points, as everywhere in tarn. The rules are written down in the README
("Names within a file").

    from tarn.names import resolve
    names = resolve(text)
    occ = names.at(offset)              # the name at (or just before) offset
    occ.declaration                     # a Declaration, or None
    names.references(occ.declaration)   # every occurrence, the declaration's own included
    names.visible(offset)               # declarations in scope at offset
"""
from __future__ import annotations

import bisect
import operator
import re
from collections.abc import Generator, Iterable, Iterator, Sequence
from dataclasses import dataclass, field
from typing import Any, Callable

from tarn import parser as P
from tarn import tree
from tarn.lexer import Token, _skip_interpolation, tokenize

__all__ = ["Declaration", "Names", "Occurrence", "Scope", "resolve"]

# Declaration kinds.
PARAMETER = "parameter"
VARIABLE = "variable"  # VAR
VALUE = "value"  # VAL
USE = "use"  # USE name = ...
LOOP = "loop"  # loop variable
CATCH = "catch"  # exception variable
METHOD = "method"
CONSTANT = "constant"  # module-level VAL / VAR / USE / CONST
FIELD = "field"
STRUCTURE = "structure"
EXCEPTION = "exception"
ENUM = "enum"
ITEM = "item"

LOCAL_KINDS = frozenset({PARAMETER, VARIABLE, VALUE, USE, LOOP, CATCH})
TYPE_KINDS = frozenset({STRUCTURE, EXCEPTION, ENUM})

# Occurrence roles.
DECLARATION = "declaration"
READ = "read"
WRITE = "write"  # assignment target
TYPE_USE = "type"  # a name inside a type
MEMBER = "member"  # name after "." (resolved only through THIS or a module type)
ARGUMENT = "argument"  # name of a named call argument
CALL = "call"  # the name or member that is called
IMPORT = "import"  # a part of an imported path

# Interpolations nested deeper than this are not read (each level re-reads
# the text of the levels inside it).
MAX_INTERPOLATION_DEPTH = 16
_WRAP_BEFORE = "метод _()\n"
_WRAP_AFTER = "\n;"
_VAR_KINDS = {"VAR": VARIABLE, "VAL": VALUE, "USE": USE}
_CLOSERS = frozenset({")", "]", "}", ",", ";"})


@dataclass(eq=False, slots=True)
class Declaration:
    """A declared name. ``start``/``end`` span the name where it is written
    (both are ``node.start`` when the name could not be found in the text)."""

    name: str
    kind: str
    start: int
    end: int
    node: Any
    container: Declaration | None = None  # the method, structure or enum it belongs to
    visible_from: int = 0
    members: dict[str, Any] | None = None  # structures and enums: member name -> Declaration

    @property
    def located(self) -> bool:
        return self.end > self.start

    def __repr__(self) -> str:
        return f"<Declaration {self.kind} {self.name!r} {self.start}:{self.end}>"


@dataclass(eq=False, slots=True)
class Occurrence:
    start: int
    end: int
    name: str
    role: str
    declaration: Declaration | None

    def __repr__(self) -> str:
        target = f" -> {self.declaration!r}" if self.declaration else ""
        return f"<Occurrence {self.role} {self.name!r} {self.start}:{self.end}{target}>"


_AMBIGUOUS: Any = object()  # two declarations of one name in one scope


class Scope:
    """One level of names: the module, a structure or enum, a method, a lambda,
    a loop or catch variable, or a block of statements."""

    __slots__ = ("kind", "parent", "start", "end", "names", "pending", "owner")

    def __init__(self, kind: str, parent: Scope | None, start: int, end: int, owner: Declaration | None = None):
        self.kind = kind
        self.parent = parent
        self.start = start
        self.end = end
        self.names: dict[str, Any] = {}
        # Block scopes: names declared further down the block, not visible yet.
        self.pending: set[str] = set()
        self.owner = owner

    def add(self, decl: Declaration) -> None:
        self.names[decl.name] = _AMBIGUOUS if decl.name in self.names else decl

    def lookup(self, name: str) -> Declaration | None:
        scope: Scope | None = self
        while scope is not None:
            found = scope.names.get(name)
            if found is not None:
                return None if found is _AMBIGUOUS else found
            if name in scope.pending:
                return None  # used before its declaration in this block: not certain
            scope = scope.parent
        return None

    def members_scope(self) -> Scope | None:
        """The structure or enum whose method this scope lies in."""
        scope: Scope | None = self
        while scope is not None:
            if scope.kind in ("structure", "enum"):
                return scope
            scope = scope.parent
        return None


class Names:
    """The result of ``resolve``: occurrences sorted by offset."""

    def __init__(self) -> None:
        self.declarations: list[Declaration] = []
        self.occurrences: list[Occurrence] = []
        self.scopes: list[Scope] = []
        # Spans of code that was not read (interpolations it could not parse,
        # query and resolvable blocks), with the name-like words inside them.
        self.unreadable: list[tuple[int, int, frozenset[str]]] = []
        # Interpolations that were read, and the tokens of their code.
        self.interpolations: list[tuple[int, int]] = []
        self.inner_tokens: list[Token] = []
        self.imported: set[str] = set()  # last parts of the imported paths
        # Declarations of members and parameters by ``id`` of their record.
        self.by_node: dict[int, Declaration] = {}
        self._starts: list[int] = []
        self._by_decl: dict[int, list[Occurrence]] = {}

    def _finish(self) -> None:
        self.occurrences.sort(key=lambda o: o.start)
        self._starts = [o.start for o in self.occurrences]
        for occ in self.occurrences:
            if occ.declaration is not None:
                self._by_decl.setdefault(id(occ.declaration), []).append(occ)

    def at(self, offset: int) -> Occurrence | None:
        """The occurrence that contains ``offset`` or ends right at it."""
        i = bisect.bisect_right(self._starts, offset) - 1
        if i < 0:
            return None
        occ = self.occurrences[i]
        if occ.start <= offset <= occ.end and occ.end > occ.start:
            return occ
        return None

    def references(self, decl: Declaration) -> list[Occurrence]:
        return list(self._by_decl.get(id(decl), ()))

    def visible(self, offset: int) -> list[Declaration]:
        """Declarations that a name written at ``offset`` could refer to,
        innermost first, one per name."""
        best: Scope | None = None
        for candidate in self.scopes:
            if candidate.start <= offset <= candidate.end and (
                best is None or (candidate.start, -candidate.end) > (best.start, -best.end)
            ):
                best = candidate
        seen: set[str] = set()
        found: list[Declaration] = []
        scope: Scope | None = best
        while scope is not None:
            for name, decl in scope.names.items():
                if name in seen or decl is _AMBIGUOUS:
                    continue
                if decl.visible_from <= offset:
                    seen.add(name)
                    found.append(decl)
            scope = scope.parent
        return found

    def unreadable_uses(self, name: str) -> list[tuple[int, int]]:
        return [(s, e) for s, e, words in self.unreadable if name in words]


def member_declarations(text: str, tokens: Sequence[Token], module: Any) -> dict[int, Declaration]:
    """The declarations of the module's members and of their members, by
    ``id`` of the declaring record: where each name is written, nothing
    resolved."""
    resolver = _Resolver(text, tokens)
    resolver.declare_members(module)
    return resolver.decl_of


def resolving(text: str, tokens: Sequence[Token], module: Any,
              within: tuple[int, int] | None = None) -> Generator[None, None, Names]:
    """``resolve`` in steps of bounded work (for a caller that must stay
    responsive): each ``next`` does one step; the generator returns the
    ``Names``."""
    resolver = _Resolver(text, tokens)
    yield from resolver.steps(module, within=within)
    return resolver.names


def resolve(text: str, tokens: Sequence[Token] | None = None, module: Any = None,
            within: tuple[int, int] | None = None) -> Names:
    """Resolve the names of ``text``; ``tokens`` (all of them, comments
    included) and ``module`` may be passed when already at hand. With
    ``within`` (start, end), only the module members that overlap that span
    are walked: enough to answer for a place, not for every use of a member.
    Raises ``RecursionError`` as the parser does for a nesting past its bound."""
    if tokens is None:
        tokens = tokenize(text)
    if module is None:
        module, _ = P.parse_text(text)
    resolver = _Resolver(text, tokens)
    for _ in resolver.steps(module, within=within):
        pass
    return resolver.names


@dataclass
class _Region:
    """Code inside one interpolation, parsed on its own."""

    start: int
    end: int
    expr: Any = None  # the expression, offsets moved into the document
    tokens: list[Token] = field(default_factory=list)
    readable: bool = False


class _Resolver:
    def __init__(self, text: str, tokens: Sequence[Token]):
        self.text = text
        self.names = Names()
        self.regions: dict[int, list[_Region]] = {}  # STRING literal start -> its interpolations
        self.toks = [t for t in tokens if t.kind not in ("COMMENT", "BOM", "EOF")]
        self.starts = [t.start for t in self.toks]
        self.decl_of = self.names.by_node
        self.occurrences = self.names.occurrences
        self.handlers: dict[type, Callable[[Any, Scope, list], None]] = {
            P.Method: self._method,
            P.Structure: self._structure,
            P.Enum: self._enum,
            P.ObjectField: self._object_field,
            P.EnumItem: self._enum_item,
            P.Import: self._import,
            P.VarDecl: self._var_decl,
            P.Assign: self._assign,
            P.If: self._if,
            P.Case: self._case,
            P.While: self._while,
            P.ForEach: self._for_each,
            P.ForTo: self._for_to,
            P.Try: self._try,
            P.Scope: self._scope_stmt,
            P.Name: self._name,
            P.Member: self._member,
            P.Call: self._call,
            P.New: self._new,
            P.Lambda: self._lambda,
            P.Literal: self._literal,
            P.TypeRef: self._type_ref,
            P.MethodRef: self._method_ref,
            P.ExprStmt: self._expr_stmt,
            P.Return: self._return,
            P.Binary: self._binary,
            P.Unary: self._unary,
            P.Compare: self._compare,
            P.This: _nothing,
            P.GlobalAccess: _nothing,
            P.Break: _nothing,
            P.Continue: _nothing,
        }

    # ------------------------------------------------------------ driver

    def _add_interpolations(self, within: tuple[int, int] | None) -> None:
        code = self.toks
        if within is None:
            self._read_interpolations(code)
        else:
            lo, hi = within
            self._read_interpolations(code[bisect.bisect_left(self.starts, lo):bisect.bisect_left(self.starts, hi)])
        for regions in self.regions.values():
            for region in regions:
                if region.readable:
                    self.names.interpolations.append((region.start, region.end))
                    self.names.inner_tokens.extend(region.tokens)
        self.names.interpolations.sort()
        if self.names.inner_tokens:
            self.names.inner_tokens.sort(key=_start)
            code.extend(self.names.inner_tokens)
            code.sort(key=_start)  # two sorted runs: one merge
            self.starts = [t.start for t in code]

    def declare_members(self, module: Any) -> None:
        """Declarations of the module's members and of theirs, without
        resolving anything (enough for an outline)."""
        top = Scope("module", None, 0, 0)
        for member in module.members:
            decl = self._declare_member(member, None, top)
            inner = Scope("members", top, 0, 0)
            for sub in [*getattr(member, "members", ()), *getattr(member, "items", ()), *getattr(member, "methods", ())]:
                self._declare_member(sub, decl, inner)

    def steps(self, module: Any, budget: int = 1000, within: tuple[int, int] | None = None) -> Iterator[None]:
        """The walk, pausing after every ``budget`` records; ``within`` limits
        it to the members that overlap that span."""
        self._add_interpolations(within)
        yield
        top = Scope("module", None, 0, len(self.text) + 1)
        self.module_scope = top
        self.names.scopes.append(top)
        self.imported = self.names.imported
        for imp in module.imports:
            self.imported.add(imp.name.rsplit("::", 1)[-1])
        for member in module.members:
            decl = self._declare_member(member, None, top)
            if decl is not None and decl.name in self.imported:
                top.names[decl.name] = _AMBIGUOUS
        for name in self.imported:
            top.names.setdefault(name, _AMBIGUOUS)
        lo, hi = within or (0, len(self.text) + 1)
        stack: list = [(node, top) for node in reversed(module.members) if node.start < hi and node.end >= lo]
        stack.extend((imp, top) for imp in reversed(module.imports) if imp.start < hi and imp.end >= lo)
        count = 0
        while stack:
            count += 1
            if count == budget:
                count = 0
                yield
            item, scope = stack.pop()
            if scope is None:
                item()  # a deferred declaration
                continue
            handler = self.handlers.get(type(item))
            if handler is not None:
                handler(item, scope, stack)
            else:
                self._children(item, scope, stack)
        self.names._finish()

    def _children(self, node: Any, scope: Scope, stack: list) -> None:
        kids = list(tree.iter_child_nodes(node))
        stack.extend((kid, scope) for kid in reversed(kids))

    @staticmethod
    def _push(stack: list, scope: Scope, nodes: Iterable[Any]) -> None:
        # The order of siblings does not matter: only declarations wait for
        # what precedes them, and they are pushed as actions of their own.
        stack.extend([(n, scope) for n in nodes if n is not None])

    # ------------------------------------------------------------ tokens

    def _index(self, offset: int) -> int:
        return bisect.bisect_left(self.starts, offset)

    def _name_after(self, lo: int, hi: int, name: str, keywords: frozenset[str], reach: int = 4) -> tuple[int, int] | None:
        """Span of ``name`` written right after one of ``keywords``, looking at
        the first ``reach`` tokens from ``lo``."""
        if not name:
            return None
        i = self._index(lo)
        toks = self.toks
        for j in range(i + 1, min(i + 1 + reach, len(toks))):
            tok = toks[j]
            if tok.start >= hi:
                break
            if tok.value == name and toks[j - 1].canonical in keywords:
                return tok.start, tok.end
        return None

    def _token_at(self, start: int, value: str) -> tuple[int, int] | None:
        i = self._index(start)
        if i < len(self.toks) and self.toks[i].start == start and self.toks[i].value == value:
            return start, self.toks[i].end
        return None

    # ------------------------------------------------------------ records

    def _new_decl(self, name: str, kind: str, node: Any, site: tuple[int, int] | None,
                  container: Declaration | None, visible_from: int = 0) -> Declaration:
        start, end = site if site else (node.start, node.start)
        decl = Declaration(name, kind, start, end, node, container, visible_from)
        self.names.declarations.append(decl)
        if site:
            self.names.occurrences.append(Occurrence(start, end, name, DECLARATION, decl))
        return decl

    def _occur(self, start: int, end: int, name: str, role: str, decl: Declaration | None) -> None:
        if end > start:
            self.names.occurrences.append(Occurrence(start, end, name, role, decl))

    def _declare_member(self, node: Any, container: Declaration | None, scope: Scope) -> Declaration | None:
        lo = node.annotations[-1].end if getattr(node, "annotations", None) else node.start
        kind_of = type(node)
        if kind_of is P.Method:
            site = self._name_after(lo, node.end, node.name, _KW_METHOD)
            decl = self._new_decl(node.name, METHOD, node, site, container)
            decl.members = {}
            for param in node.params:
                pdecl = self._param_decl(param, decl)
                if param.name:
                    decl.members[param.name] = _AMBIGUOUS if param.name in decl.members else pdecl
        elif kind_of is P.Structure:
            site = self._name_after(lo, node.end, node.name, _KW_STRUCTURE, 1)
            decl = self._new_decl(node.name, EXCEPTION if node.kind == "EXCEPTION" else STRUCTURE, node, site, container)
            decl.members = {}
        elif kind_of is P.Enum:
            site = self._name_after(lo, node.end, node.name, _KW_ENUM, 1)
            decl = self._new_decl(node.name, ENUM, node, site, container)
            decl.members = {}
        elif kind_of is P.ObjectField:
            keywords = _KW_FIELD if container is not None else _KW_CONST
            site = self._name_after(lo, node.end, node.name, keywords, 3)
            decl = self._new_decl(node.name, FIELD if container is not None else CONSTANT, node, site, container)
        elif kind_of is P.EnumItem:
            site = self._token_at(node.start, node.name)
            decl = self._new_decl(node.name, ITEM, node, site, container)
        else:
            return None
        self.decl_of[id(node)] = decl
        if decl.name:
            scope.add(decl)
            if container is not None and container.members is not None:
                members = container.members
                members[decl.name] = _AMBIGUOUS if decl.name in members else decl
        return decl

    def _import(self, node: Any, scope: Scope, stack: list) -> None:
        # Imported subsystems are not placed: their names link to nothing.
        i = self._index(node.start) + 1
        while i < len(self.toks) and self.toks[i].start < node.end:
            tok = self.toks[i]
            if tok.kind in ("IDENT", "KEYWORD"):
                self._occur(tok.start, tok.end, tok.value, IMPORT, None)
            i += 1

    def _annotations(self, node: Any, scope: Scope, stack: list) -> None:
        for ann in getattr(node, "annotations", ()):
            self._push(stack, scope, ann.args)

    def _method(self, node: Any, scope: Scope, stack: list) -> None:
        decl = self.decl_of.get(id(node))
        inner = Scope("method", scope, node.start, node.end, decl)
        self.names.scopes.append(inner)
        work: list = []
        for param in node.params:
            work.extend(self._param(param, scope, inner, decl))
        if node.return_type is not None:
            work.append(node.return_type)
        body_start = node.return_type.end if node.return_type else (node.params[-1].end if node.params else node.start)
        block = self._block(node.body, inner, body_start, node.end)
        self._annotations(node, scope, stack)
        stack.extend((stmt, block) for stmt in reversed(node.body))
        self._push(stack, scope, work)

    def _param_decl(self, param: Any, owner: Declaration | None) -> Declaration:
        decl = self.decl_of.get(id(param))
        if decl is None:
            lo = param.annotations[-1].end if param.annotations else param.start
            decl = self._new_decl(param.name, PARAMETER, param, self._find_at_or_after(lo, param.end, param.name), owner)
            self.decl_of[id(param)] = decl
        return decl

    def _param(self, param: Any, outer: Scope, inner: Scope, owner: Declaration | None) -> list:
        decl = self._param_decl(param, owner)
        if param.name:
            inner.add(decl)
        work: list = []
        for ann in param.annotations:
            work.extend(a for a in ann.args if a is not None)
        if param.type is not None:
            work.append(param.type)
        if param.default is not None:
            work.append(param.default)
        return work

    def _find_at_or_after(self, lo: int, hi: int, name: str) -> tuple[int, int] | None:
        i = self._index(lo)
        if i < len(self.toks) and self.toks[i].value == name and self.toks[i].start < hi and name:
            return self.toks[i].start, self.toks[i].end
        return None

    def _structure(self, node: Any, scope: Scope, stack: list) -> None:
        decl = self.decl_of.get(id(node))
        inner = Scope("structure", scope, node.start, node.end, decl)
        self.names.scopes.append(inner)
        for member in node.members:
            self._declare_member(member, decl, inner)
        self._annotations(node, scope, stack)
        self._push(stack, inner, node.members)

    def _enum(self, node: Any, scope: Scope, stack: list) -> None:
        decl = self.decl_of.get(id(node))
        inner = Scope("enum", scope, node.start, node.end, decl)
        self.names.scopes.append(inner)
        for item in node.items:
            self._declare_member(item, decl, inner)
        for method in node.methods:
            self._declare_member(method, decl, inner)
        self._annotations(node, scope, stack)
        self._push(stack, inner, node.methods)

    def _object_field(self, node: Any, scope: Scope, stack: list) -> None:
        if node.annotations:
            self._annotations(node, scope, stack)
        if node.type is not None:
            stack.append((node.type, scope))
        if node.init is not None:
            stack.append((node.init, scope))

    def _enum_item(self, node: Any, scope: Scope, stack: list) -> None:
        pass

    # ------------------------------------------------------------ statements

    def _block(self, body: list, parent: Scope, start: int, end: int) -> Scope:
        block = Scope("block", parent, start, end)
        for stmt in body:
            if type(stmt) is P.VarDecl and stmt.name:
                block.pending.add(stmt.name)
        self.names.scopes.append(block)
        return block

    def _body(self, stack: list, body: list | None, parent: Scope, start: int, end: int) -> None:
        if body is None:
            return
        block = self._block(body, parent, start, end)
        stack.extend((stmt, block) for stmt in reversed(body))

    def _var_decl(self, node: Any, scope: Scope, stack: list) -> None:
        site = self._name_after(node.start, node.end, node.name, _KW_VAR, 1)
        decl = self._new_decl(node.name, _VAR_KINDS.get(node.kind, VARIABLE), node, site, _owner(scope), node.end)

        if decl.name:
            # A later declaration of the same name in the same block shadows
            # the earlier one from its end on.
            stack.append((lambda: scope.names.__setitem__(decl.name, decl), None))
        if node.type is not None:
            stack.append((node.type, scope))
        if node.init is not None:
            stack.append((node.init, scope))

    def _assign(self, node: Any, scope: Scope, stack: list) -> None:
        target = node.target
        if type(target) is P.Name:
            self._name(target, scope, stack, WRITE)
        elif type(target) is P.Member:
            self._member(target, scope, stack, WRITE)
        else:
            stack.append((target, scope))
        if node.value is not None:
            stack.append((node.value, scope))

    def _if(self, node: Any, scope: Scope, stack: list) -> None:
        work: list = []
        last = node.start
        for cond, body in node.branches:
            work.append(("expr", cond))
            work.append(("body", body, cond.end))
            last = body[-1].end if body else cond.end
        if node.else_body is not None:
            work.append(("body", node.else_body, last))
        for item in reversed(work):
            if item[0] == "expr":
                stack.append((item[1], scope))
            else:
                self._body(stack, item[1], scope, item[2], node.end)

    def _case(self, node: Any, scope: Scope, stack: list) -> None:
        last = node.subject.end if node.subject is not None else node.start
        if node.else_body is not None:
            start = node.whens[-1].end if node.whens else last
            self._body(stack, node.else_body, scope, start, node.end)
        for when in reversed(node.whens):
            self._body(stack, when.body, scope, when.start, when.end)
            self._push(stack, scope, when.conditions)
        if node.subject is not None:
            stack.append((node.subject, scope))

    def _while(self, node: Any, scope: Scope, stack: list) -> None:
        self._body(stack, node.body, scope, node.cond.end, node.end)
        stack.append((node.cond, scope))

    def _loop_scope(self, node: Any, scope: Scope, after: int) -> Scope:
        loop = Scope("loop", scope, after, node.end)
        site = self._name_after(node.start, node.end, node.var, _KW_FOR, 1)
        decl = self._new_decl(node.var, LOOP, node, site, _owner(scope), after)
        if node.var:
            loop.add(decl)
        self.names.scopes.append(loop)
        return loop

    def _for_each(self, node: Any, scope: Scope, stack: list) -> None:
        loop = self._loop_scope(node, scope, node.source.end)
        self._body(stack, node.body, loop, node.source.end, node.end)
        stack.append((node.source, scope))

    def _for_to(self, node: Any, scope: Scope, stack: list) -> None:
        header_end = max(e.end for e in (node.start_expr, node.to, node.step) if e is not None)
        loop = self._loop_scope(node, scope, header_end)
        self._body(stack, node.body, loop, header_end, node.end)
        self._push(stack, scope, (node.start_expr, node.to, node.step))

    def _try(self, node: Any, scope: Scope, stack: list) -> None:
        work: list = []  # (body, parent scope, start, end) in source order
        cursor = node.body[-1].end if node.body else node.start
        work.append((node.body, scope, node.start, node.end))
        types: list = []
        for name, type_ref, body in node.catches:
            i = self._index(cursor)
            while i < len(self.toks) and self.toks[i].canonical != "CATCH" and self.toks[i].start < node.end:
                i += 1
            site = None
            if i + 1 < len(self.toks) and self.toks[i].canonical == "CATCH" and name and self.toks[i + 1].value == name:
                site = (self.toks[i + 1].start, self.toks[i + 1].end)
            catch_start = self.toks[i].start if i < len(self.toks) else cursor
            holder = Scope("catch", scope, catch_start, node.end)
            self.names.scopes.append(holder)
            decl = self._new_decl(name, CATCH, node, site, _owner(scope), catch_start)
            if name:
                holder.add(decl)
            if type_ref is not None:
                types.append(type_ref)
            work.append((body, holder, catch_start, node.end))
            cursor = max(cursor, site[1] if site else cursor, type_ref.end if type_ref else cursor, body[-1].end if body else cursor)
        if node.finally_body is not None:
            work.append((node.finally_body, scope, cursor, node.end))
        for body, parent, start, end in reversed(work):
            self._body(stack, body, parent, start, end)
        self._push(stack, scope, types)

    def _scope_stmt(self, node: Any, scope: Scope, stack: list) -> None:
        self._body(stack, node.body, scope, node.start, node.end)

    # ------------------------------------------------------------ expressions

    def _expr_stmt(self, node: Any, scope: Scope, stack: list) -> None:
        stack.append((node.expr, scope))

    def _return(self, node: Any, scope: Scope, stack: list) -> None:
        if node.value is not None:
            stack.append((node.value, scope))

    def _binary(self, node: Any, scope: Scope, stack: list) -> None:
        if node.right is not None:
            stack.append((node.right, scope))
        stack.append((node.left, scope))

    def _unary(self, node: Any, scope: Scope, stack: list) -> None:
        stack.append((node.operand, scope))

    def _compare(self, node: Any, scope: Scope, stack: list) -> None:
        for _, operand in reversed(node.rest):
            if operand is not None:
                stack.append((operand, scope))
        stack.append((node.first, scope))

    def _name(self, node: Any, scope: Scope, stack: list, role: str = READ, decl: Any = False) -> None:
        name = node.name
        start, end = node.start, node.end
        if not name or end - start != len(name) or "::" in name:
            return
        if decl is False:
            decl = scope.lookup(name)
        self.occurrences.append(Occurrence(start, end, name, role, decl))

    def _member_target(self, node: Any, scope: Scope) -> Declaration | None:
        """The declaration ``obj.name`` certainly refers to, if any: a member
        of the structure or enum reached through THIS or through its name."""
        obj = node.obj
        members: dict[str, Any] | None = None
        if type(obj) is P.This:
            holder = scope.members_scope()
            if holder is not None and holder.owner is not None:
                members = holder.owner.members
        elif type(obj) is P.Name and "::" not in obj.name:
            decl = scope.lookup(obj.name)
            if decl is not None and decl.kind in TYPE_KINDS:
                members = decl.members
        if members:
            found = members.get(node.name)
            if found is not None and found is not _AMBIGUOUS:
                return found
        return None

    def _member(self, node: Any, scope: Scope, stack: list, role: str = MEMBER) -> None:
        start = node.end - len(node.name)
        if node.name and start >= node.obj.end and self.text.startswith(node.name, start):
            self._occur(start, node.end, node.name, role, self._member_target(node, scope))
        stack.append((node.obj, scope))

    def _callee_target(self, callee: Any, scope: Scope) -> Declaration | None:
        if type(callee) is P.Name and "::" not in callee.name:
            return scope.lookup(callee.name)
        if type(callee) is P.Member:
            return self._member_target(callee, scope)
        return None

    def _arguments(self, args: list | None, owner: Declaration | None, scope: Scope, stack: list) -> None:
        if not args:
            return
        params = None
        if owner is not None and owner.members:
            if owner.kind == METHOD:
                params = owner.members
            elif owner.kind in (STRUCTURE, EXCEPTION):
                params = {k: d for k, d in owner.members.items() if d is _AMBIGUOUS or d.kind == FIELD}
        for arg in reversed(args):
            if arg.value is not None:
                stack.append((arg.value, scope))
            if arg.name:
                target = params.get(arg.name) if params else None
                if target is _AMBIGUOUS:
                    target = None
                site = self._token_at(arg.start, arg.name)
                if site:
                    self._occur(site[0], site[1], arg.name, ARGUMENT, target)

    def _call(self, node: Any, scope: Scope, stack: list) -> None:
        callee = node.callee
        target = self._callee_target(callee, scope)
        if node.args:
            self._arguments(node.args, target, scope, stack)
        if node.type_args:
            self._push(stack, scope, node.type_args)
        if type(callee) is P.Name:
            self._name(callee, scope, stack, CALL, target)
        elif type(callee) is P.Member:
            self._member(callee, scope, stack, CALL)
        else:
            stack.append((callee, scope))

    def _new(self, node: Any, scope: Scope, stack: list) -> None:
        owner = None
        if len(node.type.names) == 1 and node.type.names[0] == node.type.text:
            owner = self.module_scope.names.get(node.type.text)
            if owner is _AMBIGUOUS or (owner is not None and owner.kind not in TYPE_KINDS):
                owner = None
        self._arguments(node.args, owner, scope, stack)
        stack.append((node.type, scope))

    def _lambda(self, node: Any, scope: Scope, stack: list) -> None:
        inner = Scope("lambda", scope, node.start, node.end)
        self.names.scopes.append(inner)
        work: list = []
        for param in node.params:
            work.extend(self._param(param, scope, inner, _owner(scope)))
        if node.body_stmts is not None:
            start = node.params[-1].end if node.params else node.start
            self._body(stack, node.body_stmts, inner, start, node.end)
        if node.body_expr is not None:
            stack.append((node.body_expr, inner))
        self._push(stack, scope, work)

    def _literal(self, node: Any, scope: Scope, stack: list) -> None:
        kind = node.kind
        if kind == "STRING":
            for region in self.regions.get(node.start, ()):
                if region.expr is not None:
                    stack.append((region.expr, scope))
        elif kind == "TYPE":
            self._type_names(node.start, node.end)
        elif kind in ("QUERY", "RESOLVABLE"):
            i = self._index(node.start)
            words = set()
            while i < len(self.toks) and self.toks[i].start < node.end:
                if self.toks[i].kind in ("IDENT", "KEYWORD"):
                    words.add(self.toks[i].value)
                i += 1
            self.names.unreadable.append((node.start, node.end, frozenset(words)))

    def _type_ref(self, node: Any, scope: Scope, stack: list) -> None:
        text = node.text
        if node.end - node.start == len(text) and node.names == [text] and self.text.startswith(text, node.start) and _PLAIN.fullmatch(text):
            self._type_name(node.start, node.end, text)  # the common case: one plain name
        else:
            self._type_names(node.start, node.end)

    def _type_name(self, start: int, end: int, name: str) -> None:
        decl = self.module_scope.names.get(name)
        if decl is _AMBIGUOUS or (decl is not None and decl.kind not in TYPE_KINDS):
            decl = None
        self._occur(start, end, name, TYPE_USE, decl)

    def _type_names(self, start: int, end: int) -> None:
        toks = self.toks
        i = self._index(start)
        while i < len(toks) and toks[i].start < end:
            tok = toks[i]
            if tok.kind == "IDENT":
                before = toks[i - 1].value if i > 0 else ""
                after = toks[i + 1].value if i + 1 < len(toks) else ""
                if before not in (".", "::") and after not in (".", "::", "="):
                    self._type_name(tok.start, tok.end, tok.value)
            i += 1

    def _method_ref(self, node: Any, scope: Scope, stack: list) -> None:
        # &name, &Type.name, &this.name; paths and global access are not placed.
        toks = self.toks
        i = self._index(node.start) + 1
        if i >= len(toks) or toks[i].start >= node.end:
            return
        first = toks[i]
        nxt = toks[i + 1].value if i + 1 < len(toks) and toks[i + 1].start < node.end else ""
        second = toks[i + 2] if nxt == "." and i + 2 < len(toks) and toks[i + 2].start < node.end else None
        if first.canonical == "THIS":
            holder = scope.members_scope()
            if second is not None and holder is not None and holder.owner is not None and holder.owner.members:
                target = holder.owner.members.get(second.value)
                self._occur(second.start, second.end, second.value, MEMBER, None if target is _AMBIGUOUS else target)
            return
        if first.kind not in ("IDENT", "KEYWORD") or first.canonical in ("GLOBAL_EN", "GLOBAL_RU") or nxt == "::":
            return
        decl = scope.lookup(first.value)
        self._occur(first.start, first.end, first.value, READ, decl)
        if second is not None:
            target = None
            if decl is not None and decl.kind in TYPE_KINDS and decl.members:
                target = decl.members.get(second.value)
            self._occur(second.start, second.end, second.value, MEMBER, None if target is _AMBIGUOUS else target)

    # ------------------------------------------------------------ interpolations

    def _read_interpolations(self, code: list[Token]) -> None:
        """Parses the code of every interpolation, level by level (the
        interpolations inside the strings of that code come next), each level
        in one parse of one wrapper text."""
        level = [t for t in code if t.kind == "STRING" and ("${" in t.value or "%{" in t.value)]
        depth = 0
        while level:
            batch = []
            for tok in level:
                regions = []
                for start, end, closed in _interpolation_spans(tok.value):
                    region = _Region(tok.start + start, tok.start + end)
                    regions.append(region)
                    if not closed or depth >= MAX_INTERPOLATION_DEPTH:
                        self._mark_unreadable(region)
                    elif not self.text[region.start:region.end].strip():
                        region.readable = True
                    else:
                        batch.append(region)
                self.regions[tok.start] = regions
            self._read_batch(batch)
            level = [t for r in batch if r.readable for t in r.tokens
                     if t.kind == "STRING" and ("${" in t.value or "%{" in t.value)]
            depth += 1

    def _read_batch(self, batch: list[_Region]) -> None:
        if not batch:
            return
        parts: list[str] = []
        bases: list[int] = []
        length = 0
        for region in batch:
            code = self.text[region.start:region.end]
            bases.append(length + len(_WRAP_BEFORE))
            parts += (_WRAP_BEFORE, code, _WRAP_AFTER)
            length += len(_WRAP_BEFORE) + len(code) + len(_WRAP_AFTER)
        source = _Source("".join(parts))
        try:
            module, errors = P.parse(source)
        except RecursionError:
            failed = batch
        else:
            toks = source.cache["tokens"]
            methods = {m.start: m for m in module.members}
            error_starts = sorted(e.start for e in errors)
            token_starts = [t.start for t in toks]
            failed = [r for r, base in zip(batch, bases)
                      if not self._accept(r, base, methods, error_starts, toks, token_starts)]
        for region in failed:
            if len(batch) > 1:
                self._read_batch([region])  # alone, so that no neighbour can spoil it
            else:
                self._mark_unreadable(region)

    def _accept(self, region: _Region, base: int, methods: dict[int, Any], error_starts: list[int],
                toks: list[Token], token_starts: list[int]) -> bool:
        """Takes the region's expression from the wrapper's parse when it is
        exactly one clean expression statement."""
        size = region.end - region.start
        lo, hi = base - len(_WRAP_BEFORE), base + size + len(_WRAP_AFTER)
        method = methods.get(lo)
        if method is None or method.end != hi or len(method.body) != 1 or type(method.body[0]) is not P.ExprStmt:
            return False
        e = bisect.bisect_left(error_starts, lo)
        if e < len(error_starts) and error_starts[e] < hi:
            return False
        inner = toks[bisect.bisect_left(token_starts, base):bisect.bisect_left(token_starts, base + size)]
        if any(t.kind in ("COMMENT", "UNKNOWN", "BOM") or t.flags or t.end > base + size for t in inner):
            return False
        shift = region.start - base
        expr = method.body[0].expr
        for node in tree.walk(expr):
            node.start += shift
            node.end += shift
        for t in inner:
            t.start += shift
            t.end += shift
        region.expr, region.tokens, region.readable = expr, inner, True
        return True

    def _mark_unreadable(self, region: _Region) -> None:
        code = self.text[region.start:region.end]
        words = frozenset(t.value for t in tokenize(code) if t.kind in ("IDENT", "KEYWORD"))
        self.names.unreadable.append((region.start, region.end, words))


class _Source:
    __slots__ = ("text", "cache")

    def __init__(self, text: str):
        self.text = text
        self.cache: dict[str, Any] = {}


def _interpolation_spans(literal: str) -> list[tuple[int, int, bool]]:
    """Spans (relative to the literal) of the code inside each top-level
    interpolation of a string literal's text, read as the tokenizer reads it,
    and whether it is closed (an unclosed one runs to the literal's end)."""
    spans: list[tuple[int, int, bool]] = []
    n = len(literal)
    j = 1
    while True:
        found = _STRING_STOPS.search(literal, j)
        if found is None:
            return spans
        j = found.start()
        if literal[j] == "\\":
            j += 2
        elif literal[j] == '"':
            return spans
        else:
            after = _skip_interpolation(literal, j + 2)
            # A closed interpolation leaves at least the closing quote after it.
            spans.append((j + 2, after - 1, True) if after < n else (j + 2, n, False))
            j = after


_start = operator.attrgetter("start")
_STRING_STOPS = re.compile(r'[\\"]|[$%]\{')
_PLAIN = re.compile(r"\w+")


def _nothing(node: Any, scope: Scope, stack: list) -> None:
    pass


def _owner(scope: Scope | None) -> Declaration | None:
    while scope is not None:
        if scope.kind == "method" and scope.owner is not None:
            return scope.owner
        scope = scope.parent
    return None


_KW_METHOD = frozenset({"METHOD"})
_KW_STRUCTURE = frozenset({"STRUCTURE", "EXCEPTION"})
_KW_ENUM = frozenset({"ENUMERATION"})
_KW_FIELD = frozenset({"VAL", "VAR", "USE", "REQ"})
_KW_CONST = frozenset({"VAL", "VAR", "USE", "CONST"})
_KW_VAR = frozenset({"VAR", "VAL", "USE"})
_KW_FOR = frozenset({"FOR"})
