"""Statements in method bodies: lists and line recovery, the control
statements, declarations, USE, assignments and expression statements."""
import pytest

from tarn import i18n
from tarn.parser import (
    Assign,
    Break,
    Call,
    CallArg,
    Case,
    CaseWhen,
    Compare,
    Continue,
    ExprStmt,
    ForEach,
    ForTo,
    If,
    IsType,
    Literal,
    Member,
    Method,
    Name,
    Return,
    Scope,
    Try,
    TypeRef,
    UseStmt,
    VarDecl,
    While,
    parse_text,
)


@pytest.fixture(autouse=True)
def english():
    i18n.set_language("en")


class Body:
    """A method body: the source wrapped in "method m()" ... ";", its parsed
    statements and diagnostics, and helpers that locate tokens in it."""

    HEAD = "method m()\n"

    def __init__(self, src, closed=True):
        self.text = self.HEAD + src + ("\n;" if closed else "")
        module, errors = parse_text(self.text)
        self.module = module
        self.method = module.members[0] if module.members else None
        self.stmts = self.method.body if isinstance(self.method, Method) else None
        self.errors = [(e.start, e.end, e.message) for e in errors]

    def at(self, needle, occurrence=1):
        i = len(self.HEAD) - 1
        for _ in range(occurrence):
            i = self.text.index(needle, i + 1)
        return i

    def end_of(self, needle, occurrence=1):
        return self.at(needle, occurrence) + len(needle)

    def name(self, text, occurrence=1):
        start = self.at(text, occurrence)
        return Name(start, start + len(text), text)

    def number(self, text, occurrence=1):
        start = self.at(text, occurrence)
        return Literal(start, start + len(text), "NUMBER", text)

    def type(self, text, occurrence=1):
        start = self.at(text, occurrence)
        return TypeRef(start, start + len(text), text, [text])

    def stmt(self, text, occurrence=1):
        """ExprStmt of a single name."""
        n = self.name(text, occurrence)
        return ExprStmt(n.start, n.end, n)

    def diag(self, needle, key, occurrence=1):
        start = self.at(needle, occurrence)
        return (start, start + len(needle), i18n.t(key))

    def eof(self, key):
        return (len(self.text), len(self.text) + 1, i18n.t(key))

    def implied(self, needle, occurrence=1):
        start = self.at(needle, occurrence)
        return Name(start, start, "")


# ---------------------------------------------------------------- lists and recovery


class TestStatementLists:
    def test_empty_body(self):
        b = Body("")
        assert (b.stmts, b.errors) == ([], [])
        assert b.method.end == len(b.text)

    def test_statements_need_no_separator(self):
        b = Body("a b\nc")
        assert b.errors == []
        assert b.stmts == [b.stmt("a"), b.stmt("b"), b.stmt("c")]

    def test_unreadable_line_is_dropped(self):
        b = Body("a\n) x y\nb")
        assert b.errors == [b.diag(")", "parser.expected-expr"), b.diag(")", "parser.statement-unparsed")]
        assert b.stmts == [b.stmt("a"), b.stmt("b")]

    def test_recovery_keeps_a_closing_semicolon(self):
        src = "method m()\n  ) x ;\nconst K"
        module, errors = parse_text(src)
        i = src.index("\n  )") + 3
        assert [(e.start, e.end) for e in errors] == [(i, i + 1), (i, i + 1)]
        assert errors[1].message == i18n.t("parser.statement-unparsed")
        method, const = module.members
        assert method.end == src.index(";") + 1
        assert const.name == "K"

    def test_missing_semicolon_at_end_of_file(self):
        b = Body("a", closed=False)
        assert b.errors == [b.eof("parser.expected-semicolon-method")]
        assert b.stmts == [b.stmt("a")]

    def test_deep_nesting_is_refused(self):
        depth = 3000
        with pytest.raises(RecursionError):
            parse_text("method m()\n" + "if a\n" * depth + ";\n" * depth + ";")

    def test_moderate_nesting(self):
        depth = 40
        b = Body("scope\n" * depth + ";\n" * depth)
        assert b.errors == []
        node = b.stmts[0]
        for _ in range(depth - 1):
            node = node.body[0]
        assert node.body == []


# ---------------------------------------------------------------- dispatch


class TestDispatch:
    def test_capitalised_keyword_assigned_to_is_a_name(self):
        b = Body("While = 1")
        assert b.errors == []
        assert b.stmts == [Assign(b.at("While"), b.end_of("1"), b.name("While"), "=", b.number("1"))]

    def test_capitalised_keyword_with_member_is_a_name(self):
        b = Body("Если.x")
        assert b.errors == []
        target = Member(b.at("Если"), b.end_of("x"), b.name("Если"), "x", False)
        assert b.stmts == [ExprStmt(target.start, target.end, target)]

    def test_capitalised_keyword_before_a_name_starts_the_statement(self):
        b = Body("While a\n  b\n;")
        assert b.errors == []
        assert b.stmts == [While(b.at("While"), b.end_of(";"), b.name("a"), [b.stmt("b")])]

    def test_break_and_continue_take_only_their_keyword(self):
        b = Body("break x continue")
        assert b.errors == []
        assert b.stmts == [
            Break(b.at("break"), b.end_of("break")),
            b.stmt("x"),
            Continue(b.at("continue"), b.end_of("continue")),
        ]


# ---------------------------------------------------------------- IF


class TestIf:
    def test_else_if_on_one_line(self):
        b = Body("if a\n  x\nelse if c\n  y\nelse\n  z\n;")
        assert b.errors == []
        assert b.stmts == [
            If(b.at("if"), b.end_of(";"),
               [(b.name("a"), [b.stmt("x")]), (b.name("c"), [b.stmt("y")])],
               [b.stmt("z")])
        ]

    def test_if_on_the_next_line_is_nested(self):
        b = Body("if a\n  x\nelse\n  if c\n    y\n  ;\n;")
        assert b.errors == []
        inner = If(b.at("if", 2), b.end_of(";"), [(b.name("c"), [b.stmt("y")])], None)
        assert b.stmts == [If(b.at("if"), b.end_of(";", 2), [(b.name("a"), [b.stmt("x")])], [inner])]

    def test_no_else(self):
        b = Body("if a x ;")
        assert b.stmts == [If(b.at("if"), b.end_of(";"), [(b.name("a"), [b.stmt("x")])], None)]

    def test_duplicate_else(self):
        b = Body("if a\n  x\nelse\n  y\nelse\n  z\n;", closed=False)
        second = b.at("else", 2)
        assert b.errors == [
            (second, second + 4, i18n.t("parser.duplicate-else")),
            (second, second + 4, i18n.t("parser.expected-semicolon-if")),
            (second, second + 4, i18n.t("parser.expected-expr")),
            (second, second + 4, i18n.t("parser.statement-unparsed")),
        ]
        assert b.stmts == [
            If(b.at("if"), b.end_of("y"), [(b.name("a"), [b.stmt("x")])], [b.stmt("y")]),
            b.stmt("z"),
        ]

    def test_missing_semicolon(self):
        b = Body("if a x", closed=False)
        assert b.errors == [b.eof("parser.expected-semicolon-if"), b.eof("parser.expected-semicolon-method")]
        assert b.stmts == [If(b.at("if"), b.end_of("x"), [(b.name("a"), [b.stmt("x")])], None)]


# ---------------------------------------------------------------- CASE


class TestCase:
    def test_subject_whens_and_else(self):
        b = Body("case v\nwhen 1, 2\n  x\nelse\n  y\n;")
        assert b.errors == []
        when = CaseWhen(b.at("when"), b.end_of("x"), [b.number("1"), b.number("2")], [b.stmt("x")])
        assert b.stmts == [Case(b.at("case"), b.end_of(";"), b.name("v"), [when], [b.stmt("y")])]

    def test_three_kinds_of_condition(self):
        b = Body("case\nwhen == 1, is not T, y\n  x\n;")
        assert b.errors == []
        compare = Compare(b.at("=="), b.end_of("1"), b.implied("=="), [("==", b.number("1"))])
        is_type = IsType(b.at("is"), b.end_of("T"), b.implied("is"), True, b.type("T"))
        when = CaseWhen(b.at("when"), b.end_of("x"), [compare, is_type, b.name("y")], [b.stmt("x")])
        assert b.stmts == [Case(b.at("case"), b.end_of(";"), None, [when], None)]

    @pytest.mark.parametrize("op", ["<", "<=", "==", ">=", ">", "!="])
    def test_every_comparison_operator(self, op):
        b = Body(f"case v when {op} 1 x ;")
        [when] = b.stmts[0].whens
        assert when.conditions == [Compare(b.at(op), b.end_of("1"), b.implied(op), [(op, b.number("1"))])]

    def test_type_condition_without_not(self):
        b = Body("case v when is T x ;")
        [when] = b.stmts[0].whens
        assert when.conditions == [IsType(b.at("is"), b.end_of("T"), b.implied("is"), False, b.type("T"))]

    def test_empty_case(self):
        b = Body("case ;")
        assert b.errors == []
        assert b.stmts == [Case(b.at("case"), b.end_of(";"), None, [], None)]

    def test_when_after_else_is_not_a_branch(self):
        b = Body("case v\nelse\n  x\nwhen 1\n  y\n;")
        when = b.at("when")
        assert b.errors[0] == (when, when + 4, i18n.t("parser.expected-semicolon-case"))
        case = b.stmts[0]
        assert (case.whens, case.else_body, case.end) == ([], [b.stmt("x")], b.end_of("x"))


# ---------------------------------------------------------------- loops


class TestLoops:
    def test_while(self):
        b = Body("пока a\n  x\n;")
        assert b.errors == []
        assert b.stmts == [While(b.at("пока"), b.end_of(";"), b.name("a"), [b.stmt("x")])]

    def test_while_missing_semicolon(self):
        b = Body("while a x", closed=False)
        assert b.errors == [b.eof("parser.expected-semicolon-while"), b.eof("parser.expected-semicolon-method")]

    def test_for_each(self):
        b = Body("for e in xs\n  x\n;")
        assert b.errors == []
        assert b.stmts == [ForEach(b.at("for"), b.end_of(";"), "e", b.name("xs"), [b.stmt("x", 2)])]

    def test_counted_down_without_step(self):
        b = Body("для к = 10 вниз по 1\n  x\n;")
        assert b.errors == []
        assert b.stmts == [
            ForTo(b.at("для"), b.end_of(";"), "к", b.number("10"), True, b.number("1", 2), None, [b.stmt("x")])
        ]

    def test_counted_with_step(self):
        b = Body("for i = 1 to 9 step 2 ;")
        assert b.errors == []
        assert b.stmts == [
            ForTo(b.at("for"), b.end_of(";"), "i", b.number("1"), False, b.number("9"), b.number("2"), [])
        ]

    def test_missing_equals(self):
        b = Body("for i 1 to 2 ;")
        assert b.errors == [b.diag("1", "parser.expected-eq-in-for")]
        assert b.stmts[0].start_expr == b.number("1")

    def test_missing_to(self):
        b = Body("for i = 1 2 ;")
        assert b.errors == [b.diag("2", "parser.expected-po-in-for")]
        assert (b.stmts[0].start_expr, b.stmts[0].to) == (b.number("1"), b.number("2"))

    def test_missing_variable(self):
        b = Body("for = 1 to 2 ;")
        assert b.errors == [b.diag("=", "parser.expected-loop-var")]
        assert b.stmts[0].var == ""

    def test_missing_semicolon(self):
        b = Body("for x in xs", closed=False)
        assert b.errors == [b.eof("parser.expected-semicolon-for"), b.eof("parser.expected-semicolon-method")]


# ---------------------------------------------------------------- TRY and SCOPE


class TestTry:
    def test_catches_and_finally(self):
        b = Body("try\n  u\ncatch e: E1\n  v\ncatch f: E2\n  w\nfinally\n  z\n;")
        assert b.errors == []
        assert b.stmts == [
            Try(b.at("try"), b.end_of(";"), [b.stmt("u")],
                [("e", b.type("E1"), [b.stmt("v")]), ("f", b.type("E2"), [b.stmt("w")])],
                [b.stmt("z")])
        ]

    def test_no_finally(self):
        b = Body("try a ;")
        assert b.stmts == [Try(b.at("try"), b.end_of(";"), [b.stmt("a")], [], None)]

    def test_missing_variable_and_colon(self):
        b = Body("try u catch : T v catch e U w ;")
        assert b.errors == [b.diag(":", "parser.expected-catch-var"), b.diag("U", "parser.expected-colon-catch")]
        assert b.stmts[0].catches == [("", b.type("T"), [b.stmt("v")]), ("e", b.type("U"), [b.stmt("w")])]

    def test_missing_type(self):
        b = Body("try a catch e:\n;")
        assert b.errors == [b.diag(";", "parser.expected-type-name")]
        assert b.stmts[0].catches == [("e", None, [])]

    def test_catch_after_finally_ends_it(self):
        b = Body("try u finally v catch e: T w ;")
        catch = b.at("catch")
        assert b.errors[0] == (catch, catch + 5, i18n.t("parser.expected-semicolon-try"))
        assert b.stmts[0] == Try(b.at("try"), b.end_of("v"), [b.stmt("u")], [], [b.stmt("v")])


class TestScope:
    def test_scope(self):
        b = Body("область\n  a\n;")
        assert b.errors == []
        assert b.stmts == [Scope(b.at("область"), b.end_of(";"), [b.stmt("a")])]

    def test_missing_semicolon(self):
        b = Body("scope a", closed=False)
        assert b.errors == [b.eof("parser.expected-semicolon-scope"), b.eof("parser.expected-semicolon-method")]


# ---------------------------------------------------------------- RETURN


class TestReturn:
    def test_before_semicolon(self):
        b = Body("return ;", closed=False)
        assert b.stmts == [Return(b.at("return"), b.end_of("return"), None)]

    def test_with_value(self):
        b = Body("return x")
        assert b.stmts == [Return(b.at("return"), b.end_of("x"), b.name("x"))]

    def test_next_line_with_statement_keyword(self):
        b = Body("return\nif a x ;")
        assert b.errors == []
        assert b.stmts[0] == Return(b.at("return"), b.end_of("return"), None)
        assert isinstance(b.stmts[1], If)

    def test_next_line_with_a_name_is_the_value(self):
        b = Body("return\nx")
        assert b.stmts == [Return(b.at("return"), b.end_of("x"), b.name("x"))]

    def test_before_a_branch_keyword_on_the_same_line(self):
        b = Body("if a return else x ;")
        assert b.errors == []
        assert b.stmts == [
            If(b.at("if"), b.end_of(";"), [(b.name("a"), [Return(b.at("return"), b.end_of("return"), None)])],
               [b.stmt("x")])
        ]

    def test_at_end_of_file(self):
        b = Body("return", closed=False)
        assert b.stmts == [Return(b.at("return"), b.end_of("return"), None)]


# ---------------------------------------------------------------- declarations


class TestDeclarations:
    def test_var_with_type_and_value(self):
        b = Body("var x: T = 1")
        assert b.errors == []
        assert b.stmts == [VarDecl(b.at("var"), b.end_of("1"), "VAR", "x", b.type("T"), b.number("1"))]

    def test_val_russian_form(self):
        b = Body("знч а = 1")
        assert b.stmts == [VarDecl(b.at("знч"), b.end_of("1"), "VAL", "а", None, b.number("1"))]

    def test_neither_type_nor_value(self):
        b = Body("var x")
        assert b.errors == [b.diag("x", "parser.decl-needs-type-or-value")]
        assert b.stmts == [VarDecl(b.at("var"), b.end_of("x"), "VAR", "x", None, None)]

    def test_no_name_and_nothing_else(self):
        b = Body("val")
        assert b.errors == [b.diag(";", "parser.expected-var-name"), b.diag("val", "parser.decl-needs-type-or-value")]
        assert b.stmts == [VarDecl(b.at("val"), b.end_of("val"), "VAL", "", None, None)]

    def test_colon_without_type(self):
        b = Body("var x:")
        assert b.errors == [b.diag(";", "parser.expected-type-name"), b.diag("x", "parser.decl-needs-type-or-value")]
        assert b.stmts == [VarDecl(b.at("var"), b.end_of(":"), "VAR", "x", None, None)]

    def test_use_declaration(self):
        b = Body("use r = x")
        assert b.errors == []
        assert b.stmts == [VarDecl(b.at("use"), b.end_of("x"), "USE", "r", None, b.name("x"))]

    def test_use_declaration_needs_no_value(self):
        b = Body("use r: T")
        assert b.errors == []
        assert b.stmts == [VarDecl(b.at("use"), b.end_of("T"), "USE", "r", b.type("T"), None)]

    def test_use_expression(self):
        b = Body("use r x")
        assert b.errors == []
        assert b.stmts == [UseStmt(b.at("use"), b.end_of("r"), b.name("r")), b.stmt("x")]


class TestAssignments:
    @pytest.mark.parametrize("op", ["=", "+=", "-=", "*=", "/="])
    def test_operators(self, op):
        b = Body(f"x {op} y")
        assert b.errors == []
        assert b.stmts == [Assign(b.at("x"), b.end_of("y"), b.name("x"), op, b.name("y"))]

    def test_missing_value_before_semicolon(self):
        b = Body("x += ;", closed=False)
        assert b.errors == [b.diag("+=", "parser.expected-expr-after-assign")]
        assert b.stmts == [Assign(b.at("x"), b.end_of("+="), b.name("x"), "+=", None)]

    def test_missing_value_at_end_of_file(self):
        b = Body("x =", closed=False)
        assert b.errors == [b.diag("=", "parser.expected-expr-after-assign"), b.eof("parser.expected-semicolon-method")]
        assert b.stmts == [Assign(b.at("x"), b.end_of("="), b.name("x"), "=", None)]

    def test_target_is_not_validated(self):
        b = Body("1 = 2")
        assert b.errors == []
        assert b.stmts == [Assign(b.at("1"), b.end_of("2"), b.number("1"), "=", b.number("2"))]

    def test_call_statement_has_the_call_span(self):
        b = Body("f(x)")
        assert b.errors == []
        call = Call(b.at("f"), b.end_of(")"), b.name("f"), [CallArg(b.at("x"), b.end_of("x"), None, b.name("x"))])
        assert b.stmts == [ExprStmt(call.start, call.end, call)]
