"""The record classes of tarn.parser: construction, field types, attribute
rules, equality, printable form, pattern matching, copying and pickling,
final classes, and trees of any depth."""
import copy
import gc
import pathlib
import pickle

import pytest

from tarn import parser as P

CORPUS = pathlib.Path(__file__).parent / "data" / "corpus"

DECLARATION_ORDER = (
    "Node Annotation TypeRef Param Method ObjectField Constructor Structure EnumItem Enum Import Module "
    "Stmt VarDecl UseStmt Assign ExprStmt If CaseWhen Case While ForEach ForTo Try Scope Return Break Continue "
    "Expr Name Literal This GlobalAccess Unary Binary Compare IsType AsType Ternary Coalesce NonNull Member "
    "Index CallArg Call New ArrayLit MapLit Lambda Throw MethodRef"
).split()


def name(start=0, end=1, text="x"):
    return P.Name(start, end, text)


def type_ref():
    return P.TypeRef(0, 3, "Int")


@pytest.fixture(scope="module")
def corpus_tree():
    src = (CORPUS / "valid" / "orders.tarn").read_text(encoding="utf-8")
    module, errors = P.parse_text(src)
    assert errors == []
    return module


# ---------------------------------------------------------------- classes


def test_records_in_declaration_order_with_their_bases():
    names = [n for n, v in vars(P).items() if isinstance(v, type) and issubclass(v, (P.Node, P.ParseError))]
    assert names == DECLARATION_ORDER + ["ParseError"]
    for rec in DECLARATION_ORDER:
        cls = getattr(P, rec)
        assert cls.__module__ == "tarn.parser" and cls.__qualname__ == rec
        assert issubclass(cls, P.Node)
    assert issubclass(P.Name, P.Expr) and issubclass(P.Break, P.Stmt)
    assert not issubclass(P.CaseWhen, P.Stmt) and not issubclass(P.CallArg, P.Expr)
    assert not issubclass(P.ParseError, P.Node)
    assert P.Stmt.__bases__ == (P.Node,) and P.Node.__bases__ == (object,)


def test_field_order_is_match_args_and_state_order():
    assert P.Node.__match_args__ == ("start", "end")
    assert P.Method.__match_args__ == (
        "start", "end", "name", "params", "return_type", "body", "is_static", "is_abstract", "annotations")
    assert P.Param.__match_args__ == ("start", "end", "name", "type", "default", "annotations")
    assert P.ParseError.__match_args__ == ("start", "end", "message")
    m = P.Method(0, 5, "f", [], None, [])
    assert list(m.__getstate__()) == list(P.Method.__match_args__)


# ---------------------------------------------------------------- construction


def test_construction_by_position_by_name_and_defaults():
    m = P.Method(0, 5, "f", [], None, [])
    assert (m.is_static, m.is_abstract, m.annotations) == (False, False, [])
    assert P.Method(start=0, end=5, name="f", params=[], return_type=None, body=[]) == m
    assert P.TypeRef(0, 3, "Int").nullable is False
    assert P.Param(0, 1, "p", None, None) == P.Param(0, 1, "p", type=None, default=None, annotations=[])
    assert P.Break(2, 7).__getstate__() == {"start": 2, "end": 7}


def test_default_lists_are_fresh_for_every_record():
    a, b = P.Module(0, 0), P.Module(0, 0)
    assert a.imports == [] and a.members == [] and a.imports is not a.members
    a.members.append(name())
    assert b.members == [] and P.Module(0, 0).members == []


@pytest.mark.parametrize(
    "call, message",
    [
        (lambda: P.Name(0, 1), "__init__() missing required argument 'name' (pos 3)"),
        (lambda: P.Name(0, 1, "x", 4), "__init__() takes at most 3 arguments (4 given)"),
        (lambda: P.TypeRef(start=0, end=1, text="x", extra=4), "'extra' is an invalid keyword argument for __init__()"),
        (lambda: P.TypeRef(0, 1, "x", start=0), "argument for __init__() given by name ('start') and position (1)"),
        (lambda: P.Member(0, 1, name(), "m"), "__init__() missing required argument 'safe' (pos 5)"),
        (lambda: P.IsType(0, 1, name()), "__init__() missing required argument 'negated' (pos 4)"),
        (lambda: P.ForTo(0, 1, "i", name()), "__init__() missing required argument 'down' (pos 5)"),
    ],
)
def test_argument_errors_use_the_hosts_wording(call, message):
    with pytest.raises(TypeError) as e:
        call()
    assert str(e.value) == message


BAD_VALUES = [
    (P.Name, "name", 5, "str object expected; got int"),
    (P.Name, "start", "0", "int object expected; got str"),
    (P.Name, "end", 1.5, "int object expected; got float"),
    (P.CallArg, "name", 3, "str or None object expected; got int"),
    (P.TypeRef, "nullable", 1, "bool object expected; got int"),
    (P.TypeRef, "names", (), "list object expected; got tuple"),
    (P.If, "else_body", (), "list or None object expected; got tuple"),
    (P.UseStmt, "expr", None, "tarn.parser.Expr object expected; got None"),
    (P.UseStmt, "expr", P.Break(0, 1), "tarn.parser.Expr object expected; got tarn.parser.Break"),
    (P.Return, "value", P.Node(0, 1), "tarn.parser.Expr or None object expected; got tarn.parser.Node"),
    (P.New, "type", None, "tarn.parser.TypeRef object expected; got None"),
    (P.Param, "type", "Int", "tarn.parser.TypeRef or None object expected; got str"),
    (P.Lambda, "body_expr", type_ref(), "union[tarn.parser.Expr, tarn.parser.Assign, None] object expected; got tarn.parser.TypeRef"),
]

GOOD_RECORDS = {
    P.Name: lambda: name(),
    P.CallArg: lambda: P.CallArg(0, 1, None, None),
    P.TypeRef: type_ref,
    P.If: lambda: P.If(0, 1, [], None),
    P.UseStmt: lambda: P.UseStmt(0, 1, name()),
    P.Return: lambda: P.Return(0, 1, None),
    P.New: lambda: P.New(0, 1, type_ref(), None),
    P.Param: lambda: P.Param(0, 1, "p", None, None),
    P.Lambda: lambda: P.Lambda(0, 1, [], None, None),
}


@pytest.mark.parametrize("cls, field, value, message", BAD_VALUES)
def test_wrong_types_are_refused_on_assignment_and_construction(cls, field, value, message):
    rec = GOOD_RECORDS[cls]()
    before = getattr(rec, field)
    with pytest.raises(TypeError) as e:
        setattr(rec, field, value)
    assert str(e.value) == message
    assert getattr(rec, field) == before
    state = rec.__getstate__()
    state[field] = value
    with pytest.raises(TypeError) as e:
        cls(**state)
    assert str(e.value) == message


def test_accepted_values():
    n = P.Name(True, False, "x")
    assert (n.start, n.end) == (1, 0) and type(n.start) is int and type(n.end) is int
    n.start = 2**80
    assert n.start == 2**80
    lam = P.Lambda(0, 1, [], None, None)
    lam.body_expr = P.Assign(0, 1, name(), "=", None)
    lam.body_expr = name()

    class Text(str):
        pass

    n.name = Text("y")
    assert type(n.name) is Text
    assert P.Return(0, 1, P.Binary(0, 1, "+", name(), None)).value.op == "+"


def test_unset_and_deleted_fields():
    blank = P.Name.__new__(P.Name)
    with pytest.raises(AttributeError) as e:
        blank.name
    assert str(e.value) == "attribute 'name' of 'Name' undefined"
    assert blank.__getstate__() == {}
    with pytest.raises(AttributeError) as e:
        del name().name
    assert str(e.value) == "'Name' object attribute 'name' cannot be deleted"
    with pytest.raises(AttributeError):
        name().color = "red"
    with pytest.raises(AttributeError):
        name().__dict__


def test_unset_field_in_equality_and_repr_raises_its_error():
    blank = P.Name.__new__(P.Name)
    blank.start, blank.end = 0, 1
    for op in (repr, lambda b: b == name(), lambda b: name() == b, lambda b: b != name()):
        with pytest.raises(AttributeError, match="attribute 'name' of 'Name' undefined"):
            op(blank)


# ---------------------------------------------------------------- value behaviour


def test_equality_is_by_exact_class_and_fields_in_order():
    assert name(0, 1, "x") == name(0, 1, "x")
    assert not (name(0, 1, "x") != name(0, 1, "x"))
    assert name(0, 1, "x") != name(0, 2, "x") and name(0, 1, "x") != name(1, 1, "x")
    assert P.Break(0, 5) != P.Continue(0, 5)
    assert P.Expr(0, 1) != P.Node(0, 1) and P.Node(0, 1) != P.Expr(0, 1)
    assert P.Module(0, 1, [], [name()]) == P.Module(0, 1, [], [name()])
    assert P.Module(0, 1, [], [name()]) != P.Module(0, 1, [], [name(0, 1, "y")])
    assert name() != (0, 1, "x")
    with pytest.raises(TypeError):
        name() < name()


def test_records_are_not_hashable():
    assert P.Name.__hash__ is None
    with pytest.raises(TypeError):
        hash(name())
    with pytest.raises(TypeError):
        {P.Break(0, 1)}


def test_printable_form():
    assert repr(name(0, 1, "x")) == "Name(start=0, end=1, name='x')"
    assert repr(P.Break(3, 8)) == "Break(start=3, end=8)"
    b = P.Binary(0, 5, "+", name(), None)
    assert repr(b) == "Binary(start=0, end=5, op='+', left=Name(start=0, end=1, name='x'), right=None)"
    assert repr(P.ParseError(1, 2, "oops")) == "ParseError(start=1, end=2, message='oops')"
    assert repr(P.Compare(0, 3, name(), [("<", None)])) == (
        "Compare(start=0, end=3, first=Name(start=0, end=1, name='x'), rest=[('<', None)])")
    loop = P.Call(0, 1, name(), [])
    loop.args.append(loop)  # a cycle prints once, as Python prints its own containers
    assert repr(loop) == "Call(start=0, end=1, callee=Name(start=0, end=1, name='x'), args=[...], type_args=[])"


def test_pattern_matching_uses_field_order():
    match P.Binary(0, 5, "+", name(), None):
        case P.Binary(0, 5, "+", P.Name(name=n), right=None):
            found = n
    assert found == "x"
    match P.Binary(0, 5, "+", name(), None):
        case P.Binary(op="+", left=l):
            assert l == name()


# ---------------------------------------------------------------- classes are final and fixed


def test_classes_are_final_but_subclassable():
    class Mine(P.Name):
        pass

    with pytest.raises(TypeError):
        Mine(0, 1, "x")
    with pytest.raises(TypeError):
        Mine.__new__(Mine)
    with pytest.raises(TypeError):
        object.__new__(P.Name)


def test_classes_and_instance_classes_cannot_be_changed():
    with pytest.raises(TypeError):
        P.Name.extra = 1
    with pytest.raises(TypeError):
        name().__class__ = P.MethodRef


# ---------------------------------------------------------------- copying


def test_getstate_and_setstate():
    n = name(0, 1, "x")
    fresh = P.Name.__new__(P.Name)
    assert fresh.__setstate__(n.__getstate__()) is None
    assert fresh == n
    with pytest.raises(TypeError, match="^dict object expected; got list$"):
        fresh.__setstate__([])
    with pytest.raises(TypeError, match="^str object expected; got int$"):
        fresh.__setstate__({"start": 5, "name": 1})
    assert fresh.start == 5 and fresh.name == "x"
    with pytest.raises(AttributeError):
        fresh.__setstate__({"unknown": 1})


@pytest.mark.parametrize("protocol", range(pickle.HIGHEST_PROTOCOL + 1))
def test_pickle_round_trip_of_a_parsed_tree(corpus_tree, protocol):
    again = pickle.loads(pickle.dumps(corpus_tree, protocol))
    assert again == corpus_tree and again is not corpus_tree


def test_copy_and_deepcopy_of_a_parsed_tree(corpus_tree):
    shallow = copy.copy(corpus_tree)
    assert shallow == corpus_tree and shallow.members is corpus_tree.members
    deep = copy.deepcopy(corpus_tree)
    assert deep == corpus_tree and deep.members is not corpus_tree.members
    deep.members[0].name = "renamed"
    assert deep != corpus_tree


def test_partially_set_records_copy_as_they_are():
    blank = P.Name.__new__(P.Name)
    blank.start = 4
    again = pickle.loads(pickle.dumps(blank))
    assert again.__getstate__() == {"start": 4}


# ---------------------------------------------------------------- depth and garbage collection


def deep_unary(depth):
    node = name()
    for _ in range(depth):
        node = P.Unary(0, 1, "-", node)
    return node


def test_deep_trees_print_and_fail_cleanly_in_equality():
    a, b = deep_unary(100_000), deep_unary(100_000)
    assert repr(a).count("Unary(") == 100_000
    with pytest.raises(RecursionError):
        a == b


def test_a_million_deep_hand_built_tree_is_freed():
    node = deep_unary(1_000_000)
    del node
    gc.collect()


def test_a_million_deep_parsed_tree_is_built_and_freed():
    module, errors = P.parse_text("метод f() возврат " + " + ".join(["x"] * 1_000_000) + ";")
    assert errors == []
    expr = module.members[0].body[0].value
    depth = 0
    while isinstance(expr, P.Binary):
        expr, depth = expr.left, depth + 1
    assert depth == 999_999 and expr.name == "x"
    del module, expr
    gc.collect()


def test_records_take_part_in_cyclic_gc(corpus_tree):
    assert gc.is_tracked(corpus_tree) and gc.is_tracked(corpus_tree.members)
    assert gc.is_tracked(name())
    gc.collect()
    m = P.Module(0, 0)
    m.members.append(m)
    del m
    assert gc.collect() >= 2
