"""tarn.parser as the host sees it (the grammar itself is in the golden
files): the module and its tables, messages, parse and parse_text with
their caching, the nesting bound, and _Parser's cursor and rule methods on
their live fields."""
import inspect
import json
import re

import pytest

import tarn.lexer as L
from tarn import i18n
from tarn import parser as P
from tarn.lexer import Token, tokenize

from conftest import Source, corpus_texts, run_python


def tok(kind, value, start, canonical=None, line=1):
    return Token(kind, value, start, start + len(value), line, start + 1, line, start + len(value) + 1, canonical)


def parser_for(text):
    return P._Parser(tokenize(text))


# ---------------------------------------------------------------- the module


def test_names_and_tables(monkeypatch):
    assert P.__all__ == ["parse", "parse_text", "ParseError", "Module"]
    assert P.i18n is i18n and P.Token is L.Token and P.tokens is L.tokens
    assert str(inspect.signature(P.parse)) == "(source)" and str(inspect.signature(P.parse_text)) == "(text)"
    canonical = set(L._keyword_forms().values())
    for name in ("_NAME_KEYWORDS", "_UPPER_NAME_KEYWORDS", "_STMT_KEYWORDS", "_STATEMENT_KEYWORDS", "_RETURN_STOP"):
        assert type(getattr(P, name)) is set and getattr(P, name) <= canonical, name
    # The published tables are what the grammar does.
    monkeypatch.setattr(i18n, "t", lambda key, **named: key)
    body = [P.parse_text(f"метод m()\n  a {op} b\n;")[0].members[0].body[0] for op in L._operators()]
    assert {op for op, s in zip(L._operators(), body) if isinstance(s.expr if isinstance(s, P.ExprStmt) else None,
                                                                     P.Compare)} == set(P._COMPARE_OPS)
    assert {op for op, s in zip(L._operators(), body) if isinstance(s, P.Assign)} == set(P._ASSIGN_OPS)
    forms = {name: form for form, name in L._keyword_forms().items() if form.islower()}
    assert P._STATEMENT_KEYWORDS == {name for name, form in forms.items()
                                     if "parser.statement-not-expr" in [e.message for e in P.parse_text(f"знч v = {form}")[1]]}


def test_changing_a_keyword_set_changes_no_rule():
    P._NAME_KEYWORDS.add("IF")
    P._UPPER_NAME_KEYWORDS.discard("WHILE")
    try:
        assert P._Parser(tokenize("если")).at_name() is False and P._Parser(tokenize("Пока")).at_name() is True
    finally:
        P._NAME_KEYWORDS.discard("IF")
        P._UPPER_NAME_KEYWORDS.add("WHILE")


def test_a_failed_import_leaves_nothing_behind_and_can_be_retried():
    seen = json.loads(run_python("""
        import json, sys
        import tarn.i18n as i18n
        real = i18n.register
        def broken(catalogue):
            raise RuntimeError("no catalogue today")
        i18n.register = broken
        try:
            import tarn.parser
        except RuntimeError as e:
            failure = str(e)
        absent = "tarn.parser" not in sys.modules
        i18n.register = real
        import tarn.parser as P
        print(json.dumps([failure, absent, P.MESSAGES == {**P.MESSAGES}, P.parse_text("")[1]]))
    """))
    assert seen == ["no catalogue today", True, True, []]


# ---------------------------------------------------------------- messages


@pytest.mark.parametrize("lang", ["ru", "en"])
def test_messages(lang):
    i18n.set_language(lang)
    for key, texts in P.MESSAGES.items():
        assert key.startswith("parser.") and list(texts) == ["ru", "en"] and all(texts.values())
        text = i18n.t(key, kw="KW")
        assert "{" not in text and "parser." not in text and text.count("}") == texts[lang].count("}}")
    module, errors = P.parse_text('знч x = 5 5\nзнч y = "abc')
    assert [e.message for e in errors] == [i18n.t("parser.expected-module-member"), i18n.t("parser.unterminated-string")]
    assert errors[0].message == P.MESSAGES["parser.expected-module-member"][lang]
    assert "parser." not in errors[1].message


@pytest.mark.parametrize("lang, source, keyword", [("ru", "метод f() знч x = пока;", "пока"),
                                                   ("en", "method f() val x = while;", "while")])
def test_a_statement_keyword_in_an_expression_is_quoted_as_written(lang, source, keyword):
    i18n.set_language(lang)
    expected = i18n.t("parser.statement-not-expr", kw=keyword)
    assert expected.startswith(f"'{keyword}'") and expected.endswith("'если'" if lang == "ru" else "'if'")
    assert expected in [e.message for e in P.parse_text(source)[1]]


def test_every_diagnostic_of_the_sample_programs_is_a_text():
    for path, text in corpus_texts():
        _, errors = P.parse_text(text)
        assert bool(errors) == (path.parent.name == "invalid"), path
        assert all(e.end > e.start and not e.message.startswith("parser.") for e in errors), path


def test_the_translation_service_gets_the_key_and_the_keyword(monkeypatch):
    calls = []
    monkeypatch.setattr(i18n, "t", lambda key, **named: calls.append((key, named)) or "text")
    assert P.parse_text("метод f() знч x = пока;")[1][0].message == "text"
    assert ("parser.statement-not-expr", {"kw": "пока"}) in calls
    monkeypatch.setattr(i18n, "t", lambda key, **named: 42)
    p = parser_for("x")
    with pytest.raises(TypeError, match=r"^str object expected; got int$"):
        p.expect_op(")", "parser.expected-rparen-call")
    assert p.errors == []


# ---------------------------------------------------------------- parse_text and parse


def test_parse_text_parse_and_the_plain_grammar_agree_on_the_sample_programs():
    for path, text in corpus_texts():
        fast = P.parse_text(text)
        again = P.parse_text(text=text)
        assert fast == again and fast[0] is not again[0] and type(fast) is tuple, path
        assert fast == P.parse(Source(text)) == P._parse_text_unmemoised(text), path


def test_parse_text_checks_its_argument_and_binds_tokenize_from_the_lexer(monkeypatch):
    with pytest.raises(TypeError, match=r"^str object expected; got bytes$"):
        P.parse_text(b"x")
    monkeypatch.delattr(P, "tokenize", raising=False)
    P.parse_text("")
    assert P.tokenize is L.tokenize

    def not_used(*args, **kwargs):
        raise AssertionError("parse_text tokenizes natively")

    monkeypatch.setattr(L, "tokenize", not_used)
    monkeypatch.setattr(L, "tokens", not_used)
    assert P.parse_text("знч x = 1")[0].members[0].name == "x" and P.tokenize is not_used
    assert P.parse(Source("знч x = 1"))[1] == []  # parse calls the lexer it was built with


def test_parse_caches_the_pair_and_returns_what_the_cache_holds():
    src = Source("знч x = 1")
    pair = P.parse(src)
    assert src.cache["ast"] is pair and P.parse(src) is pair and P.parse(source=src)[0] is pair[0]
    assert "tokens" in src.cache
    stored = (P.Module(0, 0), [])
    src.cache["ast"] = stored
    assert P.parse(src) is stored


def test_parse_takes_the_token_list_the_cache_holds():
    src = Source("знч x = 1")
    L.tokens(src)[1].value = "renamed"
    assert P.parse(src)[0].members[0].name == "renamed"
    src = Source("ignored", {"tokens": [tok("IDENT", "y", 0), tok("EOF", "", 1)]})
    module, errors = P.parse(src)
    assert (module.end, len(errors)) == (1, 1)
    for bad, message in (((), "list object expected; got tuple"), (["x"], "tarn.lexer.Token object expected; got str")):
        src = Source("", {"tokens": bad})
        with pytest.raises(TypeError, match=f"^{re.escape(message)}$"):
            P.parse(src)
        assert "ast" not in src.cache


def deeply_nested(line=1, depth=5000):
    return "\n" * (line - 1) + "знч x = " + "(" * depth + "1" + ")" * depth


@pytest.mark.parametrize("line", [1, 3])
def test_too_deep_nesting_is_a_recursion_error_that_names_the_place(line):
    pattern = rf"^maximum nesting depth exceeded while parsing at line {line}, column (\d+)$"
    with pytest.raises(RecursionError, match=pattern) as e:
        P.parse_text(deeply_nested(line))
    column = int(re.match(pattern, str(e.value))[1])
    assert 8 < column <= 5008 and deeply_nested()[column - 1] == "("
    src = Source(deeply_nested(line))
    with pytest.raises(RecursionError, match=pattern):
        P.parse(src)
    assert "ast" not in src.cache
    p = P._Parser(tokenize(deeply_nested(line)))
    p.pos = 3
    with pytest.raises(RecursionError, match=pattern):
        p.expression()
    assert p.pos == 3 and p.errors == []
    module, errors = P.parse_text(deeply_nested(line, 400))  # well inside the bound
    assert errors == [] and module.members[0].init.text == "1"


def test_long_flat_chains_are_not_nesting():
    module, errors = P.parse_text("знч x = " + " + ".join(["1"] * 100_000))
    assert errors == [] and module.members[0].init.op == "+"


# ---------------------------------------------------------------- _Parser


def test_construction():
    toks = tokenize("\ufeffa // note\n/* block */ b")
    p = P._Parser(toks)
    assert [t.value for t in p.toks] == ["a", "b", ""] and p.toks is not toks and len(toks) == 6
    assert p.pos == 0 and p.errors == [] and P._Parser(toks).errors is not p.errors
    assert repr(P._Parser(toks=[])) == "_Parser(toks=[], pos=0, errors=[])"
    with pytest.raises(TypeError, match=r"^list object expected; got tuple$"):
        P._Parser(tuple(toks))
    with pytest.raises(TypeError, match=r"^tarn.lexer.Token object expected; got str$"):
        P._Parser(toks + ["b"])
    with pytest.raises(TypeError, match=r"^int object expected; got str$"):
        p.pos = "1"
    with pytest.raises(TypeError, match=r"^list object expected; got tuple$"):
        p.errors = ()
    p.pos = True
    assert p.pos == 1 and type(p.pos) is int


def test_peek_and_advance_index_like_lists():
    p = parser_for("a b c")
    assert p.peek().value == "a" and p.peek(0) is p.toks[0] and p.peek(ahead=2).value == "c"
    assert p.peek(10).kind == "EOF" and p.peek(-1).kind == "EOF"  # negative values index like lists
    p.pos = 2
    assert p.peek(2).kind == "EOF" and p.peek(-1).value == "b"
    for pos, message in ((5, "^list index out of range$"), (2**70, None)):
        p.pos = pos
        with pytest.raises(IndexError, match=message):
            p.peek()
    p.pos = 5
    assert p.peek(1).kind == "EOF"
    p = parser_for("a")
    assert not p.at_end() and p.advance().value == "a" and p.pos == 1 and p.at_end()
    for _ in range(3):
        assert p.advance().kind == "EOF" and p.pos == 1


@pytest.mark.parametrize("call", "peek() peek(1) at_end() advance() at_kw('IF') at_kw() at_op('+') eat_kw('IF') eat_op('+') "
                                  "expect_op(';','k') error('boom') at_name() eat_name() expression() parse_module()".split())
def test_every_cursor_operation_fails_over_an_empty_list(call):
    with pytest.raises(IndexError, match="^list index out of range$"):
        eval("p." + call, {"p": P._Parser([])})


def test_keywords_operators_and_expect():
    p = parser_for("если x")
    assert p.at_kw("IF") and p.at_kw("WHILE", "IF") and not p.at_kw("WHILE") and p.at_kw() is False
    assert p.eat_kw("WHILE") is None and p.pos == 0 and p.eat_kw("IF").value == "если" and p.pos == 1
    assert not p.at_kw("IF")  # an identifier, whatever its text
    p = parser_for("+= x")
    assert p.at_op("+=") and p.at_op("-", "+=") and not p.at_op("+") and not p.at_op()
    assert p.eat_op("-") is None and p.pos == 0 and p.eat_op("+=").value == "+=" and p.pos == 1 and not p.at_op("x")
    message = i18n.t("parser.expected-rparen-call")
    assert p.expect_op(")", "parser.expected-rparen-call") is None and p.expect_op(")", "parser.expected-rparen-call") is None
    assert p.pos == 1 and p.errors == [P.ParseError(3, 4, message)] * 2
    assert parser_for(")").expect_op(")", "k").value == ")"
    with pytest.raises(TypeError, match=r"^str object expected; got None$"):
        p.expect_op(")", None)


def test_error_snapshot_and_rollback():
    p = parser_for("0123456789")
    p.pos = 1
    p.error("at eof")
    p.error("explicit", tok("IDENT", "abcd", 3))
    p.error("empty", tok=tok("IDENT", "", 4))
    assert p.errors == [P.ParseError(10, 11, "at eof"), P.ParseError(3, 7, "explicit"), P.ParseError(4, 5, "empty")]
    with pytest.raises(TypeError, match=r"^tarn.lexer.Token or None object expected; got int$"):
        p.error("x", 5)
    assert p.snapshot() == (1, 3)
    p.advance()
    p.error("4")
    assert p.rollback((0, 2)) is None and p.pos == 0 and [e.message for e in p.errors] == ["at eof", "explicit"]
    p.rollback((3, -1))  # like del errors[-1:]
    assert p.pos == 3 and [e.message for e in p.errors] == ["at eof"]
    p.rollback((0, 10))
    assert len(p.errors) == 1
    for snap in ([0, 1], (0,), (0, 1, 2), (0, "1"), ("0", 1), None):
        with pytest.raises(TypeError, match=r"^tuple\[int, int\] object expected; got "):
            p.rollback(snap)


@pytest.mark.parametrize("token, expected", [
    (tok("IDENT", "x", 0), True), (tok("NUMBER", "1", 0), False), (tok("KEYWORD", "While", 0, "WHILE"), True),
    (tok("KEYWORD", "while", 0, "WHILE"), False), (tok("KEYWORD", "", 0, "WHILE"), False),
    (tok("KEYWORD", "Метод", 0, "METHOD"), True), (tok("KEYWORD", "method", 0, "METHOD"), True),
    (tok("KEYWORD", "Глобально", 0, "GLOBAL_RU"), False), (tok("KEYWORD", "global", 0, "GLOBAL_EN"), True),
    (tok("KEYWORD", "Если", 0, None), False),
])
def test_at_name_and_eat_name(token, expected):
    p = P._Parser([token, tok("EOF", "", 10)])
    assert p.at_name() is expected
    assert (p.eat_name() is token, p.pos) == ((True, 1) if expected else (False, 0))


def test_live_fields_may_hold_other_objects():
    fake = type("Fake", (), {"kind": "OP", "value": "+", "canonical": None, "start": 4, "end": 5})
    p = parser_for("a")
    p.toks = [fake(), fake()]
    assert p.at_op("+") and p.eat_op("+") is p.toks[0] and p.pos == 1
    p.error("here")
    assert p.errors[-1] == P.ParseError(4, 5, "here")
    p.toks = ["a"]
    p.pos = 0
    with pytest.raises(TypeError, match=r"^tarn.lexer.Token object expected; got str$"):
        p.expression()


def test_rules_use_and_update_the_live_fields():
    p = parser_for("zzz")
    p.toks = tokenize("a + b ;")
    p.errors.append("kept")
    expr = p.expression()
    assert isinstance(expr, P.Binary) and expr.left == P.Name(0, 1, "a") and p.pos == 3 and p.errors == ["kept"]
    p.pos = 0
    p.toks = tokenize("(a ;")
    errors = p.errors
    p.expression()
    assert p.errors is errors and p.pos == 2 and errors == ["kept", P.ParseError(3, 4, i18n.t("parser.expected-rparen-paren"))]
    p = parser_for("знч 5")
    module, errors = p.parse_module()
    assert errors is p.errors and isinstance(module, P.Module) and p.at_end()
    p = parser_for("a")
    p.pos = 7
    with pytest.raises(IndexError, match="^list index out of range$"):
        p.expression()
    assert p.pos == 7


def test_host_records_and_lists_are_embedded_by_identity():
    callee = P.Name(0, 1, "f")
    p = parser_for("f(1)")
    p.pos = 1
    call = p.maybe_call(callee)
    assert isinstance(call, P.Call) and call.callee is callee and (call.start, call.end) == (0, 4)
    assert p.maybe_call(callee=callee) is callee  # nothing follows: the callee itself
    with pytest.raises(TypeError, match=r"^tarn.parser.Expr object expected; got tarn.parser.TypeRef$"):
        p.maybe_call(P.TypeRef(0, 1, "f"))
    p = parser_for("@Маркер метод f();")
    annotations = p.annotations()
    method = p.method(annotations)
    assert method.annotations is annotations and method.start == annotations[0].start == 0
    with pytest.raises(TypeError, match=r"^list object expected; got tuple$"):
        p.structure(())
    module = P.Module(0, 0)
    marker = P.Import(0, 0, "old")
    module.imports.append(marker)
    p = parser_for("импорт a::b метод f();")
    p.module_member(module)
    p.module_member(module)
    assert module.imports[0] is marker and module.imports[1].name == "a::b" and [m.name for m in module.members] == ["f"]
    with pytest.raises(TypeError, match=r"^tarn.parser.Module object expected; got tarn.parser.Node$"):
        p.module_member(P.Node(0, 0))


def test_rule_arguments_are_checked():
    p = parser_for("x ;")
    for call, message in ((lambda: p.block_until("ELSE", 1), "^str object expected; got int$"),
                          (lambda: p.block_until(names="ELSE"), "takes no keyword arguments"),
                          (lambda: p.starts_new_statement("1"), "^int object expected; got str$"),
                          (lambda: p.generic_type_args(allow_named=1), "^bool object expected; got int$"),
                          (lambda: p.statements_until_semicolon(None), "^str object expected; got None$"),
                          (lambda: p.expression(1), None)):
        with pytest.raises(TypeError, match=message):
            call()
    assert p.pos == 0 and p.errors == []


def test_a_body_key_outside_the_catalogue_is_reported_as_the_service_renders_it(monkeypatch):
    p = parser_for("x = 1")
    assert len(p.statements_until_semicolon("parser.no-such-message")) == 1
    assert [e.message for e in p.errors] == ["parser.no-such-message"]
    monkeypatch.setattr(i18n, "t", lambda key, **named: f"<{key}>")
    p = parser_for("x = 1")
    p.statements_until_semicolon("мой ключ")
    assert [e.message for e in p.errors] == ["<мой ключ>"]


def test_block_until_stops_at_any_keyword_the_host_names():
    # "a", a keyword the grammar does not know, "b": the stop is tested by canonical name.
    toks = [tok("IDENT", "a", 0), tok("KEYWORD", "асинх", 2, "ASYNC", 2), tok("IDENT", "b", 8, line=3),
            tok("EOF", "", 9, line=3)]
    p = P._Parser(list(toks))
    assert p.block_until("ELSE", "ASYNC") == [P.ExprStmt(0, 1, P.Name(0, 1, "a"))] and p.pos == 1
    p = P._Parser(list(toks))
    assert len(p.block_until("async")) == 2 and p.at_end()  # names are canonical, case and all
    # Only the host's own call stops there, not the blocks nested in it.
    nested = tokenize("если x\n  y\n")[:-1]
    end = nested[-1].end
    p = P._Parser(nested + [tok("KEYWORD", "асинх", end + 1, "ASYNC", 3), tok("EOF", "", end + 7, line=3)])
    assert isinstance(p.block_until("ASYNC")[0], P.If) and p.at_end()
