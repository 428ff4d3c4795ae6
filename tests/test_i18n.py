"""tarn.i18n: catalogues, rendering, keyword forms and the choice of language."""
import copy
import string

import pytest

import tarn.lexer
from tarn import i18n


@pytest.fixture(autouse=True)
def isolated():
    """Every test starts and ends with the service as it was."""
    catalogue = copy.deepcopy(i18n._catalogue)
    language = i18n._language
    yield
    i18n._catalogue.clear()
    i18n._catalogue.update(catalogue)
    i18n._language = language


def test_register_merges():
    i18n.register({"demo.a": {"ru": "а", "en": "a"}, "demo.b": {"ru": "б"}})
    i18n.register({"demo.b": {"en": "b"}, "demo.a": {"en": "A"}})
    i18n.set_language("en")
    assert (i18n.t("demo.a"), i18n.t("demo.b")) == ("A", "b")
    i18n.set_language("ru")
    assert (i18n.t("demo.a"), i18n.t("demo.b")) == ("а", "б")


def test_named_values_braces_and_unknown_keys():
    i18n.register({"demo.kw": {"ru": "'{kw}' – нет }}", "en": "'{kw}' is not }}"}})
    i18n.set_language("en")
    assert i18n.t("demo.kw", kw="Пока") == "'Пока' is not }"
    assert i18n.t("demo.kw") == "'{kw}' is not }"
    assert i18n.t("demo.never-registered") == "demo.never-registered"
    assert i18n.t("demo.never-registered", kw="x") == "demo.never-registered"


def test_keyword_forms_follow_the_language():
    i18n.register({"demo.loop": {"ru": "в цикле 'для' и 'и'", "en": "in the '{n[для]}' loop, '{n[и]}', '{n[нет-такого]}'"}})
    i18n.set_language("en")
    assert i18n.t("demo.loop") == "in the 'for' loop, 'and', 'нет-такого'"
    i18n.register({"demo.ru-only": {"ru": "нет '{n[если]}'"}})
    assert i18n.t("demo.ru-only") == "нет 'если'"  # the other language, rendered as that language
    i18n.register({"demo.en-only": {"en": "no '{n[если]}'"}})
    i18n.set_language("ru")
    assert i18n.t("demo.en-only") == "no 'if'"
    assert i18n.t("demo.loop") == "в цикле 'для' и 'и'"


def test_english_forms_come_from_the_language_definition():
    forms = i18n._english_forms_of({"keywords": {
        "IF": {"forms": ["если", "Если", "if", "If"]},
        "X": {"forms": ["икс"]},
        "GLOBAL_EN": {"forms": ["global"]},
        "LATE": {"forms": ["если2", "late"]},
        "OVERRIDE": {"forms": ["Если", "when"]},
    }})
    assert forms["если"] == "if" and forms["Если"] == "when" and forms["global"] == "global"
    assert "икс" not in forms


def test_set_and_get_language():
    i18n.set_language("ru")
    assert i18n.get_language() == "ru"
    i18n.set_language("en")
    assert i18n.get_language() == "en"
    for bad in ("de", "RU", "", None):
        with pytest.raises(ValueError):
            i18n.set_language(bad)
    assert i18n.get_language() == "en"


@pytest.mark.parametrize(
    "env, expected",
    [
        ({"TARN_LANG": "ru"}, "ru"),
        ({"TARN_LANG": "en", "LANG": "ru_RU.UTF-8"}, "en"),
        ({"TARN_LANG": "klingon", "LANG": "ru_RU.UTF-8"}, "ru"),
        ({"LANG": "ru_RU.UTF-8"}, "ru"),
        ({"LC_ALL": "ru_RU.UTF-8", "LANG": "de_DE.UTF-8"}, "ru"),
        ({"LANG": "de_DE.UTF-8"}, "en"),
        ({"LANG": "C.UTF-8"}, "en"),
        ({}, "en"),
    ],
)
def test_language_from_the_environment(monkeypatch, env, expected):
    for var in ("TARN_LANG", "LANGUAGE", "LC_ALL", "LC_MESSAGES", "LANG"):
        monkeypatch.delenv(var, raising=False)
    for var, value in env.items():
        monkeypatch.setenv(var, value)
    monkeypatch.setattr(i18n.locale, "getlocale", lambda category=None: (None, None))
    monkeypatch.setattr(i18n, "_language", None)
    assert i18n.get_language() == expected


def test_the_process_locale_is_the_last_resort(monkeypatch):
    for var in ("TARN_LANG", "LANGUAGE", "LC_ALL", "LC_MESSAGES", "LANG"):
        monkeypatch.delenv(var, raising=False)
    monkeypatch.setattr(i18n.locale, "getlocale", lambda category=None: ("ru_RU", "UTF-8"))
    monkeypatch.setattr(i18n, "_language", None)
    assert i18n.get_language() == "ru"


def test_every_catalogue_says_the_same_in_both_languages():
    # Loading the commands and the server registers their catalogues too.
    import tarn.check, tarn.lsp.server, tarn.parser, tarn.rewrite, tarn.translate  # noqa: F401

    russian_keywords = {form for entry in tarn.lexer._language()["keywords"].values()
                        for form in entry.get("forms", ()) if not form.isascii()}
    assert {*tarn.parser.MESSAGES, *tarn.rewrite.MESSAGES, *tarn.lsp.analysis.MESSAGES} <= set(i18n._catalogue)
    for key, texts in i18n._catalogue.items():
        assert set(texts) == set(i18n.LANGUAGES), key
        fields = {lang: sorted(f for _, f, _, _ in string.Formatter().parse(text) if f) for lang, text in texts.items()}
        named = {lang: [f for f in found if not f.startswith("n[")] for lang, found in fields.items()}
        assert named["ru"] == named["en"], key  # a field missing in one language would print as "{field}"
        for found in fields.values():
            assert {f[2:-1] for f in found if f.startswith("n[")} <= russian_keywords, key
