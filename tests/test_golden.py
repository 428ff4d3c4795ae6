"""The golden cases, tests/data/golden/*.txt (the format is in the README).
A header may add " | expr" (the source is a Python string expression),
" | tokens" (the case shows the tokens) or " | call rule(args)" (the case
calls that rule of _Parser and shows its result, the cursor and the
diagnostics). Each text case is also parsed through a source object and,
when short, without the memo: the three must agree. TARN_UPDATE_GOLDEN=1
rewrites the files with what the code gives now: read the diff."""
import difflib
import os
import re
from pathlib import Path

import pytest

import tarn.parser
from tarn import i18n, tree
from tarn.lexer import tokenize
from tarn.parser import Node, _Parser, _parse_text_unmemoised, parse, parse_text

from conftest import Source

GOLDEN = sorted((Path(__file__).parent / "data" / "golden").glob("*.txt"))
UPDATE = os.environ.get("TARN_UPDATE_GOLDEN") == "1"
WIDTH = 100
# Without the memo the speculative rules may take exponential time: only
# cases up to this length are parsed that way too.
PLAIN_LIMIT = 256


def layout(value, indent=""):
    """tree.dump's flat form, broken after "(", "[" or ", " where a line
    would grow past WIDTH: fields that fit share a line, a field too long
    for one gets lines of its own."""
    flat = tree.dump(value)
    if len(indent) + len(flat) <= WIDTH or not isinstance(value, (Node, list, tuple)) or value in ([], ()):
        return flat
    inner = indent + "  "
    if isinstance(value, (list, tuple)):
        opening, closing = ("[", "]") if isinstance(value, list) else ("(", ",)" if len(value) == 1 else ")")
        parts = [layout(v, inner) for v in value]
    else:
        opening, closing = type(value).__name__ + "(", ")"
        parts = [f"{name}={layout(v, inner)}" for name, v in value.__getstate__().items()]
    lines = [inner + parts[0]]
    for part in parts[1:]:
        if "\n" in part or "\n" in lines[-1] or len(lines[-1]) + len(part) + 2 > WIDTH:
            lines.append(inner + part)
        else:
            lines[-1] += ", " + part
    return opening + "\n" + ",\n".join(lines) + closing


def key_and_values(key, **named):
    assert key in tarn.parser.MESSAGES, f"{key} is not in MESSAGES: a host cannot translate it"
    return key + "".join(f" {name}={value!r}" for name, value in sorted(named.items()))


def token_line(t):
    extras = [x for x in (t.canonical, t.subkind) if x is not None] + ([repr(t.flags)] if t.flags else [])
    return " ".join([t.kind, repr(t.value), f"{t.start}-{t.end}", f"{t.line}:{t.col}-{t.end_line}:{t.end_col}", *extras])


def run_case(source, call):
    lines = []
    try:
        if call == "tokens":
            return "\n".join(map(token_line, tokenize(source)))
        if call:
            p = _Parser(tokenize(source))
            lines.append(layout(eval("p." + call, {"p": p, **vars(tarn.parser)})))
            lines.append(f"pos {p.pos}")
            errors = p.errors
        else:
            module, errors = result = parse_text(source)
            assert parse(Source(source)) == result, "a source object parses differently"
            if len(source) <= PLAIN_LIMIT:
                assert _parse_text_unmemoised(source) == result, "the memo changes the result"
            lines.append(layout(module))
    except RecursionError:
        return "raises RecursionError"  # where exactly depends on the stack: see test_parser
    return "\n".join(lines + [f"{e.start}-{e.end} {e.message}" for e in errors])


CASE = re.compile(r"^=== (.*)\n((?:.*\n)*?)---\n((?:(?!=== ).*\n)*)", re.M)


def cases(path):
    text = path.read_text(encoding="utf-8")
    found = list(CASE.finditer(text))
    assert "".join(m[0] for m in found) == text, f"{path.name} holds text outside its cases"
    for m in found:
        name, *flags = m[1].split(" | ")
        call = next((f[5:] if f.startswith("call ") else f for f in flags if f != "expr"), None)
        source = m[2][:-1] if m[2] else ""
        yield m[1], (eval(source, {"__builtins__": {}}) if "expr" in flags else source), m[2], call, m[3].rstrip("\n")


@pytest.mark.parametrize("path", GOLDEN, ids=[p.stem for p in GOLDEN])
def test_golden_cases(monkeypatch, path):
    monkeypatch.setattr(i18n, "t", key_and_values)
    failures, rewritten = [], []
    for header, source, written, call, expected in cases(path):
        actual = run_case(source, call)
        rewritten.append(f"=== {header}\n{written}---\n{actual}\n")
        if actual != expected:
            diff = difflib.unified_diff(expected.split("\n"), actual.split("\n"), "expected", "actual", lineterm="")
            failures.append(f"=== {header}\n" + "\n".join(diff))
    if UPDATE:
        path.write_text("\n".join(rewritten), encoding="utf-8")
    elif failures:
        pytest.fail(f"{len(failures)} case(s) of {path.name} differ:\n\n" + "\n\n".join(failures), pytrace=False)
