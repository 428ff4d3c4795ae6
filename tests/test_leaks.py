"""Memory stays flat: each operation, repeated many times after a warm-up,
leaves the heap where it found it. Three gauges, each with a generous bound:
tracemalloc (host objects), glibc's count of bytes in use (native
allocations: arenas, token buffers, tables) and the resident set size. These
are memory assertions, not timing ones."""
import copy
import ctypes
import ctypes.util
import gc
import os
import pickle
import resource
import tracemalloc

import pytest

import tarn._format
import tarn.i18n
from tarn.lexer import Token, _LineMap, linemap, tokenize, tokens
from tarn.parser import Assign, Binary, Module, Name, ParseError, _Parser, parse, parse_text

QUICK = os.environ.get("TARN_QUICK") == "1"
# Under AddressSanitizer freed memory waits in quarantine: only the host
# objects' gauge means anything there.
SANITIZED = "libasan" in os.environ.get("LD_PRELOAD", "")
REPEAT = 1_000 if QUICK else 10_000
WARM_UP = 200

# Bounds for REPEAT runs: a leak of one small object per run passes none of them.
TRACED_BYTES = 256 * 1024
NATIVE_BYTES = 1024 * 1024
RSS_BYTES = 32 * 1024 * 1024

VALID = """метод главный(а: Список<Строка>): Целое
  для и = 0 по 10 с += и * 2 ;
  возврат с > 1 ? "${с}" : 'нет'
;
"""
FORMATTED = 'метод f(а: Int): Строка\n    /* к */ возврат "${а}" + f(а - 1)\n;\n'
BROKEN = 'метод m(\n  x = (a + ;\n  "unterminated ${x\n/* open'


class _MallInfo2(ctypes.Structure):
    _fields_ = [(name, ctypes.c_size_t) for name in (
        "arena", "ordblks", "smblks", "hblks", "hblkhd", "usmblks", "fsmblks", "uordblks", "fordblks", "keepcost")]


def _native_in_use():
    """Bytes the C allocator has handed out and not taken back, or None where
    that cannot be read (another libc, or a sanitizer's allocator)."""
    libc = ctypes.CDLL(ctypes.util.find_library("c"))
    if not hasattr(libc, "mallinfo2"):
        return None
    libc.mallinfo2.restype = _MallInfo2
    info = libc.mallinfo2()
    in_use = info.uordblks + info.hblkhd
    return in_use or None


def _rss():
    with open("/proc/self/statm") as f:
        return int(f.read().split()[1]) * resource.getpagesize()


def assert_flat(operation, repeat=REPEAT):
    for _ in range(WARM_UP):
        operation()
    gc.collect()
    tracemalloc.start()
    try:
        traced_before = tracemalloc.get_traced_memory()[0]
        native_before, rss_before = _native_in_use(), _rss()
        for _ in range(repeat):
            operation()
        gc.collect()
        traced = tracemalloc.get_traced_memory()[0] - traced_before
        native_after, rss_after = _native_in_use(), _rss()
    finally:
        tracemalloc.stop()
    assert traced < TRACED_BYTES, f"host objects grew by {traced} bytes over {repeat} runs"
    if SANITIZED:
        return
    if native_before is not None and native_after is not None:
        native = native_after - native_before
        assert native < NATIVE_BYTES, f"native heap grew by {native} bytes over {repeat} runs"
    assert rss_after - rss_before < RSS_BYTES, f"resident set grew by {rss_after - rss_before} bytes"


class Source:
    def __init__(self, text):
        self.text = text
        self.cache = {}


def expect(error, function, *args):
    def run():
        try:
            function(*args)
        except error:
            return
        raise AssertionError(f"{function.__name__} did not raise {error.__name__}")
    return run


class TestFlatMemory:
    @pytest.mark.parametrize("text", [VALID, BROKEN, ""], ids=["valid", "broken", "empty"])
    def test_tokenize(self, text):
        assert_flat(lambda: tokenize(text))

    @pytest.mark.parametrize("text", [FORMATTED, FORMATTED.replace("    ", "\t"), BROKEN, ""],
                             ids=["formatted", "changed", "broken", "empty"])
    def test_format_layout_and_difference(self, text):
        assert_flat(lambda: (tarn._format.layout(text), tarn._format.difference(FORMATTED, text)))
        assert_flat(expect(TypeError, tarn._format.difference, FORMATTED, None), repeat=REPEAT // 10)

    def test_tokenize_with_a_line_map(self):
        lm = _LineMap(VALID)
        assert_flat(lambda: tokenize(VALID, lm))

    @pytest.mark.parametrize("text", [VALID, BROKEN], ids=["valid", "broken"])
    def test_parse_text(self, text):
        assert_flat(lambda: parse_text(text))

    def test_parse_fills_a_fresh_cache_each_time(self):
        def parse_fresh():
            source = Source(VALID)
            parse(source)
            tokens(source)
            linemap(source)
        assert_flat(parse_fresh)

    def test_parse_from_the_cache(self):
        source = Source(VALID)
        assert_flat(lambda: parse(source))

    def test_parser_rules_called_one_by_one(self):
        toks = tokenize(VALID)

        def walk():
            p = _Parser(toks)
            p.method([])
            p.pos = 9
            p.expression()
            p.rollback((0, 0))
        assert_flat(walk)


class TestFlatMemoryOnFailure:
    """Paths that stop half-way must free what they had made."""

    def test_nesting_too_deep(self):
        deep = "метод m() x = " + "(" * 3000 + ";"
        assert_flat(expect(RecursionError, parse_text, deep), repeat=REPEAT // 10)

    def test_translation_that_raises(self, monkeypatch):
        def refuse(key, **named):
            raise LookupError(key)
        monkeypatch.setattr(tarn.i18n, "t", refuse)
        assert_flat(expect(LookupError, parse_text, BROKEN))
        assert_flat(expect(LookupError, parse, Source(BROKEN)))

    def test_translation_that_returns_no_string(self, monkeypatch):
        monkeypatch.setattr(tarn.i18n, "t", lambda key, **named: 7)
        assert_flat(expect(TypeError, parse_text, BROKEN))

    def test_argument_errors(self):
        def wrong_arguments():
            for call in (lambda: tokenize(5), lambda: tokenize("x", 5), lambda: parse_text(b"x"),
                         lambda: tokenize(), lambda: parse_text("x", y=1), lambda: _Parser([1]),
                         lambda: _Parser(tokenize("x")).rollback("ab")):
                try:
                    call()
                except TypeError:
                    pass
        assert_flat(wrong_arguments)

    def test_rules_over_tokens_without_eof(self):
        toks = [Token("IDENT", "a", 0, 1, 1, 1, 1, 2), Token("OP", "(", 1, 2, 1, 2, 1, 3)]
        assert_flat(expect(IndexError, lambda: _Parser(toks).parse_module()))

    def test_a_source_whose_text_raises(self):
        class Raising:
            def __init__(self):
                self.cache = {}

            @property
            def text(self):
                raise KeyError("text")
        assert_flat(expect(KeyError, lambda: parse(Raising())))


class TestFlatMemoryOfRecords:
    def test_construct_assign_copy_pickle(self):
        def records():
            tok = Token("IDENT", "a", 0, 1, 1, 1, 1, 2, canonical=None, flags={"unterminated": True})
            tok.kind = "KEYWORD"
            try:
                tok.start = "x"
            except TypeError:
                pass
            try:
                del tok.kind
            except AttributeError:
                pass
            node = Binary(0, 3, "+", Name(0, 1, "a"), Name(2, 3, "b"))
            node.right = None
            try:
                node.left = 5
            except TypeError:
                pass
            stmt = Assign(0, 5, node, "=", Name(4, 5, "c"))
            module = Module(0, 5, [], [stmt])
            state = module.__getstate__()
            clone = Module(0, 0)
            clone.__setstate__(state)
            assert clone == module
            repr(module), repr(tok), repr(ParseError(0, 1, "m"))
            copy.copy(module)
            pickle.loads(pickle.dumps((module, tok)))
        assert_flat(records)
