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

from conftest import QUICK, Source

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


def expect(error, function, *args):
    def run():
        try:
            function(*args)
        except error:
            return
        raise AssertionError(f"{function.__name__} did not raise {error.__name__}")
    return run


def wrong_arguments():
    for call in (lambda: tokenize(5), lambda: tokenize("x", 5), lambda: parse_text(b"x"), lambda: tokenize(),
                 lambda: parse_text("x", y=1), lambda: _Parser([1]), lambda: _Parser(tokenize("x")).rollback("ab")):
        expect(TypeError, call)()


def records():
    tok = Token("IDENT", "a", 0, 1, 1, 1, 1, 2, canonical=None, flags={"unterminated": True})
    tok.kind = "KEYWORD"
    node = Binary(0, 3, "+", Name(0, 1, "a"), Name(2, 3, "b"))
    node.right = None
    for record, field, value in ((tok, "start", "x"), (node, "left", 5)):
        expect(TypeError, setattr, record, field, value)()
    expect(AttributeError, delattr, tok, "kind")()
    module = Module(0, 5, [], [Assign(0, 5, node, "=", Name(4, 5, "c"))])
    clone = Module(0, 0)
    clone.__setstate__(module.__getstate__())
    assert clone == module
    repr(module), repr(tok), repr(ParseError(0, 1, "m")), copy.copy(module)
    pickle.loads(pickle.dumps((module, tok)))


def formatting():
    for text in (FORMATTED, FORMATTED.replace("    ", "\t"), BROKEN, ""):
        tarn._format.layout(text), tarn._format.difference(FORMATTED, text), tarn._format.checked_layout(text)
    expect(TypeError, tarn._format.difference, FORMATTED, None)()


def parse_fresh():
    source = Source(VALID)
    parse(source), tokens(source), linemap(source)


def rules_one_by_one(toks=tokenize(VALID)):
    p = _Parser(toks)
    p.method([])
    p.pos = 9
    p.expression()
    p.rollback((0, 0))


class Raising:
    cache = {}

    @property
    def text(self):
        raise KeyError("text")


CACHED = Source(VALID)
LINEMAP = _LineMap(VALID)
WITHOUT_EOF = [Token("IDENT", "a", 0, 1, 1, 1, 1, 2), Token("OP", "(", 1, 2, 1, 2, 1, 3)]


@pytest.mark.parametrize("operation", [
    lambda: tokenize(VALID), lambda: tokenize(BROKEN), lambda: tokenize(""), lambda: tokenize(VALID, LINEMAP),
    lambda: parse_text(VALID), lambda: parse_text(BROKEN), parse_fresh, lambda: parse(CACHED), rules_one_by_one,
    records, wrong_arguments, formatting, expect(IndexError, lambda: _Parser(WITHOUT_EOF).parse_module()),
    expect(KeyError, parse, Raising()),
], ids=["tokenize", "tokenize-broken", "tokenize-empty", "tokenize-line-map", "parse_text", "parse_text-broken",
        "parse-fresh-cache", "parse-cached", "rules", "records", "argument-errors", "formatting", "no-eof", "text-raises"])
def test_memory_stays_flat(operation):
    assert_flat(operation)


def test_memory_stays_flat_when_nesting_is_too_deep():
    assert_flat(expect(RecursionError, parse_text, "метод m() x = " + "(" * 3000 + ";"), repeat=REPEAT // 10)


def refuse(key, **named):
    raise LookupError(key)


@pytest.mark.parametrize("translation, error", [(refuse, LookupError), (lambda key, **named: 7, TypeError)])
def test_memory_stays_flat_when_the_translation_fails(monkeypatch, translation, error):
    monkeypatch.setattr(tarn.i18n, "t", translation)
    assert_flat(expect(error, parse_text, BROKEN))
    assert_flat(expect(error, parse, Source(BROKEN)))
