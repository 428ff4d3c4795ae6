"""The expression ladder: precedence and grouping of OR, AND, NOT, the type
tests, comparison chains, the arithmetic levels and the "!", "??" and "?"
suffixes, with the "?" ambiguity after IS."""
import pytest

from tarn import i18n
from tarn.parser import (
    AsType,
    Binary,
    Coalesce,
    Compare,
    ExprStmt,
    IsType,
    Literal,
    Name,
    NonNull,
    Ternary,
    TypeRef,
    Unary,
    parse_text,
)


@pytest.fixture(autouse=True)
def english():
    i18n.set_language("en")


class Value:
    """`text` as the initial value of a local constant in a method body whose
    closing ";" stands on the next line; offsets are found by searching the
    source after the prefix."""

    PREFIX = "метод m()\n    знч v = "

    def __init__(self, text):
        self.src = self.PREFIX + text + "\n;"
        module, errors = parse_text(self.src)
        self.body = module.members[0].body
        self.value = self.body[0].init
        self.errors = [(e.start, e.end, e.message) for e in errors]

    def at(self, needle, occurrence=1):
        i = len(self.PREFIX) - 1
        for _ in range(occurrence):
            i = self.src.index(needle, i + 1)
        return i

    def end(self, needle, occurrence=1):
        return self.at(needle, occurrence) + len(needle)

    def name(self, text, occurrence=1):
        return Name(self.at(text, occurrence), self.end(text, occurrence), text)

    def number(self, text, occurrence=1):
        return Literal(self.at(text, occurrence), self.end(text, occurrence), "NUMBER", text)

    def type(self, text, occurrence=1, nullable=False):
        start = self.at(text, occurrence)
        return TypeRef(start, start + len(text), text, [text.rstrip("?")], nullable)

    def diag(self, needle, key, occurrence=1):
        return (self.at(needle, occurrence), self.end(needle, occurrence), i18n.t(key))


def binary(op, left, right):
    return Binary(left.start, right.end if right else left.end, op, left, right)


class TestLevels:
    @pytest.mark.parametrize("text", ["a или b и c", "a or b and c", "a Или b И c"])
    def test_and_binds_tighter_than_or_and_keeps_the_written_form(self, text):
        v = Value(text)
        or_, and_ = text.split()[1], text.split()[3]
        assert v.value == binary(or_, v.name("a"), binary(and_, v.name("b"), v.name("c")))
        assert v.errors == []

    def test_not_is_looser_than_comparison_and_tighter_than_and(self):
        v = Value("не a == b и c")
        compare = Compare(v.at("a"), v.end("b"), v.name("a"), [("==", v.name("b"))])
        negation = Unary(v.at("не"), v.end("b"), "не", compare)
        assert v.value == binary("и", negation, v.name("c"))

    def test_not_nests_to_the_right(self):
        v = Value("не не a")
        inner = Unary(v.at("не", 2), v.end("a"), "не", v.name("a"))
        assert v.value == Unary(v.at("не"), v.end("a"), "не", inner)

    def test_not_is_refused_inside_a_comparison(self):
        v = Value("a == не b")
        placeholder = Name(v.at("не"), v.at("не"), "")
        assert v.value == Compare(v.at("a"), v.at("не"), v.name("a"), [("==", placeholder)])
        assert v.errors[0] == v.diag("не", "parser.expected-expr")

    def test_arithmetic_levels(self):
        v = Value("a + b * c % d - e")
        product = binary("%", binary("*", v.name("b"), v.name("c")), v.name("d"))
        assert v.value == binary("-", binary("+", v.name("a"), product), v.name("e"))

    def test_subtraction_groups_to_the_left(self):
        v = Value("a - b - c")
        assert v.value == binary("-", binary("-", v.name("a"), v.name("b")), v.name("c"))

    def test_power_groups_to_the_right_and_the_prefix_sign_binds_tighter(self):
        v = Value("-2 ** 3 ** 2")
        minus_two = Unary(v.at("-"), v.end("2"), "-", v.number("2"))
        assert v.value == binary("**", minus_two, binary("**", v.number("3"), v.number("2", 2)))

    def test_prefix_signs_nest(self):
        v = Value("- + a")
        assert v.value == Unary(v.at("-"), v.end("a"), "-", Unary(v.at("+"), v.end("a"), "+", v.name("a")))

    def test_comparison_is_one_flat_chain(self):
        v = Value("a < b <= c")
        assert v.value == Compare(v.at("a"), v.end("c"), v.name("a"), [("<", v.name("b")), ("<=", v.name("c"))])

    def test_a_lone_operand_is_no_comparison(self):
        v = Value("a")
        assert v.value == v.name("a")

    def test_comparison_binds_looser_than_addition(self):
        v = Value("a + b != c")
        assert v.value == Compare(v.at("a"), v.end("c"), binary("+", v.name("a"), v.name("b")), [("!=", v.name("c"))])


class TestMissingRightOperand:
    @pytest.mark.parametrize("op", ["или", "or", "и", "+", "-", "*", "/", "%"])
    @pytest.mark.parametrize("closer", [")", "]", ",", "\n;"])
    def test_binary_operator_before_a_closing_token(self, op, closer):
        v = Value(f"f(a {op}{closer}")
        args = v.value.args
        assert args[0].value == Binary(v.at("a"), v.end("a"), op, v.name("a"), None)

    def test_no_diagnostic_for_the_missing_operand(self):
        v = Value("a или")
        assert v.value == Binary(v.at("a"), v.end("a"), "или", v.name("a"), None)
        assert v.errors == []

    def test_comparison_with_a_missing_last_operand_ends_at_the_first(self):
        v = Value("a ==")
        assert v.value == Compare(v.at("a"), v.end("a"), v.name("a"), [("==", None)])
        v = Value("a < b <")
        assert v.value == Compare(v.at("a"), v.end("a"), v.name("a"), [("<", v.name("b")), ("<", None)])
        assert v.errors == []

    def test_power_always_reads_its_right_operand(self):
        v = Value("a **")
        placeholder = Name(v.at(";"), v.at(";"), "")
        assert v.value == Binary(v.at("a"), v.at(";"), "**", v.name("a"), placeholder)
        assert v.errors[0] == v.diag(";", "parser.expected-expr")


class TestSuffixes:
    def test_non_null_after_a_type_test(self):
        v = Value("x это Т!")
        test = IsType(v.at("x"), v.end("Т"), v.name("x"), False, v.type("Т"))
        assert v.value == NonNull(v.at("x"), v.end("!"), test)

    def test_coalesce_groups_to_the_right(self):
        v = Value("a ?? b ?? c")
        inner = Coalesce(v.at("b"), v.end("c"), v.name("b"), v.name("c"))
        assert v.value == Coalesce(v.at("a"), v.end("c"), v.name("a"), inner)

    def test_coalesce_takes_a_whole_ternary(self):
        v = Value("a ?? b ? c : d")
        ternary = Ternary(v.at("b"), v.end("d"), v.name("b"), v.name("c"), v.name("d"))
        assert v.value == Coalesce(v.at("a"), v.end("d"), v.name("a"), ternary)

    def test_ternary_groups_to_the_right(self):
        v = Value("a ? b : c ? d : e")
        inner = Ternary(v.at("c"), v.end("e"), v.name("c"), v.name("d"), v.name("e"))
        assert v.value == Ternary(v.at("a"), v.end("e"), v.name("a"), v.name("b"), inner)

    def test_ternary_without_colon(self):
        v = Value("a ? b")
        assert v.value == Ternary(v.at("a"), v.end("b"), v.name("a"), v.name("b"), None)
        assert v.errors == [v.diag(";", "parser.expected-colon-ternary")]

    def test_or_binds_tighter_than_the_suffixes(self):
        v = Value("a или b ?? c")
        assert v.value == Coalesce(v.at("a"), v.end("c"), binary("или", v.name("a"), v.name("b")), v.name("c"))

    def test_safe_member_never_starts_a_ternary(self):
        v = Value("a?.b")
        assert v.value.safe is True
        assert v.errors == []


class TestTypeTests:
    def test_negated_test(self):
        v = Value("x это не Т")
        assert v.value == IsType(v.at("x"), v.end("Т"), v.name("x"), True, v.type("Т"))

    def test_tests_chain_to_the_left(self):
        v = Value("x это Т как У")
        test = IsType(v.at("x"), v.end("Т"), v.name("x"), False, v.type("Т"))
        assert v.value == AsType(v.at("x"), v.end("У"), test, v.type("У"))

    def test_not_covers_the_type_tests(self):
        v = Value("не x это Т")
        test = IsType(v.at("x"), v.end("Т"), v.name("x"), False, v.type("Т"))
        assert v.value == Unary(v.at("не"), v.end("Т"), "не", test)

    def test_missing_type(self):
        v = Value("x это ")
        assert v.value == IsType(v.at("x"), v.end("это"), v.name("x"), False, None)
        assert v.errors == [v.diag(";", "parser.expected-type-name")]


class TestTernaryAfterIs:
    def test_the_question_mark_becomes_the_ternary(self):
        v = Value("x это Т ? a : b")
        # The spans still cover the "?": only the nullable mark and the text change.
        typ = TypeRef(v.at("Т"), v.end("?"), "Т", ["Т"], False)
        test = IsType(v.at("x"), v.end("?"), v.name("x"), False, typ)
        assert v.value == Ternary(v.at("x"), v.end("b"), test, v.name("a"), v.name("b"))
        assert v.errors == []

    def test_before_a_semicolon_no_ternary_is_tried(self):
        v = Value("x это Т?")
        assert v.value == IsType(v.at("x"), v.end("Т?"), v.name("x"), False, v.type("Т?", nullable=True))
        assert v.errors == []

    def test_without_colon_the_type_stays_nullable_and_the_cursor_stays(self):
        v = Value("x это Т? y")
        assert v.value == IsType(v.at("x"), v.end("Т?"), v.name("x"), False, v.type("Т?", nullable=True))
        assert v.body[1] == ExprStmt(v.at("y"), v.end("y"), v.name("y"))
        assert v.errors == []

    def test_an_abandoned_attempt_leaves_no_diagnostic(self):
        # The speculative then-branch "[1" reports a missing "]"; that report
        # survives once, from the statement that really reads it.
        v = Value("x это Т? [1\n")
        assert v.errors == [v.diag(";", "parser.expected-rbracket-array")]

    def test_a_successful_attempt_keeps_its_diagnostics(self):
        v = Value("x это Т? [1 : b")
        assert isinstance(v.value, Ternary)
        assert v.errors == [v.diag(":", "parser.expected-rbracket-array")]

    def test_as_has_no_ternary_check(self):
        v = Value("x как Т ? a : b")
        assert v.value == AsType(v.at("x"), v.end("?"), v.name("x"), TypeRef(v.at("Т"), v.end("?"), "Т?", ["Т"], True))
        assert v.body[1] == ExprStmt(v.at("a"), v.end("a"), v.name("a"))

    def test_a_nullable_union_ending_in_a_name_tries_no_ternary(self):
        v = Value("x это Т? | У a : b")
        typ = TypeRef(v.at("Т"), v.end("У"), "Т?|У", ["Т", "У"], True)
        assert v.value == IsType(v.at("x"), v.end("У"), v.name("x"), False, typ)
        assert v.body[1] == ExprStmt(v.at("a"), v.end("a"), v.name("a"))

    def test_the_mark_after_the_last_member_of_a_union_is_taken_back(self):
        v = Value("x это Т | У? a : b")
        typ = TypeRef(v.at("Т"), v.end("?"), "Т|У", ["Т", "У"], False)
        assert v.value.cond == IsType(v.at("x"), v.end("?"), v.name("x"), False, typ)

    def test_each_test_of_a_chain_may_take_its_ternary(self):
        v = Value("x это Т? это У ? a : b")
        inner = IsType(v.at("x"), v.end("Т?"), v.name("x"), False, v.type("Т?", nullable=True))
        typ = TypeRef(v.at("У"), v.end("?", 2), "У", ["У"], False)
        test = IsType(v.at("x"), v.end("?", 2), inner, False, typ)
        assert v.value == Ternary(v.at("x"), v.end("b"), test, v.name("a"), v.name("b"))

    def test_then_branch_that_reads_no_operand(self):
        # "x IS T? AND y : z": the then-branch is a placeholder AND y, and the
        # ":" after it makes the ternary.
        v = Value("x это Т? и y : z")
        then = Binary(v.at("и"), v.end("y"), "и", Name(v.at("и"), v.at("и"), ""), v.name("y"))
        assert v.value.then == then
        assert v.value.otherwise == v.name("z")
        assert v.errors == [v.diag("и", "parser.expected-expr")]

    def test_then_branch_that_reads_no_operand_without_colon(self):
        v = Value("x это Т? и y")
        test = IsType(v.at("x"), v.end("Т?"), v.name("x"), False, v.type("Т?", nullable=True))
        assert v.value == Binary(v.at("x"), v.end("y"), "и", test, v.name("y"))
        assert v.errors == []
