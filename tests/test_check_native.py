"""tarn._check.diagnostics against parse_text: the same diagnostics (spans,
texts, order) with their catalogue keys, on the sample programs, on every
adversarial family and on mutated samples; one entry naming the place where
nesting passes the bound; a replaced tarn.i18n.t is followed."""
import os
from pathlib import Path

import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

from tarn import _check, i18n, lexer
from tarn.parser import MESSAGES, parse_text
from test_adversarial import FAMILIES

# Sanitizer builds (ci/sanitize.sh) use so much more stack per level that the
# thread's stack, not the depth bound, ends deep nesting; where it ends then
# depends on how deep the caller already was.
STACK_BOUND = os.environ.get("TARN_HYPOTHESIS_PROFILE") == "sanitize"
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
        assert key == "tarn.nesting-too-deep" and (message == want or STACK_BOUND)
        # The span is the token the message names.
        line, col = (int(n) for n in message.rsplit("line ", 1)[1].split(", column "))
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


def test_a_keyword_table_the_tokenizer_refuses_is_refused_here_too(monkeypatch, tmp_path):
    # A canonical name that is not a string: tokenize's type error, from every
    # entry point, but only for a text that uses that keyword.
    monkeypatch.setattr(lexer, "_keyword_forms", lambda: {"метод": 5, "если": "IF"})
    refused, fine = "метод m()\n;\n", "если x\n"
    paths = [str(tmp_path / "refused.tarn"), str(tmp_path / "fine.tarn")]
    for path, text in zip(paths, (refused, fine)):
        Path(path).write_text(text, encoding="utf-8")
    for call in (lambda: lexer.tokenize(refused), lambda: _check.diagnostics(refused),
                 lambda: list(_check.check_files(paths[:1], 1))):
        with pytest.raises(TypeError, match=r"^str or None object expected; got int$"):
            call()
    assert [entries for _, entries, _ in _check.check_files(paths[1:], 1)] == [_check.diagnostics(fine)] != [[]]
