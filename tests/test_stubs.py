"""The type stubs of the native modules: mypy accepts typical user code,
rejects misuse, and the stubs declare exactly what the modules hold."""
from __future__ import annotations

import ast
import importlib.util
import inspect
import os
import site
import subprocess
import sys
import sysconfig
from pathlib import Path

import pytest

import tarn._check
import tarn.lexer
import tarn.parser
import tarn.tree
from conftest import tables

PACKAGE = Path(tarn.lexer.__file__).parent
NATIVE = {"lexer": tarn.lexer, "parser": tarn.parser, "_check": tarn._check}

needs_mypy = pytest.mark.skipif(importlib.util.find_spec("mypy") is None, reason="mypy is not installed")

USER_SCRIPT = '''
from tarn import lexer, parser, tree
from tarn.parser import Binary, Expr, Module, Name, ParseError, parse_text


def describe(e: Expr) -> str:
    match e:
        case Binary(_, _, op, left, right):
            return f"({describe(left)} {op} {describe(right) if right else '?'})"
        case Name(name=name):
            return name
        case _:
            return type(e).__name__


class Source:
    def __init__(self, text: str) -> None:
        self.text = text
        self.cache: dict[str, object] = {}


def report(path: str, text: str) -> int:
    module, errors = parse_text(text)
    lm = lexer._LineMap(text)
    for err in errors:
        line, col = lm.linecol(err.start)
        print(f"{path}:{line}:{col}: error: {err.message}")
    for node in tree.walk(module):
        if isinstance(node, Binary):
            print(describe(node), tree.position(text, node.start))
    for member in module.members:
        if isinstance(member, parser.Method):
            for statement in member.body:
                if isinstance(statement, parser.If):
                    for condition, body in statement.branches:
                        print(condition.start, len(body), statement.else_body or [])
                elif isinstance(statement, parser.Try):
                    for name, kind, handler in statement.catches:
                        print(name, kind.text if kind else None, len(handler))
    return len(errors)


class Names(tree.NodeVisitor):
    def __init__(self) -> None:
        self.found: list[str] = []

    def visit_Name(self, node: Name) -> None:
        self.found.append(node.name)


source = Source("метод f()\\n  возврат a + b\\n;\\n")
module, errors = parser.parse(source)
again: Module = tree.from_json(tree.to_json(module, indent=2))
print(tree.dump(again, indent=2), tree.fields(module)[0][1], report("x.tarn", source.text))
toks: list[lexer.Token] = lexer.tokens(source)
first = toks[0]
print(first.kind, first.canonical, first.flags.get("unterminated"), first.end_col, lexer.linemap(source)._starts)
print(lexer._keyword_forms().get("метод"), lexer._operator_re().pattern, lexer._NUMBER_RE.match("12px"))
lexer._operators.cache_clear()
p = parser._Parser(lexer.tokenize("x"))
snap = p.snapshot()
if p.at_kw("METHOD") or p.eat_op("(", ")") is not None:
    p.error(parser.MESSAGES["parser.expected-expr"]["en"], p.peek(1))
p.rollback(snap)
expr: Expr = p.expression()
print(expr, p.errors, "IF" in parser._STMT_KEYWORDS, parser._COMPARE_OPS[0], parser.__all__)
visitor = Names()
visitor.visit(module)
node = Binary(0, 3, "+", Name(0, 1, "a"), None)
node.right = Name(2, 3, "b")
print(node == Binary(0, 3, "+", Name(0, 1, "a"), Name(2, 3, "b")), visitor.found, errors == [ParseError(0, 1, "m")])
'''

# Each line is misuse that the stubs must catch.
MISUSE = [
    'parser.parse_text(b"bytes")',
    'lexer.tokenize("x")[0].line + "1"',
    'parser.Binary(0, 1, "+", "a", None)',
    'parser.Name(0, 1, name=None)',
    'parser.If(0, 1, [], None).branches[0][2]',
    'parser.Param(0, 1, "x", "Int", None)',
    'parser.Lambda(0, 1, [], parser.TypeRef(0, 1, "T"), None)',
    'lexer._LineMap("x").linecol("1")',
    'parser._Parser([]).peek().missing_field',
    'parser.Module(0, 1).members.append(parser.Name(0, 1, "x"))',
]


def installed() -> bool:
    """Whether tarn comes from site-packages, where mypy finds it by itself."""
    places = [*site.getsitepackages(), site.getusersitepackages(), sysconfig.get_path("purelib"),
              sysconfig.get_path("platlib")]
    return PACKAGE.parent.resolve() in {Path(p).resolve() for p in places}


def mypy(tmp_path: Path, *args: str) -> subprocess.CompletedProcess[str]:
    env = dict(os.environ)
    if not installed():
        env["MYPYPATH"] = str(PACKAGE.parent)
    # Other modules of the package are typed by their own authors: report
    # only what the checked files themselves get wrong.
    command = [sys.executable, "-m", "mypy", "--strict", "--follow-imports=silent", "--no-error-summary",
               "--show-error-codes", "--cache-dir", str(tmp_path / ".mypy_cache"), *args]
    return subprocess.run(command, cwd=tmp_path, env=env, capture_output=True, text=True, timeout=600)


@needs_mypy
class TestMypy:
    def test_user_code_type_checks(self, tmp_path: Path) -> None:
        (tmp_path / "user.py").write_text(USER_SCRIPT, encoding="utf-8")
        result = mypy(tmp_path, "user.py")
        assert result.returncode == 0, result.stdout + result.stderr

    def test_misuse_is_reported_line_by_line(self, tmp_path: Path) -> None:
        script = "from tarn import lexer, parser\n" + "\n".join(MISUSE) + "\n"
        (tmp_path / "misuse.py").write_text(script, encoding="utf-8")
        result = mypy(tmp_path, "misuse.py")
        flagged = {int(line.split(":")[1]) for line in result.stdout.splitlines() if ": error:" in line}
        assert flagged == set(range(2, 2 + len(MISUSE))), result.stdout

    def test_stubs_themselves_are_strict_clean(self, tmp_path: Path) -> None:
        result = mypy(tmp_path, "-m", "tarn.lexer", "-m", "tarn.parser", "-m", "tarn._check", "-m", "tarn.tree")
        assert result.returncode == 0, result.stdout + result.stderr


def stub(name: str) -> ast.Module:
    return ast.parse((PACKAGE / f"{name}.pyi").read_text(encoding="utf-8"))


def declared_names(tree: ast.Module) -> dict[str, ast.AST]:
    names: dict[str, ast.AST] = {}
    for node in tree.body:
        if isinstance(node, (ast.FunctionDef, ast.ClassDef)):
            names[node.name] = node
        elif isinstance(node, ast.AnnAssign) and isinstance(node.target, ast.Name):
            names[node.target.id] = node
        elif isinstance(node, ast.Assign):
            names.update((t.id, node) for t in node.targets if isinstance(t, ast.Name))
        elif isinstance(node, ast.ImportFrom):
            names.update((alias.asname, node) for alias in node.names if alias.asname == alias.name)
    return names


def runtime_names(module: object) -> set[str]:
    return {name for name in dir(module) if not (name.startswith("__") and name.endswith("__"))} | (
        {"__all__"} if hasattr(module, "__all__") else set())


class TestStubsMatchTheModules:
    @pytest.mark.parametrize("name", NATIVE)
    def test_every_name_is_declared(self, name: str) -> None:
        declared = set(declared_names(stub(name))) - {"_Source"}  # a stub-only protocol
        runtime = runtime_names(NATIVE[name])
        if name == "parser":
            runtime.discard("tokenize")  # bound by the first parse_text call
        assert runtime == declared

    @pytest.mark.parametrize("name", NATIVE)
    def test_classes_have_the_runtime_fields_in_order(self, name: str) -> None:
        module = NATIVE[name]
        classes = [c for c in vars(module).values() if isinstance(c, type)]
        bases = {c.__name__ for c in classes if any(o is not c and issubclass(o, c) for o in classes)}
        for cls_name, node in declared_names(stub(name)).items():
            runtime = getattr(module, cls_name, None)
            if not isinstance(node, ast.ClassDef) or not hasattr(runtime, "__match_args__"):
                continue
            match_args = next(ast.literal_eval(n.value) for n in node.body if isinstance(n, ast.Assign)
                              and [t.id for t in n.targets if isinstance(t, ast.Name)] == ["__match_args__"])
            assert tuple(match_args) == runtime.__match_args__, cls_name
            own = [n.target.id for n in node.body if isinstance(n, ast.AnnAssign) and isinstance(n.target, ast.Name)
                   and n.target.id not in ("__match_args__", "__hash__")]
            inherited = len(match_args) - len(own)
            assert own == list(runtime.__match_args__[inherited:]), cls_name
            is_final = any(isinstance(d, ast.Name) and d.id == "final" for d in node.decorator_list)
            assert is_final == (cls_name not in bases), cls_name

    @pytest.mark.parametrize("name", NATIVE)
    def test_function_and_method_parameters(self, name: str) -> None:
        module = NATIVE[name]

        def compare(node: ast.FunctionDef, runtime: object, where: str) -> None:
            try:
                signature = inspect.signature(runtime)  # type: ignore[arg-type]
            except (TypeError, ValueError):
                return  # no text signature to compare with
            declared = [a.arg for a in node.args.posonlyargs + node.args.args + node.args.kwonlyargs]
            if node.args.vararg:
                declared.append("*" + node.args.vararg.arg)
            actual = [("*" if p.kind is p.VAR_POSITIONAL else "") + p.name for p in signature.parameters.values()]
            assert declared == actual, where

        for item_name, node in declared_names(stub(name)).items():
            runtime = getattr(module, item_name, None)
            if isinstance(node, ast.FunctionDef):
                compare(node, runtime, item_name)
            elif isinstance(node, ast.ClassDef) and runtime is not None:
                for member in node.body:
                    if isinstance(member, ast.FunctionDef) and member.name != "__init__" and not (
                            member.name.startswith("__") and member.name.endswith("__")):
                        assert hasattr(runtime, member.name), f"{item_name}.{member.name}"
                        compare(member, getattr(runtime, member.name), f"{item_name}.{member.name}")

    def test_parser_methods_are_all_declared(self) -> None:
        declared = next(n for n in stub("parser").body if isinstance(n, ast.ClassDef) and n.name == "_Parser")
        methods = {n.name for n in declared.body if isinstance(n, ast.FunctionDef)}
        runtime = {n for n, v in vars(tarn.parser._Parser).items() if callable(v) and not n.startswith("__")}
        assert runtime <= methods


def test_generated_files_are_up_to_date() -> None:
    """parser.pyi and the native field and rule tables are what tools/gen_tables.py makes of the tables now."""
    stale = [str(path) for path, text in tables().outputs().items() if path.read_text(encoding="utf-8") != text]
    assert not stale, f"out of date (run tools/gen_tables.py): {stale}"
