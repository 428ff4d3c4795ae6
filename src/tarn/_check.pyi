"""Diagnostics without a tree: the native side of ``tarn check`` and of the
language server."""
from collections.abc import Iterator, Sequence
from typing import Final, final

from tarn import i18n as i18n

# Every key an entry can carry: the parser's catalogue, then "tarn.nesting-too-deep".
MESSAGE_KEYS: Final[tuple[str, ...]]

def diagnostics(text: str) -> list[tuple[int, int, str, str]]:
    """``(start, end, key, message)`` for every diagnostic ``parse_text(text)``
    reports, in its order; nesting past the bound gives the one entry
    ``(start, end, "tarn.nesting-too-deep", <the RecursionError's text>)``."""

def check_files(paths: Sequence[str], jobs: int) -> _Files:
    """The files read and parsed on `jobs` native threads."""

@final
class _Files(Iterator[tuple[str | None, list[tuple[int, int, str, str]], int | bytes | None]]):
    """``(text, entries, error)`` per path, in order: text when there are
    entries; error is the errno of an unreadable file or the bytes of one that
    is not UTF-8."""
    def __next__(self) -> tuple[str | None, list[tuple[int, int, str, str]], int | bytes | None]: ...
    def close(self) -> None: ...
