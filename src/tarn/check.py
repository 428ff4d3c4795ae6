"""``tarn check``: the syntax errors of files and directory trees, for people
(text with carets) and for CI (JSON lines, SARIF 2.1.0, GitHub Actions
workflow commands).

Files are read and parsed on native threads (``tarn._check``); only the
diagnostics become Python objects, translated when their file is reported.
"""
from __future__ import annotations

import argparse
import contextlib
import fnmatch
import json
import os
import re
import sys
import time
import unicodedata
from collections.abc import Generator, Iterable, Iterator, Sequence
from typing import TYPE_CHECKING, NamedTuple, TextIO

import tarn
from tarn import _check, i18n
from tarn._cli import EXIT_CLEAN, EXIT_ERRORS, EXIT_TROUBLE, Unreadable, add_lang, decode_source, plural, set_language
from tarn.lexer import _LineMap

if TYPE_CHECKING:  # pathlib and urllib load only for SARIF: they are a tenth of the start-up
    from pathlib import Path

SOURCE_SUFFIX = ".tarn"
STDIN = "-"
# Beyond this many files a terminal gets a progress line on stderr.
PROGRESS_MIN_FILES = 300
PROGRESS_INTERVAL = 0.1
# Longer source lines are shown as a window around the diagnostic.
LONG_LINE = 300
WINDOW_BEFORE = 100
WINDOW_AFTER = 200
FORMATS = ("text", "json", "sarif", "github")
# The key of the one entry a text nested past the parser's bound gets; its
# text is the RecursionError's, which names the place.
NESTING_KEY = "tarn.nesting-too-deep"
NESTING_RULE_TEXT = "Maximum nesting depth exceeded while parsing"
SARIF_SCHEMA = "https://docs.oasis-open.org/sarif/sarif/v2.1.0/errata01/os/schemas/sarif-schema-2.1.0.json"


class Diagnostic(NamedTuple):
    start: int  # code-point offsets, end exclusive (may be one past the text)
    end: int
    key: str
    message: str
    line: int
    col: int
    end_line: int
    end_col: int
    secondary: bool  # an earlier diagnostic starts at the same place


class FileReport(NamedTuple):
    path: str
    text: str  # "" when the file is clean or unreadable
    diagnostics: list[Diagnostic]  # by start, in the parser's order at one start
    failure: str | None  # report line for stderr when the file could not be checked


def located(text: str, entries: Iterable[tuple[int, int, str, str]]) -> list[Diagnostic]:
    """Entries of ``tarn._check`` sorted by start (stable), with positions and
    the cascades marked."""
    ordered = sorted(entries, key=lambda entry: entry[0])
    if not ordered:
        return []
    lm = _LineMap(text)
    found: list[Diagnostic] = []
    previous = None
    for start, end, key, message in ordered:
        line, col = lm.linecol(start)
        end_line, end_col = lm.linecol(end)
        found.append(Diagnostic(start, end, key, message, line, col, end_line, end_col, start == previous))
        previous = start
    return found


def grouped(diagnostics: list[Diagnostic]) -> list[tuple[Diagnostic, list[Diagnostic]]]:
    """Each first diagnostic at a start with the ones after it there."""
    groups: list[tuple[Diagnostic, list[Diagnostic]]] = []
    for d in diagnostics:
        if d.secondary and groups:
            groups[-1][1].append(d)
        else:
            groups.append((d, []))
    return groups


# ---------------------------------------------------------------- finding files


def _excluded(name: str, below: str, shown: str, patterns: Sequence[str]) -> bool:
    """A pattern matches the name, the path below the walked directory, or the
    path as shown."""
    return any(fnmatch.fnmatchcase(name, p) or fnmatch.fnmatchcase(below, p) or fnmatch.fnmatchcase(shown, p)
               for p in patterns)


def normalised(path: str) -> str:
    """The path as str(pathlib.Path(path)) gives it: runs of "/" as one (but
    exactly two at the start), "." parts and a final "/" dropped."""
    lead = "//" if path.startswith("//") and not path.startswith("///") else "/" if path.startswith("/") else ""
    return lead + "/".join(part for part in path.split("/") if part and part != ".") or "."


def walk(root: str, excludes: Sequence[str], seen: set[tuple[int, int]], problems: list[str]) -> list[str]:
    """The sources below `root`, sorted by path components. Symbolic links are
    followed, but every directory and file is taken once (a link back up the
    tree is not a loop). Plain files need no stat call of their own."""
    base = normalised(root)
    strip = 2 if base == "." else 0  # "./a.tarn" is shown as "a.tarn"
    found: list[tuple[tuple[str, ...], str]] = []
    pending: list[tuple[str, tuple[str, ...]]] = [(base, ())]
    while pending:
        directory, parts = pending.pop()
        try:
            info = os.stat(directory)
            with os.scandir(directory) as listing:
                entries = sorted(listing, key=lambda e: e.name)
        except OSError as exc:
            problems.append(f"{exc.filename}: error: {exc.strerror or exc}")
            continue
        if (info.st_dev, info.st_ino) in seen:
            continue
        seen.add((info.st_dev, info.st_ino))
        subdirectories = []
        for entry in entries:
            rel = parts + (entry.name,)
            shown = entry.path[strip:]
            try:
                is_dir = entry.is_dir()
                if not is_dir and not (entry.name.endswith(SOURCE_SUFFIX) and entry.is_file()):
                    continue
                if excludes and _excluded(entry.name, "/".join(rel), shown, excludes):
                    continue
                if is_dir:
                    subdirectories.append((entry.path, rel))
                    continue
                key = (entry.stat().st_dev, entry.stat().st_ino) if entry.is_symlink() else (info.st_dev, entry.inode())
            except OSError:
                continue  # gone meanwhile, or a dangling link
            if key not in seen:
                seen.add(key)
                found.append((rel, shown))
        pending.extend(reversed(subdirectories))  # depth first, in sorted order
    return [shown for _, shown in sorted(found)]


def collect(paths: Sequence[str], excludes: Sequence[str]) -> tuple[list[str], list[str]]:
    """What to check, in order (STDIN stands for standard input), and report
    lines for paths that do not exist or directories that cannot be read."""
    items: list[str] = []
    problems: list[str] = []
    seen: set[tuple[int, int]] = set()
    for given in paths:
        if given == STDIN:
            items.append(STDIN)
        elif os.path.isdir(given):
            items.extend(walk(given, excludes, seen, problems))
        elif os.path.lexists(given):
            items.append(given)
        else:
            problems.append(f"{given}: error: No such file or directory")
    return items, problems


# ---------------------------------------------------------------- checking


def _report(path: str, text: str | None, entries: list[tuple[int, int, str, str]]) -> FileReport:
    text = text or ""
    return FileReport(path, text, located(text, entries), None)


def read_stdin(name: str) -> FileReport:
    if sys.stdin is None:
        return FileReport(name, "", [], f"{name}: error: there is no standard input")
    try:
        text = decode_source(name, sys.stdin.buffer.read())
    except Unreadable as exc:
        return FileReport(name, "", [], str(exc))
    except OSError as exc:
        return FileReport(name, "", [], f"{name}: error: {exc.strerror or exc}")
    return _report(name, text, _check.diagnostics(text))


def check(items: Sequence[str], jobs: int, stdin_name: str = "<stdin>") -> Generator[FileReport, None, None]:
    """A report per item, in order. Closing the iterator stops the workers."""
    files = [item for item in items if item != STDIN]
    with contextlib.closing(_check.check_files(files, jobs)) as results:
        for item in items:
            if item == STDIN:
                yield read_stdin(stdin_name)
                continue
            try:
                text, entries, error = next(results)
            except MemoryError:
                yield FileReport(item, "", [], f"{item}: error: not enough memory to check it")
                continue
            if isinstance(error, int):
                yield FileReport(item, "", [], f"{item}: error: {os.strerror(error)}")
            elif isinstance(error, bytes):
                try:
                    text = decode_source(item, error)
                except Unreadable as exc:
                    yield FileReport(item, "", [], str(exc))
                else:  # the host's decoder accepts what the native one refused
                    yield _report(item, text, _check.diagnostics(text))
            else:
                yield _report(item, text, entries)


# ---------------------------------------------------------------- text


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


def _first_line_end(d: Diagnostic, source: str) -> int:
    """Columns are 1-based: the end column of the span clipped to its first line."""
    return d.end_col if d.end_line == d.line else len(source) + 1


def render_text(report: FileReport, every: bool = False) -> str:
    """``path:line:col: error: message`` with the source line and its mark; a
    cascade as its first diagnostic with "(+N more here)" unless `every`."""
    out: list[str] = []
    for d, source, more in _each_shown(report, every):
        shown, mark = caret_lines(source, d.col - 1, _first_line_end(d, source) - 1)
        out.append(f"{report.path}:{d.line}:{d.col}: error: {d.message}{more}\n{shown}\n{mark}\n")
    return "".join(out)


def _each_shown(report: FileReport, every: bool) -> Iterator[tuple[Diagnostic, str, str]]:
    """Each diagnostic to show, its source line and its " (+N more here)"."""
    if not report.diagnostics:
        return
    starts = _LineMap(report.text)._starts
    for d, others in ([(d, []) for d in report.diagnostics] if every else grouped(report.diagnostics)):
        yield d, _line_of(report.text, starts, d.line), f" (+{len(others)} more here)" if others else ""


# ---------------------------------------------------------------- machine formats


def render_json(report: FileReport) -> str:
    """One JSON object per diagnostic and line, cascades included and marked."""
    return "".join(json.dumps({
        "path": report.path, "start": d.start, "end": d.end, "line": d.line, "col": d.col,
        "end_line": d.end_line, "end_col": d.end_col, "message": d.message, "key": d.key,
        "secondary": d.secondary,
    }, ensure_ascii=False) + "\n" for d in report.diagnostics)


def _escape_data(text: str) -> str:
    return text.replace("%", "%25").replace("\r", "%0D").replace("\n", "%0A")


def _escape_property(text: str) -> str:
    return _escape_data(text).replace(":", "%3A").replace(",", "%2C")


def github_command(path: str, message: str, line: int | None = None, col: int | None = None,
                   end_col: int | None = None, title: str | None = None) -> str:
    """``::error file=…,line=…,col=…,endLine=…,endColumn=…::message``; the span
    lies on one line (GitHub drops columns otherwise); endColumn is exclusive."""
    props = [f"file={_escape_property(path)}"]
    if line is not None:
        props.append(f"line={line}")
        if col is not None:
            props.append(f"col={col}")
        props.append(f"endLine={line}")
        if end_col is not None:
            props.append(f"endColumn={end_col}")
    if title:
        props.append(f"title={_escape_property(title)}")
    return f"::error {','.join(props)}::{_escape_data(message)}\n"


def render_github(report: FileReport, every: bool = False) -> str:
    return "".join(github_command(report.path, d.message + more, d.line, d.col,
                                  max(d.col, min(_first_line_end(d, source), len(source) + 1)), d.key)
                   for d, source, more in _each_shown(report, every))


class Sarif:
    """One SARIF 2.1.0 log with one run: a rule per message key, a result per
    diagnostic (a cascade as one result whose related locations are the
    others, unless every diagnostic is wanted)."""

    def __init__(self, root: Path, every: bool) -> None:
        self.root = root
        self.every = every
        self.rule_index = {key: i for i, key in enumerate(_check.MESSAGE_KEYS)}
        self.results: list[dict[str, object]] = []
        self.notifications: list[dict[str, object]] = []

    def artifact(self, path: str) -> dict[str, str]:
        """Paths below the root as URIs relative to it; others absolute."""
        from pathlib import Path
        from urllib.parse import quote

        absolute = Path(os.path.abspath(path))
        try:
            below = absolute.relative_to(self.root)
        except ValueError:
            return {"uri": absolute.as_uri()}
        return {"uri": quote(below.as_posix()), "uriBaseId": "SRCROOT"}

    def location(self, report: FileReport, lm: _LineMap, d: Diagnostic, message: bool) -> dict[str, object]:
        # Regions stay inside the text: an empty span at its end is widened
        # to one code point past it by the parser.
        start = min(d.start, len(report.text))
        end = min(max(d.end, start), len(report.text))
        line, col = lm.linecol(start)
        end_line, end_col = lm.linecol(end)
        region = {"startLine": line, "startColumn": col, "endLine": end_line, "endColumn": end_col,
                  "charOffset": start, "charLength": end - start}
        location: dict[str, object] = {
            "physicalLocation": {"artifactLocation": self.artifact(report.path), "region": region}}
        if message:
            location["message"] = {"text": d.message}
        return location

    def add(self, report: FileReport) -> None:
        if report.failure is not None:
            self.notifications.append({"level": "error", "message": {"text": report.failure},
                                       "locations": [{"physicalLocation": {
                                           "artifactLocation": self.artifact(report.path)}}]})
            return
        if not report.diagnostics:
            return
        lm = _LineMap(report.text)
        for d, others in ([(d, []) for d in report.diagnostics] if self.every else grouped(report.diagnostics)):
            result: dict[str, object] = {
                "ruleId": d.key, "ruleIndex": self.rule_index[d.key], "level": "error",
                "message": {"text": d.message}, "locations": [self.location(report, lm, d, False)]}
            if others:
                result["relatedLocations"] = [dict(self.location(report, lm, o, True), id=i)
                                              for i, o in enumerate(others, 1)]
            self.results.append(result)

    def problem(self, line: str) -> None:
        self.notifications.append({"level": "error", "message": {"text": line}})

    def document(self, successful: bool) -> dict[str, object]:
        rules = [{"id": key, "shortDescription": {"text": _english(key)},
                  "defaultConfiguration": {"level": "error"}} for key in _check.MESSAGE_KEYS]
        return {
            "$schema": SARIF_SCHEMA,
            "version": "2.1.0",
            "runs": [{
                "tool": {"driver": {"name": "tarn", "version": tarn.__version__,
                                    "semanticVersion": tarn.__version__, "rules": rules}},
                "originalUriBaseIds": {"SRCROOT": {"uri": self.root.as_uri() + "/"}},
                "columnKind": "unicodeCodePoints",
                "invocations": [{"executionSuccessful": successful,
                                 "toolExecutionNotifications": self.notifications}],
                "results": self.results,
            }],
        }


def _english(key: str) -> str:
    if key == NESTING_KEY:
        return NESTING_RULE_TEXT
    return i18n.render(key, "en", kw="…")


# ---------------------------------------------------------------- the command


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


def default_jobs() -> int:
    try:
        return len(os.sched_getaffinity(0))
    except AttributeError:
        return os.cpu_count() or 1


def summary(files: int, errors: int, positions: int) -> str:
    line = f"{plural(files, 'file')}, {plural(errors, 'error')}"
    return line + f" at {plural(positions, 'position')}" if errors else line


def run(args: argparse.Namespace) -> int:
    set_language(args.lang)
    if args.paths.count(STDIN) > 1:
        print("tarn check: error: standard input ('-') can be read only once", file=sys.stderr)
        return EXIT_TROUBLE
    items, problems = collect(args.paths, args.exclude)
    sarif = None
    if args.format == "sarif":
        from pathlib import Path

        sarif = Sarif(Path.cwd(), args.all)
    for line in problems:
        print(line, file=sys.stderr)
        if sarif:
            sarif.problem(line)
    status = EXIT_TROUBLE if problems else EXIT_CLEAN
    checked = errors = positions = 0
    progress = Progress(len(items), sys.stderr)
    out = sys.stdout
    with contextlib.closing(check(items, args.jobs, args.stdin_filename)) as reports:
        for done, report in enumerate(reports, 1):
            if report.failure is not None or (report.diagnostics and progress.shares_screen):
                progress.clear()
            if report.failure is not None:
                print(report.failure, file=sys.stderr)
                status = EXIT_TROUBLE
            else:
                checked += 1
                errors += len(report.diagnostics)
                positions += sum(not d.secondary for d in report.diagnostics)
                if report.diagnostics and not args.exit_zero:
                    status = max(status, EXIT_ERRORS)
            if sarif:
                sarif.add(report)
            elif args.format == "text":
                out.write(render_text(report, args.all))
            elif args.format == "json":
                out.write(render_json(report))
            elif report.failure is None:
                out.write(render_github(report, args.all))
            else:
                out.write(github_command(report.path, report.failure))
            progress.update(done)
    progress.clear()
    if sarif:
        json.dump(sarif.document(status != EXIT_TROUBLE), out, ensure_ascii=False, indent=2)
        out.write("\n")
    elif args.format == "text":
        out.write(summary(checked, errors, positions) + "\n")
    return status


def _jobs(value: str) -> int:
    try:
        jobs = int(value)
    except ValueError:
        jobs = 0
    if jobs < 1:
        raise argparse.ArgumentTypeError(f"expected a positive number of threads, got {value!r}")
    return jobs


def add_command(commands: argparse._SubParsersAction) -> None:  # type: ignore[type-arg]
    check = commands.add_parser(
        "check", help="report syntax errors",
        description="Parse files and directory trees (every *.tarn file, in sorted order; symbolic links are "
                    "followed, each file is checked once) and report every syntax error, sorted by position. "
                    "Exit status: 0 clean, 1 syntax errors, 2 usage errors or unreadable files.")
    check.add_argument("paths", nargs="+", metavar="PATH",
                       help="a source file, a directory to search, or - for standard input")
    add_lang(check)
    check.add_argument("--format", choices=FORMATS, default="text",
                       help="text: diagnostics with source lines and a summary; json: one object per line; "
                            "sarif: a SARIF 2.1.0 log; github: GitHub Actions annotations")
    check.add_argument("--all", action="store_true",
                       help="show every diagnostic of a cascade (several at one place), not only the first")
    check.add_argument("-j", "--jobs", type=_jobs, default=default_jobs(), metavar="N",
                       help="number of threads that read and parse files (default: all cores)")
    check.add_argument("--exclude", action="append", default=[], metavar="GLOB",
                       help="skip files and directories of a directory walk whose name, path below the searched "
                            "directory or path matches GLOB (repeatable)")
    check.add_argument("--stdin-filename", default="<stdin>", metavar="NAME",
                       help="the name shown for standard input (-)")
    check.add_argument("--exit-zero", action="store_true",
                       help="exit with 0 even when there are syntax errors (unreadable files still give 2)")
    check.set_defaults(run=run)
