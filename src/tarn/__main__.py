"""The ``tarn`` command line. Each command lives in its own module, which
adds its arguments with ``add_command(subparsers)`` and runs with ``run(args)``
(set as the ``run`` default); ``tokens`` and ``tree`` are small enough to stay
here."""
from __future__ import annotations

import argparse
import os
import sys
from collections.abc import Sequence

import tarn
from tarn import check
from tarn._cli import (EXIT_CLEAN, EXIT_ERRORS, EXIT_TROUBLE, ArgumentParser, Unreadable, add_lang, plural, read_source,
                       set_language)
from tarn.lexer import _LineMap, tokenize
from tarn.parser import parse_text

EXIT_INTERRUPTED = 130


def command_tokens(args: argparse.Namespace) -> int:
    status = EXIT_CLEAN
    for path in args.files:
        try:
            text = read_source(path)
        except Unreadable as exc:
            print(exc, file=sys.stderr)
            status = EXIT_TROUBLE
            continue
        if len(args.files) > 1:
            sys.stdout.write(f"{path}:\n")
        toks = tokenize(text)
        sys.stdout.write("".join(repr(tok) + "\n" for tok in toks))
        sys.stdout.write(f"{plural(len(toks), 'token')}\n")
    return status


def command_tree(args: argparse.Namespace) -> int:
    from tarn import tree  # loaded only for this command: it takes a while

    set_language(args.lang)
    try:
        text = read_source(args.file)
    except Unreadable as exc:
        print(exc, file=sys.stderr)
        return EXIT_TROUBLE
    module, errors = parse_text(text)
    if args.format == "json":
        sys.stdout.write(tree.to_json(module, ensure_ascii=False) + "\n")
    else:
        sys.stdout.write(tree.dump(module, indent=args.indent) + "\n")
    lm = _LineMap(text)
    for error in errors:
        line, col = lm.linecol(error.start)
        print(f"{args.file}:{line}:{col}: error: {error.message}", file=sys.stderr)
    return EXIT_ERRORS if errors else EXIT_CLEAN


def _indent(value: str) -> int:
    try:
        indent = int(value)
    except ValueError:
        indent = -1
    if indent < 0:
        raise argparse.ArgumentTypeError(f"expected a number of spaces, got {value!r}")
    return indent


def build_parser() -> argparse.ArgumentParser:
    parser = ArgumentParser(
        prog="tarn", description="Front end of the tarn language: check sources, show tokens and syntax trees."
    )
    parser.add_argument("--version", action="version", version=f"tarn {tarn.__version__}")
    commands = parser.add_subparsers(dest="command", metavar="COMMAND", required=True, parser_class=ArgumentParser)
    check.add_command(commands)

    tokens = commands.add_parser("tokens", help="list the tokens of files",
                                 description="Print every token of each file, one per line, then their count.")
    tokens.add_argument("files", nargs="+", metavar="FILE")
    tokens.set_defaults(run=command_tokens)

    tree = commands.add_parser("tree", help="show the syntax tree of a file",
                               description="Print the syntax tree of a file; syntax errors go to stderr.")
    tree.add_argument("file", metavar="FILE")
    tree.add_argument("--format", choices=("text", "json"), default="text",
                      help="text: an indented dump; json: the lossless form read by tarn.tree.from_json")
    tree.add_argument("--indent", type=_indent, default=2, metavar="N", help="spaces per level of the text form")
    add_lang(tree)
    tree.set_defaults(run=command_tree)

    from tarn import rewrite  # fmt and translate

    rewrite.add_command(commands)

    from tarn import lsp  # the server itself loads only when the command runs

    lsp.add_command(commands)
    return parser


def _tolerant_streams() -> None:
    # A terminal that cannot show Cyrillic still gets every diagnostic.
    for stream in (sys.stdout, sys.stderr):
        reconfigure = getattr(stream, "reconfigure", None)
        if reconfigure is not None:
            reconfigure(errors="backslashreplace")


def main(argv: Sequence[str] | None = None) -> int:
    args = build_parser().parse_args(argv)
    _tolerant_streams()
    try:
        status: int = args.run(args)
        sys.stdout.flush()
        return status
    except KeyboardInterrupt:
        return EXIT_INTERRUPTED
    except BrokenPipeError:
        # The reader went away (``tarn check . | head``): stop quietly.
        devnull = os.open(os.devnull, os.O_WRONLY)
        os.dup2(devnull, sys.stdout.fileno())
        return EXIT_ERRORS


def run() -> None:
    """The ``tarn`` command: main(), then out without tearing the interpreter
    down, which is a tenth of a short check's time (a pre-commit hook on a few
    files). Everything written is flushed first; exceptions leave as usual."""
    status = main()
    try:
        sys.stdout.flush()
        sys.stderr.flush()
    except BrokenPipeError:
        status = EXIT_ERRORS
    os._exit(status)


if __name__ == "__main__":
    run()
