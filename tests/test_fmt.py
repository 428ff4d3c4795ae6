"""``tarn.fmt`` and ``tarn.translate``: golden layouts, properties over the
sample programs and over generated and mutated ones, and the refusals.

Golden cases live in tests/data/fmt/*.txt: a line "=== name" (or "=== to-en:
name" for a translation), the input, a line "---", the expected output.
``TARN_UPDATE_GOLDEN=1 pytest tests/test_fmt.py -k golden`` rewrites the
expected parts from what the code does now; review the diff.
"""
from __future__ import annotations

import os
import random
import re
from pathlib import Path

import pytest
from hypothesis import given, settings, strategies as st

from tarn import _format, fmt, i18n, translate
from tarn.lexer import tokenize
from tarn.parser import parse_text
from tarn.rewrite import InternalError, Refusal, SourceHasErrors

DATA = Path(__file__).parent / "data"
VALID = sorted((DATA / "corpus" / "valid").glob("*.tarn"))
INVALID = sorted((DATA / "corpus" / "invalid").glob("*.tarn"))
GOLDEN = sorted((DATA / "fmt").glob("*.txt"))
HEADER = re.compile(r"^=== (?:to-(?P<lang>ru|en): )?")


def read(path: Path) -> str:
    return path.read_bytes().decode("utf-8")


@pytest.fixture(autouse=True)
def english() -> None:
    previous = i18n.get_language()
    i18n.set_language("en")
    yield
    i18n.set_language(previous)


def run_case(header: str, source: str) -> str:
    lang = HEADER.match(header).group("lang")
    try:
        return translate.translate_text(source, lang) if lang else fmt.format_text(source)
    except Refusal as exc:
        return "".join(f"refused: {line}\n" for line in exc.lines("case", source))


def cases(path: Path) -> list[tuple[str, str, str]]:
    out: list[list] = []
    for line in read(path).splitlines(keepends=True):
        if line.startswith("=== "):
            out.append([line.rstrip("\n"), "", None])
        elif out[-1][2] is None and line == "---\n":
            out[-1][2] = ""
        else:
            out[-1][1 if out[-1][2] is None else 2] += line
    return [tuple(case) for case in out]


@pytest.mark.parametrize("path", GOLDEN, ids=lambda p: p.name)
def test_golden(path: Path) -> None:
    found = [(header, source, run_case(header, source)) for header, source, _ in cases(path)]
    if os.environ.get("TARN_UPDATE_GOLDEN"):
        path.write_bytes("".join(f"{h}\n{s}---\n{got}" for h, s, got in found).encode("utf-8"))
    for (header, _, expected), (_, _, got) in zip(cases(path), found):
        assert got == expected, header


def test_golden_outputs_are_fixed_points() -> None:
    for path in GOLDEN:
        for header, _, expected in cases(path):
            if not HEADER.match(header).group("lang") and not expected.startswith("refused"):
                assert fmt.format_text(expected) == expected, header


# ---------------------------------------------------------------- properties


def comments(text: str) -> list[list[str]]:
    """Comment texts line by line, without the blanks a move may change."""
    return [[line.strip(" \t") for line in re.split("\r\n|\r|\n", t.value)] for t in tokenize(text)
            if t.kind == "COMMENT"]


def assert_formats_well(text: str) -> str:
    """Formatting keeps every comment and reaches a fixed point at once (the
    safety check inside format_text never firing is the rest)."""
    out = fmt.format_text(text)
    assert comments(out) == comments(text)
    assert fmt.format_text(out) == out
    assert not out.endswith("\n\n") and out.endswith("\n")
    assert all(line == line.rstrip(" \t") for line in out.split("\n") if '"' not in line)
    return out


@pytest.mark.parametrize("path", VALID, ids=lambda p: p.name)
def test_sample_programs_format_to_a_fixed_point(path: Path) -> None:
    text = read(path)
    out = assert_formats_well(text)
    # A BOM and "\r\n" line breaks survive, and change nothing else.
    crlf = "\ufeff" + text.replace("\n", "\r\n")
    assert fmt.format_text(crlf) == "\ufeff" + out.replace("\n", "\r\n")


@pytest.mark.parametrize("path", INVALID, ids=lambda p: p.name)
def test_broken_programs_are_refused_at_their_first_error(path: Path) -> None:
    text = read(path)
    first = parse_text(text)[1][0]
    with pytest.raises(SourceHasErrors) as info:
        fmt.format_text(text)
    assert info.value.places[0][0] == first.start and first.message in str(info.value)


def test_nesting_up_to_the_parser_bound_is_handled_and_past_it_refused() -> None:
    # Just inside the bound, with code in an interpolation at the bottom: the
    # layout, the meaning check and the translator's walks must not recurse.
    deep = "метод f()\n    x = " + "[" * 900 + 'g("${а и не новый Б()}")' + "]" * 900 + "\n;\n"
    assert fmt.format_text(deep) == deep
    english = translate.translate_text(deep, "en")
    assert english == deep.replace("метод", "method").replace("и не новый", "and not new")
    assert translate.translate_text(english, "ru") == deep
    with pytest.raises(SourceHasErrors, match="nesting"):
        fmt.format_text("метод f()\n    x = " + "(" * 3000 + "1" + ")" * 3000 + "\n;\n")


BLANKS = ["", " ", "  ", "\t", "\n", "\n\n\n", "\n\t ", " /* c */ ", " // c\n", "\n/* a\n      b */\n", "\r\n"]
WORDS = ("IDENT", "KEYWORD", "NUMBER")


def relaid(text: str, rng: random.Random) -> str:
    """The tokens of `text` with other blanks, line breaks and comments
    between some of them, and some tokens dropped, doubled or swapped."""
    toks = [t for t in tokenize(text) if t.kind != "EOF"]
    values, kinds = [t.value for t in toks], [t.kind for t in toks]
    gaps = [text[a.end:b.start] for a, b in zip([toks[0]] + toks, toks)]
    gaps[0] = ""
    for _ in range(rng.choice([0, 0, 1, 2])):
        k, j = rng.randrange(len(values)), rng.randrange(len(values))
        edit = rng.randrange(3)
        if edit == 0:
            del values[k], kinds[k], gaps[k]
        elif edit == 1:
            values.insert(k, values[j])
            kinds.insert(k, kinds[j])
            gaps.insert(k, " ")
        else:
            values[k], values[j] = values[j], values[k]
            kinds[k], kinds[j] = kinds[j], kinds[k]
    rate = rng.choice([0.05, 0.2, 0.6])
    for k in range(1, len(values)):
        if rng.random() < rate and values[k] != "(":  # a "(" on a new line would just stop parsing
            gap = rng.choice(BLANKS)
            gaps[k] = " " if gap == "" and kinds[k - 1] in WORDS and kinds[k] in WORDS else gap
    return "".join(g + v for g, v in zip(gaps, values))


@settings(max_examples=300, derandomize=True)
@given(st.integers(0, len(VALID) - 1), st.integers(0, 2**32))
def test_generated_and_mutated_programs(which: int, seed: int) -> None:
    """Formatting keeps meaning and comments and is idempotent; translation
    never refuses a valid program and comes back to it."""
    text = relaid(read(VALID[which]), random.Random(seed))
    # The one-pass entry point answers as its two parts would, broken text or not.
    new = _format.layout(text)
    both = None if new is None else (new, None if new == text else _format.difference(text, new))
    assert _format.checked_layout(text) == both
    if parse_text(text)[1]:
        with pytest.raises(SourceHasErrors):
            fmt.format_text(text)
        return
    assert_formats_well(text)
    langs = keyword_languages(text)
    for target in ("ru", "en"):
        there = translate.translate_text(text, target)
        if len(langs) == 1:
            assert translate.translate_text(there, *langs) == text


def test_the_safety_check_refuses_other_programs() -> None:
    text = "метод f()\n    знч а = б(в)\n    знч г = запрос{ выбрать  * }\n    /* к\n   м */\n;\n"
    same = fmt.format_text(text)
    fmt.verify(text, same)
    for other in (same.replace("б(в)", "б\n(в)"),           # same tokens, another tree
                  same.replace("б(в)", "б(в, д)"),           # other tokens
                  same.replace("  *", "*"),                  # an embedded block's text
                  same.replace("к", "к!")):                  # a comment's text
        with pytest.raises(InternalError) as info:
            fmt.verify(text, other)
        assert info.value.status == 2
    # A result that does not parse is refused naming the parser's first complaint.
    broken = same.replace("б(в)", "б(в")
    with pytest.raises(InternalError) as info:
        fmt.verify(text, broken)
    assert parse_text(broken)[1][0].message in str(info.value)
    assert info.value.status == 2
    assert _format.checked_layout(text=same) == (same, None)  # formatted already: nothing to compare
    with pytest.raises(TypeError, match="^str object expected; got None$"):
        _format.checked_layout(None)


def apply(text: str, edits: list[tuple[int, int, str]]) -> str:
    for start, end, repl in reversed(edits):
        text = text[:start] + repl + text[end:]
    return text


def test_minimal_edits_and_ranges() -> None:
    text = read(DATA / "corpus" / "valid" / "orders.tarn")
    edits = fmt.format_edits(text)
    assert apply(text, edits) == fmt.format_text(text)
    assert all(e[2].strip(" \t\r\n") == "" or "/*" in e[2] or "//" in e[2] for e in edits)
    line = text.index("            когда СтатусЗаказа.Оформлен")  # inside the first "case" statement
    ranged = fmt.format_edits(text, line, line + 5)
    assert ranged and set(ranged) < set(edits)
    case = text.rfind("\n", 0, text.rindex("выбор", 0, line)) + 1
    assert all(case <= start and end <= text.index("\n        ;", line) + 1 for start, end, _ in ranged)
    assert fmt.format_edits(fmt.format_text(text)) == []
    # Lone "\r" and "\r\n" line breaks bound the range's lines the same way.
    for eol in ("\r", "\r\n"):
        other = text.replace("\n", eol)
        shift = len(eol) - 1
        moved = [(s + shift * text.count("\n", 0, s), e + shift * text.count("\n", 0, e), r.replace("\n", eol))
                 for s, e, r in ranged]
        at = other.index("            когда СтатусЗаказа.Оформлен")
        assert fmt.format_edits(other, at, at + 5) == moved


# ---------------------------------------------------------------- translation


def keyword_languages(text: str) -> set[str]:
    return {"en" if t.value.isascii() else "ru" for t in tokenize(text) if t.kind == "KEYWORD"}


@pytest.mark.parametrize("path", VALID, ids=lambda p: p.name)
def test_translation_round_trips(path: Path) -> None:
    text = read(path)
    langs = keyword_languages(text)
    for target in ("ru", "en"):
        there = translate.translate_text(text, target)
        assert translate.translate_text(there, target) == there
        if len(langs) == 1 and target not in langs:
            assert there != text and translate.translate_text(there, *langs) == text


def test_translation_rules_on_the_cases_that_decide_them() -> None:
    # The directive names the target; a capitalised keyword keeps its capital;
    # the two spellings of "global" are one keyword; keyword spellings read as
    # names (after ".", a capitalised one assigned to) stay as they are.
    text = "#язык ru\nметод f(a)\n    Если = глобально.часы\n    Если a.тип это Т и не a.type\n        " \
           "возврат запрос{x}\n    ;\n;\n"
    english = "#lang en\nmethod f(a)\n    Если = global.часы\n    If a.тип is Т and not a.type\n        " \
              "return query{x}\n    ;\n;\n"
    assert translate.translate_text(text, "en") == english
    assert translate.translate_text(english, "ru") == text
    with pytest.raises(ValueError, match="unsupported language 'de'"):
        translate.translate_text(text, "de")


def test_unreadable_interpolation_with_keywords_is_refused() -> None:
    text = 'метод f()\n    печать("${а +}, ${если б}, ${в г}")\n;\n'
    with pytest.raises(translate.TranslationRefused) as info:
        translate.translate_text(text, "en")
    (offset, key, fields), = info.value.places
    assert text[offset:].startswith("если") and fields == {"word": "если"}
    assert "case:2:23: error:" in info.value.lines("case", text)[0]


def test_a_translation_that_reads_differently_is_refused_at_each_place() -> None:
    text = "метод f()\n    a.тип = b.тип\n    возврат c.тип\n;\n"
    module = parse_text(text)[0]
    translate._verify(text, module, text.replace("метод", "method").replace("возврат", "return"))
    bad = text.replace("b.тип", "b.type").replace("c.тип", "c.type")
    with pytest.raises(translate.TranslationRefused) as info:
        translate._verify(text, module, bad)
    assert [text[p:p + 3] for p, _, _ in info.value.places] == ["b.т", "c.т"]
