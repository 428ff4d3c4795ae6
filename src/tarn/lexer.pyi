"""Tokens with exact code-point positions, and the line map behind them."""
import re
from collections.abc import MutableMapping
from functools import _lru_cache_wrapper
from typing import Any, ClassVar, Final, Protocol, final

from tarn import dataset as dataset

class _Source(Protocol):
    """Any object with the text and the cache that ``tokens``, ``linemap``
    and ``tarn.parser.parse`` keep their results in ("linemap", "tokens",
    "ast")."""

    @property
    def text(self) -> str: ...
    @property
    def cache(self) -> MutableMapping[str, Any]: ...

@final
class Token:
    __match_args__ = (
        "kind", "value", "start", "end", "line", "col", "end_line", "end_col", "canonical", "subkind", "flags",
    )
    kind: str
    value: str
    start: int
    end: int
    line: int
    col: int
    end_line: int
    end_col: int
    canonical: str | None
    subkind: str | None
    flags: dict[str, Any]
    __hash__: ClassVar[None]  # type: ignore[assignment]
    def __init__(
        self,
        kind: str,
        value: str,
        start: int,
        end: int,
        line: int,
        col: int,
        end_line: int,
        end_col: int,
        canonical: str | None = None,
        subkind: str | None = None,
        flags: dict[str, Any] = ...,
    ) -> None: ...
    def __eq__(self, other: object) -> bool: ...
    def __getstate__(self) -> dict[str, Any]: ...
    def __setstate__(self, state: dict[str, Any], /) -> None: ...

@final
class _LineMap:
    _starts: list[int]
    def __init__(self, text: str) -> None: ...
    def linecol(self, offset: int) -> tuple[int, int]: ...
    def __getstate__(self) -> dict[str, Any]: ...
    def __setstate__(self, state: dict[str, Any], /) -> None: ...

def tokenize(text: str, lm: _LineMap | None = None) -> list[Token]: ...
def tokens(source: _Source) -> list[Token]: ...
def linemap(source: _Source) -> _LineMap: ...
def _line_starts(text: str) -> list[int]: ...
def _skip_interpolation(text: str, start: int) -> int: ...

_language: _lru_cache_wrapper[dict[str, Any]]
_keyword_forms: _lru_cache_wrapper[dict[str, str]]
_operators: _lru_cache_wrapper[list[str]]
_operator_re: _lru_cache_wrapper[re.Pattern[str]]

_LETTER: Final[str]
_IDENT_RE: Final[re.Pattern[str]]
_NUMBER_RE: Final[re.Pattern[str]]
