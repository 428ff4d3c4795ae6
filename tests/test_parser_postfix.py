"""What follows an operand: members, indexing, "!", calls with named
arguments and explicit type arguments, the line rule for "(", and method
references."""
import pytest

from tarn import i18n
from tarn.parser import (
    Call,
    CallArg,
    Compare,
    ExprStmt,
    Index,
    Literal,
    Member,
    MethodRef,
    Name,
    NonNull,
    TypeRef,
)
from test_parser_expressions import Value


@pytest.fixture(autouse=True)
def english():
    i18n.set_language("en")


def member(obj, v, name, safe=False, occurrence=1):
    return Member(obj.start, v.end(name, occurrence), obj, name, safe)


def positional(value):
    return CallArg(value.start, value.end, None, value)


class TestChain:
    def test_members_group_to_the_left(self):
        v = Value("a.b.c")
        assert v.value == member(member(v.name("a"), v, "b"), v, "c")

    def test_safe_member(self):
        v = Value("a?.b")
        assert v.value == member(v.name("a"), v, "b", safe=True)

    def test_new_after_a_dot_is_a_member_name(self):
        v = Value("x.New")
        assert v.value == member(v.name("x"), v, "New")
        v = Value("x.новый")
        assert v.value == member(v.name("x"), v, "новый")

    def test_missing_member_name(self):
        v = Value("a.")
        assert v.value == v.name("a")
        assert v.errors == [v.diag(";", "parser.expected-name-after-dot")]

    def test_index_and_empty_index(self):
        v = Value("a[1][]")
        first = Index(v.at("a"), v.end("]"), v.name("a"), v.number("1"))
        assert v.value == Index(v.at("a"), v.end("[]"), first, None)

    def test_unclosed_index(self):
        v = Value("a[1")
        assert v.value == Index(v.at("a"), v.end("1"), v.name("a"), v.number("1"))
        assert v.errors == [v.diag(";", "parser.expected-rbracket-index")]

    def test_bang_is_the_non_null_assertion(self):
        v = Value("a!.b")
        assert v.value == member(NonNull(v.at("a"), v.end("!"), v.name("a")), v, "b")

    def test_there_is_no_prefix_bang(self):
        v = Value("!a")
        placeholder = Name(v.at("!"), v.at("!"), "")
        assert v.value == NonNull(v.at("!"), v.end("!"), placeholder)
        assert v.body[1] == ExprStmt(v.at("a"), v.end("a"), v.name("a"))
        assert v.errors == [v.diag("!", "parser.expected-expr")]

    def test_chain_continues_across_lines(self):
        v = Value("a\n  .b\n  [0]")
        assert v.value == Index(v.at("a"), v.end("]"), member(v.name("a"), v, "b"), v.number("0"))


class TestCalls:
    def test_member_call(self):
        v = Value("a.b(1)")
        assert v.value == Call(v.at("a"), v.end(")"), member(v.name("a"), v, "b"), [positional(v.number("1"))], [])

    def test_a_paren_on_a_new_line_is_no_call(self):
        v = Value("a.b\n(1)")
        assert v.value == member(v.name("a"), v, "b")
        assert v.body[1] == ExprStmt(v.at("1"), v.end("1"), v.number("1"))

    @pytest.mark.parametrize("text", ["f(x)(y)", "a[0](y)", "a!(y)"])
    def test_only_names_and_members_are_called(self, text):
        v = Value(text)
        assert v.value.end == v.at("(y)")
        assert v.body[1] == ExprStmt(v.at("y"), v.end("y"), v.name("y"))

    def test_named_and_positional_arguments(self):
        v = Value("g(a = 1, b)")
        named = CallArg(v.at("a"), v.end("1"), "a", v.number("1"))
        assert v.value.args == [named, positional(v.name("b"))]

    def test_equality_is_not_a_named_argument(self):
        v = Value("g(a == 1)")
        compare = Compare(v.at("a"), v.end("1"), v.name("a"), [("==", v.number("1"))])
        assert v.value.args == [positional(compare)]

    def test_trailing_comma_and_empty_slots(self):
        v = Value("g(1,)")
        assert v.value.args == [positional(v.number("1"))]
        v = Value("g(,1)")
        # The empty slot ends where the "(" ends, before its own start.
        assert v.value.args == [CallArg(v.at(","), v.end("("), None, None), positional(v.number("1"))]
        assert Value("g()").value.args == []

    def test_unclosed_call(self):
        v = Value("g(1")
        assert v.value == Call(v.at("g"), v.end("1"), v.name("g"), [positional(v.number("1"))], [])
        assert v.errors == [v.diag(";", "parser.expected-rparen-call")]


class TestTypeArguments:
    @pytest.mark.parametrize("group", ["<T>", "< T , U >", "<Список<T>, T?>"])
    def test_explicit_type_arguments(self, group):
        v = Value(f"f{group}(x)")
        typ = TypeRef(v.at("<"), v.end(">", group.count(">")), group.replace(" ", ""), [], False)
        assert v.value == Call(v.at("f"), v.end(")"), v.name("f"), [positional(v.name("x"))], [typ])
        assert v.errors == []

    def test_a_comparison_shaped_like_a_call(self):
        v = Value("a < b > (c)")
        typ = TypeRef(v.at("<"), v.end(">"), "<b>", [], False)
        assert v.value == Call(v.at("a"), v.end(")"), v.name("a"), [positional(v.name("c"))], [typ])

    @pytest.mark.parametrize("text", ["a < b", "a < b > c", "a < 1 > (c)", "f(a < b, c > d)"])
    def test_comparisons_leave_no_trace_of_the_attempt(self, text):
        v = Value(text)
        compare = v.value.args[0].value if isinstance(v.value, Call) else v.value
        assert isinstance(compare, Compare)
        assert v.errors == []

    def test_empty_group_is_less_than(self):
        v = Value("f<>(x)")
        placeholder = Name(v.at(">"), v.at(">"), "")
        assert v.value == Compare(v.at("f"), v.end("x"), v.name("f"), [("<", placeholder), (">", v.name("x"))])
        assert v.errors == [v.diag(">", "parser.expected-expr")]

    def test_group_before_a_paren_on_a_new_line_is_rolled_back(self):
        v = Value("f<T>\n(x)")
        assert v.value == Compare(v.at("f"), v.end("x"), v.name("f"), [("<", v.name("T")), (">", v.name("x"))])
        assert v.errors == []


class TestMethodRef:
    def ref(self, text, expected_text=None):
        v = Value(text)
        return v, MethodRef(v.at("&"), v.at("&") + len(text.rstrip()), expected_text or text[1:].replace(" ", ""))

    @pytest.mark.parametrize("text", ["&M", "&A::B.C(T1, T2)", "& A :: B . C ( T1 , T2 )", "&List<String>.new",
                                      "&этот.метод", "&global.f", "&A.тип.new", "&f()", "&f<T>(T,)"])
    def test_whole_reference(self, text):
        v, expected = self.ref(text)
        assert v.value == expected
        assert v.errors == []

    def test_parameter_list_that_is_not_a_type_list_is_left(self):
        v = Value("&M(1)")
        assert v.value == MethodRef(v.at("&"), v.end("M"), "M")
        assert v.body[1] == ExprStmt(v.at("1"), v.end("1"), v.number("1"))
        assert v.errors == []

    def test_unclosed_parameter_list_is_left(self):
        v = Value("&M(T")
        assert v.value == MethodRef(v.at("&"), v.end("M"), "M")

    def test_dot_before_a_capitalised_statement_keyword_is_left(self):
        v = Value("&A.Если")
        assert v.value == MethodRef(v.at("&"), v.end("A"), "A")

    def test_nothing_after_the_ampersand(self):
        v = Value("&")
        assert v.value == MethodRef(v.at("&"), v.at("&") + 1, "")
        assert v.errors == [v.diag(";", "parser.expected-name-in-method-ref")]

    def test_receiver_keyword_without_dot(self):
        v = Value("&этот")
        assert v.value == MethodRef(v.at("&"), v.end("этот"), "этот")
        assert v.errors == [v.diag(";", "parser.expected-dot-in-method-ref"), v.diag(";", "parser.expected-name-in-method-ref")]

    def test_missing_name_after_colons(self):
        v = Value("&A::")
        assert v.value == MethodRef(v.at("&"), v.end("::"), "A::")
        assert v.errors == [v.diag(";", "parser.expected-name-after-colons")]

    def test_type_arguments_that_do_not_close_are_left(self):
        v = Value("&f<1>")
        ref = MethodRef(v.at("&"), v.end("f"), "f")
        assert v.value == Compare(v.at("&"), v.end("f"), ref, [("<", v.number("1")), (">", None)])
        assert v.errors == []
