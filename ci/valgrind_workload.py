"""A small tour of the native modules for ci/valgrind.sh: every entry point, the
record machinery, and the paths that stop half-way (argument errors, a
failing translation, the nesting bound, tokens without EOF), each a few
times, so a leak per call shows as a repeated loss record."""
import copy
import pathlib
import pickle
import sys

import tarn.i18n
from tarn._check import check_files, diagnostics
from tarn._format import difference, layout
from tarn.lexer import Token, _LineMap, linemap, tokenize, tokens
from tarn.parser import Module, Name, _Parser, parse, parse_text

CORPUS = pathlib.Path(sys.argv[1])


class Source:
    def __init__(self, text):
        self.text = text
        self.cache = {}


def attempt(call, *errors):
    try:
        call()
    except errors:
        pass


def tour(text):
    source = Source(text)
    parse(source), tokens(source), linemap(source), parse(source)
    parse_text(text)
    diagnostics(text)
    toks = tokenize(text, _LineMap(text))
    p = _Parser(toks)
    p.parse_module()
    p.pos = 0
    attempt(p.expression, IndexError, TypeError)
    copy.deepcopy(toks[:50])
    pickle.loads(pickle.dumps(toks[:50]))
    formatted = layout(text)
    if formatted is not None:
        difference(text, formatted)


def failures():
    attempt(lambda: tokenize(5), TypeError)
    attempt(lambda: parse_text("x", 1), TypeError)
    attempt(lambda: parse_text("метод m() x = " + "(" * 3000), RecursionError)
    diagnostics("метод m() x = " + "(" * 3000)
    layout("метод m() x = " + "(" * 3000)
    attempt(lambda: layout(5), TypeError)
    attempt(lambda: _Parser([Token("IDENT", "a", 0, 1, 1, 1, 1, 2)]).parse_module(), IndexError)
    attempt(lambda: _Parser([1]), TypeError)
    tok = Token("IDENT", "a", 0, 1, 1, 1, 1, 2)
    attempt(lambda: setattr(tok, "start", "x"), TypeError)
    attempt(lambda: delattr(tok, "kind"), AttributeError)
    module = Module(0, 0)
    attempt(lambda: module.__setstate__({"imports": 5}), TypeError)
    original = tarn.i18n.t
    tarn.i18n.t = lambda key, **named: 5
    try:
        attempt(lambda: parse_text("метод m(\n x = ;"), TypeError)
        attempt(lambda: parse(Source("метод (")), TypeError)
        attempt(lambda: diagnostics("метод m(\n x = ;"), TypeError)
    finally:
        tarn.i18n.t = original
    Name(0, 1, "x") == Name(0, 1, "x")


texts = [p.read_text(encoding="utf-8") for p in sorted(CORPUS.rglob("*.tarn"))][:6]
paths = [str(p) for p in sorted(CORPUS.rglob("*.tarn"))] + ["/nonexistent.tarn", sys.executable]
for _ in range(3):
    for text in texts:
        tour(text)
    failures()
    list(check_files(paths, 2))
    files = check_files(paths * 4, 2)
    next(files)
    files.close()  # stops the workers half-way
print("workload done")
