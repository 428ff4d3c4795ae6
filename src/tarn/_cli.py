"""What the commands of ``tarn`` share: exit statuses, reading sources, the
``--lang`` option."""
from __future__ import annotations

import argparse

from tarn import i18n
from tarn.lexer import _LineMap

EXIT_CLEAN = 0
EXIT_ERRORS = 1
EXIT_TROUBLE = 2  # usage errors, unreadable files


class Unreadable(Exception):
    """A file that cannot be checked; the text is the whole report line."""


def decode_source(path: str, data: bytes) -> str:
    """The text of `data`, exactly as written: no newline translation, a BOM
    kept; Unreadable naming the position of the first bad byte otherwise."""
    try:
        return data.decode("utf-8")
    except UnicodeDecodeError as exc:
        # Valid up to exc.start, so the prefix decodes and gives the position.
        prefix = data[: exc.start].decode("utf-8")
        line, col = _LineMap(prefix).linecol(len(prefix))
        bad = data[exc.start]
        raise Unreadable(
            f"{path}:{line}:{col}: error: not valid UTF-8 ({exc.reason}, byte 0x{bad:02x} at offset {exc.start})"
        ) from None


def read_source(path: str) -> str:
    try:
        with open(path, "rb") as stream:
            data = stream.read()
    except OSError as exc:
        raise Unreadable(f"{path}: error: {exc.strerror or exc}") from None
    return decode_source(path, data)


def plural(count: int, noun: str) -> str:
    return f"{count} {noun}" + ("" if count == 1 else "s")


def add_lang(command: argparse.ArgumentParser) -> None:
    command.add_argument("--lang", choices=("ru", "en"), default=None,
                         help="language of the messages (default: as tarn.i18n decides)")


def set_language(lang: str | None) -> None:
    if lang is not None:
        i18n.set_language(lang)
