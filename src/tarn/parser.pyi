"""The syntax tree records, the parser object and the two entry points."""
from typing import Any, ClassVar, Final, final

from tarn import i18n as i18n
from tarn.lexer import Token as Token, _Source, tokens as tokens

__all__ = ["parse", "parse_text", "ParseError", "Module"]

def parse_text(text: str) -> tuple[Module, list[ParseError]]: ...
def parse(source: _Source) -> tuple[Module, list[ParseError]]: ...
def _parse_text_unmemoised(text: str) -> tuple[Module, list[ParseError]]:
    """``parse_text`` without the memo of speculative rules."""

MESSAGES: Final[dict[str, dict[str, str]]]

_NAME_KEYWORDS: Final[set[str]]
_UPPER_NAME_KEYWORDS: Final[set[str]]
_STMT_KEYWORDS: Final[set[str]]
_STATEMENT_KEYWORDS: Final[set[str]]
_RETURN_STOP: Final[set[str]]
_COMPARE_OPS: Final[tuple[str, str, str, str, str, str]]
_ASSIGN_OPS: Final[tuple[str, str, str, str, str]]

class Node:
    __match_args__ = ("start", "end")
    start: int
    end: int
    def __init__(self, start: int, end: int) -> None: ...
    __hash__: ClassVar[None]  # type: ignore[assignment]
    def __eq__(self, other: object) -> bool: ...
    def __getstate__(self) -> dict[str, Any]: ...
    def __setstate__(self, state: dict[str, Any], /) -> None: ...

@final
class Annotation(Node):
    __match_args__ = ("start", "end", "name", "args")
    name: str
    args: list[Expr | None]
    def __init__(self, start: int, end: int, name: str, args: list[Expr | None] = ...) -> None: ...

@final
class TypeRef(Node):
    __match_args__ = ("start", "end", "text", "names", "nullable")
    text: str
    names: list[str]
    nullable: bool
    def __init__(self, start: int, end: int, text: str, names: list[str] = ..., nullable: bool = ...) -> None: ...

@final
class Param(Node):
    __match_args__ = ("start", "end", "name", "type", "default", "annotations")
    name: str
    type: TypeRef | None
    default: Expr | None
    annotations: list[Annotation]
    def __init__(
        self,
        start: int,
        end: int,
        name: str,
        type: TypeRef | None,
        default: Expr | None,
        annotations: list[Annotation] = ...,
    ) -> None: ...

@final
class Method(Node):
    __match_args__ = (
        "start", "end", "name", "params", "return_type", "body", "is_static", "is_abstract", "annotations",
    )
    name: str
    params: list[Param]
    return_type: TypeRef | None
    body: list[Stmt]
    is_static: bool
    is_abstract: bool
    annotations: list[Annotation]
    def __init__(
        self,
        start: int,
        end: int,
        name: str,
        params: list[Param],
        return_type: TypeRef | None,
        body: list[Stmt],
        is_static: bool = ...,
        is_abstract: bool = ...,
        annotations: list[Annotation] = ...,
    ) -> None: ...

@final
class ObjectField(Node):
    __match_args__ = ("start", "end", "kind", "name", "type", "init", "required", "annotations")
    kind: str
    name: str
    type: TypeRef | None
    init: Expr | None
    required: bool
    annotations: list[Annotation]
    def __init__(
        self,
        start: int,
        end: int,
        kind: str,
        name: str,
        type: TypeRef | None,
        init: Expr | None,
        required: bool = ...,
        annotations: list[Annotation] = ...,
    ) -> None: ...

@final
class Constructor(Node):
    __match_args__ = ("start", "end", "annotations")
    annotations: list[Annotation]
    def __init__(self, start: int, end: int, annotations: list[Annotation] = ...) -> None: ...

@final
class Structure(Node):
    __match_args__ = ("start", "end", "kind", "name", "members", "annotations")
    kind: str
    name: str
    members: list[ObjectField | Constructor | Method]
    annotations: list[Annotation]
    def __init__(
        self,
        start: int,
        end: int,
        kind: str,
        name: str,
        members: list[ObjectField | Constructor | Method] = ...,
        annotations: list[Annotation] = ...,
    ) -> None: ...

@final
class EnumItem(Node):
    __match_args__ = ("start", "end", "name", "is_default")
    name: str
    is_default: bool
    def __init__(self, start: int, end: int, name: str, is_default: bool = ...) -> None: ...

@final
class Enum(Node):
    __match_args__ = ("start", "end", "name", "items", "methods", "annotations")
    name: str
    items: list[EnumItem]
    methods: list[Method]
    annotations: list[Annotation]
    def __init__(
        self,
        start: int,
        end: int,
        name: str,
        items: list[EnumItem] = ...,
        methods: list[Method] = ...,
        annotations: list[Annotation] = ...,
    ) -> None: ...

@final
class Import(Node):
    __match_args__ = ("start", "end", "name")
    name: str
    def __init__(self, start: int, end: int, name: str) -> None: ...

@final
class Module(Node):
    __match_args__ = ("start", "end", "imports", "members")
    imports: list[Import]
    members: list[Method | Structure | Enum | ObjectField]
    def __init__(
        self,
        start: int,
        end: int,
        imports: list[Import] = ...,
        members: list[Method | Structure | Enum | ObjectField] = ...,
    ) -> None: ...

class Stmt(Node):
    __match_args__ = ("start", "end")
    def __init__(self, start: int, end: int) -> None: ...

@final
class VarDecl(Stmt):
    __match_args__ = ("start", "end", "kind", "name", "type", "init")
    kind: str
    name: str
    type: TypeRef | None
    init: Expr | None
    def __init__(
        self,
        start: int,
        end: int,
        kind: str,
        name: str,
        type: TypeRef | None,
        init: Expr | None,
    ) -> None: ...

@final
class UseStmt(Stmt):
    __match_args__ = ("start", "end", "expr")
    expr: Expr
    def __init__(self, start: int, end: int, expr: Expr) -> None: ...

@final
class Assign(Stmt):
    __match_args__ = ("start", "end", "target", "op", "value")
    target: Expr
    op: str
    value: Expr | None
    def __init__(self, start: int, end: int, target: Expr, op: str, value: Expr | None) -> None: ...

@final
class ExprStmt(Stmt):
    __match_args__ = ("start", "end", "expr")
    expr: Expr
    def __init__(self, start: int, end: int, expr: Expr) -> None: ...

@final
class If(Stmt):
    __match_args__ = ("start", "end", "branches", "else_body")
    branches: list[tuple[Expr, list[Stmt]]]
    else_body: list[Stmt] | None
    def __init__(
        self,
        start: int,
        end: int,
        branches: list[tuple[Expr, list[Stmt]]],
        else_body: list[Stmt] | None,
    ) -> None: ...

@final
class CaseWhen(Node):
    __match_args__ = ("start", "end", "conditions", "body")
    conditions: list[Expr]
    body: list[Stmt]
    def __init__(self, start: int, end: int, conditions: list[Expr], body: list[Stmt]) -> None: ...

@final
class Case(Stmt):
    __match_args__ = ("start", "end", "subject", "whens", "else_body")
    subject: Expr | None
    whens: list[CaseWhen]
    else_body: list[Stmt] | None
    def __init__(
        self,
        start: int,
        end: int,
        subject: Expr | None,
        whens: list[CaseWhen],
        else_body: list[Stmt] | None,
    ) -> None: ...

@final
class While(Stmt):
    __match_args__ = ("start", "end", "cond", "body")
    cond: Expr
    body: list[Stmt]
    def __init__(self, start: int, end: int, cond: Expr, body: list[Stmt]) -> None: ...

@final
class ForEach(Stmt):
    __match_args__ = ("start", "end", "var", "source", "body")
    var: str
    source: Expr
    body: list[Stmt]
    def __init__(self, start: int, end: int, var: str, source: Expr, body: list[Stmt]) -> None: ...

@final
class ForTo(Stmt):
    __match_args__ = ("start", "end", "var", "start_expr", "down", "to", "step", "body")
    var: str
    start_expr: Expr
    down: bool
    to: Expr
    step: Expr | None
    body: list[Stmt]
    def __init__(
        self,
        start: int,
        end: int,
        var: str,
        start_expr: Expr,
        down: bool,
        to: Expr,
        step: Expr | None,
        body: list[Stmt],
    ) -> None: ...

@final
class Try(Stmt):
    __match_args__ = ("start", "end", "body", "catches", "finally_body")
    body: list[Stmt]
    catches: list[tuple[str, TypeRef | None, list[Stmt]]]
    finally_body: list[Stmt] | None
    def __init__(
        self,
        start: int,
        end: int,
        body: list[Stmt],
        catches: list[tuple[str, TypeRef | None, list[Stmt]]],
        finally_body: list[Stmt] | None,
    ) -> None: ...

@final
class Scope(Stmt):
    __match_args__ = ("start", "end", "body")
    body: list[Stmt]
    def __init__(self, start: int, end: int, body: list[Stmt]) -> None: ...

@final
class Return(Stmt):
    __match_args__ = ("start", "end", "value")
    value: Expr | None
    def __init__(self, start: int, end: int, value: Expr | None) -> None: ...

@final
class Break(Stmt):
    __match_args__ = ("start", "end")
    def __init__(self, start: int, end: int) -> None: ...

@final
class Continue(Stmt):
    __match_args__ = ("start", "end")
    def __init__(self, start: int, end: int) -> None: ...

class Expr(Node):
    __match_args__ = ("start", "end")
    def __init__(self, start: int, end: int) -> None: ...

@final
class Name(Expr):
    __match_args__ = ("start", "end", "name")
    name: str
    def __init__(self, start: int, end: int, name: str) -> None: ...

@final
class Literal(Expr):
    __match_args__ = ("start", "end", "kind", "text")
    kind: str
    text: str
    def __init__(self, start: int, end: int, kind: str, text: str) -> None: ...

@final
class This(Expr):
    __match_args__ = ("start", "end")
    def __init__(self, start: int, end: int) -> None: ...

@final
class GlobalAccess(Expr):
    __match_args__ = ("start", "end")
    def __init__(self, start: int, end: int) -> None: ...

@final
class Unary(Expr):
    __match_args__ = ("start", "end", "op", "operand")
    op: str
    operand: Expr
    def __init__(self, start: int, end: int, op: str, operand: Expr) -> None: ...

@final
class Binary(Expr):
    __match_args__ = ("start", "end", "op", "left", "right")
    op: str
    left: Expr
    right: Expr | None
    def __init__(self, start: int, end: int, op: str, left: Expr, right: Expr | None) -> None: ...

@final
class Compare(Expr):
    __match_args__ = ("start", "end", "first", "rest")
    first: Expr
    rest: list[tuple[str, Expr | None]]
    def __init__(self, start: int, end: int, first: Expr, rest: list[tuple[str, Expr | None]] = ...) -> None: ...

@final
class IsType(Expr):
    __match_args__ = ("start", "end", "operand", "negated", "type")
    operand: Expr
    negated: bool
    type: TypeRef | None
    def __init__(self, start: int, end: int, operand: Expr, negated: bool, type: TypeRef | None) -> None: ...

@final
class AsType(Expr):
    __match_args__ = ("start", "end", "operand", "type")
    operand: Expr
    type: TypeRef | None
    def __init__(self, start: int, end: int, operand: Expr, type: TypeRef | None) -> None: ...

@final
class Ternary(Expr):
    __match_args__ = ("start", "end", "cond", "then", "otherwise")
    cond: Expr
    then: Expr
    otherwise: Expr | None
    def __init__(self, start: int, end: int, cond: Expr, then: Expr, otherwise: Expr | None) -> None: ...

@final
class Coalesce(Expr):
    __match_args__ = ("start", "end", "left", "right")
    left: Expr
    right: Expr | None
    def __init__(self, start: int, end: int, left: Expr, right: Expr | None) -> None: ...

@final
class NonNull(Expr):
    __match_args__ = ("start", "end", "operand")
    operand: Expr
    def __init__(self, start: int, end: int, operand: Expr) -> None: ...

@final
class Member(Expr):
    __match_args__ = ("start", "end", "obj", "name", "safe")
    obj: Expr
    name: str
    safe: bool
    def __init__(self, start: int, end: int, obj: Expr, name: str, safe: bool) -> None: ...

@final
class Index(Expr):
    __match_args__ = ("start", "end", "obj", "index")
    obj: Expr
    index: Expr | None
    def __init__(self, start: int, end: int, obj: Expr, index: Expr | None) -> None: ...

@final
class CallArg(Node):
    __match_args__ = ("start", "end", "name", "value")
    name: str | None
    value: Expr | None
    def __init__(self, start: int, end: int, name: str | None, value: Expr | None) -> None: ...

@final
class Call(Expr):
    __match_args__ = ("start", "end", "callee", "args", "type_args")
    callee: Expr
    args: list[CallArg]
    type_args: list[TypeRef]
    def __init__(
        self,
        start: int,
        end: int,
        callee: Expr,
        args: list[CallArg],
        type_args: list[TypeRef] = ...,
    ) -> None: ...

@final
class New(Expr):
    __match_args__ = ("start", "end", "type", "args")
    type: TypeRef
    args: list[CallArg] | None
    def __init__(self, start: int, end: int, type: TypeRef, args: list[CallArg] | None) -> None: ...

@final
class ArrayLit(Expr):
    __match_args__ = ("start", "end", "items", "type_args")
    items: list[Expr]
    type_args: list[TypeRef]
    def __init__(self, start: int, end: int, items: list[Expr], type_args: list[TypeRef] = ...) -> None: ...

@final
class MapLit(Expr):
    __match_args__ = ("start", "end", "entries", "kind", "type_args")
    entries: list[tuple[Expr, Expr | None]]
    kind: str
    type_args: list[TypeRef]
    def __init__(
        self,
        start: int,
        end: int,
        entries: list[tuple[Expr, Expr | None]],
        kind: str,
        type_args: list[TypeRef] = ...,
    ) -> None: ...

@final
class Lambda(Expr):
    __match_args__ = ("start", "end", "params", "body_expr", "body_stmts")
    params: list[Param]
    body_expr: Expr | Assign | None
    body_stmts: list[Stmt] | None
    def __init__(
        self,
        start: int,
        end: int,
        params: list[Param],
        body_expr: Expr | Assign | None,
        body_stmts: list[Stmt] | None,
    ) -> None: ...

@final
class Throw(Expr):
    __match_args__ = ("start", "end", "value")
    value: Expr | None
    def __init__(self, start: int, end: int, value: Expr | None) -> None: ...

@final
class MethodRef(Expr):
    __match_args__ = ("start", "end", "text")
    text: str
    def __init__(self, start: int, end: int, text: str) -> None: ...

@final
class ParseError:
    __match_args__ = ("start", "end", "message")
    start: int
    end: int
    message: str
    def __init__(self, start: int, end: int, message: str) -> None: ...
    __hash__: ClassVar[None]  # type: ignore[assignment]
    def __eq__(self, other: object) -> bool: ...
    def __getstate__(self) -> dict[str, Any]: ...
    def __setstate__(self, state: dict[str, Any], /) -> None: ...

@final
class _Parser:
    __match_args__ = ("toks", "pos", "errors")
    toks: list[Token]
    pos: int
    errors: list[ParseError]
    def __init__(self, toks: list[Token]) -> None: ...
    __hash__: ClassVar[None]  # type: ignore[assignment]
    def __eq__(self, other: object) -> bool: ...
    def __getstate__(self) -> dict[str, Any]: ...
    def __setstate__(self, state: dict[str, Any], /) -> None: ...
    # Cursor.
    def peek(self, ahead: int = 0) -> Token: ...
    def at_end(self) -> bool: ...
    def advance(self) -> Token: ...
    def at_kw(self, *names: str) -> bool: ...
    def at_op(self, *vals: str) -> bool: ...
    def eat_kw(self, *names: str) -> Token | None: ...
    def eat_op(self, *vals: str) -> Token | None: ...
    def expect_op(self, val: str, key: str) -> Token | None: ...
    def error(self, message: str, tok: Token | None = None) -> None: ...
    def snapshot(self) -> tuple[int, int]: ...
    def rollback(self, snap: tuple[int, int]) -> None: ...
    def at_name(self) -> bool: ...
    def eat_name(self) -> Token | None: ...
    # Module members.
    def parse_module(self) -> tuple[Module, list[ParseError]]: ...
    def module_member(self, module: Module) -> None: ...
    def recover_to_module_member(self) -> None: ...
    def namespace_import(self) -> Import: ...
    def annotations(self) -> list[Annotation]: ...
    def annotation_args(self) -> list[Expr | None]: ...
    def method(self, annotations: list[Annotation]) -> Method: ...
    def parameters(self) -> list[Param]: ...
    def structure(self, annotations: list[Annotation]) -> Structure: ...
    def object_field(self, annotations: list[Annotation]) -> ObjectField: ...
    def enum(self, annotations: list[Annotation]) -> Enum: ...
    def module_const(self, annotations: list[Annotation]) -> ObjectField: ...
    # Types.
    def compound_type(self) -> TypeRef | None: ...
    def type_name(self) -> tuple[str, str] | None: ...
    def grouped_type(self) -> TypeRef | None: ...
    def func_type(self) -> str | None: ...
    def generic_type_args(self, allow_named: bool = False) -> bool: ...
    # Statements.
    def statements_until_semicolon(self, key: str) -> list[Stmt]: ...
    def block_until(self, *names: str) -> list[Stmt]: ...
    def recover_statement(self) -> None: ...
    def statement(self) -> Stmt | None: ...
    def if_statement(self) -> If: ...
    def case_statement(self) -> Case: ...
    def when_expression(self) -> Expr: ...
    def while_statement(self) -> While: ...
    def for_statement(self) -> ForEach | ForTo: ...
    def try_statement(self) -> Try: ...
    def scope_statement(self) -> Scope: ...
    def return_statement(self) -> Return: ...
    def starts_new_statement(self, prev_line: int) -> bool: ...
    def var_decl(self) -> VarDecl: ...
    def use_statement(self) -> VarDecl | UseStmt: ...
    def expression_statement(self) -> Assign | ExprStmt | None: ...
    # Expressions.
    def expression(self) -> Expr: ...
    def expression_ended(self) -> bool: ...
    def log_term(self) -> Expr: ...
    def log_fact(self) -> Expr: ...
    def log_primary(self) -> Expr: ...
    def simple_expression(self) -> Expr: ...
    def term(self) -> Expr: ...
    def exp(self) -> Expr: ...
    def fact(self) -> Expr: ...
    def method_ref(self) -> MethodRef: ...
    def feature_resolving(self) -> Expr: ...
    def maybe_call(self, callee: Expr) -> Expr: ...
    def starts_a_line(self) -> bool: ...
    def generic_call_args(self) -> bool: ...
    def call_args(self) -> list[CallArg]: ...
    def static_feature_resolving(self) -> Expr: ...
    def paren_or_lambda(self) -> Expr: ...
    def static_feature(self) -> Expr: ...
    def creator(self) -> New: ...
    def array_literal(self) -> ArrayLit: ...
    def map_literal(self) -> MapLit: ...
    def try_lambda_full(self) -> Lambda | None: ...
    def type_literal(self) -> Expr: ...
    def query_literal(self) -> Expr: ...
    def resolvable_literal(self) -> Expr: ...
    def postfix_after_literal(self, expr: Expr) -> Expr: ...
