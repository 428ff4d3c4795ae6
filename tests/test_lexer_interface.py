"""tarn.lexer as the host sees it: names, signatures, argument and type errors, the memoised language tables,
the per-source caches and module initialisation."""
import functools
import inspect
import os
import re
import subprocess
import sys
import textwrap

import pytest

import tarn.dataset
from tarn import lexer
from tarn.lexer import Token, _LineMap, linemap, tokenize, tokens

from conftest import unexpected_keyword

TABLES = (lexer._language, lexer._keyword_forms, lexer._operators, lexer._operator_re)


def clear_tables():
    for table in TABLES:
        table.cache_clear()


@pytest.fixture
def definition(monkeypatch):
    """Serves a given language definition through a substituted tarn.dataset.load_json; the shipped
    definition is back afterwards. Returns the list of names load_json was called with."""
    calls = []

    def serve(value):
        def load_json(*args, **kwargs):
            calls.append((args, kwargs))
            if isinstance(value, Exception):
                raise value
            return value

        monkeypatch.setattr(tarn.dataset, "load_json", load_json)
        clear_tables()
        return calls

    yield serve
    monkeypatch.undo()
    clear_tables()


def language(keywords=None, operators=("+", "=")):
    return {"keywords": {k: {"forms": list(v)} for k, v in (keywords or {}).items()}, "operators": list(operators)}


class Source:
    def __init__(self, text, cache=None):
        self.text = text
        self.cache = {} if cache is None else cache


class TestModule:
    def test_names(self):
        for name in ("tokenize", "tokens", "linemap", "_line_starts", "_skip_interpolation", "_language",
                     "_keyword_forms", "_operators", "_operator_re", "Token", "_LineMap", "_LETTER", "_IDENT_RE",
                     "_NUMBER_RE"):
            assert hasattr(lexer, name), name
        assert not hasattr(lexer, "__all__")
        assert lexer.dataset is tarn.dataset

    def test_identity(self):
        assert (lexer.__name__, lexer.__package__, lexer.__doc__) == ("tarn.lexer", "tarn", None)
        assert os.path.dirname(lexer.__file__) == os.path.dirname(tarn.__file__)
        assert sys.modules["tarn.lexer"] is lexer
        assert Token.__module__ == _LineMap.__module__ == "tarn.lexer"
        assert (Token.__qualname__, _LineMap.__qualname__) == ("Token", "_LineMap")

    def test_character_classes(self):
        letter = ("A-Za-z\u00C0-\u00D6\u00D8-\u00F6\u00F8-\u00FF\u0100-\u1FFF\u3040-\u318F\u3300-\u337F"
                  "\u3400-\u3D2D\u4E00-\u9FFF\uF900-\uFAFF")
        assert lexer._LETTER == letter
        assert lexer._IDENT_RE.pattern == f"[_{letter}][_{letter}0-9]*" and lexer._IDENT_RE.flags == re.UNICODE
        assert lexer._NUMBER_RE.pattern == f"(?:[0-9]+[{letter}]+)+[0-9]*|[0-9]+(?:\\.[0-9]+)?"


class TestSignatures:
    @pytest.mark.parametrize("fn,sig", [
        (tokenize, "tokenize(text, lm=None)"), (tokens, "tokens(source)"), (linemap, "linemap(source)"),
        (lexer._line_starts, "_line_starts(text)"), (lexer._skip_interpolation, "_skip_interpolation(text, start)"),
        (lexer._language, "_language()"), (lexer._keyword_forms, "_keyword_forms()"),
        (lexer._operators, "_operators()"), (lexer._operator_re, "_operator_re()"),
    ])
    def test_functions(self, fn, sig):
        native = getattr(fn, "__wrapped__", fn)
        assert native.__name__ + native.__text_signature__ == sig
        assert fn.__name__ + str(inspect.signature(fn)) == sig

    def test_methods(self):
        assert Token.__repr__.__text_signature__ == "($self, /)"
        assert _LineMap.__init__.__text_signature__ == "($self, text)"
        assert _LineMap.linecol.__text_signature__ == "($self, offset)"
        assert str(inspect.signature(_LineMap)) == "(text)"


class TestArgumentErrors:
    @pytest.mark.parametrize("call,message", [
        (lambda: tokenize(), "tokenize() missing required argument 'text' (pos 1)"),
        (lambda: tokenize("x", None, None), "tokenize() takes at most 2 arguments (3 given)"),
        (lambda: tokenize(text="x", lm=None, extra=1), "tokenize() takes at most 2 keyword arguments (3 given)"),
        (lambda: tokenize("x", colour=1), unexpected_keyword("colour", "tokenize()")),
        (lambda: tokenize("x", text="y"), "argument for tokenize() given by name ('text') and position (1)"),
        (lambda: tokenize("x", **{1: 2}), "keywords must be strings"),
        (lambda: tokens(), "tokens() missing required argument 'source' (pos 1)"),
        (lambda: linemap(1, 2), "linemap() takes at most 1 argument (2 given)"),
        (lambda: lexer._line_starts(), "_line_starts() missing required argument 'text' (pos 1)"),
        (lambda: lexer._skip_interpolation("x"), "_skip_interpolation() missing required argument 'start' (pos 2)"),
        (lambda: lexer._language(1), "_language() takes at most 0 arguments (1 given)"),
        (lambda: lexer._operator_re(a=1), "_operator_re() takes at most 0 keyword arguments (1 given)"),
        (lambda: lexer._keyword_forms(1, 2), "_keyword_forms() takes at most 0 arguments (2 given)"),
        (lambda: lexer._operators(x=1, y=2), "_operators() takes at most 0 keyword arguments (2 given)"),
    ])
    def test_host_wording(self, call, message):
        with pytest.raises(TypeError) as err:
            call()
        assert str(err.value) == message

    def test_by_name(self):
        assert tokenize(text="x") == tokenize("x")
        assert tokenize(text="x", lm=_LineMap("x")) == tokenize("x", None)
        assert lexer._skip_interpolation(start=0, text="a}b") == 2


class TestTypeErrors:
    @pytest.mark.parametrize("call,message", [
        (lambda: tokenize(5), "str object expected; got int"),
        (lambda: tokenize(None), "str object expected; got None"),
        (lambda: tokenize("x", lm=5), "tarn.lexer._LineMap or None object expected; got int"),
        (lambda: tokenize("x", Token("A", "b", 1, 2, 3, 4, 5, 6)),
         "tarn.lexer._LineMap or None object expected; got tarn.lexer.Token"),
        (lambda: lexer._line_starts(b"x"), "str object expected; got bytes"),
        (lambda: lexer._skip_interpolation(5, 0), "str object expected; got int"),
        (lambda: lexer._skip_interpolation("x", "0"), "int object expected; got str"),
        (lambda: lexer._skip_interpolation(5, "0"), "str object expected; got int"),
    ])
    def test_messages(self, call, message):
        with pytest.raises(TypeError) as err:
            call()
        assert str(err.value) == message

    def test_nested_class_description(self):
        class Outer:
            class Inner:
                pass

        with pytest.raises(TypeError, match=r"got test_lexer_interface\.TestTypeErrors\."
                                            r"test_nested_class_description\.<locals>\.Outer\.Inner$"):
            tokenize(Outer.Inner())


class TestSkipInterpolation:
    @pytest.mark.parametrize("text,start,end", [
        ("a}b", 0, 2), ("{a}}x", 0, 4), ('"}"}x', 0, 4), ("\\}}x", 0, 3), ("'}'", 0, 2), ('"${"}"}"}x', 0, 9),
        ("abc", 0, 3), ("abc", 3, 3), ("abc", 10, 3), ("abc", 2**70, 3), ("", 0, 0), ("a}", True, 2),
        ('"abc', 0, 4), ("x}", -1, 0), ("}x}", -3, -2), ("ab", -2, 2), ("a}", -2, 0),
    ])
    def test_end_of_interpolation(self, text, start, end):
        assert lexer._skip_interpolation(text, start) == end

    @pytest.mark.parametrize("text,start", [("ab", -3), ("", -1), ("abc", -(2**70))])
    def test_start_before_the_text(self, text, start):
        with pytest.raises(IndexError):
            lexer._skip_interpolation(text, start)

    def test_deep_nesting(self):
        depth = 200_000
        text = '"${' * depth + "}" + '"}' * (depth - 1)
        assert lexer._skip_interpolation(text, 3) == len(text)


class TestLanguageTables:
    def test_memoised_with_capacity_one(self):
        for table in TABLES:
            assert isinstance(table, functools._lru_cache_wrapper)
            assert table.cache_info().maxsize == 1
            assert table() is table()
            assert table.__wrapped__.__module__ == "tarn.lexer"

    def test_shipped_definition(self):
        forms = lexer._keyword_forms()
        assert forms["метод"] == "METHOD" and forms["если"] == "IF" and forms["Если"] == "IF"
        ops = lexer._operators()
        assert ops == sorted(ops, key=lambda op: (-len(op), op))
        assert lexer._operator_re().match("a?.b", 1).group() == "?."

    def test_operators_sort_longest_first(self, definition):
        definition(language(operators=["<", "<=", "=", "==", "**", "*", "*=", "*"]))
        assert lexer._operators() == ["**", "*=", "<=", "==", "*", "*", "<", "="]
        assert lexer._operator_re().pattern == r"\*\*|\*=|<=|==|\*|\*|<|="

    def test_operators_from_any_iterable(self, definition):
        definition({"keywords": {}, "operators": "+-"})
        assert lexer._operators() == ["+", "-"]

    def test_failing_loader_is_called_again(self, definition):
        calls = definition(OSError("disk"))
        for _ in range(2):
            with pytest.raises(OSError):
                tokenize("x")
        assert len(calls) == 2

    def test_definition_is_loaded_once(self, definition):
        calls = definition(language())
        tokenize("a + b")
        tokenize("c = d")
        assert calls == [(("language.json",), {})]

    def test_cache_clear_and_new_loader_take_effect_at_the_next_tokenize(self, definition):
        definition(language(keywords={"IF": ["when"]}, operators=["+"]))
        assert [(t.kind, t.canonical) for t in tokenize("when + =")[:-1]] == [
            ("KEYWORD", "IF"), ("OP", None), ("UNKNOWN", None)]
        definition(language(keywords={"WHILE": ["when"]}, operators=["=", "+="]))
        assert [(t.kind, t.value, t.canonical) for t in tokenize("when += +")[:-1]] == [
            ("KEYWORD", "when", "WHILE"), ("OP", "+=", None), ("UNKNOWN", "+", None)]

    def test_operators_follow_the_cached_pattern(self, monkeypatch, definition):
        definition(language(operators=["+", "-"]))
        tokenize("x")
        monkeypatch.setattr(tarn.dataset, "load_json", lambda name: language(keywords={"IF": ["x"]}, operators=["~"]))
        for table in TABLES[:3]:  # not _operator_re
            table.cache_clear()
        assert [(t.kind, t.value) for t in tokenize("+ ~ x")][:-1] == [("OP", "+"), ("UNKNOWN", "~"), ("KEYWORD", "x")]
        lexer._operator_re.cache_clear()
        assert [t.kind for t in tokenize("+ ~")][:-1] == ["UNKNOWN", "OP"]

    def test_table_functions_are_looked_up_in_the_module(self, monkeypatch):
        monkeypatch.setattr(lexer, "_keyword_forms", lambda: [1])
        with pytest.raises(TypeError, match=r"^dict object expected; got list$"):
            tokenize("если")
        monkeypatch.setattr(lexer, "_keyword_forms", lambda: {"zz": "IF"})
        assert [t.kind for t in tokenize("zz если")][:-1] == ["KEYWORD", "IDENT"]
        monkeypatch.setattr(lexer, "_operator_re", lambda: re.compile(r"\~"))
        assert [t.kind for t in tokenize("~ +")][:-1] == ["OP", "UNKNOWN"]
        monkeypatch.undo()
        assert [t.kind for t in tokenize("zz если ~ +")][:-1] == ["IDENT", "KEYWORD", "UNKNOWN", "OP"]

    def test_the_loader_is_looked_up_at_each_load(self, monkeypatch, definition):
        definition(language(keywords={"IF": ["if"]}))
        assert tokenize("if")[0].canonical == "IF"
        monkeypatch.setattr(tarn.dataset, "load_json", lambda name: language(keywords={"FOR": ["if"]}))
        assert tokenize("if")[0].canonical == "IF"  # still memoised
        clear_tables()
        assert tokenize("if")[0].canonical == "FOR"

    def test_dict_subclasses_count_as_dicts(self, definition):
        class Definition(dict):
            pass

        definition(Definition(language(keywords={"IF": ["if"]})))
        assert tokenize("if")[0].canonical == "IF"

    @pytest.mark.parametrize("value,error,message", [
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
    def test_bad_definitions_fail_at_tokenize_and_store_nothing(self, definition, value, error, message):
        definition(value)
        for _ in range(2):  # a failed call stores nothing, so the next one fails the same way
            with pytest.raises(error, match=message):
                tokenize("x")
        definition(language())
        assert tokenize("x")[0].kind == "IDENT"

    def test_empty_operator_is_refused_by_the_table_itself(self, definition):
        definition(language(operators=["", "+"]))
        with pytest.raises(ValueError, match="empty operator"):
            lexer._operators()
        assert lexer._operators.cache_info().currsize == 0

    def test_non_str_canonical_fails_at_its_first_occurrence(self, definition):
        definition({"keywords": {7: {"forms": ["seven"]}, "IF": {"forms": ["if"]}}, "operators": ["+"]})
        assert tokenize("if x")[0].canonical == "IF"
        with pytest.raises(TypeError, match="^str or None object expected; got int$"):
            tokenize("if seven")


class TestSourceCaches:
    def test_tokens_are_cached_in_the_source(self):
        src = Source("метод f")
        toks = tokens(src)
        assert tokens(src) is toks and toks == tokenize("метод f")
        assert set(src.cache) == {"linemap", "tokens"}
        assert type(src.cache["linemap"]) is _LineMap and linemap(src) is src.cache["linemap"]

    def test_linemap_alone(self):
        src = Source("a\nb")
        lm = linemap(src)
        assert lm._starts == [0, 2] and linemap(src) is lm and list(src.cache) == ["linemap"]

    def test_cached_values_are_used_as_they_are(self):
        lm = _LineMap("")
        lm._starts = [-10]
        src = Source("x", {"linemap": lm})
        assert tokens(src)[0].col == 11
        mine = [Token("X", "", 0, 0, 1, 1, 1, 1)]
        assert tokens(Source(5, {"tokens": mine})) is mine

    def test_text_changes_need_a_new_cache(self):
        src = Source("a")
        first = tokens(src)
        src.text = "b c"
        assert tokens(src) is first

    @pytest.mark.parametrize("cache,call,error,message", [
        ({"linemap": {}}, linemap, TypeError, "^tarn.lexer._LineMap object expected; got dict$"),
        ({"tokens": ()}, tokens, TypeError, "^list object expected; got tuple$"),
        ({}, tokens, None, None),
    ])
    def test_cached_value_types(self, cache, call, error, message):
        if error is None:
            assert isinstance(call(Source("x", cache)), list)
            return
        with pytest.raises(error, match=message):
            call(Source("x", cache))

    def test_lists_subclass_counts_as_list(self):
        class Tokens(list):
            pass

        cached = Tokens()
        assert tokens(Source("x", {"tokens": cached})) is cached

    def test_linemap_must_be_exactly_the_class(self):
        with pytest.raises(TypeError, match="_LineMap object expected; got str"):
            tokens(Source("x", {"linemap": "no"}))

    def test_text_must_be_a_str(self):
        for call in (tokens, linemap):
            src = Source(b"x")
            with pytest.raises(TypeError, match="^str object expected; got bytes$"):
                call(src)
            assert src.cache == {}

    def test_tokens_store_nothing_after_an_error(self, definition):
        definition(OSError("no definition"))
        src = Source("x")
        with pytest.raises(OSError):
            tokens(src)
        assert "tokens" not in src.cache

    def test_source_errors_are_the_hosts(self):
        class NoCache:
            text = "x"

        class NoText:
            cache = {}

        class ReadOnly:
            text = "x"
            cache = type("C", (), {"get": lambda self, key: None})()

        with pytest.raises(AttributeError):
            tokens(NoCache())
        with pytest.raises(AttributeError):
            tokens(NoText())
        with pytest.raises(TypeError):
            linemap(ReadOnly())

    def test_any_mapping_with_get(self):
        class Cache:
            def __init__(self):
                self.data = {}

            def get(self, key):
                return self.data.get(key)

            def __setitem__(self, key, value):
                self.data[key] = value

        src = Source("a b", Cache())
        assert tokens(src) is tokens(src) and set(src.cache.data) == {"linemap", "tokens"}


def run_python(code):
    env = dict(os.environ, PYTHONPATH=os.pathsep.join(p for p in sys.path if p))
    out = subprocess.run([sys.executable, "-c", textwrap.dedent(code)], capture_output=True, text=True, env=env)
    assert out.returncode == 0, out.stderr
    return out.stdout


class TestInitialisation:
    def test_package_import_does_not_load_the_native_modules(self):
        out = run_python("""
            import sys, tarn
            print("tarn.lexer" in sys.modules, "tarn.parser" in sys.modules)
            tok = tarn.tokenize("x")
            print("tarn.lexer" in sys.modules, tok[0].kind, tarn.__version__)
        """)
        assert out.split() == ["False", "False", "True", "IDENT", "0.1.0"]

    def test_failed_initialisation_leaves_nothing_and_the_next_import_retries(self):
        out = run_python("""
            import sys
            sys.modules["tarn.dataset"] = None
            try:
                import tarn.lexer
            except ImportError:
                print("failed", "tarn.lexer" in sys.modules)
            del sys.modules["tarn.dataset"]
            import tarn.lexer
            print(tarn.lexer.tokenize("a")[0].kind)
        """)
        assert out.split() == ["failed", "False", "IDENT"]

    def test_later_imports_give_the_same_module(self):
        out = run_python("""
            import importlib, sys
            import tarn.lexer as first
            del sys.modules["tarn.lexer"]
            second = importlib.import_module("tarn.lexer")
            print(first is second, second.Token is first.Token)
        """)
        assert out.split() == ["True", "True"]

    def test_definition_is_not_read_at_import(self):
        out = run_python("""
            import tarn.dataset
            calls = []
            tarn.dataset.load_json = lambda name: calls.append(name) or {"keywords": {}, "operators": ["+"]}
            import tarn.lexer
            print(len(calls))
            tarn.lexer.tokenize("x")
            print(len(calls))
        """)
        assert out.split() == ["0", "1"]
