#!/usr/bin/env python3
"""Generates what follows from the tables of native/core: the field table of
the syntax-tree records (nodes.inc), the table of the grammar rules a host can
call (rules.inc) and the stubs of tarn.parser (parser.pyi, with the keyword
sets of keyword_sets.def). The generated files are checked in; run this after
changing a table.

    tools/gen_tables.py            rewrite the generated files
    tools/gen_tables.py --check    exit 1 (naming them) when any is out of date
"""
from __future__ import annotations

import re
import sys
from dataclasses import dataclass
from pathlib import Path

ROOT = Path(__file__).resolve().parent.parent
CORE = ROOT / "native" / "core"
NODES = CORE / "syntax" / "nodes.def"
RULES = CORE / "parse" / "rules.def"
KEYWORD_SETS = CORE / "parse" / "keyword_sets.def"
STUB = ROOT / "src" / "tarn" / "parser.pyi"

# ---------------------------------------------------------------- types
# str, int, bool, None, a record; T? (T or None), T* (list of T), (A, B) a
# tuple, A | B either.


@dataclass(frozen=True)
class Type:
    kind: str  # "name", "optional", "list", "tuple", "union"
    name: str = ""
    items: tuple[Type, ...] = ()

    @property
    def item(self) -> Type:
        return self.items[0]


SCALARS = {"str", "int", "bool", "None"}


def parse_type(text: str) -> Type:
    tokens = re.findall(r"\w+|\S", text)[::-1]  # popped from the end

    def union() -> Type:
        items = [suffixed()]
        while tokens and tokens[-1] == "|":
            tokens.pop()
            items.append(suffixed())
        return items[0] if len(items) == 1 else Type("union", items=tuple(items))

    def suffixed() -> Type:
        if tokens[-1] == "(":
            tokens.pop()
            items = [union()]
            while tokens.pop() == ",":  # ends on ")"
                items.append(union())
            t = items[0] if len(items) == 1 else Type("tuple", items=tuple(items))
        else:
            t = Type("name", tokens.pop())
        while tokens and tokens[-1] in ("?", "*"):
            t = Type("optional" if tokens.pop() == "?" else "list", items=(t,))
        return t

    try:
        t = union()
    except IndexError:
        tokens.append("")
    if tokens or not all(re.fullmatch(r"\w+", n.name) for n in walk_type(t) if n.kind == "name"):
        raise SystemExit(f"cannot read the type {text!r}")
    return t


def walk_type(t: Type):
    yield t
    for i in t.items:
        yield from walk_type(i)


def python_type(t: Type) -> str:
    if t.kind == "name":
        return t.name
    if t.kind == "list":
        return f"list[{python_type(t.item)}]"
    if t.kind == "tuple":
        return f"tuple[{', '.join(python_type(i) for i in t.items)}]"
    if t.kind == "union":
        return " | ".join(python_type(i) for i in t.items)
    return f"{python_type(t.item)} | None"


def record_names(t: Type) -> list[str]:
    """The records a value of type t may be (t a record or a union of them)."""
    alternatives = t.items if t.kind == "union" else (t,)
    if any(a.kind != "name" or a.name in SCALARS for a in alternatives):
        raise ValueError(f"not a record type: {python_type(t)}")
    return [a.name for a in alternatives]


# ---------------------------------------------------------------- nodes.def


@dataclass
class Field:
    name: str
    type: Type
    default: str  # "Required", "EmptyList" or "False"


@dataclass
class Record:
    name: str
    base: str  # "" for a root record
    fields: list[Field]


DEFAULTS = {"": "Required", "[]": "EmptyList", "False": "False"}


def table_lines(path: Path) -> list[tuple[int, str]]:
    out = []
    for number, line in enumerate(path.read_text(encoding="utf-8").splitlines(), 1):
        if line.strip() and not line.lstrip().startswith("#"):
            out.append((number, line.rstrip()))
    return out


def read_nodes(path: Path = NODES) -> list[Record]:
    records: list[Record] = []
    for number, line in table_lines(path):
        where = f"{path.name}:{number}"
        if not line[0].isspace():
            m = re.fullmatch(r"(\w+)(?:\((\w+)\))?", line)
            if not m:
                raise SystemExit(f"{where}: expected `Name(Base)`")
            records.append(Record(m[1], m[2] or "", []))
            continue
        m = re.fullmatch(r"\s+(\w+):\s*([^=]+?)\s*(?:=\s*(\S+))?", line)
        if not m or not records or m[3] not in (None, *DEFAULTS):
            raise SystemExit(f"{where}: expected `field: type [= [] | = False]`")
        records[-1].fields.append(Field(m[1], parse_type(m[2]), DEFAULTS[m[3] or ""]))
    names = {r.name for r in records}
    for r in records:
        if r.base and r.base not in names:
            raise SystemExit(f"{path.name}: {r.name} has the unknown base {r.base}")
        for f in r.fields:
            for t in walk_type(f.type):
                if t.kind == "name" and t.name not in SCALARS | names:
                    raise SystemExit(f"{path.name}: {r.name}.{f.name} names the unknown record {t.name}")
    return records


def field_shape(t: Type) -> tuple[str, list[str]]:
    """How a field is stored and converted, and the records it accepts."""
    optional = t.kind == "optional"
    inner = t.item if optional else t
    if inner.kind == "list":
        return ("ListOrNone" if optional else "List"), []
    if inner.kind == "name" and inner.name in ("int", "bool"):
        if optional:
            raise ValueError(f"{inner.name}? is not a field type")
        return inner.name.capitalize(), []
    if inner.kind == "name" and inner.name == "str":
        return ("StrOrNone" if optional else "Str"), []
    return ("NodeOrNone" if optional else "Node"), record_names(inner)


def all_fields(records: list[Record], record: Record) -> list[Field]:
    by_name = {r.name: r for r in records}
    chain = []
    r: Record | None = record
    while r:
        chain.append(r)
        r = by_name.get(r.base)
    return [f for r in reversed(chain) for f in r.fields]


def header(source: Path, comment: str) -> str:
    return f"{comment} Generated by tools/gen_tables.py from {source.relative_to(ROOT)}; do not edit.\n"


def nodes_inc(records: list[Record]) -> str:
    out = [
        header(NODES, "//"),
        "// RECORD(Name, Base)            Base: Root for a record without one\n",
        "// FIELD(Record, name, Shape, Default, KINDS(records a Node field accepts))\n",
        "//   Shape: Str StrOrNone Int Bool List ListOrNone Node NodeOrNone\n",
        "//   Default (the host's, for an argument left out): Required EmptyList False\n",
        "// END(Name)\n",
    ]
    for r in records:
        out.append(f"RECORD({r.name}, {r.base or 'Root'})\n")
        for f in r.fields:
            shape, kinds = field_shape(f.type)
            listed = ", ".join(f"syntax::NodeKind::{k}" for k in kinds)
            out.append(f"  FIELD({r.name}, {f.name}, {shape}, {f.default}, KINDS({listed}))\n")
        out.append(f"END({r.name})\n")
    return "".join(out)


# ---------------------------------------------------------------- rules.def


@dataclass
class Argument:
    name: str
    type: Type
    default: str | None
    variadic: bool


@dataclass
class Rule:
    name: str
    arguments: list[Argument]
    result: Type
    section: str  # the comment line right above the rule, if any

    @property
    def host_name(self) -> str:
        return self.name.rstrip("_")


def read_rules(path: Path = RULES) -> list[Rule]:
    rules = []
    lines = path.read_text(encoding="utf-8").splitlines()
    for number, line in table_lines(path):
        above = lines[number - 2] if number > 1 else ""
        section = above[1:].strip() if above.startswith("#") else ""
        m = re.fullmatch(r"(\w+)\((.*)\)\s*->\s*(.+)", line)
        if not m:
            raise SystemExit(f"{path.name}:{number}: expected `rule(argument: type, ...) -> result`")
        arguments = []
        for part in filter(None, (p.strip() for p in m[2].split(","))):
            a = re.fullmatch(r"(\*?)(\w+):\s*([^=]+?)\s*(?:=\s*(\S+))?", part)
            if not a:
                raise SystemExit(f"{path.name}:{number}: cannot read the argument {part!r}")
            arguments.append(Argument(a[2], parse_type(a[3]), a[4], a[1] == "*"))
        rules.append(Rule(m[1], arguments, parse_type(m[3]), section))
    for r in rules:
        if len(r.arguments) > 1:
            raise SystemExit(f"{path.name}: {r.name} takes more than one argument; the binding passes one")
        for a in r.arguments:
            argument_kind(a)
    return rules


BASES = {"Node", "Stmt", "Expr"}


def argument_kind(a: Argument) -> tuple[str, str]:
    """The binding's argument kind and the native parameter."""
    t = python_type(a.type)
    forms = {
        (False, "Module", None): ("MODULE", f"syntax::Module* {a.name}"),
        (False, "list[Annotation]", None): ("ANNOTATIONS", f"syntax::List* {a.name}"),
        (False, "Expr", None): ("EXPR", f"syntax::Node* {a.name}"),
        (False, "int", None): ("INT", f"int64_t {a.name}"),
        (False, "bool", "False"): ("BOOL", f"bool {a.name} = false"),
        (False, "message", None): ("MESSAGE", f"Msg {a.name}"),
        (True, "keyword", None): ("KEYWORDS", f"std::span<const Kw> {a.name}"),
    }
    kind = forms.get((a.variadic, t, a.default))
    if not kind:
        raise SystemExit(f"rules.def: no argument of the form {'*' * a.variadic}{a.name}: {t}"
                         f"{' = ' + a.default if a.default else ''}")
    return kind


def native_result(t: Type) -> str:
    if t.kind == "name" and t.name in ("None", "bool"):
        return "void" if t.name == "None" else "bool"
    inner = t.item if t.kind == "optional" else t
    if inner.kind == "list":
        return "syntax::List*"
    if python_type(t) == "str | None":
        return "std::optional<syntax::StrRef>"
    if python_type(t) == "tuple[str, str] | None":
        return "std::optional<Parser::TypeName>"
    if python_type(t) == "tuple[Module, list[ParseError]]":
        return "syntax::Module*"  # the host pairs it with the errors
    names = record_names(inner)
    return f"syntax::{names[0]}*" if len(names) == 1 and names[0] not in BASES else "syntax::Node*"


def rules_inc(rules: list[Rule]) -> str:
    out = [
        header(RULES, "//"),
        "// RULE(name, \"host name\", Result, (parameters), ARGUMENT KIND, \"argument name\", \"host signature\")\n",
    ]
    for r in rules:
        kind, parameter, argument, signature = "NONE", "", "nullptr", "$self, /"
        if r.arguments:
            a = r.arguments[0]
            kind, parameter = argument_kind(a)
            argument = "nullptr" if a.variadic else f'"{a.name}"'
            signature += f", {'*' if a.variadic else ''}{a.name}{'=' + a.default if a.default else ''}"
        out.append(f'RULE({r.name}, "{r.host_name}", {native_result(r.result)}, ({parameter}), {kind}, {argument}, '
                   f'"{r.host_name}({signature})\\n--\\n\\n")\n')
    return "".join(out)



# ---------------------------------------------------------------- parser.pyi

STUB_HEAD = '''"""The syntax tree records, the parser object and the two entry points."""
from typing import Any, ClassVar, Final, final

from tarn import i18n as i18n
from tarn.lexer import Token as Token, _Source, tokens as tokens

__all__ = ["parse", "parse_text", "ParseError", "Module"]

def parse_text(text: str) -> tuple[Module, list[ParseError]]: ...
def parse(source: _Source) -> tuple[Module, list[ParseError]]: ...
def _parse_text_unmemoised(text: str) -> tuple[Module, list[ParseError]]:
    """``parse_text`` without the memo of speculative rules."""

MESSAGES: Final[dict[str, dict[str, str]]]
'''

# What every root record has besides its fields.
ROOT_MEMBERS = '''    __hash__: ClassVar[None]  # type: ignore[assignment]
    def __eq__(self, other: object) -> bool: ...
    def __getstate__(self) -> dict[str, Any]: ...
    def __setstate__(self, state: dict[str, Any], /) -> None: ...
'''

PARSER_HEAD = '''@final
class _Parser:
    __match_args__ = ("toks", "pos", "errors")
    toks: list[Token]
    pos: int
    errors: list[ParseError]
    def __init__(self, toks: list[Token]) -> None: ...
''' + ROOT_MEMBERS + '''    # Cursor.
    def peek(self, ahead: int = 0) -> Token: ...
    def at_end(self) -> bool: ...
    def advance(self) -> Token: ...
    def at_kw(self, *names: str) -> bool: ...
    def at_op(self, *vals: str) -> bool: ...
    def eat_kw(self, *names: str) -> Token | None: ...
    def eat_op(self, *vals: str) -> Token | None: ...
    def expect_op(self, val: str, key: str) -> Token | None: ...
    def error(self, message: str, tok: Token | None = None) -> None: ...
    def snapshot(self) -> tuple[int, int]: ...
    def rollback(self, snap: tuple[int, int]) -> None: ...
    def at_name(self) -> bool: ...
    def eat_name(self) -> Token | None: ...
'''

LINE = 120  # longest line; longer signatures get one parameter per line


def read_keyword_sets(path: Path = KEYWORD_SETS) -> list[tuple[str, str, int]]:
    """(host name, "set" or "tuple", size) of each entry, in order."""
    text = re.sub(r"//[^\n]*", "", path.read_text(encoding="utf-8"))
    entries = re.findall(r"(KEYWORD_SET|OPERATOR_TUPLE)\(\s*\w+\s*,\s*\"(\w+)\"\s*,([^)]*)\)", text)
    return [(host, "set" if kind == "KEYWORD_SET" else "tuple", len(items.split(","))) for kind, host, items in entries]


def signature(name: str, parameters: list[str], result: str) -> str:
    one_line = f"    def {name}({', '.join(parameters)}) -> {result}: ..."
    if len(one_line) <= LINE:
        return one_line + "\n"
    body = "".join(f"        {p},\n" for p in parameters)
    return f"    def {name}(\n{body}    ) -> {result}: ...\n"


def match_args(names: list[str]) -> str:
    quoted = ", ".join(f'"{n}"' for n in names) + ("," if len(names) == 1 else "")
    one_line = f"    __match_args__ = ({quoted})"
    if len(one_line) <= LINE:
        return one_line + "\n"
    return f"    __match_args__ = (\n        {quoted},\n    )\n"


def host_field(name: str) -> str:
    return name.rstrip("_")


def stub_record(records: list[Record], r: Record) -> str:
    fields = all_fields(records, r)
    bases = {x.base for x in records}
    out = [] if r.name in bases else ["@final\n"]
    out.append(f"class {r.name}({r.base}):\n" if r.base else f"class {r.name}:\n")
    out.append(match_args([host_field(f.name) for f in fields]))
    out += [f"    {host_field(f.name)}: {python_type(f.type)}\n" for f in r.fields]
    parameters = ["self"] + [f"{host_field(f.name)}: {python_type(f.type)}{'' if f.default == 'Required' else ' = ...'}"
                             for f in fields]
    out.append(signature("__init__", parameters, "None"))
    if not r.base:
        out.append(ROOT_MEMBERS)
    return "".join(out)


def stub_rule(r: Rule) -> str:
    parameters = ["self"]
    for a in r.arguments:
        t = {"message": "str", "keyword": "str"}.get(python_type(a.type), python_type(a.type))
        parameters.append(f"{'*' * a.variadic}{a.name}: {t}{' = ' + a.default if a.default else ''}")
    title = f"    # {r.section[0].upper()}{r.section[1:]}.\n" if r.section else ""
    return title + signature(r.host_name, parameters, python_type(r.result))


def parser_pyi(records: list[Record], rules: list[Rule]) -> str:
    sets = "".join(f"{host}: Final[{'set[str]' if kind == 'set' else 'tuple[' + ', '.join(['str'] * n) + ']'}]\n"
                   for host, kind, n in read_keyword_sets())
    sources = "nodes.def, rules.def and keyword_sets.def (native/core)"
    return "\n".join([
        f"# Generated by tools/gen_tables.py from {sources}; do not edit.\n" + STUB_HEAD,
        sets,
        *(stub_record(records, r) for r in records),
        PARSER_HEAD + "".join(stub_rule(r) for r in rules),
    ])


# ---------------------------------------------------------------- driver


def outputs() -> dict[Path, str]:
    records = read_nodes()
    rules = read_rules()
    return {
        CORE / "syntax" / "nodes.inc": nodes_inc(records),
        CORE / "parse" / "rules.inc": rules_inc(rules),
        STUB: parser_pyi(records, rules),
    }


def main() -> int:
    if sys.argv[1:] not in ([], ["--check"]):
        print(__doc__, file=sys.stderr)
        return 2
    generated = outputs()
    stale = [p for p, text in generated.items() if not p.exists() or p.read_text(encoding="utf-8") != text]
    if sys.argv[1:] == ["--check"]:
        if stale:
            names = ", ".join(str(p.relative_to(ROOT)) for p in stale)
            print(f"out of date (run tools/gen_tables.py): {names}", file=sys.stderr)
        return 1 if stale else 0
    for path in stale:
        path.write_text(generated[path], encoding="utf-8")
    return 0


if __name__ == "__main__":
    sys.exit(main())
