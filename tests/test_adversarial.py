"""Adversarial inputs of a megabyte: deep nesting of every construct that
nests, long chains of every operator, and lexical extremes. Each one ends
with a complete tree, or with the RecursionError whose message names where
the nesting bound was reached; the process survives. The same families feed
bench/bench_adversarial_families.py, which measures time per byte (there are
no timing assertions here).

Also: Ctrl-C during a long tokenize or parse stops it with KeyboardInterrupt
and leaves nothing in the source's cache."""
import gc
import os
import re
import signal
import subprocess
import sys

import pytest

from tarn.lexer import tokenize, tokens
from tarn.parser import Module, parse, parse_text

QUICK = os.environ.get("TARN_QUICK") == "1"
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


class TestFamilies:
    @pytest.mark.parametrize("family", list(FAMILIES))
    def test_ends_with_a_tree_or_the_nesting_error(self, family):
        text = FAMILIES[family](SIZE)
        assert abs(len(text) - SIZE) < SIZE // 8
        check_outcome(text)

    @pytest.mark.parametrize("family", [name for name in FAMILIES if "unterminated" in name or "only" in name
                                        or name in ("identifier", "one line", "interpolation unclosed")])
    def test_tokens_cover_the_text(self, family):
        text = FAMILIES[family](SIZE)
        toks = tokenize(text)
        assert toks[-1].kind == "EOF" and toks[-1].start == len(text)
        assert all(a.end <= b.start for a, b in zip(toks, toks[1:]))

    def test_nesting_just_below_the_bound_still_parses(self):
        # The bound is about nesting, not size: many shallow groups are fine.
        text = repeat("(((a)))", SIZE, METHOD, "\n;").replace(")(", ") + (")
        assert check_outcome(text) == "tree"

    def test_after_the_nesting_error_everything_works(self):
        assert check_outcome(FAMILIES["parentheses unclosed"](SIZE)) == "depth"
        module, errors = parse_text("метод m() ;")
        assert errors == [] and module.members[0].name == "m"


class Source:
    def __init__(self, text):
        self.text = text
        self.cache = {}


class TestCtrlC:
    """A real SIGINT from another process, while the call runs in native
    code (which never gives up the interpreter lock)."""

    HUGE = repeat("x = (a + b) * c\n", 8 * SIZE, "метод m()\n", ";")

    def interrupt(self, call, attempts=20):
        """Calls `call` repeatedly until SIGINT arrives; returns the argument of
        the interrupted call."""
        # A collection could run the handler inside a gc callback, where the
        # host swallows its exception.
        gc.disable()
        killer = subprocess.Popen(["sh", "-c", f"sleep 0.3; kill -INT {os.getpid()}"])
        last = None
        try:
            with pytest.raises(KeyboardInterrupt):
                for _ in range(attempts):
                    last = Source(self.HUGE)
                    call(last)
        finally:
            killer.wait()
            gc.enable()
        return last

    def interrupt_inside(self, call, key, whole, experiments=8):
        """Interrupts `call` until the signal lands inside it (nothing under
        `key` in the cache). The signal may also land just after a call has
        returned, when the host raises it at its next check: then the call
        finished and what it cached must be whole."""
        for _ in range(experiments):
            source = self.interrupt(call)
            if key not in source.cache:
                return
            whole(source)
        pytest.fail(f"SIGINT never stopped the call itself in {experiments} tries")

    @pytest.mark.skipif(sys.platform == "win32", reason="POSIX signals")
    def test_parse_stops_and_caches_no_tree(self):
        def whole(source):
            module, errors = source.cache["ast"]
            assert module.end == len(source.text) and errors == []

        self.interrupt_inside(parse, "ast", whole)
        assert parse_text("метод m() ;")[1] == []

    @pytest.mark.skipif(sys.platform == "win32", reason="POSIX signals")
    def test_tokens_stop_and_cache_no_list(self):
        def whole(source):
            toks = source.cache["tokens"]
            assert toks[-1].kind == "EOF" and toks == tokenize(source.text)

        self.interrupt_inside(tokens, "tokens", whole)
        assert [t.kind for t in tokenize("a + 1")] == ["IDENT", "OP", "NUMBER", "EOF"]

    @pytest.mark.skipif(sys.platform == "win32", reason="POSIX signals")
    def test_parse_text_stops(self):
        self.interrupt(lambda source: parse_text(source.text))
        assert parse_text("метод m() ;")[1] == []
