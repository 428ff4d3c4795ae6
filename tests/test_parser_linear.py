"""Inputs on which a naive reading of the speculative rules goes quadratic,
exponential or very deep. They must still parse, to exactly what the plain
reading gives: `_parse_text_unmemoised` reads the rules plainly (no memo, no
shortcuts), and both must agree on every input small enough for it. Speed is
measured in bench/, not here."""
from pathlib import Path

import pytest
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st

from tarn import i18n
from tarn.parser import (
    Call,
    Compare,
    ExprStmt,
    Index,
    IsType,
    Lambda,
    Member,
    MethodRef,
    Name,
    New,
    Ternary,
    _parse_text_unmemoised,
    parse_text,
)

CORPUS = sorted((Path(__file__).parent / "data" / "corpus").glob("*/*.tarn"))


@pytest.fixture(autouse=True)
def english():
    i18n.set_language("en")


def same_as_plain(src):
    """The parse of src, checked against the plain reading."""
    result = parse_text(src)
    assert result == _parse_text_unmemoised(src)
    return result


def init_of(src):
    module, errors = parse_text(src)
    return module.members[0].init, errors


def body_of(src):
    module, errors = parse_text(src)
    return module.members[0].body, errors


def spine(node, field, kind):
    """Follows `field` from node while the nodes are of `kind`; the count and
    the node where it stopped."""
    count = 0
    while isinstance(node, kind):
        node = getattr(node, field)
        count += 1
    return count, node


def method(lines):
    return "метод m()\n" + "\n".join(lines) + "\n;\n"


class TestComparisonChain:
    def test_long_chain_is_one_comparison(self):
        value, errors = init_of("знч v = a" + " < a" * 20000)
        assert isinstance(value, Compare)
        assert len(value.rest) == 20000
        assert errors == []

    def test_chain_with_closable_groups(self):
        value, errors = init_of("знч v = a" + " < b > c" * 2000)
        assert isinstance(value, Compare) and len(value.rest) == 4000
        assert errors == []

    @pytest.mark.parametrize("tail", ["", " > (1)", " < b > c"])
    def test_same_as_plain(self, tail):
        same_as_plain("знч v = a" + " < a" * 200 + tail)


class TestNestedMethodArguments:
    SRC = "знч v = " + "метод(x = " * 40 + "1" + ")" * 40

    def test_forty_levels(self):
        value, errors = init_of(self.SRC)
        depth = 0
        while isinstance(value, Call):
            assert value.callee.name == "метод"
            assert value.args[0].name == "x"
            value = value.args[0].value
            depth += 1
        assert depth == 40
        assert errors == []

    def test_same_as_plain(self):
        same_as_plain("знч v = " + "метод(x = " * 8 + "1" + ")" * 8)
        same_as_plain("знч v = " + "метод(x = " * 8 + "1" + ")" * 8 + " -> 1")


class TestTypeTestChain:
    def test_long_chain_without_colon(self):
        value, errors = init_of("знч v = x" + " это Т?" * 3000)
        count, bottom = spine(value, "operand", IsType)
        assert count == 3000 and bottom.name == "x"
        assert errors == []

    def test_long_chain_ending_in_a_ternary(self):
        value, errors = init_of("знч v = x" + " это Т?" * 3000 + " a : b")
        assert isinstance(value, Ternary)
        count, bottom = spine(value.cond, "operand", IsType)
        assert count == 3000 and bottom.name == "x"
        assert value.cond.type.nullable is False
        assert errors == []

    def test_long_chain_joined_by_and(self):
        value, errors = init_of("знч v = x" + " это Т? и x" * 3000)
        count, _ = spine(value, "left", type(value))
        assert count == 3000
        assert errors == []

    def test_then_branches_that_all_meet_their_colon_nest(self):
        # Each check's then-branch ("AND x IS T? ...") holds the next check's
        # ternary: 300 ternaries, one inside another's then-branch.
        value, errors = init_of("знч v = x" + " это Т? и x" * 300 + " : a" * 300)
        depth = 0
        while isinstance(value, Ternary):
            value = value.then.right
            depth += 1
        assert depth == 300
        assert len(errors) == 300  # the placeholder before each "и"

    def test_then_branches_nested_past_the_bound_are_refused(self):
        with pytest.raises(RecursionError):
            parse_text("знч v = x" + " это Т? и x" * 1500 + " : a" * 1500)
        with pytest.raises(RecursionError):
            parse_text("знч v = x" + " это Т? ! и x" * 1500 + " это Т? a" + " : b" * 1501)

    @pytest.mark.parametrize(
        "tail",
        ["", " a : b", " и y : z", " и y ? a : b : c", " a : b : c : d", " как Т? : q", " или y это Т? и z : w"],
    )
    def test_same_as_plain(self, tail):
        same_as_plain("знч v = x" + " это Т?" * 9 + tail)
        same_as_plain("знч v = не x" + " это Т? и x" * 5 + tail)

    @pytest.mark.parametrize("n", [1, 2, 5, 8])
    def test_nested_then_branches_same_as_plain(self, n):
        same_as_plain("знч v = x" + " это Т? и x" * n + " : a" * n)
        same_as_plain("знч v = не x" + " это Т? или не x" * n + " : a" * (n + 1))
        same_as_plain("знч v = x" + " это Т? ! и x" * n + " это Т? a" + " : b" * (n + 1))


class TestManyTypeTestStatements:
    LINES = ["    x это Т?"] * 3000

    def check(self, body, count=3000):
        assert len(body) == count
        assert all(isinstance(s, ExprStmt) and isinstance(s.expr, IsType) for s in body)
        assert all(s.expr.type.nullable for s in body)

    def test_without_any_colon(self):
        body, errors = body_of(method(self.LINES))
        self.check(body)
        assert errors == []

    def test_with_a_colon_further_on(self):
        # A ":" somewhere after them makes every check read its then-branch.
        body, errors = body_of(method(self.LINES) + "знч q = a ? b : c\n")
        self.check(body)
        assert errors == []

    def test_ending_in_a_ternary(self):
        # the last line's check takes "a : b" as its branches
        body, errors = body_of(method(self.LINES + ["    a : b"]))
        self.check(body[:-1], 2999)
        assert isinstance(body[-1].expr, Ternary) and isinstance(body[-1].expr.cond, IsType)
        assert errors == []

    @pytest.mark.parametrize(
        "extra",
        [["    a : b"], ["    x это Т? и", "    y : z"], ["    (x это Т?)", "    a : b"], ["    f(x это Т?", "    a : b)"],
         # checks that succeed right where the reading was cut short (64 lines in)
         ["    x это Т?"] * 4 + ["    x это Т? :"] * 2],
    )
    def test_same_as_plain(self, extra):
        lines = ["    x это Т?"] * 60
        same_as_plain(method(lines + extra + lines) + "знч q = a ? b : c\n")


class TestParenthesesInTypes:
    DEPTH = 200
    TYPE = "(" * DEPTH + "Т" + ")" * DEPTH

    def test_type_arguments(self):
        value, errors = init_of(f"знч v = f < {self.TYPE} > (1)")
        assert isinstance(value, Call)
        assert value.type_args[0].text == "<" + self.TYPE + ">"
        assert errors == []

    def test_creator(self):
        value, errors = init_of(f"знч v = новый {self.TYPE}")
        assert isinstance(value, New)
        assert errors[0].message == i18n.t("parser.expected-type-after-new")

    def test_method_reference(self):
        value, errors = init_of(f"знч v = &f({self.TYPE})")
        assert value == MethodRef(value.start, value.end, f"f({self.TYPE})")
        assert errors == []

    def test_lambda_parameter(self):
        value, errors = init_of(f"знч v = (y: {self.TYPE}) -> y")
        assert isinstance(value, Lambda)
        assert value.params[0].type.text == self.TYPE
        assert errors == []

    @pytest.mark.parametrize(
        "template", ["знч v = f < {} > (1)", "знч v = новый {}", "знч v = &f({})", "знч v = (y: {}) -> y", "знч v = x это {}"]
    )
    def test_same_as_plain(self, template):
        same_as_plain(template.format("(" * 6 + "Т" + ")" * 6))
        same_as_plain(template.format("(" * 6 + "Т"))


class TestFlatChains:
    N = 100000

    def test_members(self):
        value, _ = init_of("знч v = a" + ".b" * self.N)
        assert spine(value, "obj", Member) == (self.N, Name(8, 9, "a"))

    def test_sums(self):
        value, _ = init_of("знч v = x" + " + x" * self.N)
        count, bottom = spine(value, "left", type(value))
        assert count == self.N and bottom == Name(8, 9, "x")

    def test_indexes(self):
        value, _ = init_of("знч v = a" + "[0]" * self.N)
        assert spine(value, "obj", Index)[0] == self.N

    def test_calls_stop_after_the_first(self):
        body, _ = body_of(method(["    f" + "()" * self.N]))
        assert isinstance(body[0].expr, Call)
        assert body[0].expr.end == len("метод m()\n    f()")


class TestNesting:
    @pytest.mark.parametrize(
        "make",
        [
            lambda n: "(" * n + "x" + ")" * n,
            lambda n: "-" * n + "x",
            lambda n: "не " * n + "x",
            lambda n: " ** ".join(["2"] * n),
            lambda n: "a ?? " * n + "b",
        ],
        ids=["parens", "signs", "not", "power", "coalesce"],
    )
    def test_deep_nesting_is_refused_not_a_crash(self, make):
        assert parse_text("знч v = " + make(300))[1] == []
        with pytest.raises(RecursionError):
            parse_text("знч v = " + make(5000))


class TestErrorsInsideNestedSpeculation:
    """Each speculative level reuses what the level below it recorded; the
    diagnostics come out once each, in source order, as the plain reading
    gives them."""

    OPENERS = [("(y = ", ")"), ("(", ")"), ("метод(y = ", ") 1;"), ("f<(", ")>()"), ("(y) -> ", ""),
               ("новый Т(", ")"), ("a это Т ? ", " : b")]

    @staticmethod
    def text(opening, closing, depth, errors):
        return "знч v = " + opening * depth + "[" + ", ".join(["*"] * errors) + "]" + closing * depth

    @pytest.mark.parametrize("opening, closing", OPENERS, ids=[o for o, _ in OPENERS])
    def test_same_as_plain(self, opening, closing):
        same_as_plain(self.text(opening, closing, 4, 3))

    @pytest.mark.parametrize("opening, closing", OPENERS[1:2] + OPENERS[-1:], ids=["parens", "ternary"])
    def test_deep(self, opening, closing):
        _, errors = parse_text(self.text(opening, closing, 900, 2000))
        assert len(errors) == 2000
        assert all(a.start < b.start for a, b in zip(errors, errors[1:]))


class TestMemoChangesNothing:
    @pytest.mark.parametrize("path", CORPUS, ids=[p.name for p in CORPUS])
    def test_corpus(self, path):
        same_as_plain(path.read_text(encoding="utf-8"))

    TOKENS = [
        "x", "y", "Т", "a", "1", '"s"', "это", "как", "не", "и", "или", "И", "Если", "?", ":", "??", "!",
        "(", ")", "[", "]", "{", "}", "<", ">", ",", ".", "?.", "->", "::", "=", "&", "|", "-", "**", ";",
        "метод", "новый", "тип", "запрос", "этот", "возврат", "выбросить", "истина", "Т?", "x{",
    ]
    CONTEXTS = ["знч v = {}\n", "метод m()\n{}\n;\n", "{}"]

    @settings(max_examples=400, deadline=None, suppress_health_check=[HealthCheck.too_slow])
    @given(
        st.sampled_from(CONTEXTS),
        st.lists(st.tuples(st.sampled_from(TOKENS), st.sampled_from([" ", " ", "", "\n"])), max_size=30),
    )
    def test_token_soup(self, context, tokens):
        same_as_plain(context.format("".join(tok + sep for tok, sep in tokens)))
