"""tarn._check.diagnostics against parse_text: the same diagnostics (spans,
texts, order) with their catalogue keys, on the sample programs, on every
adversarial family and on mutated samples; one entry naming the place where
nesting passes the bound; a replaced tarn.i18n.t is followed."""
from pathlib import Path

import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

from tarn import _check, i18n
from tarn.parser import MESSAGES, parse_text
from test_adversarial import FAMILIES

CORPUS = {p.name: p.read_bytes().decode("utf-8")
          for p in sorted((Path(__file__).parent / "data" / "corpus").glob("*/*.tarn"))}


def expected(text):
    """parse_text's diagnostics as entries, or the nesting entry's parts."""
    try:
        return [(e.start, e.end, e.message) for e in parse_text(text)[1]]
    except RecursionError as exc:
        return str(exc)


def check_same(text):
    got = _check.diagnostics(text)
    want = expected(text)
    if isinstance(want, str):
        [(start, end, key, message)] = got
        assert (key, message) == ("tarn.nesting-too-deep", want)
        # The span is the token the message names.
        line, col = (int(n) for n in want.rsplit("line ", 1)[1].split(", column "))
        starts = [0] + [i + 1 for i, ch in enumerate(text) if ch == "\n"]
        assert start == starts[line - 1] + col - 1 and start < end <= len(text) + 1
        return got
    assert [(s, e, m) for s, e, _, m in got] == want
    for _, _, key, message in got:
        assert key in MESSAGES or i18n.t(key) == message != key
    return got


@pytest.mark.parametrize("name", CORPUS)
def test_samples(name):
    check_same(CORPUS[name])


@pytest.mark.parametrize("family", FAMILIES)
def test_adversarial_families(family):
    check_same(FAMILIES[family](16 * 1024))


def test_nesting_past_the_bound_names_the_place():
    text = "метод m()\n  x = 1\n  y = " + "(" * 1500 + "a" + ")" * 1500 + "\n;"
    [(start, end, _, _)] = check_same(text)
    assert text[start:end] == "("


@st.composite
def mutated(draw):
    text = draw(st.sampled_from(sorted(CORPUS.values())))
    for _ in range(draw(st.integers(1, 6))):
        at = draw(st.integers(0, len(text)))
        cut = draw(st.integers(0, 40))
        insert = draw(st.sampled_from(["", "(", ")", ";", "\n", '"', "'", "/*", "${", "<", ":", "если ", "метод "]))
        text = text[:at] + insert + text[at + cut:]
    return text


@settings(max_examples=150, derandomize=True)
@given(mutated())
def test_mutated_samples(text):
    check_same(text)


def test_follows_a_replaced_translation(monkeypatch):
    calls = []

    def t(key, **named):
        calls.append(key)
        return f"<{key}|{named.get('kw', '')}>"

    monkeypatch.setattr(i18n, "t", t)
    text = CORPUS["ledger.tarn"] + "\nметод m()\n  x = если\n;"
    got = check_same(text)
    assert len(calls) == 2 * len(got)  # once by parse_text, once by diagnostics
    assert ("parser.statement-not-expr", "<parser.statement-not-expr|если>") in [(k, m) for _, _, k, m in got]
    monkeypatch.setattr(i18n, "t", lambda key, **named: 42)
    with pytest.raises(TypeError):
        _check.diagnostics(text)
