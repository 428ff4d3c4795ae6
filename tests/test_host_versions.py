"""What follows the running interpreter (3.11 to 3.13): the tokenizer's
digits are its str.isdigit, and inspect.signature answers for every class,
method and function of the native modules."""
import inspect

import pytest

import tarn._check
import tarn.lexer
import tarn.parser
from tarn.lexer import _LineMap, tokenize

MODULES = (tarn.lexer, tarn.parser, tarn._check)
RECORDS = (tarn.lexer.Token, tarn.parser.Node, tarn.parser.ParseError)


def test_digits_are_the_interpreters() -> None:
    digits = [chr(c) for c in range(0x80, 0x110000) if chr(c).isdigit()]
    assert {t.kind for t in tokenize(" ".join(digits))[:-1]} == {"NUMBER"}
    beside = {chr(c) for d in digits for c in (ord(d) - 1, ord(d) + 1) if not chr(c).isdigit()}
    assert "NUMBER" not in {t.kind for t in tokenize(" ".join(sorted(beside)))}
    # Every module that lexes reads them so: parse_text and the checker (each
    # links its own copy of the core) accept the same digits as values.
    text = "метод m()\n  x = [" + ", ".join(digits) + "]\n;\n"
    assert tarn.parser.parse_text(text)[1] == [] and tarn._check.diagnostics(text) == []


def members():
    for module in MODULES:
        for name, obj in vars(module).items():
            if isinstance(obj, type) and obj.__module__ == module.__name__:
                yield f"{module.__name__}.{name}", obj
                yield from ((f"{name}.{m}", getattr(obj, m)) for m, v in vars(obj).items()
                            if callable(v) and (m == "__init__" or not m.startswith("__")))
            elif callable(obj) and not isinstance(obj, type) and not name.startswith("__"):
                yield f"{module.__name__}.{name}", obj


@pytest.mark.parametrize("name, obj", list(members()))
def test_every_class_and_function_has_a_signature(name: str, obj: object) -> None:
    signature = inspect.signature(obj)  # type: ignore[arg-type]
    if isinstance(obj, type) and issubclass(obj, RECORDS):
        assert tuple(signature.parameters) == obj.__match_args__  # records: their fields


def test_linemap_keeps_its_text_signatures() -> None:
    assert str(inspect.signature(_LineMap)) == "(text)"
    assert _LineMap.__init__.__text_signature__ == "($self, text)"
