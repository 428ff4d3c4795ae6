"""The native layout pass of ``tarn fmt`` (see ``tarn.fmt``)."""

def layout(text: str) -> str | None:
    """``text`` in the canonical layout; None when ``parse_text(text)`` would
    report a syntax error or nesting past the bound."""
