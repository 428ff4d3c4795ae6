"""Token and _LineMap as host records: fields and their types, equality, text form, copying and pickling."""
import copy
import enum
import gc
import pickle

import pytest

from tarn.lexer import Token, _LineMap, _line_starts, tokenize

from conftest import unexpected_keyword

FIELDS = ("kind", "value", "start", "end", "line", "col", "end_line", "end_col", "canonical", "subkind", "flags")


def make(**over):
    fields = dict(kind="IDENT", value="count", start=10, end=15, line=2, col=9, end_line=2, end_col=14)
    fields.update(over)
    return Token(**fields)


def blank_token():
    return Token.__new__(Token)


class TestConstruction:
    def test_by_position_and_by_name(self):
        args = ("KEYWORD", "метод", 0, 5, 1, 1, 1, 6, "METHOD", None, {"x": 1})
        assert Token(*args) == Token(**dict(zip(FIELDS, args)))
        assert Token(*args).__getstate__() == dict(zip(FIELDS, args))

    def test_defaults(self):
        t = make()
        assert (t.canonical, t.subkind, t.flags) == (None, None, {})

    def test_default_flags_are_distinct_dicts(self):
        a, b = make(), make()
        a.flags["unterminated"] = True
        assert b.flags == {} and a != b

    @pytest.mark.parametrize("call,message", [
        (lambda: Token(), "Token() missing required argument 'kind' (pos 1)"),
        (lambda: Token("A", "b", 1, 2, 3, 4, 5), "Token() missing required argument 'end_col' (pos 8)"),
        (lambda: Token(*range(12)), "Token() takes at most 11 arguments (12 given)"),
        (lambda: make(colour=1), unexpected_keyword("colour", "Token()")),
        (lambda: Token("A", "b", 1, 2, 3, 4, 5, 6, kind="A"), "argument for Token() given by name ('kind') and position (1)"),
        (lambda: Token("A", "b", 1, 2, 3, 4, 5, 6, **{1: 2}), "keywords must be strings"),
    ])
    def test_argument_errors(self, call, message):
        with pytest.raises(TypeError) as err:
            call()
        assert str(err.value) == message

    def test_checks_every_field(self):
        with pytest.raises(TypeError, match=r"^int object expected; got str$"):
            make(end_col="14")
        with pytest.raises(TypeError, match=r"^dict object expected; got list$"):
            make(flags=[])


class TestFieldRules:
    @pytest.mark.parametrize("field,bad,expected,got", [
        ("kind", 5, "str", "int"), ("value", None, "str", "None"), ("start", "1", "int", "str"),
        ("end_col", 1.0, "int", "float"), ("canonical", b"IF", "str or None", "bytes"),
        ("subkind", 1, "str or None", "int"), ("flags", None, "dict", "None"),
        ("line", make(), "int", "tarn.lexer.Token"), ("kind", _LineMap(""), "str", "tarn.lexer._LineMap"),
    ])
    def test_wrong_type_is_refused_and_the_value_kept(self, field, bad, expected, got):
        t = make(canonical="X", subkind="line")
        before = getattr(t, field)
        with pytest.raises(TypeError) as err:
            setattr(t, field, bad)
        assert str(err.value) == f"{expected} object expected; got {got}"
        assert getattr(t, field) == before

    def test_accepted_values(self):
        class Name(str):
            pass

        class Flags(dict):
            pass

        t = make()
        t.kind, t.canonical, t.subkind, t.flags = Name("K"), Name("C"), None, Flags(a=1)
        assert (t.kind, t.canonical, t.subkind, t.flags) == ("K", "C", None, {"a": 1})
        assert type(t.kind) is Name and type(t.flags) is Flags

    def test_int_fields_store_plain_ints(self):
        class Num(enum.IntEnum):
            SEVEN = 7

        t = make(start=True, end=Num.SEVEN)
        assert (t.start, type(t.start), t.end, type(t.end)) == (1, int, 7, int)

    @pytest.mark.parametrize("value", [2**63 - 1, -(2**63), 2**63, -(2**63) - 1, 2**200, -(3**100)])
    def test_int_fields_of_any_size(self, value):
        t = make(start=value)
        t.line = value
        assert (t.start, t.line) == (value, value)
        assert copy.deepcopy(t) == t and t.__getstate__()["start"] == value
        assert t != make(start=value + 1)

    def test_big_int_from_an_int_subclass_is_plain(self):
        class Big(int):
            pass

        t = make(end=Big(2**80))
        assert type(t.end) is int and t.end == 2**80

    @pytest.mark.parametrize("field", FIELDS)
    def test_fields_cannot_be_deleted(self, field):
        t = make()
        before = getattr(t, field)
        with pytest.raises(AttributeError) as err:
            delattr(t, field)
        assert str(err.value) == f"'Token' object attribute '{field}' cannot be deleted"
        assert getattr(t, field) == before

    @pytest.mark.parametrize("field", FIELDS)
    def test_unset_field(self, field):
        with pytest.raises(AttributeError) as err:
            getattr(blank_token(), field)
        assert str(err.value) == f"attribute '{field}' of 'Token' undefined"

    def test_no_other_attributes(self):
        t = make()
        with pytest.raises(AttributeError):
            t.colour = "red"
        assert not hasattr(t, "__dict__")

    def test_fixed_field_order_for_patterns(self):
        assert Token.__match_args__ == FIELDS
        match make():
            case Token("IDENT", value, 10):
                assert value == "count"
            case _:
                pytest.fail("positional pattern did not match")


class TestEquality:
    def test_equal_when_all_fields_are(self):
        assert make() == make() and not (make() != make())

    @pytest.mark.parametrize("field,other", [
        ("kind", "OP"), ("value", "x"), ("start", 11), ("end", 16), ("line", 3), ("col", 1), ("end_line", 3),
        ("end_col", 1), ("canonical", "IF"), ("subkind", "line"), ("flags", {"unterminated": True}),
    ])
    def test_any_field_differs(self, field, other):
        assert make() != make(**{field: other})

    def test_lazy_and_real_flags_compare_by_content(self):
        lazy_unterminated = tokenize('"a')[0]
        real = make(kind="STRING", value='"a', start=0, end=2, line=1, col=1, end_line=1, end_col=3,
                    flags={"unterminated": True})
        assert lazy_unterminated == real
        assert tokenize("x")[0] == Token("IDENT", "x", 0, 1, 1, 1, 1, 2, flags={})
        assert tokenize("x")[0] != Token("IDENT", "x", 0, 1, 1, 1, 1, 2, flags={"a": 1})

    def test_unset_fields(self):
        assert blank_token() == blank_token()
        assert blank_token() != make()

    def test_other_objects(self):
        assert make() != ("IDENT", "count") and make() != None  # noqa: E711
        with pytest.raises(TypeError):
            make() < make()

    def test_not_hashable(self):
        assert Token.__hash__ is None
        with pytest.raises(TypeError, match="unhashable"):
            {make()}


class TestTextForm:
    @pytest.mark.parametrize("fields,text", [
        (dict(kind="KEYWORD", value="метод", line=1, col=1, canonical="METHOD"), "<KEYWORD METHOD 'метод' @1:1>"),
        (dict(kind="COMMENT", value="// x", line=3, col=5, subkind="line"), "<COMMENT line '// x' @3:5>"),
        (dict(kind="IDENT", value="count", line=2, col=9), "<IDENT 'count' @2:9>"),
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

    def test_repr_of_unset_token(self):
        with pytest.raises(AttributeError):
            repr(blank_token())


class TestState:
    def test_getstate_in_field_order(self):
        state = make(canonical="IF").__getstate__()
        assert list(state) == list(FIELDS)
        assert state["canonical"] == "IF" and state["flags"] == {}

    def test_getstate_leaves_out_unset_fields(self):
        t = blank_token()
        t.value = "v"
        t.end = 3
        assert t.__getstate__() == {"value": "v", "end": 3}

    def test_setstate_round_trip(self):
        t = make(flags={"unterminated": True})
        fresh = blank_token()
        assert fresh.__setstate__(t.__getstate__()) is None
        assert fresh == t

    def test_setstate_checks_and_stops(self):
        fresh = blank_token()
        with pytest.raises(TypeError, match="int object expected; got str"):
            fresh.__setstate__({"kind": "A", "start": "0", "value": "v"})
        assert fresh.__getstate__() == {"kind": "A"}
        with pytest.raises(AttributeError):
            fresh.__setstate__({"colour": 1})
        with pytest.raises(TypeError, match="dict object expected; got list"):
            fresh.__setstate__([("kind", "A")])

    @pytest.mark.parametrize("protocol", range(pickle.HIGHEST_PROTOCOL + 1))
    def test_pickle(self, protocol):
        toks = tokenize('метод "x" // c\n/* open')
        toks.append(make(start=2**90, flags={"a": [1, 2]}))
        toks.append(blank_token())
        back = pickle.loads(pickle.dumps(toks, protocol))
        assert back == toks
        assert [t.flags for t in back[:-1]] == [t.flags for t in toks[:-1]]

    def test_copy_and_deepcopy(self):
        t = tokenize('"open')[0]
        shallow, deep = copy.copy(t), copy.deepcopy(t)
        assert shallow == t == deep
        assert deep.flags is not t.flags
        deep.flags.clear()
        assert t.flags == {"unterminated": True}


class TestFinalClass:
    def test_subclass_cannot_be_instantiated(self):
        class Sub(Token):
            pass

        for build in (lambda: Sub("A", "b", 1, 2, 3, 4, 5, 6), lambda: Sub.__new__(Sub), lambda: Token.__new__(Sub)):
            with pytest.raises(TypeError):
                build()

    def test_class_cannot_be_swapped_or_changed(self):
        class Sub(Token):
            pass

        with pytest.raises(TypeError):
            make().__class__ = Sub
        with pytest.raises(TypeError):
            Token.extra = 1


class TestCycleCollection:
    def test_plain_tokens_stay_out_of_the_collector(self):
        toks = tokenize('метод x "s" 1 // c')
        assert not any(gc.is_tracked(t) for t in toks)
        assert not gc.is_tracked(make())

    def test_tracked_once_they_can_hold_references(self):
        class Name(str):
            pass

        a, b, c = tokenize("a b c")[:3]
        a.flags
        b.value = Name("b")
        c.start = 2**70
        assert gc.is_tracked(a) and gc.is_tracked(b) and not gc.is_tracked(c)

    def test_cycle_through_flags_is_collected(self):
        freed = []

        class Marker:
            def __del__(self):
                freed.append(True)

        t = tokenize("x")[0]
        t.flags["self"] = t
        t.flags["marker"] = Marker()
        del t
        gc.collect()
        assert freed == [True]


class TestLineStarts:
    @pytest.mark.parametrize("text,starts", [
        ("", [0]), ("a\r\nb", [0, 3]), ("a\rb", [0, 2]), ("a\n\rb", [0, 2, 3]), ("x\n", [0, 2]), ("\r", [0, 1]),
        ("\r\n", [0, 2]), ("a\u2028b\u2029c\u0085d\fe\vf", [0]), ("\n\n", [0, 1, 2]), ("😀\n\U0001f600", [0, 2]),
    ])
    def test_line_starts(self, text, starts):
        assert _line_starts(text) == starts
        assert _LineMap(text)._starts == starts


class TestLineMap:
    @pytest.mark.parametrize("text,offset,pos", [
        ("", 0, (1, 1)), ("x\n", 2, (2, 1)), ("ab\ncd", 2, (1, 3)), ("ab\ncd", 3, (2, 1)), ("ab\ncd", 5, (2, 3)),
        ("ab\ncd", 50, (2, 48)), ("ab\ncd", -1, (0, -3)), ("ab\ncd", 2**70, (2, 2**70 - 2)),
        ("ab\ncd", -(2**70), (0, -(2**70) - 2)), ("ab\ncd", True, (1, 2)),
    ])
    def test_linecol(self, text, offset, pos):
        assert _LineMap(text).linecol(offset) == pos

    @pytest.mark.parametrize("starts,offset,pos", [
        ([0, 2**70], 2**70 + 5, (2, 6)), ([0, 2**70], 5, (1, 6)), ([5, 1, 3], 2, (2, 2)), ([5, 1, 3], 0, (0, -2)),
        ([-(2**63)], 2**63 - 1, (1, 2**64)), ([0, 1.5], 2, (2, 1.5)),
    ])
    def test_linecol_over_any_starts(self, starts, offset, pos):
        lm = _LineMap("")
        lm._starts = starts
        assert lm.linecol(offset) == pos

    def test_linecol_errors(self):
        lm = _LineMap("ab")
        with pytest.raises(TypeError, match="^int object expected; got float$"):
            lm.linecol(1.0)
        with pytest.raises(TypeError, match=r"linecol\(\) missing required argument 'offset' \(pos 1\)"):
            lm.linecol()
        lm._starts = []
        with pytest.raises(IndexError):
            lm.linecol(0)
        lm._starts = [0, "a"]
        with pytest.raises(TypeError, match="'<' not supported"):
            lm.linecol(1)
        with pytest.raises(AttributeError, match="^attribute '_starts' of '_LineMap' undefined$"):
            _LineMap.__new__(_LineMap).linecol(0)

    def test_construction_errors(self):
        with pytest.raises(TypeError, match="^str object expected; got bytes$"):
            _LineMap(b"x")
        with pytest.raises(TypeError, match=r"^_LineMap\(\) takes at most 1 argument \(2 given\)$"):
            _LineMap("a", "b")
        with pytest.raises(TypeError, match=r"^_LineMap\(\) missing required argument 'text' \(pos 1\)$"):
            _LineMap()

    def test_starts_field_rules(self):
        lm = _LineMap("a\nb")
        with pytest.raises(TypeError, match="^list object expected; got tuple$"):
            lm._starts = (0,)
        with pytest.raises(AttributeError, match="^'_LineMap' object attribute '_starts' cannot be deleted$"):
            del lm._starts
        assert lm._starts == [0, 2]
        with pytest.raises(AttributeError):
            lm.other = 1

    def test_init_again_rebuilds(self):
        lm = _LineMap("a")
        lm.__init__("a\nb\nc")
        assert lm._starts == [0, 2, 4]

    def test_identity_equality_and_default_repr(self):
        a, b = _LineMap("x"), _LineMap("x")
        assert a != b and a == a and len({a, b}) == 2
        assert repr(a).startswith("<tarn.lexer._LineMap object at 0x")

    @pytest.mark.parametrize("protocol", range(pickle.HIGHEST_PROTOCOL + 1))
    def test_pickle_and_copy(self, protocol):
        lm = _LineMap("a\nb\r\nc")
        for other in (pickle.loads(pickle.dumps(lm, protocol)), copy.copy(lm), copy.deepcopy(lm)):
            assert type(other) is _LineMap and other._starts == lm._starts
        assert _LineMap.__new__(_LineMap).__getstate__() == {}

    def test_final_class(self):
        class Sub(_LineMap):
            pass

        with pytest.raises(TypeError):
            Sub("x")
        with pytest.raises(TypeError):
            _LineMap("x").__class__ = Sub
