"""tarn.tree: traversal, visitor, dump, lossless dict/JSON form, positions."""
from __future__ import annotations

import json
import subprocess
import sys
from pathlib import Path

import pytest

from tarn import parser as P
from tarn import _deepjson, tree
from tarn.lexer import _LineMap, tokenize

CORPUS = Path(__file__).parent / "data" / "corpus"
CORPUS_FILES = sorted(CORPUS.rglob("*.tarn"))
# Far beyond the recursion limit, still quick to build.
DEEP = 20 * sys.getrecursionlimit()


def sample() -> P.Module:
    """A module touching every container shape: pairs, triples, nested lists."""
    x = P.Name(30, 31, "x")
    cond = P.Compare(30, 36, x, [("<", P.Literal(34, 35, "NUMBER", "1")), (">", None)])
    branch_if = P.If(27, 60, [(cond, [P.Return(40, 48, P.Name(47, 48, "x"))])], [P.Break(52, 57)])
    catch_type = P.TypeRef(70, 75, "Error", ["Error"])
    attempt = P.Try(61, 90, [P.ExprStmt(66, 67, P.This(66, 67))], [("e", catch_type, [P.Continue(80, 88)])], None)
    entries = P.MapLit(91, 99, [(P.Name(92, 93, "k"), P.Name(94, 95, "v")), (P.Name(96, 97, "s"), None)], "map")
    method = P.Method(9, 100, "f", [P.Param(16, 22, "x", P.TypeRef(19, 22, "Int", ["Int"]), None)], None,
                      [branch_if, attempt, P.ExprStmt(91, 99, entries)])
    return P.Module(0, 100, [P.Import(0, 8, "core")], [method])


def chain(depth: int) -> P.Expr:
    """``a + a + ... + a``: the left-nested shape the parser builds for long sums."""
    node: P.Expr = P.Name(0, 1, "a")
    for i in range(depth):
        node = P.Binary(0, 4 * i + 5, "+", node, P.Name(4 * i + 4, 4 * i + 5, "a"))
    return node


def names(nodes) -> list[str]:
    return [type(n).__name__ for n in nodes]


@pytest.fixture(scope="module")
def corpus() -> list[tuple[Path, str, P.Module, list[P.ParseError]]]:
    parsed = []
    for path in CORPUS_FILES:
        text = path.read_text(encoding="utf-8")
        module, errors = P.parse_text(text)
        parsed.append((path, text, module, errors))
    return parsed


class TestTraversal:
    def test_fields_in_declaration_order(self) -> None:
        assert tree.fields(P.Import(0, 8, "core")) == [("start", 0), ("end", 8), ("name", "core")]
        param = P.Param(1, 2, "x", None, None)
        assert [name for name, _ in tree.fields(param)] == ["start", "end", "name", "type", "default", "annotations"]
        assert tree.fields(P.ParseError(3, 4, "m")) == [("start", 3), ("end", 4), ("message", "m")]

    def test_children_look_through_pairs_and_triples(self) -> None:
        method = sample().members[0]
        branch_if, attempt, statement = method.body
        assert names(tree.iter_child_nodes(branch_if)) == ["Compare", "Return", "Break"]
        assert names(tree.iter_child_nodes(branch_if.branches[0][0])) == ["Name", "Literal"]
        assert names(tree.iter_child_nodes(attempt)) == ["ExprStmt", "TypeRef", "Continue"]
        assert [n.name for n in tree.iter_child_nodes(statement.expr)] == ["k", "v", "s"]
        assert list(tree.iter_child_nodes(P.Break(0, 1))) == []

    def test_walk_is_breadth_first(self) -> None:
        assert names(tree.walk(sample())) == [
            "Module",
            "Import", "Method",
            "Param", "If", "Try", "ExprStmt",
            "TypeRef", "Compare", "Return", "Break", "ExprStmt", "TypeRef", "Continue", "MapLit",
            "Name", "Literal", "Name", "This", "Name", "Name", "Name",
        ]

    def test_deep_chain_does_not_recurse(self) -> None:
        root = chain(DEEP)
        assert sum(1 for _ in tree.walk(root)) == 2 * DEEP + 1
        assert names(tree.iter_child_nodes(root)) == ["Binary", "Name"]

    def test_parsed_long_sum_can_be_walked(self) -> None:
        terms = 5 * sys.getrecursionlimit()
        module, errors = P.parse_text("конст X = a" + " + a" * terms + "\n")
        assert errors == []
        assert sum(isinstance(n, P.Binary) for n in tree.walk(module)) == terms


class TestVisitor:
    def test_dispatch_by_class_name_and_generic_descent(self) -> None:
        class Collect(tree.NodeVisitor):
            def __init__(self) -> None:
                self.seen: list[str] = []

            def visit_Name(self, node: P.Name) -> None:
                self.seen.append(node.name)

            def visit_Try(self, node: P.Try) -> None:
                self.seen.append("try")  # children of Try are not visited

        visitor = Collect()
        visitor.visit(sample())
        assert visitor.seen == ["x", "x", "try", "k", "v", "s"]

    def test_visit_returns_the_method_result(self) -> None:
        class Kind(tree.NodeVisitor):
            def visit_Literal(self, node: P.Literal) -> str:
                return node.kind

        assert Kind().visit(P.Literal(0, 1, "NUMBER", "1")) == "NUMBER"
        assert Kind().visit(P.Name(0, 1, "a")) is None


class TestDump:
    def test_single_line_equals_printable_form(self, corpus: list) -> None:
        assert tree.dump(sample()) == repr(sample())
        for path, _, module, errors in corpus:
            assert tree.dump(module) == repr(module), path
            assert [tree.dump(e) for e in errors] == [repr(e) for e in errors]

    def test_indented(self) -> None:
        node = P.If(0, 9, [(P.Name(3, 4, "c"), [P.Break(5, 6)])], None)
        assert tree.dump(node, indent=2) == (
            "If(\n"
            "  start=0,\n"
            "  end=9,\n"
            "  branches=[\n"
            "    (\n"
            "      Name(\n"
            "        start=3,\n"
            "        end=4,\n"
            "        name='c'),\n"
            "      [\n"
            "        Break(\n"
            "          start=5,\n"
            "          end=6)])],\n"
            "  else_body=None)"
        )
        assert tree.dump(P.Module(0, 0), indent="\t") == "Module(\n\tstart=0,\n\tend=0,\n\timports=[],\n\tmembers=[])"

    def test_deep_chain(self) -> None:
        text = tree.dump(chain(DEEP))
        assert text.count("Binary(") == DEEP and text.startswith("Binary(start=0, end=")

    def test_the_native_dumper_prints_the_same_form(self) -> None:
        # tools/tarn_dump prints native trees; a development build has it next to the package.
        dumper = Path(P.__file__).resolve().parents[2] / "tarn_dump"
        if not dumper.exists():
            pytest.skip("no development build")
        language = Path(P.__file__).parent / "data" / "language.json"
        for path in CORPUS_FILES:
            printed = subprocess.run([dumper, language, path], capture_output=True, text=True, check=True).stdout
            module = P.parse_text(path.read_bytes().decode("utf-8"))[0]
            assert printed.split("\n", 1)[0] == repr(module), path


class TestDictAndJson:
    def test_dict_form(self) -> None:
        node = P.Compare(0, 5, P.Name(0, 1, "a"), [("<", P.Name(4, 5, "b"))])
        assert tree.to_dict(node) == {
            "_type": "Compare", "start": 0, "end": 5,
            "first": {"_type": "Name", "start": 0, "end": 1, "name": "a"},
            "rest": [{"_tuple": ["<", {"_type": "Name", "start": 4, "end": 5, "name": "b"}]}],
        }
        assert list(tree.to_dict(node)) == ["_type", "start", "end", "first", "rest"]

    def test_round_trip_keeps_tuples_and_lists(self) -> None:
        module = sample()
        back = tree.from_dict(tree.to_dict(module))
        assert back == module
        method = back.members[0]
        assert type(method.body[0].branches[0]) is tuple and type(method.body[0].branches[0][1]) is list
        assert type(method.body[1].catches[0]) is tuple and len(method.body[1].catches[0]) == 3
        assert tree.from_json(tree.to_json(module)) == module
        assert tree.from_json(tree.to_json(module, indent=2, sort_keys=True)) == module

    def test_every_record_kind_of_the_corpus(self, corpus: list) -> None:
        first_of_kind: dict[str, P.Node] = {}
        for path, _, module, errors in corpus:
            assert tree.from_json(tree.to_json(module)) == module, path
            assert [tree.from_json(tree.to_json(e)) for e in errors] == errors
            for node in tree.walk(module):
                first_of_kind.setdefault(type(node).__name__, node)
        for kind, node in first_of_kind.items():
            back = tree.from_json(tree.to_json(node, ensure_ascii=False))
            assert type(back) is type(node) and back == node, kind
        concrete = {name for name in dir(P) if isinstance(getattr(P, name), type)
                    and issubclass(getattr(P, name), P.Node) and name not in ("Node", "Stmt", "Expr")}
        assert concrete - set(first_of_kind) == set()

    def test_deep_chain_round_trip(self) -> None:
        root = chain(DEEP)
        data = tree.to_dict(root)
        text = tree.to_json(root)
        assert tree.to_json(tree.from_dict(data)) == text
        back = tree.from_json(text)
        assert tree.to_json(back) == text
        assert sum(1 for _ in tree.walk(back)) == 2 * DEEP + 1
        # Indented output grows with the square of the depth: a shallower chain.
        shallow = chain(2 * sys.getrecursionlimit())
        indented = tree.to_json(shallow, indent=1)
        assert tree.to_json(tree.from_json(indented), indent=1) == indented

    @pytest.mark.parametrize("options", [
        {}, {"indent": 2}, {"indent": "\t", "sort_keys": True}, {"ensure_ascii": False}, {"separators": (",", ":")},
        {"indent": 0},
    ])
    def test_deep_writer_and_reader_agree_with_json(self, corpus: list, options: dict) -> None:
        # The stack-based fallback must be indistinguishable from the json module.
        data = [tree.to_dict(module) for _, _, module, _ in corpus[:3]]
        data.append({"": [[], {}, None, True, False, -0, 2**70, 1.5, 1e-7, "\u2028\"\\\x00😀", {"k": []}]})
        text = json.dumps(data, **options)
        assert _deepjson.dumps(data, **options) == text
        assert _deepjson.loads(text) == json.loads(text)

    @pytest.mark.parametrize("text", [
        "", " ", "[1,]", '{"a" 1}', "[1 2]", "{,}", "[", '{"a":1,}', "nul", "1 2", "[]]", '{"a"}', "[}", "{]",
        '{"a":}', "01", "-", "[,1]", '"abc', '["a\\x"]',
    ])
    def test_deep_reader_refuses_what_json_refuses(self, text: str) -> None:
        with pytest.raises(json.JSONDecodeError) as expected:
            json.loads(text)
        with pytest.raises(json.JSONDecodeError) as refused:
            _deepjson.loads(text)
        assert (refused.value.msg, refused.value.pos) == (expected.value.msg, expected.value.pos)

    @pytest.mark.parametrize("data", [
        {"_type": "NoSuchRecord", "start": 0, "end": 0},
        {"_type": "_Parser", "toks": []},
        {"_type": "Token", "kind": "EOF"},
        {"_type": "tokens"},
        {"start": 0, "end": 1},
        {"_tuple": "not a list"},
    ])
    def test_from_dict_refuses_what_is_not_a_tree(self, data: dict) -> None:
        with pytest.raises(ValueError):
            tree.from_dict(data)

    def test_field_type_errors_surface(self) -> None:
        with pytest.raises(TypeError):
            tree.from_dict({"_type": "Name", "start": 0, "end": 1, "name": 5})
        with pytest.raises(TypeError):
            tree.to_dict(P.Annotation(0, 1, "a", [{1, 2}]))


class TestPosition:
    @pytest.mark.parametrize("text, offset, expected", [
        ("", 0, (1, 1)),
        ("ab\ncd", 2, (1, 3)),
        ("ab\ncd", 3, (2, 1)),
        ("a\r\nb", 3, (2, 1)),
        ("a\r\nb", 2, (1, 3)),
        ("a\rb", 2, (2, 1)),
        ("a\n\rb", 3, (3, 1)),
        ("x\n", 2, (2, 1)),
        ("a\u2028b\x0cc", 4, (1, 5)),
        ("\ufeffметод", 1, (1, 2)),
    ])
    def test_line_breaks_by_the_lexer_rules(self, text: str, offset: int, expected: tuple[int, int]) -> None:
        assert tree.position(text, offset) == expected

    def test_agrees_with_token_positions(self) -> None:
        text = CORPUS_FILES[0].read_text(encoding="utf-8")
        mixed = text.replace("\n", "\r\n", 3).replace("\n", "\r", 3)
        toks = tokenize(mixed)
        for tok in toks[:: max(1, len(toks) // 40)] + [toks[-1]]:
            assert tree.position(mixed, tok.start) == (tok.line, tok.col)
            assert tree.position(mixed, tok.end) == (tok.end_line, tok.end_col)
        assert _LineMap(mixed).linecol(len(mixed)) == tree.position(mixed, len(mixed))
