"""Adversarial inputs of a megabyte: deep nesting of every construct that
nests, long chains of every operator, and lexical extremes. Each one ends
with a complete tree, or with the RecursionError whose message names where
the nesting bound was reached; the process survives. The same families feed
bench/bench_adversarial_families.py, which measures time per byte (there are
no timing assertions here).

Also: inputs on which a naive reading of the speculative rules goes
quadratic, exponential or deep must parse to exactly what the plain reading
(`_parse_text_unmemoised`: no memo, no shortcuts) gives; and Ctrl-C stops
every entry point, leaving nothing in the source's cache."""
import _thread
import functools
import gc
import itertools
import operator
import re
import signal

import pytest
from hypothesis import given
from hypothesis import strategies as st

from tarn import i18n, lexer
from tarn.lexer import tokenize, tokens
from tarn.parser import Call, Compare, Index, IsType, Member, Module, Name, Ternary, _parse_text_unmemoised, \
    parse, parse_text

from conftest import QUICK, Source

SIZE = (128 if QUICK else 1024) * 1024  # code points per input

NESTING_MESSAGE = re.compile(r"^maximum nesting depth exceeded while parsing at line \d+, column \d+$")
METHOD = "метод m()\n  x = "


def repeat(unit, size, prefix="", suffix=""):
    """prefix + unit repeated to about `size` code points + suffix."""
    return prefix + unit * max(1, (size - len(prefix) - len(suffix)) // len(unit)) + suffix


def nested(opening, middle, closing, size, prefix=METHOD, suffix="\n;"):
    count = max(1, (size - len(prefix) - len(suffix) - len(middle)) // (len(opening) + len(closing)))
    return prefix + opening * count + middle + closing * count + suffix


def unclosed(opening, size, prefix=METHOD):
    return repeat(opening, size, prefix)


# name -> builder(size) -> text. Grouped as the README lists them.
FAMILIES = {
    # Nesting of expressions.
    "parentheses": lambda n: nested("(", "a", ")", n),
    "parentheses unclosed": lambda n: unclosed("(", n),
    "unary minus": lambda n: repeat("-", n, METHOD, "a\n;"),
    "unary not": lambda n: repeat("!", n, METHOD, "a\n;"),
    "call arguments": lambda n: nested("f(", "a", ")", n),
    "index": lambda n: nested("a[", "0", "]", n),
    "ternary nested in the middle": lambda n: nested("a ? ", "b", " : c", n),
    "ternary chain": lambda n: repeat("a ? b : ", n, METHOD, "c\n;"),
    "power chain": lambda n: repeat("a ** ", n, METHOD, "a\n;"),
    "coalesce chain": lambda n: repeat("a ?? ", n, METHOD, "a\n;"),
    "new": lambda n: repeat("новый ", n, METHOD, "Т()\n;"),
    "throw": lambda n: repeat("throw ", n, METHOD, "a\n;"),
    # Nesting of literals and lambdas.
    "array literal": lambda n: nested("[", "1", "]", n),
    "array literal unclosed": lambda n: unclosed("[", n),
    "map literal": lambda n: nested("{1: ", "2", "}", n),
    "set literal unclosed": lambda n: unclosed("{", n),
    "arrow lambda": lambda n: repeat("(x) -> ", n, METHOD, "x\n;"),
    "parenthesised lambda": lambda n: nested("((x) -> ", "x", ")", n),
    "block lambda": lambda n: nested("метод() возврат ", "1", " ;", n),
    # Nesting of types.
    "generic type": lambda n: nested("Список<", "Целое", ">", n, "пер x: ", ""),
    "generic type unclosed": lambda n: unclosed("Список<", n, "пер x: "),
    "grouped type": lambda n: nested("(", "Т", ")", n, "пер x: ", ""),
    "function type": lambda n: repeat("(Т) -> ", n, "пер x: ", "Т"),
    "union type": lambda n: repeat("Т|", n, "пер x: ", "Т"),
    # Nesting of blocks.
    "if blocks": lambda n: nested("если а\n", "x = 1\n", ";\n", n, "метод m()\n", ";"),
    "while blocks": lambda n: nested("пока а\n", "x = 1\n", ";\n", n, "метод m()\n", ";"),
    "scope blocks": lambda n: nested("область\n", "x = 1\n", ";\n", n, "метод m()\n", ";"),
    "if blocks unclosed": lambda n: unclosed("если а\n", n, "метод m()\n"),
    "try blocks": lambda n: nested("попытка\n", "x = 1\n", "поймать е: Ошибка\n;\n", n, "метод m()\n", ";"),
    # Interpolation.
    "interpolation": lambda n: nested('"${', "a", '}"', n),
    "interpolation unclosed": lambda n: unclosed('"${', n),
    "interpolation of strings": lambda n: unclosed('"%{"', n),
    # Long chains.
    "additions": lambda n: repeat("a + ", n, METHOD, "a\n;"),
    "comparisons": lambda n: repeat("a < ", n, METHOD, "a\n;"),
    "less and greater": lambda n: repeat("a < b > ", n, METHOD, "c\n;"),
    "logical and": lambda n: repeat("a и ", n, METHOD, "a\n;"),
    "member access": lambda n: repeat(".b", n, METHOD + "a", "\n;"),
    "safe member access": lambda n: repeat("?.b", n, METHOD + "a", "\n;"),
    "calls": lambda n: repeat("()", n, METHOD + "f", "\n;"),
    "statements": lambda n: repeat("x = 1\n", n, "метод m()\n", ";"),
    "members": lambda n: repeat("метод m() ;\n", n),
    # Lexical extremes.
    "one line": lambda n: repeat("x = y + 1 ", n, "метод m() ", ";"),
    "comments only": lambda n: repeat("// комментарий\n", n),
    "block comments only": lambda n: repeat("/* к */", n),
    "identifier": lambda n: "a" * n,
    "number": lambda n: "1" * n,
    "unterminated string": lambda n: '"' + "x" * (n - 1),
    "unterminated comment": lambda n: "/*" + "x" * (n - 2),
    "unterminated pattern": lambda n: "'" + "x" * (n - 1),
    "backslashes in a string": lambda n: '"' + "\\" * (n - 1),
    "stray closers": lambda n: repeat(") ", n),
    "unknown characters": lambda n: "\u00d7" * n,
    "line breaks": lambda n: "\r\n" * (n // 2),
    "byte order marks": lambda n: "\ufeff" * n,
}


def check_outcome(text):
    """Parses `text`; returns "tree" or "depth" and checks what came back."""
    try:
        module, errors = parse_text(text)
    except RecursionError as e:
        assert NESTING_MESSAGE.match(str(e)), str(e)
        return "depth"
    assert isinstance(module, Module) and module.end == len(text)
    for e in errors:
        assert 0 <= e.start < e.end <= len(text) + 1
    return "tree"


@pytest.mark.parametrize("family", list(FAMILIES))
def test_a_family_ends_with_a_tree_or_the_nesting_error(family):
    text = FAMILIES[family](SIZE)
    assert abs(len(text) - SIZE) < SIZE // 8
    check_outcome(text)
    if "unterminated" in family or "only" in family or family in ("identifier", "one line", "interpolation unclosed"):
        toks = tokenize(text)
        assert toks[-1].kind == "EOF" and toks[-1].start == len(text)
        assert all(a.end <= b.start for a, b in zip(toks, toks[1:]))


def test_the_bound_is_on_nesting_not_size():
    assert check_outcome(repeat("(((a)))", SIZE, METHOD, "\n;").replace(")(", ") + (")) == "tree"
    assert check_outcome(FAMILIES["parentheses unclosed"](SIZE)) == "depth"
    module, errors = parse_text("метод m() ;")
    assert errors == [] and module.members[0].name == "m"


@pytest.mark.parametrize("make", [
    lambda n: "(" * n + "x" + ")" * n, lambda n: "-" * n + "x", lambda n: "не " * n + "x",
    lambda n: " ** ".join(["2"] * n), lambda n: "a ?? " * n + "b", lambda n: "x" + " это Т? и x" * n + " : a" * n,
    lambda n: "x" + " это Т? ! и x" * n + " это Т? a" + " : b" * (n + 1),
], ids=["parens", "signs", "not", "power", "coalesce", "then-branches", "then-branches-after-bang"])
def test_deep_nesting_within_the_bound_parses_and_beyond_is_refused(make):
    assert parse_text("знч v = " + make(250))[0].end > 0
    with pytest.raises(RecursionError):
        parse_text("знч v = " + make(5000))


def spine(node, field, kind):
    """How many nodes of `kind` `field` leads through, and where it stops."""
    count = 0
    while isinstance(node, kind):
        node, count = getattr(node, field), count + 1
    return count, node


def init_of(text):
    module, errors = parse_text("знч v = " + text)
    assert errors == []
    return module.members[0].init


N = 100_000
LINES = ["    x это Т?"] * 3000


@pytest.mark.parametrize("text, check", [
    ("a" + " < a" * 20000, lambda v: isinstance(v, Compare) and len(v.rest) == 20000),
    ("a" + " < b > c" * 2000, lambda v: isinstance(v, Compare) and len(v.rest) == 4000),
    ("метод(x = " * 40 + "1" + ")" * 40, lambda v: spine(v, "callee", Call)[0] == 1 and str(v).count("метод") == 40),
    ("x" + " это Т?" * 3000, lambda v: spine(v, "operand", IsType) == (3000, Name(8, 9, "x"))),
    ("x" + " это Т?" * 3000 + " a : b", lambda v: spine(v.cond, "operand", IsType)[0] == 3000 and not v.cond.type.nullable),
    ("x" + " это Т? и x" * 3000, lambda v: spine(v, "left", type(v))[0] == 3000),
    ("a" + ".b" * N, lambda v: spine(v, "obj", Member) == (N, Name(8, 9, "a"))),
    ("x" + " + x" * N, lambda v: spine(v, "left", type(v)) == (N, Name(8, 9, "x"))),
    ("a" + "[0]" * N, lambda v: spine(v, "obj", Index)[0] == N),
], ids=["comparisons", "closable-groups", "method-arguments", "type-tests", "type-tests-ternary",
        "type-tests-and", "members", "sums", "indexes"])
def test_long_chains_keep_their_shape(text, check):
    assert check(init_of(text))


def test_then_branches_that_all_meet_their_colon_nest():
    # Each check's then-branch ("и x это Т? ...") holds the next check's ternary.
    module, errors = parse_text("знч v = x" + " это Т? и x" * 300 + " : a" * 300)
    value, depth = module.members[0].init, 0
    while isinstance(value, Ternary):
        value, depth = value.then.right, depth + 1
    assert depth == 300 and len(errors) == 300  # the placeholder before each "и"


@pytest.mark.parametrize("inside, after", [("", ""), ("", "знч q = a ? b : c\n"), ("    a : b\n", "")])
def test_many_type_test_statements(inside, after):
    # A ":" anywhere after them makes every check try its then-branch.
    module, errors = parse_text("метод m()\n" + "    x это Т?\n" * 3000 + inside + ";\n" + after)
    body = module.members[0].body
    checks = body[:-1] if inside else body
    assert errors == [] and len(body) == 3000
    assert all(isinstance(s.expr, IsType) and s.expr.type.nullable for s in checks)
    assert not inside or isinstance(body[-1].expr, Ternary) and isinstance(body[-1].expr.cond, IsType)


def test_calls_stop_after_the_first():
    body = parse_text("метод m()\n    f" + "()" * N + "\n;")[0].members[0].body
    assert isinstance(body[0].expr, Call) and body[0].expr.end == len("метод m()\n    f()")


OPENERS = [("(y = ", ")"), ("(", ")"), ("метод(y = ", ") 1;"), ("f<(", ")>()"), ("(y) -> ", ""), ("новый Т(", ")"),
           ("a это Т ? ", " : b")]


def nested_errors(opening, closing, depth, errors):
    return "знч v = " + opening * depth + "[" + ", ".join(["*"] * errors) + "]" + closing * depth


PLAIN = [
    *["знч v = a" + " < a" * 200 + tail for tail in ("", " > (1)", " < b > c")],
    "знч v = " + "метод(x = " * 8 + "1" + ")" * 8, "знч v = " + "метод(x = " * 8 + "1" + ")" * 8 + " -> 1",
    *[start + tail for tail in ("", " a : b", " и y : z", " и y ? a : b : c", " a : b : c : d", " как Т? : q",
                                " или y это Т? и z : w")
      for start in ("знч v = x" + " это Т?" * 9, "знч v = не x" + " это Т? и x" * 5)],
    *[text for n in (1, 2, 5, 8) for text in (
        "знч v = x" + " это Т? и x" * n + " : a" * n, "знч v = не x" + " это Т? или не x" * n + " : a" * (n + 1),
        "знч v = x" + " это Т? ! и x" * n + " это Т? a" + " : b" * (n + 1))],
    *["метод m()\n" + "\n".join(LINES[:60] + extra + LINES[:60]) + "\n;\nзнч q = a ? b : c\n" for extra in (
        ["    a : b"], ["    x это Т? и", "    y : z"], ["    (x это Т?)", "    a : b"], ["    f(x это Т?", "    a : b)"],
        # checks that succeed right where the reading was cut short (64 lines in)
        ["    x это Т?"] * 4 + ["    x это Т? :"] * 2)],
    *[template.format(group) for group in ("(" * 6 + "Т" + ")" * 6, "(" * 6 + "Т") for template in (
        "знч v = f < {} > (1)", "знч v = новый {}", "знч v = &f({})", "знч v = (y: {}) -> y", "знч v = x это {}")],
    *[nested_errors(opening, closing, 4, 3) for opening, closing in OPENERS],
]


@pytest.mark.parametrize("text", PLAIN)
def test_the_memo_changes_nothing(text):
    assert parse_text(text) == _parse_text_unmemoised(text)


TOKENS = ["x", "y", "Т", "a", "1", '"s"', "это", "как", "не", "и", "или", "И", "Если", "?", ":", "??", "!", "(", ")",
          "[", "]", "{", "}", "<", ">", ",", ".", "?.", "->", "::", "=", "&", "|", "-", "**", ";", "метод", "новый",
          "тип", "запрос", "этот", "возврат", "выбросить", "истина", "Т?", "x{"]


@given(st.sampled_from(["знч v = {}\n", "метод m()\n{}\n;\n", "{}"]),
       st.lists(st.tuples(st.sampled_from(TOKENS), st.sampled_from([" ", " ", "", "\n"])), max_size=30))
def test_the_memo_changes_nothing_on_token_soup(context, tokens_and_gaps):
    text = context.format("".join(t + gap for t, gap in tokens_and_gaps))
    assert parse_text(text) == _parse_text_unmemoised(text)


@pytest.mark.parametrize("opening, closing", [OPENERS[1], OPENERS[-1]], ids=["parens", "ternary"])
def test_errors_inside_deep_speculation_come_out_once_in_order(opening, closing):
    # Each speculative level reuses what the level below it recorded.
    _, errors = parse_text(nested_errors(opening, closing, 900, 2000))
    assert len(errors) == 2000 and all(a.start < b.start for a, b in zip(errors, errors[1:]))


def interrupting(value):
    """A callable that makes a Ctrl-C arrive and returns `value` (ignoring any
    argument). It is made of C functions only: no bytecode runs after the
    signal, so no handler can run before the caller, in native code, sees it."""
    arrivals = map(_thread.interrupt_main, itertools.repeat(signal.SIGINT))
    return functools.partial(next, map(operator.itemgetter(1), zip(arrivals, itertools.repeat(value))))


def test_ctrl_c_stops_every_entry_point(monkeypatch):
    text = repeat("x = (a + b) * c\n", 16 * 4096 * 4, "метод m()\n", ";")
    # An inherited SIGINT disposition is not ours to rely on; a collection
    # could run the handler in a gc callback, where its exception is lost.
    previous = signal.signal(signal.SIGINT, signal.default_int_handler)
    gc.disable()
    try:
        # Every entry point reads the operator table before it tokenizes (the
        # same table as the last call's: nothing to derive anew).
        tokenize("")
        table = lexer._operator_re()
        monkeypatch.setattr(lexer, "_operator_re", interrupting(table))
        for call in (tokenize, parse_text):
            with pytest.raises(KeyboardInterrupt):
                call(text)
        for call, key in ((tokens, "tokens"), (parse, "ast")):
            source = Source(text)
            with pytest.raises(KeyboardInterrupt):
                call(source)
            assert key not in source.cache
        # A table new to the cache is read through host code (re.escape):
        # the signal must not be lost there.
        monkeypatch.setattr(lexer, "_operator_re", interrupting(re.compile(table.pattern + "|§")))
        with pytest.raises(KeyboardInterrupt):
            tokenize(text)
        monkeypatch.undo()
        # With the tokens cached, the signal comes from the translation
        # service, before the tree is built.
        source = Source(text + " )")
        tokens(source)
        monkeypatch.setattr(i18n, "t", interrupting("text"))
        with pytest.raises(KeyboardInterrupt):
            parse(source)
        assert "ast" not in source.cache
    finally:
        gc.enable()
        signal.signal(signal.SIGINT, previous)
    assert parse_text("метод m() ;")[1] == [] and len(tokenize("a + 1")) == 4
