"""What the commands of ``tarn`` share: exit statuses, reading sources, the
``--lang`` option."""
from __future__ import annotations

import argparse
import os
import sys

from tarn import i18n
from tarn.lexer import _LineMap

EXIT_CLEAN = 0
EXIT_ERRORS = 1
EXIT_TROUBLE = 2  # usage errors, unreadable files


def _columns() -> int:
    """The terminal's width as shutil.get_terminal_size gives it."""
    try:
        columns = int(os.environ["COLUMNS"])
    except (KeyError, ValueError):
        columns = 0
    if columns > 0:
        return columns
    try:
        return os.get_terminal_size(sys.__stdout__.fileno()).columns or 80  # type: ignore[union-attr]
    except (AttributeError, ValueError, OSError):
        return 80


class HelpFormatter(argparse.HelpFormatter):
    """argparse's own, but measuring the terminal without importing shutil
    (which brings in the compression modules: a twentieth of the start-up)."""

    def __init__(self, prog: str, indent_increment: int = 2, max_help_position: int = 24,
                 width: int | None = None) -> None:
        super().__init__(prog, indent_increment, max_help_position, _columns() - 2 if width is None else width)


class ArgumentParser(argparse.ArgumentParser):
    """The command line's parsers, sub-commands included, with that formatter."""

    def __init__(self, *args: object, **kwargs: object) -> None:
        kwargs.setdefault("formatter_class", HelpFormatter)
        super().__init__(*args, **kwargs)  # type: ignore[arg-type]


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
