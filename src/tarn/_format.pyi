"""The native layout pass of ``tarn fmt`` (see ``tarn.fmt``)."""

def layout(text: str) -> str | None:
    """``text`` in the canonical layout; None when ``parse_text(text)`` would
    report a syntax error or nesting past the bound."""

def difference(old: str, new: str) -> tuple[str, int] | None:
    """None when ``new`` is the same program as ``old`` (the same tokens apart
    from the blanks between them, comments and embedded blocks compared line
    by line without the blanks around each line, and the same tree apart from
    positions); else ``("errors", offset in new)`` or ``("tokens" | "tree" |
    "block", offset in old)``. ``old`` must parse without errors."""

def checked_layout(text: str) -> tuple[str, tuple[str, int] | None] | None:
    """``layout`` and ``difference`` in one, with ``text`` lexed and parsed
    once: None when it has syntax errors, else ``(new, difference(text,
    new))``, the difference None at once when ``new`` equals ``text``."""
