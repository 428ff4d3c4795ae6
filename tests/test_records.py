"""The host records: Token and _LineMap of tarn.lexer, the syntax records of
tarn.parser. Construction, field rules, equality, printable form, copying,
final classes, the cycle collector, trees of any depth, and the wording of
argument errors (the interpreter's own). Every field of every record also
meets hostile values in test_hostile."""
import copy
import ctypes
import enum
import gc
import pickle

import pytest

from tarn import lexer
from tarn import parser as P
from tarn.lexer import Token, _LineMap, _line_starts, tokenize

from conftest import CORPUS


def make(**over):
    fields = dict(kind="IDENT", value="count", start=10, end=15, line=2, col=9, end_line=2, end_col=14)
    return Token(**(fields | over))


def name(start=0, end=1, text="x"):
    return P.Name(start, end, text)


@pytest.fixture(scope="module")
def corpus_tree():
    module, errors = P.parse_text((CORPUS / "valid" / "orders.tarn").read_text(encoding="utf-8"))
    assert errors == []
    return module


def host_refusal(function, params, required, args=(), kwargs=None):
    """What CPython's own argument parser says about this call of `function`
    taking `params`, the first `required` of them required."""
    optional = len(params) - required
    fmt = "O" * required + ("|" + "O" * optional if optional else "") + ":" + function
    kwlist = (ctypes.c_char_p * (len(params) + 1))(*[p.encode() for p in params], None)
    slots = [ctypes.py_object() for _ in params]
    with pytest.raises(TypeError) as refused:
        ctypes.pythonapi.PyArg_ParseTupleAndKeywords(ctypes.py_object(tuple(args)),
                                                     ctypes.py_object(kwargs) if kwargs else None,
                                                     fmt.encode(), kwlist, *map(ctypes.byref, slots))
    return str(refused.value)


@pytest.mark.parametrize("call, function, params, required, args, kwargs", [
    (tokenize, "tokenize", ("text", "lm"), 1, (), {}),
    (tokenize, "tokenize", ("text", "lm"), 1, ("x", None, None), {}),
    (tokenize, "tokenize", ("text", "lm"), 1, (), {"text": "x", "lm": None, "extra": 1}),
    (tokenize, "tokenize", ("text", "lm"), 1, ("x",), {"text": "y"}),
    (lexer._language, "_language", (), 0, (1,), {}),
    (Token, "Token", Token.__match_args__, 8, ("A", "b", 1, 2, 3, 4, 5), {}),
    (Token, "Token", Token.__match_args__, 8, range(12), {}),
    (P.Name, "__init__", P.Name.__match_args__, 3, (0, 1), {}),
    (P.TypeRef, "__init__", P.TypeRef.__match_args__, 3, (0, 1, "x"), {"start": 0}),
    (P.Member, "__init__", P.Member.__match_args__, 5, (0, 1, name()), {"colour": 1}),
])
def test_argument_errors_in_the_interpreters_own_words(call, function, params, required, args, kwargs):
    with pytest.raises(TypeError) as refused:
        call(*args, **kwargs)
    assert str(refused.value) == host_refusal(function, params, required, args, kwargs)


@pytest.mark.parametrize("record, field, value, message", [
    (make(), "kind", 5, "str object expected; got int"),
    (make(), "end_col", 1.0, "int object expected; got float"),
    (make(), "canonical", b"IF", "str or None object expected; got bytes"),
    (make(), "flags", None, "dict object expected; got None"),
    (make(), "line", make(), "int object expected; got tarn.lexer.Token"),
    (_LineMap("a\nb"), "_starts", (0,), "list object expected; got tuple"),
    (P.TypeRef(0, 3, "Int"), "nullable", 1, "bool object expected; got int"),
    (P.If(0, 1, [], None), "else_body", (), "list or None object expected; got tuple"),
    (P.UseStmt(0, 1, name()), "expr", P.Break(0, 1), "tarn.parser.Expr object expected; got tarn.parser.Break"),
    (P.Return(0, 1, None), "value", P.Node(0, 1), "tarn.parser.Expr or None object expected; got tarn.parser.Node"),
    (P.Lambda(0, 1, [], None, None), "body_expr", P.TypeRef(0, 3, "Int"),
     "union[tarn.parser.Expr, tarn.parser.Assign, None] object expected; got tarn.parser.TypeRef"),
])
def test_a_value_of_the_wrong_type_is_refused_on_assignment_and_construction(record, field, value, message):
    before = getattr(record, field)
    with pytest.raises(TypeError) as refused:
        setattr(record, field, value)
    assert str(refused.value) == message and getattr(record, field) == before
    if isinstance(record, _LineMap):
        return
    with pytest.raises(TypeError) as refused:
        type(record)(**(record.__getstate__() | {field: value}))
    assert str(refused.value) == message


class TestToken:
    def test_construction_defaults_and_accepted_values(self):
        args = ("KEYWORD", "метод", 0, 5, 1, 1, 1, 6, "METHOD", None, {"x": 1})
        assert Token(*args) == Token(**dict(zip(Token.__match_args__, args)))
        assert Token(*args).__getstate__() == dict(zip(Token.__match_args__, args))
        a, b = make(), make()
        assert (a.canonical, a.subkind, a.flags) == (None, None, {}) and a.flags is not b.flags

        class Num(enum.IntEnum):
            SEVEN = 7

        t = make(start=True, end=Num.SEVEN, line=type("Big", (int,), {})(2**80))
        assert [(v, type(v)) for v in (t.start, t.end, t.line)] == [(1, int), (7, int), (2**80, int)]
        t.kind = type("Name", (str,), {})("K")
        assert type(t.kind).__name__ == "Name"

    @pytest.mark.parametrize("value", [2**63 - 1, -(2**63), 2**63, -(2**63) - 1, 2**200, -(3**100)])
    def test_int_fields_of_any_size(self, value):
        t = make(start=value)
        t.line = value
        assert (t.start, t.line) == (value, value) and copy.deepcopy(t) == t and t != make(start=value + 1)

    def test_equality_field_by_field(self):
        other = Token("OP", "x", 11, 16, 3, 1, 3, 1, "IF", "line", {"unterminated": True})
        for field in Token.__match_args__:
            changed = make()
            setattr(changed, field, getattr(other, field))
            assert changed != make() and not (changed == make()), field
        assert make() == make() and not (make() != make()) and make() != ("IDENT", "count") and make() != None  # noqa
        assert Token.__new__(Token) == Token.__new__(Token) != make()
        with pytest.raises(TypeError):
            make() < make()
        with pytest.raises(TypeError, match="unhashable"):
            {make()}

    def test_lazy_flags_compare_by_content(self):
        assert tokenize('"a')[0] == make(kind="STRING", value='"a', start=0, end=2, line=1, col=1, end_line=1,
                                         end_col=3, flags={"unterminated": True})
        assert tokenize("x")[0] == Token("IDENT", "x", 0, 1, 1, 1, 1, 2, flags={})
        assert tokenize("x")[0] != Token("IDENT", "x", 0, 1, 1, 1, 1, 2, flags={"a": 1})

    @pytest.mark.parametrize("fields, text", [
        (dict(kind="KEYWORD", value="метод", line=1, col=1, canonical="METHOD"), "<KEYWORD METHOD 'метод' @1:1>"),
        (dict(kind="COMMENT", value="// x", line=3, col=5, subkind="line"), "<COMMENT line '// x' @3:5>"),
        (dict(kind="EOF", value="", line=4, col=1), "<EOF '' @4:1>"),
        (dict(kind="COMMENT", value="x", canonical="", subkind="line"), "<COMMENT line 'x' @2:9>"),
        (dict(kind="X", value="x", canonical="", subkind=""), "<X 'x' @2:9>"),
        (dict(kind="X", value="a" * 20), f"<X '{'a' * 20}' @2:9>"),
        (dict(kind="X", value="b" * 21), f"<X '{'b' * 17}...' @2:9>"),
        (dict(kind="X", value="it's\n"), "<X \"it's\\n\" @2:9>"),
        (dict(kind="X", value="x", line=2**70), f"<X 'x' @{2**70}:9>"),
    ])
    def test_repr(self, fields, text):
        assert repr(make(**fields)) == text

    def test_unset_fields(self):
        blank = Token.__new__(Token)
        with pytest.raises(AttributeError, match="^attribute 'kind' of 'Token' undefined$"):
            blank.kind
        with pytest.raises(AttributeError):
            repr(blank)
        with pytest.raises(AttributeError, match="^'Token' object attribute 'flags' cannot be deleted$"):
            del make().flags
        blank.value, blank.end = "v", 3
        assert blank.__getstate__() == {"value": "v", "end": 3}
        with pytest.raises(TypeError, match="int object expected; got str"):
            blank.__setstate__({"kind": "A", "start": "0", "value": "w"})
        assert blank.__getstate__() == {"value": "v", "end": 3, "kind": "A"}

    @pytest.mark.parametrize("protocol", range(pickle.HIGHEST_PROTOCOL + 1))
    def test_pickle_and_copy(self, protocol):
        toks = tokenize('метод "x" // c\n/* open') + [make(start=2**90, flags={"a": [1, 2]}), Token.__new__(Token)]
        back = pickle.loads(pickle.dumps(toks, protocol))
        assert back == toks and [t.flags for t in back[:-1]] == [t.flags for t in toks[:-1]]
        t = tokenize('"open')[0]
        deep = copy.deepcopy(t)
        assert copy.copy(t) == t == deep and deep.flags is not t.flags

    def test_the_cycle_collector_sees_tokens_once_they_can_hold_references(self):
        assert not any(gc.is_tracked(t) for t in tokenize('метод x "s" 1 // c')) and not gc.is_tracked(make())
        a, b, c = tokenize("a b c")[:3]
        a.flags
        b.value = type("Name", (str,), {})("b")
        c.start = 2**70
        assert gc.is_tracked(a) and gc.is_tracked(b) and not gc.is_tracked(c)
        freed = []
        t = tokenize("x")[0]
        t.flags["self"] = t
        t.flags["marker"] = type("Marker", (), {"__del__": lambda self: freed.append(True)})()
        del t
        gc.collect()
        assert freed == [True]


class TestLineMap:
    @pytest.mark.parametrize("text, starts", [("", [0]), ("a\r\nb\n\rc\u2028\u0085\f😀\n", [0, 3, 5, 6, 12])])
    def test_line_starts(self, text, starts):
        assert _line_starts(text) == starts == _LineMap(text)._starts

    @pytest.mark.parametrize("starts, offset, pos", [
        ([0, 3], 2, (1, 3)), ([0, 3], 3, (2, 1)), ([0, 3], 50, (2, 48)), ([0, 3], -1, (0, -3)),
        ([0, 3], 2**70, (2, 2**70 - 2)), ([0, 3], -(2**70), (0, -(2**70) - 2)), ([0, 3], True, (1, 2)),
        ([0, 2**70], 2**70 + 5, (2, 6)), ([5, 1, 3], 2, (2, 2)), ([5, 1, 3], 0, (0, -2)), ([0, 3, 3, 7], 3, (3, 1)),
        ([-(2**63)], 2**63 - 1, (1, 2**64)), ([0, 1.5], 2, (2, 1.5)),
    ])
    def test_linecol_bisects_any_starts(self, starts, offset, pos):
        lm = _LineMap("")
        lm._starts = starts
        assert lm.linecol(offset) == pos

    def test_errors(self):
        lm = _LineMap("ab")
        with pytest.raises(TypeError, match="^int object expected; got float$"):
            lm.linecol(1.0)
        for starts, error in (([], IndexError), ([0, "a"], TypeError)):
            lm._starts = starts
            with pytest.raises(error):
                lm.linecol(1)
        with pytest.raises(AttributeError, match="^attribute '_starts' of '_LineMap' undefined$"):
            _LineMap.__new__(_LineMap).linecol(0)
        with pytest.raises(TypeError, match="^str object expected; got bytes$"):
            _LineMap(b"x")
        with pytest.raises(AttributeError, match="^'_LineMap' object attribute '_starts' cannot be deleted$"):
            del lm._starts
        with pytest.raises(AttributeError):
            lm.other = 1

    @pytest.mark.parametrize("protocol", range(pickle.HIGHEST_PROTOCOL + 1))
    def test_identity_init_again_and_copies(self, protocol):
        a, b = _LineMap("x"), _LineMap("x")
        assert a != b and a == a and len({a, b}) == 2 and repr(a).startswith("<tarn.lexer._LineMap object at 0x")
        a.__init__("a\nb\r\nc")
        for other in (pickle.loads(pickle.dumps(a, protocol)), copy.copy(a), copy.deepcopy(a)):
            assert type(other) is _LineMap and other._starts == a._starts == [0, 2, 5]
        assert _LineMap.__new__(_LineMap).__getstate__() == {}


class TestSyntaxRecords:
    def test_fields_in_order_for_patterns_state_and_construction(self, corpus_tree):
        from tarn.tree import walk
        seen = set()
        for node in walk(corpus_tree):
            cls, state = type(node), node.__getstate__()
            assert list(state) == list(cls.__match_args__) and cls.__module__ == "tarn.parser"
            assert cls(*state.values()) == node == cls(**state) and (cls in seen or node is not cls(**state))
            seen.add(cls)
        assert len(seen) > 20 and not issubclass(P.ParseError, P.Node) and P.Node.__bases__ == (object,)

    def test_defaults_are_fresh_for_every_record(self):
        m = P.Method(0, 5, "f", [], None, [])
        assert (m.is_static, m.is_abstract, m.annotations) == (False, False, []) and P.TypeRef(0, 3, "I").nullable is False
        a, b = P.Module(0, 0), P.Module(0, 0)
        a.members.append(name())
        assert b.members == [] and a.imports == [] and a.imports is not b.imports

    def test_accepted_values(self):
        n = P.Name(True, False, "x")
        assert (n.start, n.end) == (1, 0) and type(n.start) is int
        n.start = 2**80
        n.name = type("Text", (str,), {})("y")
        assert n.start == 2**80 and type(n.name).__name__ == "Text"
        lam = P.Lambda(0, 1, [], None, None)
        lam.body_expr = P.Assign(0, 1, name(), "=", None)
        lam.body_expr = name()

    def test_unset_and_deleted_fields(self):
        blank = P.Name.__new__(P.Name)
        assert blank.__getstate__() == {}
        with pytest.raises(AttributeError, match="^attribute 'name' of 'Name' undefined$"):
            blank.name
        with pytest.raises(AttributeError, match="^'Name' object attribute 'name' cannot be deleted$"):
            del name().name
        with pytest.raises(AttributeError):
            name().color = "red"
        blank.start, blank.end = 0, 1
        for op in (repr, lambda b: b == name(), lambda b: name() == b, lambda b: b != name()):
            with pytest.raises(AttributeError, match="attribute 'name' of 'Name' undefined"):
                op(blank)
        blank = P.Name.__new__(P.Name)
        blank.start = 4
        assert pickle.loads(pickle.dumps(blank)).__getstate__() == {"start": 4}

    def test_equality_printable_form_and_patterns(self):
        assert name() == name() and not (name() != name()) and name() != name(0, 2) and name() != name(1, 1)
        assert P.Break(0, 5) != P.Continue(0, 5) and P.Expr(0, 1) != P.Node(0, 1) and P.Node(0, 1) != P.Expr(0, 1)
        assert P.Module(0, 1, [], [name()]) != P.Module(0, 1, [], [name(0, 1, "y")]) and name() != (0, 1, "x")
        with pytest.raises(TypeError):
            name() < name()
        with pytest.raises(TypeError):
            {P.Break(0, 1)}
        assert repr(P.Break(3, 8)) == "Break(start=3, end=8)"
        assert repr(P.ParseError(1, 2, "oops")) == "ParseError(start=1, end=2, message='oops')"
        assert repr(P.Compare(0, 3, name(), [("<", None)])) == (
            "Compare(start=0, end=3, first=Name(start=0, end=1, name='x'), rest=[('<', None)])")
        loop = P.Call(0, 1, name(), [])
        loop.args.append(loop)  # a cycle prints once, as Python prints its own containers
        assert repr(loop) == "Call(start=0, end=1, callee=Name(start=0, end=1, name='x'), args=[...], type_args=[])"
        match P.Binary(0, 5, "+", name(), None):
            case P.Binary(0, 5, "+", P.Name(name=found), right=None):
                assert found == "x"

    def test_state_copies_and_pickles(self, corpus_tree):
        fresh = P.Name.__new__(P.Name)
        assert fresh.__setstate__(name().__getstate__()) is None and fresh == name()
        with pytest.raises(TypeError, match="^dict object expected; got list$"):
            fresh.__setstate__([])
        with pytest.raises(TypeError, match="^str object expected; got int$"):
            fresh.__setstate__({"start": 5, "name": 1})
        assert fresh.start == 5 and fresh.name == "x"
        for protocol in range(pickle.HIGHEST_PROTOCOL + 1):
            again = pickle.loads(pickle.dumps(corpus_tree, protocol))
            assert again == corpus_tree and again is not corpus_tree
        shallow, deep = copy.copy(corpus_tree), copy.deepcopy(corpus_tree)
        assert shallow == deep == corpus_tree and shallow.members is corpus_tree.members
        deep.members[0].name = "renamed"
        assert deep != corpus_tree and deep.members is not corpus_tree.members


@pytest.mark.parametrize("cls, make_one", [(Token, make), (_LineMap, lambda: _LineMap("x")), (P.Name, name)])
def test_classes_are_final_and_fixed(cls, make_one):
    sub = type("Mine", (cls,), {})
    for build in (lambda: sub(*make_one().__getstate__().values()), lambda: sub.__new__(sub),
                  lambda: cls.__new__(sub), lambda: object.__new__(cls)):
        with pytest.raises(TypeError):
            build()
    with pytest.raises(TypeError):
        cls.extra = 1
    with pytest.raises(TypeError):
        make_one().__class__ = sub


def deep_unary(depth):
    node = name()
    for _ in range(depth):
        node = P.Unary(0, 1, "-", node)
    return node


def test_trees_of_any_depth():
    a, b = deep_unary(100_000), deep_unary(100_000)
    assert repr(a).count("Unary(") == 100_000
    with pytest.raises(RecursionError):
        a == b
    del a, b
    node = deep_unary(1_000_000)
    del node
    module, errors = P.parse_text("метод f() возврат " + " + ".join(["x"] * 1_000_000) + ";")
    expr, depth = module.members[0].body[0].value, 0
    while isinstance(expr, P.Binary):
        expr, depth = expr.left, depth + 1
    assert (depth, expr.name, errors) == (999_999, "x", [])
    del module, expr
    gc.collect()


def test_records_take_part_in_cyclic_gc(corpus_tree):
    assert gc.is_tracked(corpus_tree) and gc.is_tracked(corpus_tree.members) and gc.is_tracked(name())
    gc.collect()
    m = P.Module(0, 0)
    m.members.append(m)
    del m
    assert gc.collect() >= 2
