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
import pathlib
import pickle
import re
import subprocess
import sys

import pytest
from hypothesis import HealthCheck, given, settings, strategies as st

import tarn.dataset
import tarn.i18n
import tarn.lexer as lexer
import tarn.parser as parser
from tarn.lexer import Token, _LineMap, linemap, tokenize, tokens
from tarn.parser import Assign, Module, Name, ParseError, TypeRef, _Parser, parse, parse_text

from conftest import QUICK, Source, corpus_texts, run_python

HERE = pathlib.Path(__file__).resolve().parent
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


# ------------------------------------------------------------------ strategies

KINDS = sorted({t.kind for t in tokenize("\ufeff// c\n\"s\" 'p' 1 если x + ×")}) + ["OTHER", ""]
CANONICALS = sorted(set(lexer._keyword_forms().values())) + ["", "NOT_A_KEYWORD", "if"]
GRAMMAR_OPS = sorted(lexer._operators())
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
# Values for each parameter name of the _Parser methods; the methods and their
# parameters are read from the class itself.
ARGUMENTS = {
    "ahead": positions,
    "names": st.sampled_from(CANONICALS),
    "vals": st.sampled_from(OPS),
    "val": st.sampled_from(OPS),
    "key": st.sampled_from(MESSAGE_KEYS) | st.just("nope"),
    "message": st.text(max_size=3),
    "tok": st.none() | hostile_tokens | foreign,
    "snap": st.tuples(positions, positions) | foreign,
    "prev_line": offsets,
    "allow_named": st.booleans(),
    "annotations": st.just([]) | foreign,
    "module": st.builds(Module, st.just(0), st.just(0)) | foreign,
    "callee": st.just(Name(0, 0, "f")) | foreign,
    "expr": st.just(Name(0, 0, "f")) | foreign,
}


def method_calls(name, method):
    """Calls of one method: every parameter given, and none where that is allowed."""
    params = list(inspect.signature(method).parameters.values())[1:]
    given = [st.lists(ARGUMENTS[p.name], max_size=3) if p.kind is p.VAR_POSITIONAL else ARGUMENTS[p.name].map(
        lambda value: [value]) for p in params]
    full = st.tuples(*given).map(lambda groups: tuple(value for group in groups for value in group))
    optional = all(p.default is not p.empty or p.kind is p.VAR_POSITIONAL for p in params)
    return st.tuples(st.just(name), full | st.just(()) if optional else full)


METHODS = {name: m for name, m in vars(_Parser).items() if callable(m) and not name.startswith("__")}
calls = st.lists(st.one_of(
    *[method_calls(name, m) for name, m in METHODS.items()],
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


def test_pinned_findings_of_the_fuzzers():
    # The host indexes toks[-2] like any list: the rule must not read before
    # the native token array. An error at the largest offset must not wrap.
    out = run_python(f"""
        from tarn.lexer import Token
        from tarn.parser import _Parser
        p = _Parser([Token("NUMBER", "1", 0, 1, 1, 1, 1, 2), Token("EOF", "", 1, 1, 1, 2, 1, 2)])
        p.pos = -2
        try:
            lit = p.static_feature_resolving()
            print(lit.text, lit.start, lit.end)
        except IndexError:
            print("IndexError")
        p = _Parser([Token("UNKNOWN", "x", {BIG}, {BIG}, 1, 1, 1, 1), Token("EOF", "", {BIG}, {BIG}, 1, 1, 1, 1)])
        try:
            e = p.parse_module()[1][0]
            print(e.start, e.end)
        except OverflowError:
            print("OverflowError")
    """).splitlines()
    assert out[0].split() in (["1", "0", "1"], ["IndexError"])
    assert out[1] in (f"{BIG} {BIG + 1}", "OverflowError")


BIG = 2**63 - 1


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

    for _, text in corpus_texts():
        walk(parse_text(text))
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
    def test_every_wrong_type_is_refused_and_the_field_kept_and_not_deleted(self, cls, field):
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
                if not (value == before or value is before):
                    assert record != RECORDS[cls] or isinstance(record, _LineMap), f"{field} set to {value!r}"
                setattr(record, field, before)
        assert refused, f"{cls.__name__}.{field} accepts values of every type"
        repr(record)
        state = record.__getstate__()
        assert copy.deepcopy(record).__getstate__() == state
        assert pickle.loads(pickle.dumps(record)).__getstate__() == state
        with pytest.raises(AttributeError):
            delattr(record, field)
        assert record.__getstate__() == state

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

class Boom(Exception):
    pass


def boom(*args):
    raise Boom(args[-1] if args else "")


def a_source(text=None, cache=None, **members):
    """A source object of a class of its own, its members replaced by `members`."""
    cls = type("Source", (), {"text": text, **members})
    source = cls()
    source.cache = {} if cache is None else cache
    return source


def a_cache(**members):
    return type("Cache", (dict,), members)()


ENTRY_POINTS = {"tokens": tokens, "linemap": linemap, "parse": parse}
KEY_OF = {"tokens": "tokens", "linemap": "linemap", "parse": "ast"}


class TestSourceObjects:
    @pytest.mark.parametrize("entry", list(ENTRY_POINTS))
    @pytest.mark.parametrize("make, error", [
        (lambda: a_source(text=property(boom)), Boom),
        (lambda: type("NoText", (), {"cache": {}})(), AttributeError),
        (lambda: type("NoCache", (), {"text": "x"})(), AttributeError),
        (lambda: Source(b"bytes"), TypeError),
        (lambda: Source(None), TypeError),
        (lambda: Source(5), TypeError),
        (lambda: Source("x", cache=5), AttributeError),
        (lambda: Source("x", cache=a_cache(get=boom)), Boom),
        (lambda: Source("x", cache=a_cache(__setitem__=boom)), Boom),
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
        refuses_ast = a_cache(__setitem__=lambda self, key, value: boom() if key == "ast" else dict.__setitem__(
            self, key, value))
        source = Source("метод m() ;", cache=refuses_ast)
        with pytest.raises(Boom):
            parse(source)
        assert "ast" not in source.cache
        assert parse_text(source.text)[0] is not None


# ------------------------------------------------------------------ translation service

BROKEN_TEXT = "метод m(\n  x = ;"


class TestTranslationService:
    @pytest.mark.parametrize("replacement, error", [
        (lambda key, **named: boom(key), Boom),
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


class PatternLike:
    """Not a compiled pattern, but has what one would be asked for."""

    def __init__(self, pattern, flags=re.UNICODE):
        self.pattern, self.flags = pattern, flags


class TestReplacedTableFunctions:
    """A host may replace the table functions in the lexer module; tokenize
    follows the replacement and answers with tokens or a plain exception."""

    @pytest.mark.parametrize("pattern", [
        None, 1, "+", PatternLike(r"\+|-"), PatternLike(r"\+|-", flags=0), PatternLike(5), PatternLike("a||b"),
        PatternLike("\\"), PatternLike(r"[+-]"), a_source(pattern=property(boom)), re.compile(r"\+|\*\*|\*"), re.compile("x", re.I),
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
