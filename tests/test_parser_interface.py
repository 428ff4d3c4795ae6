"""tarn.parser as the host sees it: module contents and import order, the
message catalogue, parse and parse_text with their caching and checks,
failures of the services they call, and the limits of nesting."""
import inspect
import json
import os
import pathlib
import subprocess
import sys

import pytest

import tarn.lexer as L
from tarn import i18n
from tarn import parser as P

CORPUS = pathlib.Path(__file__).parent / "data" / "corpus"


@pytest.fixture(autouse=True)
def english():
    i18n.set_language("en")


class Source:
    def __init__(self, text):
        self.text = text
        self.cache = {}


def run_python(code):
    env = dict(os.environ, PYTHONPATH=os.pathsep.join(sys.path))
    out = subprocess.run([sys.executable, "-c", code], env=env, capture_output=True, text=True, check=True)
    return json.loads(out.stdout)


# ---------------------------------------------------------------- the module


def test_exports_and_names():
    assert P.__all__ == ["parse", "parse_text", "ParseError", "Module"]
    assert P.i18n is i18n and P.Token is L.Token and P.tokens is L.tokens
    assert P.__package__ == "tarn" and P.__file__.startswith(str(pathlib.Path(L.__file__).parent))
    assert str(inspect.signature(P.parse)) == "(source)"
    assert str(inspect.signature(P.parse_text)) == "(text)"
    assert P.parse.__doc__ is None and P.parse_text.__doc__ is None


def test_keyword_sets_and_operator_tuples():
    assert P._NAME_KEYWORDS == frozenset(
        "IMPORT EXCEPTION ENUMERATION STRUCTURE ABSTRACT CONST REQ TO IN TYPE QUERY DOWN STEP METHOD DEFAULT "
        "STATIC GLOBAL_EN".split())
    assert P._UPPER_NAME_KEYWORDS == frozenset("WHILE FOR IF TRY CASE WHEN CATCH AND OR CONSTRUCTOR".split())
    assert P._STMT_KEYWORDS == frozenset("IF CASE WHILE FOR TRY SCOPE BREAK CONTINUE RETURN VAR VAL USE".split())
    assert P._STATEMENT_KEYWORDS == frozenset("IF CASE WHILE FOR TRY SCOPE RETURN".split())
    assert P._RETURN_STOP == frozenset("ELSE WHEN CATCH FINALLY".split())
    assert P._COMPARE_OPS == ("<", "<=", "==", ">=", ">", "!=")
    assert P._ASSIGN_OPS == ("=", "+=", "-=", "*=", "/=")
    assert all(type(getattr(P, name)) is set
               for name in ("_NAME_KEYWORDS", "_UPPER_NAME_KEYWORDS", "_STMT_KEYWORDS", "_STATEMENT_KEYWORDS", "_RETURN_STOP"))


def test_changing_a_keyword_set_changes_no_rule():
    P._NAME_KEYWORDS.add("IF")
    P._UPPER_NAME_KEYWORDS.discard("WHILE")
    try:
        assert P._Parser(L.tokenize("если")).at_name() is False
        assert P._Parser(L.tokenize("Пока")).at_name() is True
    finally:
        P._NAME_KEYWORDS.discard("IF")
        P._UPPER_NAME_KEYWORDS.add("WHILE")


IMPORT_PROBE = """
import json, sys
import tarn.i18n as i18n
seen = {}
def register(catalogue):
    module = sys.modules["tarn.parser"]
    seen["names"] = list(vars(module))
    seen["same"] = catalogue is module.MESSAGES
    seen["lexer"] = "tarn.lexer" in sys.modules
i18n.register = register
import tarn.parser as P
seen["after"] = list(vars(P))
print(json.dumps(seen))
"""


def test_import_order():
    seen = run_python(IMPORT_PROBE)
    assert seen["same"] and seen["lexer"]
    assert seen["names"][-5:] == ["i18n", "Token", "tokens", "__all__", "MESSAGES"]
    after = seen["after"]
    tail = after[after.index("i18n"):]
    records = tail[tail.index("Node"):tail.index("ParseError") + 1]
    assert len(records) == 52 and records[0] == "Node" and records[-2] == "MethodRef"
    assert tail == ["i18n", "Token", "tokens", "__all__", "MESSAGES", *records, "_NAME_KEYWORDS",
                    "_UPPER_NAME_KEYWORDS", "_STMT_KEYWORDS", "_STATEMENT_KEYWORDS", "_RETURN_STOP",
                    "_COMPARE_OPS", "_ASSIGN_OPS", "_Parser"]


def test_a_failed_import_leaves_nothing_behind_and_can_be_retried():
    seen = run_python("""
import json, sys
import tarn.i18n as i18n
real = i18n.register
def broken(catalogue):
    raise RuntimeError("no catalogue today")
i18n.register = broken
try:
    import tarn.parser
    failure = None
except RuntimeError as e:
    failure = str(e)
absent = "tarn.parser" not in sys.modules
i18n.register = real
import tarn.parser as P
print(json.dumps([failure, absent, len(P.MESSAGES), P.parse_text("")[1]]))
""")
    assert seen == ["no catalogue today", True, 56, []]


# ---------------------------------------------------------------- messages


def test_message_catalogue():
    keys = list(P.MESSAGES)
    assert len(keys) == 56 and len(set(keys)) == 56
    assert keys[0] == "parser.unexpected-module-code" and keys[51] == "parser.expected-semicolon-lambda"
    assert keys[52:] == ["parser.unterminated-string", "parser.unterminated-pattern", "parser.unterminated-comment",
                         "parser.unclosed-block"]
    for key, texts in P.MESSAGES.items():
        assert key.startswith("parser.") and list(texts) == ["ru", "en"]
        assert all(isinstance(t, str) and t for t in texts.values())
    assert P.MESSAGES["parser.expected-po-in-for"] == {
        "ru": "Ожидается 'по' в цикле 'для'", "en": "Expected '{n[по]}' in the '{n[для]}' loop"}


@pytest.mark.parametrize("lang", ["ru", "en"])
def test_rendered_messages(lang):
    i18n.set_language(lang)
    assert i18n.t("parser.expected-rbrace-map").count("}") == 1
    for key in P.MESSAGES:
        text = i18n.t(key, kw="KW")
        assert "{" not in text and "parser." not in text


@pytest.mark.parametrize("lang, texts", [
    ("en", ["Unterminated string literal", "Unterminated comment: '*/' is missing"]),
    ("ru", ["Строковый литерал не закрыт", "Комментарий не закрыт: нет '*/'"]),
])
def test_diagnostics_beyond_the_catalogue_are_translated_too(lang, texts):
    i18n.set_language(lang)
    last = [P.parse_text(source)[1][-1].message for source in ('знч x = "abc', "знч x = 1 /* open")]
    assert last == texts


def test_statement_keyword_in_an_expression_is_quoted_as_written():
    for lang, source, keyword in (("ru", "метод f() знч x = пока;", "пока"), ("en", "method f() val x = while;", "while")):
        i18n.set_language(lang)
        _, errors = P.parse_text(source)
        expected = i18n.t("parser.statement-not-expr", kw=keyword)
        assert expected.startswith(f"'{keyword}'") and expected.endswith("'если'" if lang == "ru" else "'if'")
        assert expected in [e.message for e in errors]


def test_diagnostics_are_texts_never_keys():
    for path in sorted((CORPUS / "invalid").glob("*.tarn")):
        _, errors = P.parse_text(path.read_text(encoding="utf-8"))
        assert errors
        for e in errors:
            assert isinstance(e, P.ParseError) and e.end > e.start and not e.message.startswith("parser.")


@pytest.mark.parametrize(
    "source, span, key",
    [
        ('знч s = "abc', (8, 12), "parser.unterminated-string"),
        ("знч s = 'ab", (8, 11), "parser.unterminated-pattern"),
        ("знч s = 1 /* open", (10, 17), "parser.unterminated-comment"),
    ],
)
def test_unterminated_literals_and_comments_are_reported(source, span, key):
    for errors in (P.parse_text(source)[1], P.parse(Source(source))[1]):
        assert (*span, i18n.t(key)) in [(e.start, e.end, e.message) for e in errors]


def test_messages_follow_the_language():
    i18n.set_language("ru")
    assert P.parse_text("5")[1][0].message == P.MESSAGES["parser.expected-module-member"]["ru"]
    i18n.set_language("en")
    assert P.parse_text("5")[1][0].message == P.MESSAGES["parser.expected-module-member"]["en"]


# ---------------------------------------------------------------- parse_text


def test_parse_text_is_not_cached():
    text = (CORPUS / "valid" / "cache.tarn").read_text(encoding="utf-8")
    a, b = P.parse_text(text), P.parse_text(text=text)
    assert a == b and a[0] is not b[0] and a[1] is not b[1]
    assert isinstance(a, tuple) and isinstance(a[0], P.Module) and a[1] == []


def test_parse_text_checks_its_argument():
    with pytest.raises(TypeError, match=r"^str object expected; got bytes$"):
        P.parse_text(b"x")
    with pytest.raises(TypeError, match="missing required argument 'text'"):
        P.parse_text()


def test_parse_text_agrees_with_parse_and_with_the_unmemoised_grammar():
    for path in sorted(CORPUS.glob("*/*.tarn")):
        text = path.read_text(encoding="utf-8")
        fast = P.parse_text(text)
        assert fast == P.parse(Source(text)) == P._parse_text_unmemoised(text), path.name


def test_parse_text_binds_tokenize_from_the_lexer_module(monkeypatch):
    monkeypatch.delattr(P, "tokenize", raising=False)
    P.parse_text("")
    assert P.tokenize is L.tokenize

    def not_used(*args, **kwargs):
        raise AssertionError("parse_text tokenizes natively")

    monkeypatch.setattr(L, "tokenize", not_used)
    assert P.parse_text("знч x = 1")[0].members[0].name == "x"
    assert P.tokenize is not_used


def test_empty_and_comment_only_texts():
    module, errors = P.parse_text("")
    assert module == P.Module(0, 0) and errors == []
    module, errors = P.parse_text("// only\n/* comments */")
    assert (module.start, module.end, module.members, errors) == (22, 22, [], [])


# ---------------------------------------------------------------- parse


def test_parse_caches_the_pair_in_the_source():
    src = Source("знч x = 1")
    pair = P.parse(src)
    assert src.cache["ast"] is pair and P.parse(src) is pair and P.parse(source=src)[0] is pair[0]
    assert "tokens" in src.cache


def test_parse_returns_what_the_cache_holds():
    src = Source("знч x = 1")
    stored = (P.Module(0, 0), [])
    src.cache["ast"] = stored
    assert P.parse(src) is stored
    for bad, got in (([P.Module(0, 0), []], "list"), ((P.Module(0, 0), ()), "tuple"), ((P.Node(0, 0), []), "tuple"),
                     ((P.Module(0, 0), [], 1), "tuple")):
        src.cache["ast"] = bad
        with pytest.raises(TypeError) as e:
            P.parse(src)
        assert str(e.value) == f"tuple[tarn.parser.Module, list] object expected; got {got}"


def test_parse_accepts_the_token_list_the_cache_holds():
    src = Source("знч x = 1")
    toks = L.tokens(src)
    toks[1].value = "renamed"
    module, errors = P.parse(src)
    assert module.members[0].name == "renamed" and errors == []
    src = Source("ignored")
    src.cache["tokens"] = [L.Token("IDENT", "y", 0, 1, 1, 1, 1, 2), L.Token("EOF", "", 1, 1, 1, 2, 1, 2)]
    module, errors = P.parse(src)
    assert (module.end, len(errors)) == (1, 1)
    for bad, message in (((), "list object expected; got tuple"), (["x"], "tarn.lexer.Token object expected; got str")):
        src = Source("")
        src.cache["tokens"] = bad
        with pytest.raises(TypeError) as e:
            P.parse(src)
        assert str(e.value) == message and "ast" not in src.cache


def test_parse_uses_the_lexers_own_tokens(monkeypatch):
    def replaced(source):
        raise AssertionError("parse calls the lexer it was built with")

    monkeypatch.setattr(L, "tokens", replaced)
    assert P.parse(Source("знч x = 1"))[1] == []


class FailingCache(dict):
    def __init__(self, fail_on):
        super().__init__()
        self.fail_on = fail_on

    def get(self, key, default=None):
        if self.fail_on == "get":
            raise KeyError("get failed")
        return super().get(key, default)

    def __setitem__(self, key, value):
        if self.fail_on == key:
            raise OSError("store failed")
        super().__setitem__(key, value)


@pytest.mark.parametrize("fail_on, error", [("get", KeyError), ("ast", OSError)])
def test_cache_failures_propagate(fail_on, error):
    src = Source("знч x = 1")
    src.cache = FailingCache(fail_on)
    with pytest.raises(error):
        P.parse(src)
    assert "ast" not in src.cache


def test_a_source_without_a_cache_fails():
    with pytest.raises(AttributeError):
        P.parse(object())


def test_translation_failures_propagate_and_nothing_is_cached(monkeypatch):
    def failing(key, **named):
        raise LookupError(key)

    monkeypatch.setattr(i18n, "t", failing)
    src = Source("5")
    with pytest.raises(LookupError, match="parser.expected-module-member"):
        P.parse(src)
    assert "ast" not in src.cache
    monkeypatch.setattr(i18n, "t", lambda key, **named: 7)
    with pytest.raises(TypeError, match=r"^str object expected; got int$"):
        P.parse(src)
    with pytest.raises(TypeError, match=r"^str object expected; got int$"):
        P.parse_text("5")
    assert "ast" not in src.cache
    calls = []
    monkeypatch.setattr(i18n, "t", lambda key, **named: calls.append((key, named)) or "text")
    P.parse_text("метод f() знч x = пока;")
    assert ("parser.statement-not-expr", {"kw": "пока"}) in calls


def test_lexer_failures_propagate():
    class NoText:
        cache = {}

    with pytest.raises(AttributeError):
        P.parse(NoText())
    assert "ast" not in NoText.cache


# ---------------------------------------------------------------- nesting limits


DEEP = 5000


def deeply_nested(line=1):
    return "\n" * (line - 1) + "знч x = " + "(" * DEEP + "1" + ")" * DEEP


@pytest.mark.parametrize("line", [1, 3])
def test_too_deep_nesting_is_a_recursion_error(line):
    pattern = rf"^maximum nesting depth exceeded while parsing at line {line}, column \d+$"
    with pytest.raises(RecursionError, match=pattern):
        P.parse_text(deeply_nested(line))
    src = Source(deeply_nested(line))
    with pytest.raises(RecursionError, match=pattern):
        P.parse(src)
    assert "ast" not in src.cache
    p = P._Parser(L.tokenize(deeply_nested(line)))
    p.pos = 3
    with pytest.raises(RecursionError, match=pattern):
        p.expression()
    assert p.pos == 3 and p.errors == []


def test_the_column_is_that_of_the_token_where_nesting_stopped():
    with pytest.raises(RecursionError) as e:
        P.parse_text(deeply_nested())
    column = int(str(e.value).rsplit(" ", 1)[1])
    assert 8 < column <= 8 + DEEP and deeply_nested()[column - 1] == "("


def test_long_flat_chains_are_not_nesting():
    module, errors = P.parse_text("знч x = " + " + ".join(["1"] * 100_000))
    assert errors == [] and module.members[0].init.op == "+"
