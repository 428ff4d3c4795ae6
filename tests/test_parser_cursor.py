"""_Parser: construction, every cursor method with its edge cases, and the
grammar methods running on the live fields."""
import pytest

from conftest import tables
from tarn import i18n
from tarn import parser as P
from tarn.lexer import Token, tokenize


@pytest.fixture(autouse=True)
def english():
    i18n.set_language("en")


def tok(kind, value, start, end=None, canonical=None, line=1, flags=None):
    end = start + len(value) if end is None else end
    return Token(kind, value, start, end, line, start + 1, line, end + 1, canonical, None, flags or {})


def parser_for(text):
    return P._Parser(tokenize(text))


def texts(p):
    return [t.value for t in p.toks]


# ---------------------------------------------------------------- construction


def test_construction_keeps_all_but_comments_and_byte_order_marks():
    toks = tokenize("\ufeffa // note\n/* block */ b")
    p = P._Parser(toks)
    assert [t.kind for t in toks] == ["BOM", "IDENT", "COMMENT", "COMMENT", "IDENT", "EOF"]
    assert texts(p) == ["a", "b", ""]
    assert p.toks is not toks and len(toks) == 6
    assert p.pos == 0 and p.errors == [] and P._Parser(toks).errors is not p.errors
    assert repr(P._Parser([])) == "_Parser(toks=[], pos=0, errors=[])"


def test_construction_checks_its_argument():
    with pytest.raises(TypeError, match=r"^list object expected; got tuple$"):
        P._Parser(tuple(tokenize("a")))
    with pytest.raises(TypeError, match=r"^tarn.lexer.Token object expected; got str$"):
        P._Parser(tokenize("a") + ["b"])
    with pytest.raises(TypeError, match="missing required argument 'toks'"):
        P._Parser()
    assert P._Parser(toks=[]).toks == []


def test_fields_are_typed():
    p = parser_for("a")
    with pytest.raises(TypeError, match=r"^int object expected; got str$"):
        p.pos = "1"
    with pytest.raises(TypeError, match=r"^list object expected; got tuple$"):
        p.errors = ()
    p.pos = True
    assert p.pos == 1 and type(p.pos) is int


def test_methods_in_their_order_of_definition():
    cursor = "peek at_end advance at_kw at_op eat_kw eat_op expect_op error snapshot rollback at_name eat_name"
    grammar = [rule.host_name for rule in tables().read_rules()]
    own = [n for n in vars(P._Parser) if callable(getattr(P._Parser, n)) and not n.startswith("__")]
    assert own == cursor.split() + grammar
    assert list(vars(P._Parser)).index("__init__") < list(vars(P._Parser)).index("peek")


# ---------------------------------------------------------------- peek, at_end, advance


def test_peek():
    p = parser_for("a b c")
    assert p.peek().value == "a" and p.peek(0) is p.toks[0]
    assert p.peek(ahead=2).value == "c"
    assert p.peek(10).kind == "EOF"
    p.pos = 2
    assert p.peek(2).kind == "EOF"  # the token before EOF, looking two ahead
    assert p.peek(-1).value == "b"
    p.pos = 0
    assert p.peek(-1).kind == "EOF"  # negative values index like lists
    with pytest.raises(TypeError, match=r"^int object expected; got str$"):
        p.peek("1")


def test_peek_past_the_end_follows_list_indexing():
    p = parser_for("a")
    p.pos = 5
    with pytest.raises(IndexError, match="^list index out of range$"):
        p.peek()
    assert p.peek(1).kind == "EOF"
    p.pos = 2**70
    with pytest.raises(IndexError):
        p.peek()


@pytest.mark.parametrize(
    "call",
    [
        lambda p: p.peek(),
        lambda p: p.peek(1),
        lambda p: p.at_end(),
        lambda p: p.advance(),
        lambda p: p.at_kw("IF"),
        lambda p: p.at_kw(),
        lambda p: p.at_op("+"),
        lambda p: p.eat_kw("IF"),
        lambda p: p.eat_op("+"),
        lambda p: p.expect_op(";", "parser.expected-expr"),
        lambda p: p.error("boom"),
        lambda p: p.at_name(),
        lambda p: p.eat_name(),
        lambda p: p.expression(),
        lambda p: p.parse_module(),
    ],
)
def test_every_cursor_operation_fails_over_an_empty_list(call):
    with pytest.raises(IndexError, match="^list index out of range$"):
        call(P._Parser([]))


def test_advance_stops_at_eof():
    p = parser_for("a")
    assert not p.at_end()
    assert p.advance().value == "a" and p.pos == 1
    assert p.at_end()
    for _ in range(3):
        assert p.advance().kind == "EOF"
        assert p.pos == 1 and p.at_end()


# ---------------------------------------------------------------- keywords and operators


def test_at_and_eat_keywords():
    p = parser_for("если x")
    assert p.at_kw("IF") and p.at_kw("WHILE", "IF") and not p.at_kw("WHILE")
    assert p.at_kw() is False
    assert p.eat_kw("WHILE") is None and p.pos == 0
    assert p.eat_kw("IF").value == "если" and p.pos == 1
    assert not p.at_kw("IF")  # an identifier, whatever its text


def test_at_and_eat_operators():
    p = parser_for("+= x")
    assert p.at_op("+=") and p.at_op("-", "+=") and not p.at_op("+") and not p.at_op()
    assert p.eat_op("-") is None and p.pos == 0
    assert p.eat_op("+=").value == "+=" and p.pos == 1
    assert not p.at_op("x")


def test_expect_op():
    p = parser_for("x")
    message = i18n.t("parser.expected-rparen-call")
    assert p.expect_op(")", "parser.expected-rparen-call") is None
    assert p.pos == 0 and p.errors == [P.ParseError(0, 1, message)]
    p.expect_op(")", "parser.expected-rparen-call")
    assert p.errors == [P.ParseError(0, 1, message)] * 2
    q = parser_for(")")
    assert q.expect_op(")", "parser.expected-rparen-call").value == ")" and q.errors == []
    with pytest.raises(TypeError, match=r"^str object expected; got int$"):
        p.expect_op(1, "k")
    with pytest.raises(TypeError, match=r"^str object expected; got None$"):
        p.expect_op(")", None)


def test_expect_op_refuses_a_translation_that_is_not_a_string(monkeypatch):
    monkeypatch.setattr(i18n, "t", lambda key, **named: 42)
    p = parser_for("x")
    with pytest.raises(TypeError, match=r"^str object expected; got int$"):
        p.expect_op(")", "parser.expected-rparen-call")
    assert p.errors == []


# ---------------------------------------------------------------- error, snapshot, rollback


def test_error_spans():
    p = parser_for("0123456789")
    p.pos = 1
    assert p.peek().kind == "EOF" and p.peek().start == 10
    p.error("at eof")
    p.error("explicit", tok("IDENT", "abcd", 3, 7))
    p.error("empty", tok=tok("IDENT", "", 4))
    assert p.errors == [P.ParseError(10, 11, "at eof"), P.ParseError(3, 7, "explicit"), P.ParseError(4, 5, "empty")]
    with pytest.raises(TypeError, match=r"^str object expected; got bytes$"):
        p.error(b"x")
    with pytest.raises(TypeError, match=r"^tarn.lexer.Token or None object expected; got int$"):
        p.error("x", 5)


def test_snapshot_and_rollback():
    p = parser_for("a b c d")
    p.error("1")
    p.error("2")
    snap = p.snapshot()
    assert snap == (0, 2)
    p.advance()
    p.advance()
    for m in "345":
        p.error(m)
    assert p.rollback(snap) is None
    assert p.pos == 0 and [e.message for e in p.errors] == ["1", "2"]
    p.rollback((3, -1))  # like del errors[-1:]
    assert p.pos == 3 and [e.message for e in p.errors] == ["1"]
    p.rollback((0, 10))
    assert [e.message for e in p.errors] == ["1"]


@pytest.mark.parametrize("snap", [[0, 1], (0,), (0, 1, 2), (0, "1"), ("0", 1), None])
def test_rollback_checks_the_snapshot(snap):
    with pytest.raises(TypeError) as e:
        parser_for("a").rollback(snap)
    assert str(e.value).startswith("tuple[int, int] object expected; got ")


# ---------------------------------------------------------------- names


@pytest.mark.parametrize(
    "token, expected",
    [
        (tok("IDENT", "x", 0), True),
        (tok("NUMBER", "1", 0), False),
        (tok("KEYWORD", "While", 0, canonical="WHILE"), True),
        (tok("KEYWORD", "while", 0, canonical="WHILE"), False),
        (tok("KEYWORD", "", 0, canonical="WHILE"), False),
        (tok("KEYWORD", "Метод", 0, canonical="METHOD"), True),
        (tok("KEYWORD", "method", 0, canonical="METHOD"), True),
        (tok("KEYWORD", "Глобально", 0, canonical="GLOBAL_RU"), False),
        (tok("KEYWORD", "global", 0, canonical="GLOBAL_EN"), True),
        (tok("KEYWORD", "Если", 0, canonical=None), False),
    ],
)
def test_at_name_and_eat_name(token, expected):
    p = P._Parser([token, tok("EOF", "", 10)])
    assert p.at_name() is expected
    eaten = p.eat_name()
    assert (eaten is token, p.pos) == ((True, 1) if expected else (False, 0))


def test_live_fields_may_hold_other_objects():
    class Fake:
        kind, value, canonical, start, end = "OP", "+", None, 4, 5

    p = parser_for("a")
    p.toks = [Fake(), Fake()]
    assert p.at_op("+") and p.eat_op("+") is p.toks[0] and p.pos == 1
    p.error("here")
    assert p.errors[-1] == P.ParseError(4, 5, "here")


# ---------------------------------------------------------------- grammar methods on the live fields


def test_grammar_methods_use_and_update_the_live_fields():
    p = parser_for("zzz")
    p.toks = tokenize("a + b ;")
    p.errors.append("kept")
    expr = p.expression()
    assert isinstance(expr, P.Binary) and expr.op == "+" and expr.left == P.Name(0, 1, "a")
    assert p.pos == 3 and p.errors == ["kept"]
    p.pos = 0
    p.toks = tokenize("(a ;")
    errors = p.errors
    p.expression()
    assert p.errors is errors and errors[0] == "kept" and p.pos == 2
    assert errors[1:] == [P.ParseError(3, 4, i18n.t("parser.expected-rparen-paren"))]


def test_parse_module_returns_the_live_error_list():
    p = parser_for("знч 5")
    module, errors = p.parse_module()
    assert errors is p.errors and errors[0] == P.ParseError(4, 5, i18n.t("parser.expected-const-name"))
    assert isinstance(module, P.Module) and p.at_end()


def test_parse_module_reports_unterminated_comments_dropped_from_toks():
    p = parser_for('/* open')
    assert texts(p) == [""]
    module, errors = p.parse_module()
    assert [(e.start, e.end, e.message) for e in errors] == [(0, 7, i18n.t("parser.unterminated-comment"))]


def test_host_records_are_embedded_by_identity():
    callee = P.Name(0, 1, "f")
    p = parser_for("f(1)")
    p.pos = 1
    call = p.maybe_call(callee)
    assert isinstance(call, P.Call) and call.callee is callee and (call.start, call.end) == (0, 4)
    assert p.maybe_call(callee=callee) is callee  # nothing follows: the callee itself
    with pytest.raises(TypeError, match=r"^tarn.parser.Expr object expected; got tarn.parser.TypeRef$"):
        p.maybe_call(P.TypeRef(0, 1, "f"))
    with pytest.raises(TypeError, match=r"^tarn.parser.Expr object expected; got int$"):
        p.postfix_after_literal(1)


def test_annotation_lists_are_embedded_by_identity():
    p = parser_for("@Маркер метод f();")
    annotations = p.annotations()
    assert [a.name for a in annotations] == ["Маркер"]
    method = p.method(annotations)
    assert method.annotations is annotations and method.start == annotations[0].start == 0
    assert p.method(annotations=[]).name == ""
    with pytest.raises(TypeError, match=r"^list object expected; got tuple$"):
        p.structure(())


def test_module_member_appends_to_the_given_module():
    module = P.Module(0, 0)
    marker = P.Import(0, 0, "old")
    module.imports.append(marker)
    p = parser_for("импорт a::b метод f();")
    p.module_member(module)
    p.module_member(module)
    assert module.imports[0] is marker and module.imports[1].name == "a::b"
    assert [m.name for m in module.members] == ["f"] and p.at_end()
    with pytest.raises(TypeError, match=r"^tarn.parser.Module object expected; got tarn.parser.Node$"):
        p.module_member(P.Node(0, 0))


def test_grammar_method_arguments_are_checked():
    p = parser_for("x ;")
    with pytest.raises(TypeError, match=r"^str object expected; got int$"):
        p.block_until("ELSE", 1)
    with pytest.raises(TypeError, match="takes no keyword arguments"):
        p.block_until(names="ELSE")
    with pytest.raises(TypeError, match=r"^int object expected; got str$"):
        p.starts_new_statement("1")
    with pytest.raises(TypeError, match=r"^bool object expected; got int$"):
        p.generic_type_args(allow_named=1)
    with pytest.raises(TypeError, match=r"^str object expected; got None$"):
        p.statements_until_semicolon(None)
    with pytest.raises(TypeError):
        p.expression(1)
    assert p.pos == 0 and p.errors == []


def test_a_body_key_outside_the_catalogue_is_reported_as_the_service_renders_it(monkeypatch):
    p = parser_for("x = 1")
    assert len(p.statements_until_semicolon("parser.no-such-message")) == 1
    assert [e.message for e in p.errors] == ["parser.no-such-message"]
    monkeypatch.setattr(i18n, "t", lambda key, **named: f"<{key}>")
    p = parser_for("x = 1")
    p.statements_until_semicolon("мой ключ")
    assert [e.message for e in p.errors] == ["<мой ключ>"]
    p = parser_for("x = 1 ;")
    p.statements_until_semicolon("мой ключ")
    assert p.errors == [] and p.at_end()


def test_grammar_results_come_back_as_host_values():
    p = parser_for("Список<Целое> x")
    assert p.type_name() == ("Список", "Список<Целое>") and p.pos == 4
    p = parser_for("(Целое) -> Строка x")
    assert p.func_type() == "(Целое)->Строка" and p.pos == 5
    p = parser_for("<Целое, Строка>")
    assert p.generic_type_args() is True and p.pos == 5
    p = parser_for("x")
    assert p.expression_ended() is False and p.starts_a_line() is False and p.recover_statement() is None
    p = parser_for("a ; b")
    assert p.block_until("ELSE") == [P.ExprStmt(0, 1, P.Name(0, 1, "a"))] and p.pos == 1


def test_block_until_stops_at_any_keyword_the_host_names():
    # "a", a keyword the grammar does not know, "b": the stop is tested by canonical name.
    toks = [tok("IDENT", "a", 0), tok("KEYWORD", "асинх", 2, canonical="ASYNC", line=2), tok("IDENT", "b", 8, line=3),
            tok("EOF", "", 9, line=3)]
    p = P._Parser(list(toks))
    assert p.block_until("ELSE", "ASYNC") == [P.ExprStmt(0, 1, P.Name(0, 1, "a"))] and p.pos == 1
    p = P._Parser(list(toks))
    assert len(p.block_until("async")) == 2 and p.at_end()  # names are canonical, case and all
    # Only the host's own call stops there, not the blocks nested in it.
    nested = tokenize("если x\n  y\n")[:-1]
    inner_end = nested[-1].end
    toks = nested + [tok("KEYWORD", "асинх", inner_end + 1, canonical="ASYNC", line=3),
                     tok("EOF", "", inner_end + 7, line=3)]
    p = P._Parser(toks)
    body = p.block_until("ASYNC")
    assert isinstance(body[0], P.If) and p.at_end()


def test_a_grammar_method_past_the_end_is_an_index_error():
    p = parser_for("a")
    p.pos = 7
    with pytest.raises(IndexError, match="^list index out of range$"):
        p.expression()
    assert p.pos == 7


def test_host_tokens_in_the_live_list_must_be_tokens():
    p = parser_for("a")
    p.toks = ["a"]
    with pytest.raises(TypeError, match=r"^tarn.lexer.Token object expected; got str$"):
        p.expression()
