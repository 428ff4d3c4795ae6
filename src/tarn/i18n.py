"""Message texts in the reader's language.

Modules hand their catalogues (key -> {"ru": template, "en": template}) to
``register``; ``t`` renders a key in the active language.  Templates are
``str.format`` templates: ``{kw}`` and other named fields come from the
caller, and ``{n[<Russian form>]}`` names a keyword the way a reader of the
active language writes it.
"""
from __future__ import annotations

import locale
import os
from collections.abc import Mapping

__all__ = ["get_language", "register", "set_language", "t"]

LANGUAGES = ("ru", "en")

_catalogue: dict[str, dict[str, str]] = {}
_language: str | None = None
# Russian written form -> English written form, read once from the shipped
# language definition when an English text first needs it.
_english_forms: dict[str, str] | None = None


def register(catalogue: Mapping[str, Mapping[str, str]]) -> None:
    """Adds the texts of `catalogue`; a later text for the same key and
    language replaces the earlier one."""
    for key, texts in catalogue.items():
        _catalogue.setdefault(key, {}).update(texts)


def set_language(lang: str) -> None:
    if lang not in LANGUAGES:
        raise ValueError(f"unsupported language {lang!r}; expected one of {', '.join(LANGUAGES)}")
    global _language
    _language = lang


def get_language() -> str:
    global _language
    if _language is None:
        _language = _language_from_environment()
    return _language


def t(key: str, **named: object) -> str:
    """The text of `key` in the active language with its fields filled; a key
    nobody registered renders as itself."""
    texts = _catalogue.get(key)
    if not texts:
        return key
    lang = get_language()
    if lang not in texts:
        lang = next(iter(texts))  # the other language
    return texts[lang].format_map(_Fields(named, _KeywordForms(lang)))


def _language_from_environment() -> str:
    chosen = _language_code(os.environ.get("TARN_LANG", ""))
    if chosen:
        return chosen
    # The variables gettext consults, in its order, then the process locale.
    for var in ("LANGUAGE", "LC_ALL", "LC_MESSAGES", "LANG"):
        value = os.environ.get(var)
        if value:
            return "ru" if _language_code(value) == "ru" else "en"
    try:
        current = locale.getlocale(locale.LC_MESSAGES)[0] or ""
    except (AttributeError, ValueError):
        current = ""
    return "ru" if _language_code(current) == "ru" else "en"


def _language_code(value: str) -> str | None:
    """"ru" or "en" for values such as "ru", "ru_RU.UTF-8", "Russian_Russia"."""
    lowered = value.strip().lower()
    if lowered.startswith(("ru", "russian")):
        return "ru"
    if lowered.startswith(("en", "english")):
        return "en"
    return None


class _Fields(dict):
    """Named values of one rendering; `n` is the keyword-form table and a
    field nobody supplied is left as written."""

    def __init__(self, named: Mapping[str, object], forms: _KeywordForms) -> None:
        super().__init__(named)
        self.setdefault("n", forms)

    def __missing__(self, name: str) -> str:
        return "{" + name + "}"


class _KeywordForms:
    def __init__(self, lang: str) -> None:
        self._lang = lang

    def __getitem__(self, russian_form: str) -> str:
        if self._lang == "ru":
            return russian_form
        return _english_form_table().get(russian_form, russian_form)


def _english_form_table() -> dict[str, str]:
    global _english_forms
    if _english_forms is None:
        from tarn import dataset

        _english_forms = _english_forms_of(dataset.load_json("language.json"))
    return _english_forms


def _english_forms_of(definition: Mapping) -> dict[str, str]:
    """Each keyword form mapped to the first all-ASCII form of its keyword
    (a form listed twice belongs to the later keyword, as in the lexer)."""
    table: dict[str, str] = {}
    for keyword in definition.get("keywords", {}).values():
        forms = [f for f in keyword.get("forms", ()) if isinstance(f, str)]
        english = next((f for f in forms if f.isascii()), None)
        for form in forms:
            if english is not None:
                table[form] = english
            else:
                table.pop(form, None)
    return table
