"""Diagnostics without a tree: the native side of ``tarn check`` and of the
language server."""
from tarn import i18n as i18n

def diagnostics(text: str) -> list[tuple[int, int, str, str]]:
    """``(start, end, key, message)`` for every diagnostic ``parse_text(text)``
    reports, in its order; nesting past the bound gives the one entry
    ``(start, end, "tarn.nesting-too-deep", <the RecursionError's text>)``."""
