"""The ``tarn`` command line: ``check``, ``tokens`` and ``tree``."""
from __future__ import annotations

import argparse
import functools
import json
import os
import re
import sys
import time
import unicodedata
from collections.abc import Iterable, Iterator, Sequence
from concurrent.futures import ProcessPoolExecutor
from pathlib import Path
from typing import NamedTuple, TextIO

from tarn import i18n, tree
from tarn.lexer import _LineMap, tokenize
from tarn.parser import ParseError, parse_text

EXIT_CLEAN = 0
EXIT_ERRORS = 1
EXIT_TROUBLE = 2  # usage errors, unreadable files

SOURCE_SUFFIX = ".tarn"
# Beyond this many files a terminal gets a progress line on stderr.
PROGRESS_MIN_FILES = 300
PROGRESS_INTERVAL = 0.1
# Longer source lines are shown as a window around the diagnostic.
LONG_LINE = 300
WINDOW_BEFORE = 100
WINDOW_AFTER = 200


class Unreadable(Exception):
    """A file that cannot be checked; the text is the whole report line."""


class FileResult(NamedTuple):
    output: str  # diagnostics, ready to print on stdout
    errors: int
    failure: str | None  # report line for stderr when the file could not be checked


# ---------------------------------------------------------------- reading


def read_source(path: str) -> str:
    """The file's text, exactly as written: no newline translation, a BOM kept."""
    try:
        with open(path, "rb") as stream:
            data = stream.read()
    except OSError as exc:
        raise Unreadable(f"{path}: error: {exc.strerror or exc}") from None
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


def collect_files(paths: Sequence[str]) -> tuple[list[str], list[str]]:
    """Files to check in order (directory trees sorted), and report lines for
    paths that do not exist."""
    files: list[str] = []
    missing: list[str] = []
    for given in paths:
        path = Path(given)
        if path.is_dir():
            found = sorted(p for p in path.rglob("*" + SOURCE_SUFFIX) if p.is_file())
            files.extend(str(p) for p in found)
        elif path.exists():
            files.append(given)
        else:
            missing.append(f"{given}: error: No such file or directory")
    return files, missing


# ---------------------------------------------------------------- rendering


# Lines made only of these (ASCII, Latin, Greek, Cyrillic, punctuation) show
# every code point as itself in one cell: no per-character look-ups needed.
_ONE_CELL = re.compile(
    "[\t\x20-\x7e\u00a0-\u00ac\u00ae-\u02ff"  # ASCII and Latin
    "\u0370-\u0377\u037a-\u037f\u0384-\u038a\u038c\u038e-\u03a1\u03a3-\u03ff"  # Greek
    "\u0400-\u0482\u048a-\u052f"  # Cyrillic without its combining marks
    "\u2010-\u2027\u2030-\u205e]*"  # dashes, quotes and other punctuation
)
_NOT_TAB = re.compile("[^\t]")


def _shown(ch: str) -> tuple[str, int]:
    """How one code point of a source line is printed, and its width in cells."""
    if ch == "\t":
        return ch, 1
    if ch == "\ufeff":
        return "", 0
    category = unicodedata.category(ch)
    if category in ("Cc", "Cf", "Cs", "Co", "Cn", "Zl", "Zp"):
        # Control, bidi, separator and unassigned characters would move the
        # terminal's cursor or hide text: show them by name instead.
        name = f"<U+{ord(ch):04X}>"
        return name, len(name)
    if category in ("Mn", "Me"):
        return ch, 0
    return ch, 2 if unicodedata.east_asian_width(ch) in ("W", "F") else 1


def caret_lines(line: str, first: int, last: int) -> tuple[str, str]:
    """The source line as shown and the line that marks code points
    ``first`` to ``last`` (exclusive, 0-based) of it: ``^~~~``.

    Tabs before the mark stay tabs, so the mark sits under the span in any
    tab setting; wide characters take two cells.
    """
    first = min(max(first, 0), len(line))
    last = min(max(last, first), len(line))
    lead = tail = ""
    if len(line) > LONG_LINE:
        begin = max(0, first - WINDOW_BEFORE)
        stop = min(len(line), max(begin + WINDOW_BEFORE + WINDOW_AFTER, first + 1))
        lead, tail = ("..." if begin else ""), ("..." if stop < len(line) else "")
        line, first, last = line[begin:stop], first - begin, min(last, stop) - begin
    if _ONE_CELL.fullmatch(line):
        marked = _NOT_TAB.sub("~", line[first:last])
        indent_text = _NOT_TAB.sub(" ", line[:first])
        return lead + line + tail, " " * len(lead) + indent_text + ("^" + marked[1:] if marked else "^")
    shown: list[str] = []
    indent: list[str] = []
    span: list[str] = []
    for index, ch in enumerate(line):
        text, width = _shown(ch)
        shown.append(text)
        if index < first:
            indent.append("\t" if ch == "\t" else " " * width)
        elif index < last:
            span.append("\t" if ch == "\t" and index > first else "~" * width)
    marked = "".join(span)
    # The first cell of the span is the caret; an empty span still gets one.
    mark = "^" + marked[1:] if marked else "^"
    return lead + "".join(shown) + tail, " " * len(lead) + "".join(indent) + mark


def _line_of(text: str, starts: list[int], line: int) -> str:
    begin = starts[line - 1]
    stop = starts[line] if line < len(starts) else len(text)
    content = text[begin:stop]
    if content.endswith("\r\n"):
        return content[:-2]
    if content.endswith(("\n", "\r")):
        return content[:-1]
    return content


def render_text(path: str, text: str, errors: Iterable[ParseError]) -> str:
    """``path:line:col: error: message`` with the source line and its mark."""
    lm = _LineMap(text)
    out: list[str] = []
    for error in errors:
        start, end, message = error.start, error.end, error.message
        line, col = lm.linecol(start)
        end_line, end_col = lm.linecol(end)
        source = _line_of(text, lm._starts, line)
        last = end_col - 1 if end_line == line else len(source)
        shown, mark = caret_lines(source, col - 1, last)
        out.append(f"{path}:{line}:{col}: error: {message}\n{shown}\n{mark}\n")
    return "".join(out)


def render_json(path: str, text: str, errors: Iterable[ParseError]) -> str:
    """One JSON object per diagnostic and line."""
    lm = _LineMap(text)
    out: list[str] = []
    for error in errors:
        start, end = error.start, error.end
        line, col = lm.linecol(start)
        end_line, end_col = lm.linecol(end)
        record = {
            "path": path, "start": start, "end": end, "line": line, "col": col,
            "end_line": end_line, "end_col": end_col, "message": error.message,
        }
        out.append(json.dumps(record, ensure_ascii=False) + "\n")
    return "".join(out)


RENDERERS = {"text": render_text, "json": render_json}


# ---------------------------------------------------------------- check


def check_file(fmt: str, path: str) -> FileResult:
    """Parse one file and render its diagnostics (runs in worker processes)."""
    try:
        text = read_source(path)
    except Unreadable as exc:
        return FileResult("", 0, str(exc))
    _, errors = parse_text(text)
    return FileResult(RENDERERS[fmt](path, text, errors), len(errors), None)


def _set_language(lang: str | None) -> None:
    if lang is not None:
        i18n.set_language(lang)


def default_jobs() -> int:
    try:
        return len(os.sched_getaffinity(0))
    except AttributeError:
        return os.cpu_count() or 1


def check_all(files: list[str], fmt: str, jobs: int, lang: str | None) -> Iterator[FileResult]:
    """Results in the order of ``files``, computed in ``jobs`` processes."""
    work = functools.partial(check_file, fmt)
    if jobs <= 1 or len(files) <= 1:
        yield from map(work, files)
        return
    workers = min(jobs, len(files))
    chunk = max(1, min(64, len(files) // (workers * 8)))
    with ProcessPoolExecutor(workers, initializer=_set_language, initargs=(lang,)) as pool:
        yield from pool.map(work, files, chunksize=chunk)


class Progress:
    """``checked 120/4000 files`` on a terminal's stderr, redrawn in place."""

    def __init__(self, total: int, stream: TextIO) -> None:
        self.total = total
        self.stream = stream
        self.enabled = total > PROGRESS_MIN_FILES and stream.isatty()
        # Diagnostics on the same terminal must not land inside the line.
        self.shares_screen = self.enabled and sys.stdout.isatty()
        self.shown = False
        self.last = 0.0

    def update(self, done: int) -> None:
        now = time.monotonic()
        if self.enabled and now - self.last >= PROGRESS_INTERVAL:
            self.last = now
            self.stream.write(f"\rchecked {done}/{self.total} files")
            self.stream.flush()
            self.shown = True

    def clear(self) -> None:
        if self.shown:
            self.stream.write("\r\033[K")
            self.stream.flush()
            self.shown = False


def _plural(count: int, noun: str) -> str:
    return f"{count} {noun}" + ("" if count == 1 else "s")


def command_check(args: argparse.Namespace) -> int:
    _set_language(args.lang)
    files, missing = collect_files(args.paths)
    for report in missing:
        print(report, file=sys.stderr)
    status = EXIT_TROUBLE if missing else EXIT_CLEAN
    checked = errors = 0
    progress = Progress(len(files), sys.stderr)
    for done, result in enumerate(check_all(files, args.format, args.jobs, args.lang), 1):
        if result.failure is not None or (result.output and progress.shares_screen):
            progress.clear()
        if result.failure is not None:
            print(result.failure, file=sys.stderr)
            status = EXIT_TROUBLE
            continue
        checked += 1
        errors += result.errors
        if result.errors and not args.exit_zero:
            status = max(status, EXIT_ERRORS)
        sys.stdout.write(result.output)
        progress.update(done)
    progress.clear()
    if args.format == "text":
        print(f"{_plural(checked, 'file')}, {_plural(errors, 'error')}")
    return status


# ---------------------------------------------------------------- tokens, tree


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
        sys.stdout.write(f"{_plural(len(toks), 'token')}\n")
    return status


def command_tree(args: argparse.Namespace) -> int:
    _set_language(args.lang)
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


# ---------------------------------------------------------------- arguments


def _jobs(value: str) -> int:
    try:
        jobs = int(value)
    except ValueError:
        jobs = 0
    if jobs < 1:
        raise argparse.ArgumentTypeError(f"expected a positive number of processes, got {value!r}")
    return jobs


def _indent(value: str) -> int:
    try:
        indent = int(value)
    except ValueError:
        indent = -1
    if indent < 0:
        raise argparse.ArgumentTypeError(f"expected a number of spaces, got {value!r}")
    return indent


def _add_lang(command: argparse.ArgumentParser) -> None:
    command.add_argument("--lang", choices=("ru", "en"), default=None,
                         help="language of the messages (default: as tarn.i18n decides)")


def build_parser() -> argparse.ArgumentParser:
    parser = argparse.ArgumentParser(
        prog="tarn", description="Front end of the tarn language: check sources, show tokens and syntax trees."
    )
    commands = parser.add_subparsers(dest="command", metavar="COMMAND", required=True)

    check = commands.add_parser("check", help="report syntax errors", description="Parse files and directory "
                                "trees (every *.tarn file, in sorted order) and report every syntax error.")
    check.add_argument("paths", nargs="+", metavar="PATH", help="a source file or a directory to search")
    _add_lang(check)
    check.add_argument("--format", choices=("text", "json"), default="text",
                       help="text: diagnostics with source lines and a summary; json: one object per line")
    check.add_argument("-j", "--jobs", type=_jobs, default=default_jobs(), metavar="N",
                       help="number of worker processes (default: all cores; 1 checks in this process)")
    check.add_argument("--exit-zero", action="store_true",
                       help="exit with 0 even when there are syntax errors (unreadable files still give 2)")
    check.set_defaults(run=command_check)

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
    _add_lang(tree)
    tree.set_defaults(run=command_tree)

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
        return 130
    except BrokenPipeError:
        # The reader went away (``tarn check . | head``): stop quietly.
        devnull = os.open(os.devnull, os.O_WRONLY)
        os.dup2(devnull, sys.stdout.fileno())
        return EXIT_ERRORS


if __name__ == "__main__":
    sys.exit(main())
