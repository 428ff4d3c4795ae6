"""Properties of tokenize over arbitrary text, checked against the algorithm written out in Python, and the
native identifier and number matchers checked against _IDENT_RE / _NUMBER_RE over every code point.

The lexer's digits are str.isdigit under the Unicode database its tables were made from (CPython 3.11's). A
newer interpreter may know digits among the code points that were unassigned long ago: those are left out of
the comparisons there, as the lexer's answer for them is not the interpreter's to give."""
import random
import sys
import unicodedata

import pytest
from hypothesis import given
from hypothesis import strategies as st

from tarn import lexer
from tarn.lexer import Token, _IDENT_RE, _LineMap, _NUMBER_RE, _skip_interpolation, tokenize

from conftest import corpus_texts

NEWER_UNICODE = sys.version_info[:2] != (3, 11)


def undecided(c):
    return NEWER_UNICODE and c.isdigit() and unicodedata.ucd_3_2_0.category(c) == "Cn"


def reference_skip_interpolation(text, start):
    depth, i, n = 1, start, len(text)
    while i < n:
        c = text[i]
        if c == "\\":
            i += 2
        elif c == '"':
            j, closed = i + 1, False
            while j < n:
                if text[j] == "\\":
                    j += 2
                elif text[j] == '"':
                    closed = True
                    break
                elif text[j] in "%$" and j + 1 < n and text[j + 1] == "{":
                    j = reference_skip_interpolation(text, j + 2)
                else:
                    j += 1
            i = j + 1 if closed else j
        elif c == "{":
            depth, i = depth + 1, i + 1
        elif c == "}":
            depth -= 1
            if depth == 0:
                return i + 1
            i += 1
        else:
            i += 1
    return n


def reference_tokenize(text):
    """The tokenizer's rules one by one, on the host's own patterns and tables."""
    forms, operator_re, lm, out = lexer._keyword_forms(), lexer._operator_re(), _LineMap(text), []
    n, i = len(text), 0

    def emit(kind, start, end, **kw):
        out.append(Token(kind, text[start:end], start, end, *lm.linecol(start), *lm.linecol(end), **kw))
        return end

    def literal(quote, stop_at_break):
        j, closed = i + 1, False
        while j < n:
            c = text[j]
            if c == "\\":
                # An escaped CRLF is one line break, so CRLF files read like LF files.
                j += 3 if stop_at_break and text[j + 1:j + 3] == "\r\n" else 2
            elif c == quote:
                j, closed = j + 1, True
                break
            elif stop_at_break and c in "\r\n":
                break
            elif not stop_at_break and c in "%$" and j + 1 < n and text[j + 1] == "{":
                j = reference_skip_interpolation(text, j + 2)
            else:
                j += 1
        flags = {} if closed else {"unterminated": True}
        return emit("STRING" if quote == '"' else "PATTERN", i, min(j, n), flags=flags)

    while i < n:
        ch = text[i]
        if ch == "\ufeff":
            i = emit("BOM", i, i + 1)
        elif ch in " \t":
            i += 1
        elif ch in "\r\n":
            i += 2 if text[i:i + 2] == "\r\n" else 1
        elif text.startswith("//", i):
            j = i + 2
            while j < n and text[j] not in "\r\n":
                j += 1
            i = emit("COMMENT", i, j, subkind="line")
        elif text.startswith("/*", i):
            style = "doc" if text.startswith("/**", i) and not text.startswith("/**/", i) else "block"
            j = text.find("*/", i + 2)
            if j < 0:
                i = emit("COMMENT", i, n, subkind=style, flags={"unterminated": True})
            else:
                i = emit("COMMENT", i, j + 2, subkind=style)
        elif ch in "\"'":
            i = literal(ch, ch == "'")
        elif ch.isdigit():
            m = _NUMBER_RE.match(text, i)
            i = emit("NUMBER", i, m.end() if m else i + 1)
        elif m := _IDENT_RE.match(text, i):
            canonical = forms.get(m.group())
            i = emit("IDENT" if canonical is None else "KEYWORD", i, m.end(), canonical=canonical)
        elif m := operator_re.match(text, i):
            i = emit("OP", i, m.end())
        else:
            i = emit("UNKNOWN", i, i + 1)
    out.append(Token("EOF", "", n, n, *lm.linecol(n), *lm.linecol(n)))
    return out


PIECES = list(" \t\r\n/*\"'$%{}\\.+-=<>?!:;_az19éЖ١²０\ufeff\u00a0\u00d7\u3d2e\ud55c\u2028") + [
    "если", "Если", "метод", "//", "/*", "*/", "/**", "${", "%{", "\r\n", "1.5", "0x1F", "\U0001f600",
    "\U0001d7ce", "?.", "??", "**=",
]
texts = st.lists(st.sampled_from(PIECES) | st.characters().filter(lambda c: not undecided(c)), max_size=80).map("".join)


@given(texts)
def test_tokens_follow_the_written_rules(text):
    assert tokenize(text) == reference_tokenize(text)


@given(st.text("\"$%{}\\\\a'", max_size=14), texts)
def test_skip_interpolation_follows_the_written_rule(small, text):
    # From every start of a short text (negative ones index from the end), from a few of a long one.
    for t, starts in ((small, range(-len(small) - 1, len(small) + 2)), (text, {0, len(text) // 2, len(text) + 3, -1})):
        for start in starts:
            try:
                expected = reference_skip_interpolation(t, start)
            except IndexError:
                with pytest.raises(IndexError):
                    _skip_interpolation(t, start)
                continue
            assert _skip_interpolation(t, start) == expected, (t, start)


@given(st.text("ab \n", max_size=20),
       st.lists(st.integers(-30, 30) | st.sampled_from([2**62, -(2**62), 2**63 - 1, 2**70]), min_size=1, max_size=8))
def test_positions_under_any_line_starts_are_what_linecol_gives(text, starts):
    # Any order, repeats, negative or huge values: each position is the host's bisection over the starts.
    lm = _LineMap("")
    lm._starts = starts
    for sorted_too in (False, True):
        toks = tokenize(text, lm)
        assert [(t.line, t.col, t.end_line, t.end_col) for t in toks] == [
            lm.linecol(t.start) + lm.linecol(t.end) for t in toks]
        lm._starts = sorted(starts)


def first_token(text):
    tok = tokenize(text)[0]
    return "IDENT" if tok.kind == "KEYWORD" else tok.kind, tok.end


@pytest.mark.parametrize("plane_start", range(0, 0x10000, 0x4000))
def test_identifier_and_number_matchers_over_the_bmp(plane_start):
    mismatches = []
    for cp in range(plane_start, plane_start + 0x4000):
        c = chr(cp)
        for text in ("a" + c, "_" + c + "1"):
            if first_token(text) != ("IDENT", _IDENT_RE.match(text).end()):
                mismatches.append(text)
        for text in ("1" + c, "1." + c, "1" + c + "1", "12" + c + "x"):
            if first_token(text) != ("NUMBER", _NUMBER_RE.match(text).end()):
                mismatches.append(text)
        kind, end = first_token(c)
        if undecided(c):
            continue
        if c.isdigit():
            m = _NUMBER_RE.match(c)
            ok = (kind, end) == ("NUMBER", m.end() if m else 1)
        elif _IDENT_RE.match(c):
            ok = (kind, end) == ("IDENT", 1)
        else:
            ok = kind not in ("IDENT", "NUMBER")
        if not ok:
            mismatches.append(c)
    assert [f"U+{ord(t[-1]):04X} in {t!r}" for t in mismatches[:20]] == []
    assert _IDENT_RE.pattern == f"[_{lexer._LETTER}][_{lexer._LETTER}0-9]*"


def test_code_points_beyond_the_bmp_are_digits_or_unknown():
    for start in range(0x10000, sys.maxunicode + 1, 0x10000):
        text = "".join(c for c in map(chr, range(start, start + 0x10000)) if not undecided(c))
        kinds = [t.kind for t in tokenize(text)[:-1]]
        assert kinds == ["NUMBER" if c.isdigit() else "UNKNOWN" for c in text]
    for d in [c for c in map(chr, range(0x10000, sys.maxunicode + 1)) if c.isdigit() and not undecided(c)]:
        assert [(t.kind, t.value) for t in tokenize("a" + d + "1")[:-1]] == [
            ("IDENT", "a"), ("NUMBER", d), ("NUMBER", "1")]


STRADDLERS = ['"a${b}c"', "'pat'", "/* block */", "// line\r\nx", "1.5e3", "12px.5", "**=", "a?.b", "если",
              "x_1", "\r\n\r\n", "\ufeff", '"${"}"}"', "'a\\\r\nb'", "/**/", "١٢", "0x1F", "\U0001f600+"]


@pytest.mark.parametrize("boundary", [1 << 14, 1 << 15, 1 << 16, 1 << 17])
def test_long_texts_tokenize_as_one_piece(boundary):
    # Every construct at every offset around a power of two, where a tokenizer
    # that works through a long text in pieces would cut it.
    for piece in STRADDLERS:
        for at in range(boundary - 24, boundary + 4):
            text = "/*" + " " * (at - 4) + "*/" + piece + " tail"
            assert tokenize(text) == reference_tokenize(text), (piece, at)


@pytest.mark.parametrize("text", [
    '"' + "x" * 300_000, '"' + "x" * 300_000 + '" y', "/*" + "*" * 300_000, "'" + "p" * 300_000 + "'",
    "x" * 300_000 + " y", "// " + "c" * 300_000 + "\ny", "\n" * 300_000 + "z",
])
def test_tokens_longer_than_any_piece(text):
    assert tokenize(text) == reference_tokenize(text)


def test_sample_programs():
    for path, text in corpus_texts():
        assert tokenize(text) == reference_tokenize(text), path


def test_long_mixed_text():
    rng = random.Random(20240601)
    pieces = PIECES + STRADDLERS + [" ", "\n", "a", "1"] * 8
    text = "".join(rng.choice(pieces) for _ in range(120_000))
    assert len(text) > 200_000
    assert tokenize(text) == reference_tokenize(text)
