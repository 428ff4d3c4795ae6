"""Array, set and map literals (plain and with explicit type arguments), and
the type, query and resolvable literals whose inside is not analysed."""
import pytest

from tarn import i18n
from tarn.parser import (
    ArrayLit,
    Call,
    CallArg,
    Compare,
    ExprStmt,
    Index,
    Literal,
    MapLit,
    Member,
    Name,
    TypeRef,
    parse_text,
)
from test_parser_expressions import Value


@pytest.fixture(autouse=True)
def english():
    i18n.set_language("en")


def group(v, text):
    """The one-TypeRef type-argument list for the group written as `text`."""
    return [TypeRef(v.at(text), v.end(text), text.replace(" ", ""), [], False)]


class TestArrays:
    def test_empty(self):
        v = Value("[]")
        assert v.value == ArrayLit(v.at("["), v.end("]"), [], [])

    def test_trailing_comma_adds_nothing(self):
        v = Value("[1, 2,]")
        assert v.value == ArrayLit(v.at("["), v.end("]"), [v.number("1"), v.number("2")], [])

    def test_empty_slot_is_a_placeholder(self):
        v = Value("[1, , 2]")
        assert v.value.items[1] == Name(v.at(",", 2), v.at(",", 2), "")
        assert v.errors == [v.diag(",", "parser.expected-expr", 2)]

    def test_unclosed(self):
        v = Value("[1")
        assert v.value == ArrayLit(v.at("["), v.end("1"), [v.number("1")], [])
        assert v.errors == [v.diag(";", "parser.expected-rbracket-array")]

    def test_typed(self):
        v = Value("<Т>[1]")
        assert v.value == ArrayLit(v.at("<"), v.end("]"), [v.number("1")], group(v, "<Т>"))


class TestSetsAndMaps:
    @pytest.mark.parametrize("text,kind", [("{}", "set"), ("{:}", "map")])
    def test_empty(self, text, kind):
        v = Value(text)
        assert v.value == MapLit(v.at("{"), v.end("}"), [], kind, [])

    def test_set(self):
        v = Value("{1, 2}")
        assert v.value == MapLit(v.at("{"), v.end("}"), [(v.number("1"), None), (v.number("2"), None)], "set", [])

    def test_one_colon_makes_a_map_and_entries_without_one_stay_valueless(self):
        v = Value("{a: 1, b}")
        assert v.value == MapLit(v.at("{"), v.end("}"), [(v.name("a"), v.number("1")), (v.name("b"), None)], "map", [])

    def test_missing_value(self):
        v = Value("{a:}")
        assert v.value == MapLit(v.at("{"), v.end("}"), [(v.name("a"), None)], "map", [])
        assert v.errors == []

    def test_unclosed(self):
        v = Value("{1")
        assert v.value == MapLit(v.at("{"), v.end("1"), [(v.number("1"), None)], "set", [])
        assert v.errors == [v.diag(";", "parser.expected-rbrace-map")]

    def test_message_shows_one_brace(self):
        assert "}}" not in i18n.t("parser.expected-rbrace-map")
        assert "}" in i18n.t("parser.expected-rbrace-map")

    def test_typed(self):
        v = Value("<K, V>{:}")
        assert v.value == MapLit(v.at("<"), v.end("}"), [], "map", group(v, "<K, V>"))

    def test_typed_set_of_nested_generics(self):
        v = Value("<Список<Т>>{}")
        assert v.value == MapLit(v.at("<"), v.end("}"), [], "set", group(v, "<Список<Т>>"))


class TestDeclinedTypedLiteral:
    def test_group_without_a_literal_declines(self):
        v = Value("<Т>")
        placeholder = Name(v.at("<"), v.at("<"), "")
        assert v.value == Compare(v.at("<"), v.at("<"), placeholder, [("<", v.name("Т")), (">", None)])
        assert v.errors == [v.diag("<", "parser.expected-expr")]

    def test_unclosable_group_declines(self):
        v = Value("< 1")
        assert v.errors == [v.diag("<", "parser.expected-expr")]


class TestTypeLiteral:
    def test_type_literal(self):
        v = Value("тип<Список<Т>>")
        assert v.value == Literal(v.at("тип"), v.end(">>"), "TYPE", "")
        assert v.errors == []

    def test_keyword_as_a_name(self):
        v = Value("тип.имя")
        keyword = Name(v.at("тип"), v.end("тип"), "тип")
        assert v.value == Member(v.at("тип"), v.end("имя"), keyword, "имя", False)
        v = Value("type(1)")
        keyword = Name(v.at("type"), v.end("type"), "type")
        assert v.value == Call(v.at("type"), v.end(")"), keyword, [CallArg(v.at("1"), v.end("1"), None, v.number("1"))], [])

    def test_less_than_always_opens_a_type_literal(self):
        v = Value("тип < 5")
        assert v.value == Literal(v.at("тип"), v.end("<"), "TYPE", "")
        assert v.errors[0] == v.diag("5", "parser.expected-gt-in-type-literal")


class TestQueryLiteral:
    def test_nested_braces(self):
        v = Value("запрос{ a { b } c }")
        assert v.value == Literal(v.at("запрос"), v.end("}", 2), "QUERY", "")
        assert v.errors == []

    def test_braces_in_strings_do_not_count(self):
        v = Value('запрос{ "}" }')
        assert v.value == Literal(v.at("запрос"), v.end("}", 2), "QUERY", "")

    def test_keyword_as_a_name(self):
        v = Value("запрос(1)")
        assert isinstance(v.value, Call)
        assert v.value.callee == Name(v.at("запрос"), v.end("запрос"), "запрос")

    def test_unclosed_block_runs_to_the_end_and_is_reported(self):
        src = "знч v = запрос{ a { b }"
        module, errors = parse_text(src)
        assert module.members[0].init == Literal(src.index("запрос"), len(src), "QUERY", "")
        brace = src.index("{")
        assert [(e.start, e.end, e.message) for e in errors] == [(brace, brace + 1, i18n.t("parser.unclosed-block"))]


class TestResolvableLiteral:
    def test_member_call_after_the_literal(self):
        v = Value("X{y}.m()")
        lit = Literal(v.at("X"), v.end("}"), "RESOLVABLE", "X")
        assert v.value == Call(v.at("X"), v.end(")"), Member(v.at("X"), v.end("m"), lit, "m", False), [], [])

    def test_safe_member_index_and_bang_after_the_literal(self):
        v = Value("X{y}?.m[0]!")
        lit = Literal(v.at("X"), v.end("}"), "RESOLVABLE", "X")
        index = Index(v.at("X"), v.end("]"), Member(v.at("X"), v.end("m"), lit, "m", True), v.number("0"))
        assert v.value.operand == index

    def test_only_a_name_may_follow_the_dot(self):
        v = Value("X{y}.новый")
        assert v.value == Literal(v.at("X"), v.end("}"), "RESOLVABLE", "X")
        assert v.errors[0] == v.diag("новый", "parser.expected-name-after-dot")

    def test_unclosed_block(self):
        src = "знч v = X{ y"
        module, errors = parse_text(src)
        assert module.members[0].init == Literal(src.index("X"), len(src), "RESOLVABLE", "X")
        brace = src.index("{")
        assert [(e.start, e.end, e.message) for e in errors] == [(brace, brace + 1, i18n.t("parser.unclosed-block"))]

    def test_a_literal_is_not_called_directly(self):
        v = Value("X{y}(1)")
        assert v.value == Literal(v.at("X"), v.end("}"), "RESOLVABLE", "X")
        assert v.body[1] == ExprStmt(v.at("1"), v.end("1"), v.number("1"))
