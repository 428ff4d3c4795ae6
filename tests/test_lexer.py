"""tarn.lexer as the host sees it (the lexing cases themselves are golden
files): languages the host defines, the memoised tables, line maps handed
in, the per-source caches and module initialisation."""
import functools
import re

import pytest

import tarn.dataset
from tarn import lexer
from tarn.lexer import Token, _LineMap, linemap, tokenize, tokens
from tarn.parser import parse

from conftest import Source, run_python

TABLES = (lexer._language, lexer._keyword_forms, lexer._operators, lexer._operator_re)


def kv(text, *args):
    return [(t.kind, t.value) for t in tokenize(text, *args)[:-1]]


@pytest.fixture
def definition(monkeypatch):
    """serve(value): tarn.dataset.load_json returns (or raises) value from now
    on, the tables start afresh; the list of load calls is returned. The
    shipped definition is back afterwards."""
    calls = []

    def serve(value):
        def load_json(*args, **kwargs):
            calls.append(args)
            if isinstance(value, Exception):
                raise value
            return value

        monkeypatch.setattr(tarn.dataset, "load_json", load_json)
        for table in TABLES:
            table.cache_clear()
        return calls

    yield serve
    monkeypatch.undo()
    for table in TABLES:
        table.cache_clear()


def language(keywords=None, operators=("+", "=")):
    return {"keywords": {k: {"forms": list(v)} for k, v in (keywords or {}).items()}, "operators": list(operators)}


class TestLanguagesOfTheHost:
    def test_operators_from_the_definition(self, definition):
        definition(language(operators=["×", "<=>", "<", "=", "a+", "//", "\"'", "𝛌", "𝛌𝛌", "<<=", "<"]))
        assert kv("1×2 <=> <= a+ <<x <<= 𝛌𝛌𝛌") == [
            ("NUMBER", "1"), ("OP", "×"), ("NUMBER", "2"), ("OP", "<=>"), ("OP", "<"), ("OP", "="), ("IDENT", "a"),
            ("UNKNOWN", "+"), ("OP", "<"), ("OP", "<"), ("IDENT", "x"), ("OP", "<<="), ("OP", "𝛌𝛌"), ("OP", "𝛌")]
        # Earlier rules claim comments and literals whatever the operator list says.
        assert [t.kind for t in tokenize("// x\n\"'")[:-1]] == ["COMMENT", "STRING"]
        assert lexer._operators()[:3] == ["<<=", "<=>", "\"'"] and lexer._operator_re().pattern.startswith("<<=|")

    def test_keyword_forms(self, definition):
        many = {f"K{k}": [f"k{k}ж"] for k in range(500)}
        definition(language(keywords={"IF": ["когда", "если"], "WHEN": ["когда"], "NEVER": [],
                                      "BAD": ["a b", "a-b", "1a", ""], **many}))
        assert [(t.kind, t.canonical) for t in tokenize("когда если never a b a-b 1a k499ж k7ж")[:-1]] == [
            ("KEYWORD", "WHEN"), ("KEYWORD", "IF"), ("IDENT", None), ("IDENT", None), ("IDENT", None), ("IDENT", None),
            ("UNKNOWN", None), ("IDENT", None), ("NUMBER", None), ("KEYWORD", "K499"), ("KEYWORD", "K7")]
        lexer._keyword_forms()["если"] = None  # changed in place: noticed
        assert tokenize("если")[0].kind == "IDENT"
        lexer._keyword_forms()["если"] = 5
        with pytest.raises(TypeError, match=r"^str or None object expected; got int$"):
            tokenize("если")

    def test_tables_are_memoised_once_and_loaded_once(self, definition):
        calls = definition(language(operators=["<", "<=", "=", "==", "**", "*", "*=", "*"]))
        for table in TABLES:
            assert isinstance(table, functools._lru_cache_wrapper) and table.cache_info().maxsize == 1
            assert table() is table() and table.__wrapped__.__module__ == "tarn.lexer"
        assert lexer._operators() == ["**", "*=", "<=", "==", "*", "*", "<", "="]
        assert lexer._operator_re().pattern == r"\*\*|\*=|<=|==|\*|\*|<|="
        tokenize("a + b")
        assert calls == [("language.json",)]
        definition({"keywords": {}, "operators": "+-"})
        assert lexer._operators() == ["+", "-"]

    def test_each_load_follows_the_loader_and_the_cached_pattern(self, monkeypatch, definition):
        definition(language(keywords={"IF": ["if"]}, operators=["+", "-"]))
        assert tokenize("if")[0].canonical == "IF"
        monkeypatch.setattr(tarn.dataset, "load_json", lambda name: language(keywords={"FOR": ["if"]}, operators=["~"]))
        assert tokenize("if")[0].canonical == "IF"  # still memoised
        for table in TABLES[:3]:  # not _operator_re
            table.cache_clear()
        assert kv("+ ~ if") == [("OP", "+"), ("UNKNOWN", "~"), ("KEYWORD", "if")]
        assert tokenize("if")[0].canonical == "FOR"
        lexer._operator_re.cache_clear()
        assert [t.kind for t in tokenize("+ ~")][:-1] == ["UNKNOWN", "OP"]

    def test_table_functions_are_looked_up_in_the_module(self, monkeypatch):
        monkeypatch.setattr(lexer, "_keyword_forms", lambda: {"zz": "IF"})
        assert [t.kind for t in tokenize("zz если")][:-1] == ["KEYWORD", "IDENT"]
        monkeypatch.setattr(lexer, "_operator_re", lambda: re.compile(r"\~"))
        assert [t.kind for t in tokenize("~ +")][:-1] == ["OP", "UNKNOWN"]
        monkeypatch.undo()
        assert [t.kind for t in tokenize("zz если ~ +")][:-1] == ["IDENT", "KEYWORD", "UNKNOWN", "OP"]

    @pytest.mark.parametrize("value, error, message", [
        (OSError("disk"), OSError, "disk"),
        ([], TypeError, "^dict object expected; got list$"),
        ({"operators": ["+"]}, KeyError, "keywords"),
        ({"keywords": {}}, KeyError, "operators"),
        ({"keywords": {"IF": {}}, "operators": ["+"]}, KeyError, "forms"),
        ({"keywords": {"IF": {"forms": 5}}, "operators": ["+"]}, TypeError, "not iterable"),
        ({"keywords": [], "operators": ["+"]}, AttributeError, "items"),
        (language(operators=["+", 5]), TypeError, "^str object expected; got int$"),
        (language(operators=["+", ""]), ValueError, "empty operator"),
        (language(operators=[]), ValueError, "no operators"),
    ])
    def test_a_broken_definition_fails_each_call_and_stores_nothing(self, definition, value, error, message):
        calls = definition(value)
        source = Source("если x")
        for _ in range(2):
            with pytest.raises(error, match=message):
                tokenize("x")
            with pytest.raises(error, match=message):
                tokens(source)
            with pytest.raises(error, match=message):
                parse(source)
        assert len(calls) == 6 or not isinstance(value, Exception)  # a failed load is tried again
        assert "tokens" not in source.cache and "ast" not in source.cache
        definition(language())
        assert tokenize("x")[0].kind == "IDENT"

    def test_a_canonical_name_that_is_no_string_fails_where_its_form_occurs(self, definition):
        # The definition is a dict subclass: it counts as a dict.
        definition(type("Definition", (dict,), {})({"keywords": {7: {"forms": ["seven"]}, "IF": {"forms": ["if"]}},
                                                    "operators": ["+"]}))
        assert kv("x + y") == [("IDENT", "x"), ("OP", "+"), ("IDENT", "y")] and tokenize("if")[0].canonical == "IF"
        with pytest.raises(TypeError, match="^str or None object expected; got int$"):
            tokenize("if seven")


class TestTokens:
    def test_each_token_owns_its_flags(self):
        a, b, c = tokenize('a b "open')[:3]
        assert a.flags == {} and a.flags is not b.flags
        a.flags["x"] = 1
        assert b.flags == {} and c.flags == {"unterminated": True} and c.flags["unterminated"] is True
        assert tokenize('"x')[0].flags is not tokenize('"x')[0].flags

    @pytest.mark.parametrize("wide", ["", "é", "ж", "\U0001f600"])
    def test_same_tokens_in_every_storage_width(self, wide):
        # The prefix decides whether the host stores 1, 2 or 4 bytes per code point.
        base = 'метод f(x) "s${y}" // c\n  1.5 \'p\' /* d */ x+=2 \ufeff\u00a0 \'a\\\r\n\' ١٢3 한'
        toks = tokenize(f"//{wide}\n" + base)[1:]
        plain = tokenize("//\n" + base)[1:]
        shift = 1 if wide else 0
        assert [(t.kind, t.value, t.start - shift, t.line, t.col, t.flags) for t in toks] == \
               [(t.kind, t.value, t.start, t.line, t.col, t.flags) for t in plain]

    def test_values_are_plain_str_from_a_str_subclass(self):
        assert [type(t.value) for t in tokenize(type("Text", (str,), {})("ab 1"))] == [str, str, str]

    def test_canonical_is_the_form_maps_object(self):
        assert tokenize("метод")[0].canonical is lexer._keyword_forms()["метод"]

    def test_deep_interpolation_nesting(self):
        depth = 100_000
        closed = '"' + '${"' * depth + '"}' * depth + '"'
        assert [(t.end, t.flags) for t in tokenize(closed)] == [(len(closed), {}), (len(closed), {})]
        assert tokenize('"${' * depth)[0].flags == {"unterminated": True}
        assert lexer._skip_interpolation('"${' * depth + "}" + '"}' * (depth - 1), 3) == 3 * depth + 2 * depth - 1


class TestGivenLineMap:
    def test_a_line_map_is_used_as_it_is(self):
        lm = _LineMap("one\ntwo\nthree")
        assert [(t.line, t.col) for t in tokenize("a b", lm)] == [lm.linecol(t.start) for t in tokenize("a b", lm)]
        assert tokenize("x\ny", lm=_LineMap("x\ny")) == tokenize("x\ny")
        lm._starts = type("Starts", (list,), {})([0, 2])
        assert [(t.line, t.col) for t in tokenize("a\nb", lm)] == [(1, 1), (2, 1), (2, 2)]

    def test_starts_that_are_no_ints_fail_as_linecol_would(self):
        lm = _LineMap("")
        lm._starts = [0, 2.5]
        assert lm.linecol(3) == (2, 1.5)
        with pytest.raises(TypeError, match="^int object expected; got float$"):
            tokenize("a b ", lm)
        for starts, error in (([], IndexError), ([0, "x"], TypeError)):
            lm._starts = starts
            with pytest.raises(error):
                tokenize("a", lm)
        with pytest.raises(AttributeError, match="attribute '_starts' of '_LineMap' undefined"):
            tokenize("a", _LineMap.__new__(_LineMap))

    def test_positions_fail_before_a_bad_canonical(self, monkeypatch):
        monkeypatch.setattr(lexer, "_keyword_forms", lambda: {"если": 5})
        lm = _LineMap("")
        lm._starts = [0.5]
        with pytest.raises(TypeError, match="int object expected; got float"):
            tokenize("если", lm)


class TestFunctions:
    @pytest.mark.parametrize("call, message", [
        (lambda: tokenize(None), "str object expected; got None"),
        (lambda: tokenize("x", lm=5), "tarn.lexer._LineMap or None object expected; got int"),
        (lambda: tokenize("x", Token("A", "b", 1, 2, 3, 4, 5, 6)),
         "tarn.lexer._LineMap or None object expected; got tarn.lexer.Token"),
        (lambda: lexer._line_starts(b"x"), "str object expected; got bytes"),
        (lambda: lexer._skip_interpolation(5, "0"), "str object expected; got int"),
        (lambda: lexer._skip_interpolation("x", "0"), "int object expected; got str"),
        (lambda: tokenize(TestFunctions.Inner()), "got test_lexer.TestFunctions.Inner"),
    ])
    def test_type_errors(self, call, message):
        with pytest.raises(TypeError) as err:
            call()
        assert str(err.value).endswith(message)

    class Inner:
        pass

    def test_arguments_by_name(self):
        assert tokenize(text="x", lm=_LineMap("x")) == tokenize("x", None)
        assert lexer._skip_interpolation(start=0, text="a}b") == 2

    def test_skip_interpolation_from_starts_of_any_size(self):
        # (Every start of short texts is in the properties.)
        assert [lexer._skip_interpolation("a}", start) for start in (True, 2**70)] == [2, 2]
        with pytest.raises(IndexError):
            lexer._skip_interpolation("abc", -(2**70))


class TestSourceCaches:
    def test_results_are_cached_in_the_source(self):
        src = Source("метод f")
        toks = tokens(src)
        assert tokens(src) is toks and toks == tokenize("метод f") and set(src.cache) == {"linemap", "tokens"}
        assert type(src.cache["linemap"]) is _LineMap and linemap(src) is src.cache["linemap"]
        src.text = "b c"  # a new text needs a new cache
        assert tokens(src) is toks
        alone = Source("a\nb")
        assert linemap(alone)._starts == [0, 2] and list(alone.cache) == ["linemap"]

    def test_cached_values_are_used_as_they_are(self):
        lm = _LineMap("")
        lm._starts = [-10]
        assert tokens(Source("x", {"linemap": lm}))[0].col == 11
        mine = type("Tokens", (list,), {})([Token("X", "", 0, 0, 1, 1, 1, 1)])
        assert tokens(Source(5, {"tokens": mine})) is mine

    def test_any_cache_with_get_and_setitem(self):
        class Cache:
            def __init__(self):
                self.data = {}

            def get(self, key):
                return self.data.get(key)

            def __setitem__(self, key, value):
                self.data[key] = value

        src = Source("a b", Cache())
        assert tokens(src) is tokens(src) and set(src.cache.data) == {"linemap", "tokens"}


def test_module_initialisation():
    out = run_python("""
        import importlib, sys
        import tarn
        print("tarn.lexer" in sys.modules)
        sys.modules["tarn.dataset"] = None
        try:
            import tarn.lexer
        except ImportError:
            print("failed", "tarn.lexer" in sys.modules)
        del sys.modules["tarn.dataset"]
        import tarn.dataset
        calls = []
        tarn.dataset.load_json = lambda name: calls.append(name) or {"keywords": {}, "operators": ["+"]}
        first = importlib.import_module("tarn.lexer")
        print(len(calls), tarn.tokenize("a")[0].kind, len(calls), tarn.__version__)
        del sys.modules["tarn.lexer"]
        print(importlib.import_module("tarn.lexer") is first)
    """)
    assert out.split() == ["False", "failed", "False", "0", "IDENT", "1", "0.1.0", "True"]
