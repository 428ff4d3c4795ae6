"""Operands: names and "::" paths, keyword values, literal tokens, THROW,
creators, parentheses, the three lambda forms, and what an expression
position refuses."""
import pytest

from tarn import i18n
from tarn.parser import (
    Binary,
    Call,
    CallArg,
    ExprStmt,
    GlobalAccess,
    Lambda,
    Literal,
    Member,
    Name,
    New,
    Param,
    Return,
    This,
    Throw,
    TypeRef,
    parse_text,
)
from test_parser_expressions import Value


@pytest.fixture(autouse=True)
def english():
    i18n.set_language("en")


def param(v, name, occurrence=1, type=None):
    start = v.at(name, occurrence)
    return Param(start, type.end if type else start + len(name), name, type, None, [])


class TestRefusals:
    def test_closing_token_gives_a_zero_width_placeholder(self):
        v = Value(")")
        assert v.value == Name(v.at(")"), v.at(")"), "")
        # the ")" is still there: the statement list reads it again and gives up
        expected = v.diag(")", "parser.expected-expr")
        assert v.errors == [expected, expected, v.diag(")", "parser.statement-unparsed")]

    @pytest.mark.parametrize("keyword", ["возврат", "return", "если", "пока", "для", "попытка", "выбор", "область"])
    def test_statement_keyword(self, keyword):
        v = Value(f"{keyword} x")
        assert v.value == Name(v.at(keyword), v.at(keyword), "")
        message = i18n.t("parser.statement-not-expr", kw=keyword)
        assert keyword in message
        assert v.errors[0] == (v.at(keyword), v.end(keyword), message)

    def test_statement_keyword_is_left_for_the_statement_grammar(self):
        v = Value("возврат x")
        assert v.body[1] == Return(v.at("возврат"), v.end("x"), v.name("x"))

    @pytest.mark.parametrize("keyword", ["прервать", "continue", "пер", "val", "исп"])
    def test_other_keywords_are_just_unexpected(self, keyword):
        v = Value(f"{keyword} x")
        assert v.value == Name(v.at(keyword), v.at(keyword), "")
        assert v.errors[0] == v.diag(keyword, "parser.expected-expr")

    def test_capitalised_statement_keyword_is_a_name(self):
        v = Value("Если + Пока")
        assert v.value == Binary(v.at("Если"), v.end("Пока"), "+", v.name("Если"), v.name("Пока"))
        assert v.errors == []


class TestKeywordValues:
    @pytest.mark.parametrize("text,kind", [("истина", "TRUE"), ("false", "FALSE"), ("неопределено", "UNDEFINED")])
    def test_literal_keywords_keep_their_written_form(self, text, kind):
        v = Value(text)
        assert v.value == Literal(v.at(text), v.end(text), kind, text)

    @pytest.mark.parametrize("text,kind", [("12", "NUMBER"), ("1.5", "NUMBER"), ('"a b"', "STRING"), ("'[a-z]'", "PATTERN")])
    def test_literal_tokens(self, text, kind):
        v = Value(text)
        assert v.value == Literal(v.at(text), v.end(text), kind, text)

    def test_this_and_global(self):
        v = Value("этот")
        assert v.value == This(v.at("этот"), v.end("этот"))
        for text in ["global", "глобально"]:
            v = Value(text)
            assert v.value == GlobalAccess(v.at(text), v.end(text))

    def test_throw(self):
        v = Value("выбросить Ошибка(1)")
        call = Call(v.at("Ошибка"), v.end(")"), v.name("Ошибка"), [CallArg(v.at("1"), v.end("1"), None, v.number("1"))], [])
        assert v.value == Throw(v.at("выбросить"), v.end(")"), call)

    def test_throw_closed_at_once(self):
        v = Value("выбросить")
        assert v.value == Throw(v.at("выбросить"), v.end("выбросить"), None)
        assert v.errors == []


class TestNames:
    def test_path(self):
        v = Value("A::B::C")
        assert v.value == Name(v.at("A"), v.end("C"), "A::B::C")

    def test_path_missing_a_part(self):
        v = Value("A::")
        assert v.value == Name(v.at("A"), v.end("::"), "A")
        assert v.errors == [v.diag(";", "parser.expected-name-after-colons")]

    def test_keywords_allowed_as_names(self):
        v = Value("метод.тип + Конструктор")
        method = Name(v.at("метод"), v.end("метод"), "метод")
        left = Member(v.at("метод"), v.end("тип"), method, "тип", False)
        assert v.value == Binary(v.at("метод"), v.end("Конструктор"), "+", left, v.name("Конструктор"))

    def test_name_touching_a_brace_is_a_resolvable_literal(self):
        v = Value("X{y}")
        assert v.value == Literal(v.at("X"), v.end("}"), "RESOLVABLE", "X")

    def test_name_before_a_spaced_brace_is_a_name(self):
        v = Value("X {y}")
        assert v.value == v.name("X")
        assert v.body[1].expr.kind == "set"


class TestArrowLambdas:
    def test_one_parameter(self):
        v = Value("x -> x * 2")
        body = Binary(v.at("x", 2), v.end("2"), "*", v.name("x", 2), v.number("2"))
        assert v.value == Lambda(v.at("x"), v.end("2"), [param(v, "x")], body, None)

    def test_path_names_its_parameter_by_the_last_part(self):
        v = Value("A::b -> 1")
        assert v.value == Lambda(v.at("A"), v.end("1"), [Param(v.at("A"), v.end("b"), "b", None, None, [])], v.number("1"), None)

    def test_parameter_list(self):
        v = Value("(a, b) -> a + b")
        body = Binary(v.at("a", 2), v.end("b", 2), "+", v.name("a", 2), v.name("b", 2))
        assert v.value == Lambda(v.at("("), v.end("b", 2), [param(v, "a"), param(v, "b")], body, None)

    def test_typed_parameter_and_empty_list(self):
        v = Value("(x: Т) -> x")
        typ = TypeRef(v.at("Т"), v.end("Т"), "Т", ["Т"], False)
        assert v.value.params == [param(v, "x", type=typ)]
        v = Value("() -> 1")
        assert v.value == Lambda(v.at("("), v.end("1"), [], v.number("1"), None)

    def test_body_closed_at_once(self):
        v = Value("(x) ->")
        assert v.value == Lambda(v.at("("), v.end("->"), [param(v, "x")], None, None)
        assert v.errors == []


class TestParentheses:
    def test_parentheses_leave_no_node(self):
        v = Value("(a + b)")
        assert v.value == Binary(v.at("a"), v.end("b"), "+", v.name("a"), v.name("b"))

    def test_a_list_without_arrow_is_the_first_expression(self):
        v = Value("(a, b)")
        assert v.value == v.name("a")
        assert v.errors[0] == v.diag(",", "parser.expected-rparen-paren")

    def test_abandoned_lambda_reading_leaves_no_diagnostic(self):
        # the lambda reading reads the type "Т" (its "<1>" is no type
        # argument list) and fails at the "<"
        v = Value("(x: Т<1>)")
        assert v.errors[0] == v.diag(":", "parser.expected-rparen-paren")
        assert i18n.t("parser.expected-type-name") not in [e[2] for e in v.errors]


class TestBlockLambda:
    SRC = "метод m()\n    знч v = метод(x) -> возврат x\n    ;\n;"

    def test_block_lambda(self):
        module, errors = parse_text(self.SRC)
        lam = module.members[0].body[0].init
        start = self.SRC.index("метод(x)")
        x = self.SRC.index("x)")
        ret = self.SRC.index("возврат")
        body = [Return(ret, ret + len("возврат x"), Name(ret + 8, ret + 9, "x"))]
        assert lam == Lambda(start, self.SRC.index(";") + 1, [Param(x, x + 1, "x", None, None, [])], None, body)
        assert errors == []

    def test_method_keyword_without_arrow_is_called(self):
        v = Value("метод(x) + 1")
        call = Call(v.at("метод"), v.end(")"), Name(v.at("метод"), v.end("метод"), "метод"),
                    [CallArg(v.at("x"), v.end("x"), None, v.name("x"))], [])
        assert v.value == Binary(v.at("метод"), v.end("1"), "+", call, v.number("1"))
        assert v.errors == []

    def test_unclosed_block_lambda(self):
        src = "знч v = метод() -> возврат 1"
        module, errors = parse_text(src)
        lam = module.members[0].init
        assert lam.body_stmts == [Return(src.index("возврат"), len(src), Literal(len(src) - 1, len(src), "NUMBER", "1"))]
        assert [(e.start, e.end, e.message) for e in errors] == [(len(src), len(src) + 1, i18n.t("parser.expected-semicolon-lambda"))]


class TestCreator:
    def test_creator_with_arguments(self):
        v = Value("новый Т(1)")
        typ = TypeRef(v.at("новый"), v.end("Т"), "Т", ["Т"], False)
        assert v.value == New(v.at("новый"), v.end(")"), typ, [CallArg(v.at("1"), v.end("1"), None, v.number("1"))])

    def test_creator_of_a_generic_type_without_arguments(self):
        v = Value("новый Список<Т>")
        typ = TypeRef(v.at("новый"), v.end(">"), "Список<Т>", ["Список"], False)
        assert v.value == New(v.at("новый"), v.end(">"), typ, None)

    def test_arguments_on_the_next_line_still_belong_to_the_creator(self):
        v = Value("новый Т\n(1)")
        assert v.value.args == [CallArg(v.at("1"), v.end("1"), None, v.number("1"))]

    def test_missing_type(self):
        v = Value("новый")
        start = v.at("новый")
        assert v.value == New(start, v.end("новый"), TypeRef(start, start, "", [], False), None)
        assert v.errors == [v.diag(";", "parser.expected-type-after-new")]

    def test_chain_after_a_creator(self):
        v = Value("новый Т().x")
        assert isinstance(v.value, Member)
        assert isinstance(v.value.obj, New)
