"""Hostile callers: whatever a host hands the modules, the answer is a host
exception of the documented kind (or a plain TypeError, ValueError,
IndexError, KeyError, AttributeError or OverflowError where none is
documented), nothing half-made is left in a source cache, and the process
lives on.

Properties that drive the native parser with random state run in a child
interpreter: a memory fault there fails one test with its signal instead of
taking the whole run down."""
import copy
import inspect
import json
import os
import pathlib
import pickle
import re
import subprocess
import sys
import textwrap

import pytest
from hypothesis import HealthCheck, given, settings, strategies as st

import tarn.dataset
import tarn.i18n
import tarn.lexer as lexer
import tarn.parser as parser
from tarn.lexer import Token, _LineMap, linemap, tokenize, tokens
from tarn.parser import Assign, Module, Name, ParseError, TypeRef, _Parser, parse, parse_text

HERE = pathlib.Path(__file__).resolve().parent
CORPUS = HERE / "data" / "corpus"
QUICK = os.environ.get("TARN_QUICK") == "1"
EXAMPLES = 60 if QUICK else 400

CLEAR_ERRORS = (TypeError, ValueError, IndexError, KeyError, AttributeError, OverflowError, RecursionError)
TYPE_ERROR = re.compile(r"^(?P<expected>.+) object expected; got (?P<got>.+)$")


def type_description(value):
    if value is None:
        return "None"
    cls = type(value)
    return cls.__qualname__ if cls.__module__ == "builtins" else f"{cls.__module__}.{cls.__qualname__}"


def run_isolated(property_name):
    """Runs a property of this module in a child interpreter and fails with
    its output when it fails or dies."""
    code = f"import sys; sys.path.insert(0, {str(HERE)!r}); import test_hostile; test_hostile.{property_name}()"
    proc = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, cwd=HERE.parent)
    if proc.returncode != 0:
        how = f"killed by signal {-proc.returncode}" if proc.returncode < 0 else f"exit status {proc.returncode}"
        pytest.fail(f"{property_name} failed ({how}):\n{proc.stdout[-4000:]}\n{proc.stderr[-6000:]}")


def run_snippet(code):
    """Runs a few lines in a child interpreter; returns (status, stdout, stderr)."""
    proc = subprocess.run([sys.executable, "-c", textwrap.dedent(code)], capture_output=True, text=True)
    return proc.returncode, proc.stdout, proc.stderr


# ------------------------------------------------------------------ strategies

KINDS = ["BOM", "COMMENT", "STRING", "PATTERN", "NUMBER", "KEYWORD", "IDENT", "OP", "UNKNOWN", "EOF", "OTHER", ""]
CANONICALS = sorted(set(lexer._keyword_forms().values())) + ["", "NOT_A_KEYWORD", "if"]
GRAMMAR_OPS = ["#", "@", "::", "(", ")", "[", "]", "{", "}", "=", ",", ";", ":", "?", ".", "->", "?.", "??", "!",
               "+", "-", "*", "/", "%", "**", "&", "|", "<", ">", "<=", ">=", "==", "!=", "+=", "-=", "*=", "/="]
OPS = GRAMMAR_OPS + ["", "+++", "«"]
MESSAGE_KEYS = list(parser.MESSAGES)
EXTREMES = [2**63 - 1, -(2**63), 2**63, -(2**63) - 1, 2**100]

offsets = st.one_of(st.integers(-3, 40), st.sampled_from(EXTREMES))
texts = st.one_of(st.sampled_from(OPS + ["метод", "If", "x", "1", '"s"', "'p'", "Если"]), st.text(max_size=4))
hostile_tokens = st.builds(
    Token, kind=st.sampled_from(KINDS), value=texts, start=offsets, end=offsets, line=offsets, col=offsets,
    end_line=offsets, end_col=offsets, canonical=st.none() | st.sampled_from(CANONICALS),
    subkind=st.none() | st.sampled_from(["line", "block", "doc", "odd"]),
    flags=st.dictionaries(st.sampled_from(["unterminated", "other"]), st.booleans(), max_size=2))
foreign = st.sampled_from([None, 0, "x", 1.5, b"x", [], (), {}, object(), Name(0, 0, "n")])


def token_lists():
    real = st.sampled_from(["", "метод m() ;", "x = (a + b", "если а ; иначе ;", '"${x}" /* c'])
    return st.one_of(
        st.lists(hostile_tokens, max_size=12),
        st.lists(hostile_tokens, max_size=12).map(lambda ts: ts + [Token("EOF", "", 5, 5, 1, 6, 1, 6)]),
        real.map(tokenize),
    )


positions = st.one_of(st.integers(-14, 14), st.sampled_from(EXTREMES))

def parser_methods(takes):
    """The _Parser methods, in order, whose parameters (besides self) `takes` accepts."""
    methods = [(n, m) for n, m in vars(_Parser).items() if callable(m) and not n.startswith("__")]
    return [n for n, m in methods if takes(list(inspect.signature(m).parameters.values())[1:])]


ZERO_ARG_METHODS = parser_methods(lambda ps: all(p.default is not p.empty for p in ps))
ANNOTATED_METHODS = parser_methods(lambda ps: [p.name for p in ps] == ["annotations"])
names = st.lists(st.sampled_from(CANONICALS), max_size=3).map(tuple)
operators = st.lists(st.sampled_from(OPS), max_size=3).map(tuple)
calls = st.lists(st.one_of(
    st.tuples(st.sampled_from(ZERO_ARG_METHODS), st.just(())),
    st.tuples(st.just("peek"), st.tuples(positions)),
    st.tuples(st.sampled_from(["at_kw", "eat_kw", "block_until"]), names),
    st.tuples(st.sampled_from(["at_op", "eat_op"]), operators),
    st.tuples(st.just("expect_op"), st.tuples(st.sampled_from(OPS), st.sampled_from(MESSAGE_KEYS))),
    st.tuples(st.just("error"), st.tuples(st.text(max_size=3), st.none() | hostile_tokens | foreign)),
    st.tuples(st.just("rollback"), st.tuples(st.tuples(positions, positions) | foreign)),
    st.tuples(st.just("starts_new_statement"), st.tuples(offsets)),
    st.tuples(st.just("generic_type_args"), st.tuples(st.booleans())),
    st.tuples(st.just("statements_until_semicolon"), st.tuples(st.sampled_from(MESSAGE_KEYS) | st.just("nope"))),
    st.tuples(st.sampled_from(ANNOTATED_METHODS), st.tuples(st.just([]) | foreign)),
    st.tuples(st.just("module_member"), st.tuples(st.builds(Module, st.just(0), st.just(0)) | foreign)),
    st.tuples(st.sampled_from(["maybe_call", "postfix_after_literal"]), st.tuples(st.just(Name(0, 0, "f")) | foreign)),
    st.tuples(st.just("=pos"), st.tuples(positions)),
    st.tuples(st.just("=toks"), st.tuples(token_lists() | st.lists(foreign, max_size=3))),
), max_size=8)


def apply_call(p, name, args):
    if name.startswith("="):
        setattr(p, name[1:], args[0])
        return
    getattr(p, name)(*args)


def check_parser_state(p):
    assert isinstance(p.pos, int)
    assert isinstance(p.errors, list)
    for e in p.errors:
        assert isinstance(e, ParseError) and isinstance(e.message, str)
        assert e.end > e.start, f"empty or reversed span in {e!r}"


# ------------------------------------------------------------------ properties run in a child interpreter

@settings(max_examples=EXAMPLES, deadline=None, derandomize=True, database=None,
          suppress_health_check=list(HealthCheck))
@given(toks=token_lists(), pos=positions, sequence=calls)
def cursor_and_rules_survive_any_state(toks, pos, sequence):
    p = _Parser(toks)
    p.pos = pos
    for name, args in sequence:
        try:
            apply_call(p, name, args)
        except CLEAR_ERRORS:
            pass
        check_parser_state(p)


@settings(max_examples=EXAMPLES, deadline=None, derandomize=True, database=None,
          suppress_health_check=list(HealthCheck))
@given(toks=st.lists(hostile_tokens, max_size=16))
def module_over_odd_tokens_has_sane_diagnostics(toks):
    try:
        module, errors = _Parser(toks + [Token("EOF", "", 3, 3, 1, 4, 1, 4)]).parse_module()
    except CLEAR_ERRORS:
        return
    assert isinstance(module, Module)
    for e in errors:
        assert e.end > e.start, f"empty or reversed span in {e!r}"


FRAGMENTS = sorted(set(lexer._keyword_forms())) + GRAMMAR_OPS + [
    "a", "B", "x1", "1", "2.5", '"s"', '"${a}"', "'p'", "\n", " ", "\t", "// c\n", "/* c */", '"', "'", "/*", "\ufeff",
    "\u00d7"]


@settings(max_examples=EXAMPLES, deadline=None, derandomize=True, database=None,
          suppress_health_check=list(HealthCheck))
@given(pieces=st.lists(st.sampled_from(FRAGMENTS), max_size=40), glue=st.sampled_from([" ", "", "\n"]))
def parse_text_agrees_with_the_written_algorithm(pieces, glue):
    text = glue.join(pieces)
    try:
        module, errors = parse_text(text)
    except RecursionError:
        return
    assert module.start <= module.end == len(text)
    for e in errors:
        assert 0 <= e.start < e.end <= len(text) + 1, e
    # Without the memo the parser runs the speculative rules as written.
    assert parser._parse_text_unmemoised(text) == (module, errors)


class TestParserUnderRandomState:
    def test_parse_text_of_random_fragments(self):
        run_isolated("parse_text_agrees_with_the_written_algorithm")

    def test_any_sequence_of_cursor_and_rule_calls(self):
        run_isolated("cursor_and_rules_survive_any_state")

    def test_module_over_tokens_the_lexer_never_makes(self):
        run_isolated("module_over_odd_tokens_has_sane_diagnostics")


class TestPinnedFindings:
    """Exact reproducers of faults the fuzzers found; each runs in a child."""

    def test_a_negative_position_reads_from_the_end(self):
        # The host indexes toks[-2] like any list; the rule must not read
        # before the native token array.
        status, out, err = run_snippet("""
            from tarn.lexer import Token
            from tarn.parser import _Parser
            p = _Parser([Token("NUMBER", "1", 0, 1, 1, 1, 1, 2), Token("EOF", "", 1, 1, 1, 2, 1, 2)])
            p.pos = -2
            try:
                lit = p.static_feature_resolving()
                print(lit.text, lit.start, lit.end)
            except IndexError:
                print("IndexError")
            """)
        assert status == 0, err
        assert out.split() in (["1", "0", "1"], ["IndexError"])

    def test_an_error_at_the_largest_offset_does_not_wrap(self):
        big = 2**63 - 1
        status, out, err = run_snippet(f"""
            from tarn.lexer import Token
            from tarn.parser import _Parser
            p = _Parser([Token("UNKNOWN", "x", {big}, {big}, 1, 1, 1, 1), Token("EOF", "", {big}, {big}, 1, 1, 1, 1)])
            try:
                _, errors = p.parse_module()
                print(errors[0].start, errors[0].end)
            except OverflowError:
                print("OverflowError")
            """)
        assert status == 0, err
        assert out.split() in ([str(big), str(big + 1)], ["OverflowError"])


# ------------------------------------------------------------------ records

def sample_records():
    """One instance of every record class of both modules."""
    found = {}

    def walk(o):
        if isinstance(o, (list, tuple)):
            for x in o:
                walk(x)
        elif type(o).__module__ == "tarn.parser" and hasattr(type(o), "__match_args__"):
            found.setdefault(type(o), o)
            for f in type(o).__match_args__:
                walk(getattr(o, f))

    for path in sorted(CORPUS.rglob("*.tarn")):
        walk(parse_text(path.read_text(encoding="utf-8")))
    for cls in (parser.Node, parser.Stmt, parser.Expr):
        found.setdefault(cls, cls(0, 0))
    found[Token] = tokenize("метод")[0]
    found[_LineMap] = _LineMap("a\nb")
    found[_Parser] = _Parser(tokenize("x"))
    return found


class StrSub(str):
    pass


class IntSub(int):
    pass


WRONG_VALUES = [None, 0, -1, 2**70, True, 0.5, "", "x", StrSub("s"), IntSub(3), b"x", [], (), (1, 2), {}, set(),
                object(), Name(0, 0, "n"), TypeRef(0, 0, "T"), Assign(0, 0, Name(0, 0, "a"), "=", None),
                Token("IDENT", "a", 0, 1, 1, 1, 1, 2), _LineMap("")]
RECORDS = sample_records()


def field_cases():
    for cls, record in RECORDS.items():
        fields = getattr(cls, "__match_args__", None) or tuple(record.__getstate__())
        for field in fields:
            yield pytest.param(cls, field, id=f"{cls.__name__}.{field}")


class TestRecordFields:
    @pytest.mark.parametrize("cls, field", list(field_cases()))
    def test_every_wrong_type_is_refused_and_the_field_kept(self, cls, field):
        record = copy.copy(RECORDS[cls])
        refused = 0
        for value in WRONG_VALUES:
            before = getattr(record, field)
            try:
                setattr(record, field, value)
            except TypeError as e:
                match = TYPE_ERROR.match(str(e))
                assert match, f"unclear refusal of {value!r}: {e}"
                assert match["got"] == type_description(value)
                assert getattr(record, field) is before
                refused += 1
            else:
                setattr(record, field, before)
        assert refused, f"{cls.__name__}.{field} accepts values of every type"
        repr(record)
        state = record.__getstate__()
        assert copy.deepcopy(record).__getstate__() == state
        assert pickle.loads(pickle.dumps(record)).__getstate__() == state

    @pytest.mark.parametrize("cls, field", list(field_cases()))
    def test_a_field_cannot_be_deleted(self, cls, field):
        record = copy.copy(RECORDS[cls])
        with pytest.raises(AttributeError):
            delattr(record, field)
        getattr(record, field)

    @pytest.mark.parametrize("cls", list(RECORDS), ids=lambda c: c.__name__)
    @pytest.mark.parametrize("state", [None, 5, [], {"no_such_field": 1}, {"start": "x"}, {1: 2}],
                             ids=["None", "int", "list", "unknown", "wrong-type", "non-str-key"])
    def test_setstate_refuses_what_is_not_a_state(self, cls, state):
        record = copy.copy(RECORDS[cls])
        before = record.__getstate__()
        with pytest.raises((TypeError, AttributeError)):
            record.__setstate__(state)
        # Each of these fails on its first item: nothing was assigned.
        assert record.__getstate__() == before


# ------------------------------------------------------------------ source objects

class Source:
    def __init__(self, text, cache=None):
        self.text = text
        self.cache = {} if cache is None else cache


class Boom(Exception):
    pass


class RaisingText:
    cache = None

    def __init__(self):
        self.cache = {}

    @property
    def text(self):
        raise Boom("text")


class RefusingCache(dict):
    def __setitem__(self, key, value):
        raise Boom("store")


class GetRaises(dict):
    def get(self, key, default=None):
        raise Boom("get")


class NoText:
    def __init__(self):
        self.cache = {}


class NoCache:
    text = "x"


ENTRY_POINTS = {"tokens": tokens, "linemap": linemap, "parse": parse}
KEY_OF = {"tokens": "tokens", "linemap": "linemap", "parse": "ast"}


class TestSourceObjects:
    @pytest.mark.parametrize("entry", list(ENTRY_POINTS))
    @pytest.mark.parametrize("make, error", [
        (RaisingText, Boom),
        (NoText, AttributeError),
        (NoCache, AttributeError),
        (lambda: Source(b"bytes"), TypeError),
        (lambda: Source(None), TypeError),
        (lambda: Source(5), TypeError),
        (lambda: Source("x", cache=5), AttributeError),
        (lambda: Source("x", cache=GetRaises()), Boom),
        (lambda: Source("x", cache=RefusingCache()), Boom),
    ], ids=["text-raises", "no-text", "no-cache", "bytes", "none-text", "int-text", "int-cache", "get-raises",
            "store-raises"])
    def test_failures_propagate_and_store_nothing_for_the_failed_key(self, entry, make, error):
        source = make()
        with pytest.raises(error):
            ENTRY_POINTS[entry](source)
        cache = getattr(source, "cache", None)
        if isinstance(cache, dict):
            assert KEY_OF[entry] not in cache

    @pytest.mark.parametrize("key, value, expected", [
        ("tokens", (), "list"),
        ("tokens", "abc", "list"),
        ("linemap", [0], "tarn.lexer._LineMap"),
        ("ast", [Module(0, 0), []], "tuple[tarn.parser.Module, list]"),
        ("ast", (Module(0, 0),), "tuple[tarn.parser.Module, list]"),
        ("ast", (Name(0, 0, "x"), []), "tuple[tarn.parser.Module, list]"),
    ])
    def test_a_cached_value_of_the_wrong_type_is_refused(self, key, value, expected):
        entry = {"tokens": tokens, "linemap": linemap, "ast": parse}[key]
        with pytest.raises(TypeError, match=re.escape(f"{expected} object expected")):
            entry(Source("x", cache={key: value}))

    @pytest.mark.parametrize("cached, error", [
        ([1, 2], TypeError),
        ([], IndexError),
        ([Token("IDENT", "a", 0, 1, 1, 1, 1, 2)], IndexError),
    ], ids=["foreign-elements", "empty", "no-eof"])
    def test_a_cached_token_list_that_is_no_token_list(self, cached, error):
        source = Source("a", cache={"tokens": cached})
        with pytest.raises(error):
            parse(source)
        assert "ast" not in source.cache

    def test_parse_fails_cleanly_when_the_cache_refuses_the_tree(self):
        class RefusesAst(dict):
            def __setitem__(self, key, value):
                if key == "ast":
                    raise Boom("ast")
                super().__setitem__(key, value)

        source = Source("метод m() ;", cache=RefusesAst())
        with pytest.raises(Boom):
            parse(source)
        assert "ast" not in source.cache
        assert parse_text(source.text)[0] is not None


# ------------------------------------------------------------------ translation service

BROKEN_TEXT = "метод m(\n  x = ;"


class TestTranslationService:
    @pytest.mark.parametrize("replacement, error", [
        (lambda key, **named: (_ for _ in ()).throw(Boom(key)), Boom),
        (lambda key, **named: 5, TypeError),
        (lambda key, **named: None, TypeError),
        (lambda key, **named: b"bytes", TypeError),
        (lambda key, **named: ["x"], TypeError),
        (lambda *a: "no keywords accepted", None),
        (None, TypeError),
    ], ids=["raises", "int", "none", "bytes", "list", "no-named-values", "not-callable"])
    def test_a_failing_translation_ends_the_parse(self, monkeypatch, replacement, error):
        monkeypatch.setattr(tarn.i18n, "t", replacement)
        source = Source(BROKEN_TEXT)
        if error is None:
            module, errors = parse(source)
            assert errors and all(e.message == "no keywords accepted" for e in errors)
            return
        with pytest.raises(error) as info:
            parse(source)
        if error is TypeError and replacement is not None:
            assert str(info.value).startswith("str object expected; got ")
        assert "ast" not in source.cache
        with pytest.raises(error):
            parse_text(BROKEN_TEXT)

    def test_a_valid_text_never_asks_for_a_translation(self, monkeypatch):
        monkeypatch.setattr(tarn.i18n, "t", None)
        assert parse_text("метод m() ;")[1] == []


# ------------------------------------------------------------------ language definition

LANGUAGE_CACHES = ("_language", "_keyword_forms", "_operators", "_operator_re")


@pytest.fixture
def reload_language(monkeypatch):
    """Lets a test substitute tarn.dataset.load_json for a fresh derivation
    of the language tables, and puts the real ones back afterwards."""
    def clear():
        for name in LANGUAGE_CACHES:
            getattr(lexer, name).cache_clear()

    clear()
    yield lambda fake: monkeypatch.setattr(tarn.dataset, "load_json", fake)
    monkeypatch.undo()
    clear()
    assert tokenize("метод")[0].canonical == "METHOD"


def raising_load(name):
    raise Boom(name)


REAL_LANGUAGE = json.loads((HERE.parent / "src" / "tarn" / "data" / "language.json").read_text(encoding="utf-8"))


class TestLanguageDefinition:
    @pytest.mark.parametrize("load, error", [
        (raising_load, Boom),
        (lambda name: [1, 2], TypeError),
        (lambda name: None, TypeError),
        (lambda name: "language", TypeError),
        (lambda name: {"operators": ["+"]}, KeyError),
        (lambda name: {"keywords": {}}, KeyError),
        (lambda name: {"keywords": {"IF": {}}, "operators": ["+"]}, KeyError),
        (lambda name: {"keywords": {"IF": {"forms": 5}}, "operators": ["+"]}, TypeError),
        (lambda name: {"keywords": {}, "operators": ["+", 5]}, TypeError),
        (lambda name: {"keywords": {}, "operators": []}, (ValueError, TypeError)),
        (lambda name: {"keywords": {}, "operators": ["+", ""]}, (ValueError, TypeError)),
        (lambda name: {"keywords": [], "operators": ["+"]}, (AttributeError, TypeError)),
    ], ids=["raises", "list", "none", "str", "no-keywords", "no-operators", "no-forms", "forms-int",
            "operator-int", "no-operator", "empty-operator", "keywords-list"])
    def test_a_broken_definition_fails_every_call_and_caches_nothing(self, reload_language, load, error):
        reload_language(load)
        source = Source("если x")
        for _ in range(2):  # a failure is not remembered: the second call tries again
            with pytest.raises(error):
                tokenize("если x")
            with pytest.raises(error):
                parse(source)
        assert "tokens" not in source.cache and "ast" not in source.cache

    def test_a_canonical_name_that_is_no_string_fails_only_where_its_form_occurs(self, reload_language):
        reload_language(lambda name: {"keywords": {5: {"forms": ["если"]}}, "operators": ["+"]})
        assert [t.kind for t in tokenize("x + y")] == ["IDENT", "OP", "IDENT", "EOF"]
        with pytest.raises(TypeError, match=re.escape("str or None object expected; got int")):
            tokenize("x если")

    def test_a_definition_that_changes_between_loads(self, reload_language):
        calls = []

        def flaky(name):
            calls.append(name)
            if len(calls) == 1:
                raise Boom("first")
            return REAL_LANGUAGE

        reload_language(flaky)
        with pytest.raises(Boom):
            tokenize("если")
        assert tokenize("если")[0].canonical == "IF"
        assert calls == ["language.json", "language.json"]


class PatternLike:
    """Not a compiled pattern, but has what one would be asked for."""

    def __init__(self, pattern, flags=re.UNICODE):
        self.pattern, self.flags = pattern, flags


class PatternRaises:
    @property
    def pattern(self):
        raise Boom("pattern")


class TestReplacedTableFunctions:
    """A host may replace the table functions in the lexer module; tokenize
    follows the replacement and answers with tokens or a plain exception."""

    @pytest.mark.parametrize("pattern", [
        None, 1, "+", PatternLike(r"\+|-"), PatternLike(r"\+|-", flags=0), PatternLike(5), PatternLike("a||b"),
        PatternLike("\\"), PatternLike(r"[+-]"), PatternRaises(), re.compile(r"\+|\*\*|\*"), re.compile("x", re.I),
        re.compile(""),
    ], ids=repr)
    def test_any_operator_pattern(self, monkeypatch, pattern):
        monkeypatch.setattr(lexer, "_operator_re", lambda: pattern)
        for text in ("a + b ** c", "x"):
            try:
                toks = tokenize(text)
            except (*CLEAR_ERRORS, Boom):
                continue
            assert toks[-1].kind == "EOF" and all(a.end <= b.start for a, b in zip(toks, toks[1:]))
            parse_text(text)

    @pytest.mark.parametrize("forms", [None, [], {1: "IF"}, {"если": None}, {"если": 5}, {"если": "IF", "x": "X"}],
                             ids=repr)
    def test_any_form_map(self, monkeypatch, forms):
        monkeypatch.setattr(lexer, "_keyword_forms", lambda: forms)
        try:
            toks = tokenize("если x")
        except CLEAR_ERRORS:
            return
        assert toks[-1].kind == "EOF"

    def test_a_missing_table_function(self, monkeypatch):
        monkeypatch.delattr(lexer, "_operator_re")
        with pytest.raises(AttributeError, match="_operator_re"):
            tokenize("x")
        with pytest.raises(AttributeError):
            parse_text("x")
