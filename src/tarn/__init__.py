"""Fast, fault-tolerant front end (lexer and parser) of the tarn language."""

__version__ = "0.1.0"

# The native modules load on first use, so importing the package stays cheap.
_LAZY = {"tokenize": "lexer", "parse": "parser", "parse_text": "parser"}


def __getattr__(name):
    module = _LAZY.get(name)
    if module is None:
        raise AttributeError(f"module {__name__!r} has no attribute {name!r}")
    from importlib import import_module

    return getattr(import_module(f"{__name__}.{module}"), name)


def __dir__():
    return sorted(set(globals()) | set(_LAZY))
