"""What ``tarn fmt`` and ``tarn translate`` share: their messages (one table,
both languages), the refusal they raise for a file they leave untouched, the
comparison of two trees that decides whether a rewrite kept the meaning, and
the command line that runs either over files, directory trees or standard
input."""
from __future__ import annotations

import argparse
import functools
import os
import stat
import sys
from collections.abc import Callable, Iterator
from typing import Any, NamedTuple

from tarn import i18n
from tarn._cli import Unreadable, decode_source, read_source, set_language
from tarn.check import _jobs, collect, default_jobs
from tarn import parser as _parser

EXIT_CLEAN = 0
EXIT_CHANGED = 1  # --check found files to rewrite; syntax errors; refusals
EXIT_TROUBLE = 2  # usage errors, unreadable files, internal errors

MESSAGES = {
    "rewrite.syntax-error": {
        "ru": "файл содержит синтаксические ошибки и не изменён: {message}",
        "en": "the file has syntax errors and was left unchanged: {message}",
    },
    "rewrite.unsafe": {
        "ru": "внутренняя ошибка: {what} изменило бы смысл программы ({detail}); файл не изменён",
        "en": "internal error: {what} would change what the program means ({detail}); the file was left unchanged",
    },
    "rewrite.what-fmt": {"ru": "форматирование", "en": "formatting"},
    "rewrite.what-translate": {"ru": "перевод", "en": "translation"},
    "rewrite.detail-tokens": {
        "ru": "лексемы отличаются в строке {line}, столбце {col}",
        "en": "the tokens differ at line {line}, column {col}",
    },
    "rewrite.detail-errors": {
        "ru": "результат не разбирается: {message}",
        "en": "the result does not parse: {message}",
    },
    "rewrite.detail-tree": {
        "ru": "дерево разбора отличается в строке {line}, столбце {col}",
        "en": "the syntax tree differs at line {line}, column {col}",
    },
    "rewrite.detail-region": {
        "ru": "текст встроенного блока отличается в строке {line}, столбце {col}",
        "en": "the text of an embedded block differs at line {line}, column {col}",
    },
    "rewrite.reads-differently": {
        "ru": "после перевода это место читалось бы иначе",
        "en": "after translation this place would read differently",
    },
    "rewrite.no-form": {
        "ru": "у ключевого слова '{word}' нет формы на языке '{lang}'",
        "en": "the keyword '{word}' has no form in the language '{lang}'",
    },
    "rewrite.unreadable-interpolation": {
        "ru": "код в этой интерполяции не разбирается, а ключевые слова в нём ('{word}') переводить вслепую нельзя",
        "en": "the code in this interpolation does not parse, and its keywords ('{word}') cannot be translated blindly",
    },
    "rewrite.would-reformat": {"ru": "будет переформатирован", "en": "would be reformatted"},
    "rewrite.reformatted": {"ru": "переформатирован", "en": "reformatted"},
    "rewrite.would-translate": {"ru": "будет переведён", "en": "would be translated"},
    "rewrite.translated": {"ru": "переведён", "en": "translated"},
    "rewrite.cannot-write": {"ru": "не удалось записать файл: {reason}", "en": "cannot write the file: {reason}"},
    "rewrite.not-utf8": {
        "ru": "стандартный ввод не в UTF-8 (байт 0x{byte:02x}, смещение {offset})",
        "en": "standard input is not valid UTF-8 (byte 0x{byte:02x} at offset {offset})",
    },
    "rewrite.summary": {
        "ru": "файлов: {files}; изменено бы: {changed}; без изменений: {same}; отказов: {refused}",
        "en": "files: {files}; would change: {changed}; unchanged: {same}; refused: {refused}",
    },
    "rewrite.summary-done": {
        "ru": "файлов: {files}; изменено: {changed}; без изменений: {same}; отказов: {refused}",
        "en": "files: {files}; changed: {changed}; unchanged: {same}; refused: {refused}",
    },
    "rewrite.error": {"ru": "ошибка", "en": "error"},
}
i18n.register(MESSAGES)


def message(key: str, **fields: object) -> str:
    return i18n.t(key, **fields)


class Refusal(Exception):
    """A file a rewrite leaves untouched. `places` are (code-point offset,
    message key, fields) triples, each reported as its own line; `status` is
    the exit status it calls for."""

    status = EXIT_CHANGED

    def __init__(self, places: list[tuple[int, str, dict[str, object]]]) -> None:
        self.places = places
        super().__init__(self.describe())

    def describe(self) -> str:
        return "; ".join(message(key, **fields) for _, key, fields in self.places)

    def lines(self, path: str, text: str) -> list[str]:
        """``path:line:col: error: message``, one per place."""
        from tarn.lexer import _LineMap

        lm = _LineMap(text)
        out = []
        for offset, key, fields in self.places:
            line, col = lm.linecol(max(0, min(offset, len(text))))
            out.append(f"{path}:{line}:{col}: {message('rewrite.error')}: {message(key, **fields)}")
        return out


class SourceHasErrors(Refusal):
    """The parser reported syntax errors: rewriting broken code could lose it."""

    def __init__(self, error: _parser.ParseError) -> None:
        super().__init__([(error.start, "rewrite.syntax-error", {"message": error.message})])


class InternalError(Refusal):
    """The rewrite would not keep the program; it is a fault of the tool."""

    status = EXIT_TROUBLE


def first_error_or_module(text: str) -> _parser.Module:
    """The tree of `text`; `SourceHasErrors` naming its first syntax error,
    or the place where it nests too deeply to parse."""
    try:
        module, errors = _parser.parse_text(text)
    except RecursionError as exc:
        raise SourceHasErrors(_parser.ParseError(_offset_named(text, str(exc)), len(text), str(exc))) from None
    if errors:
        raise SourceHasErrors(errors[0])
    return module


def _offset_named(text: str, report: str) -> int:
    """The offset of "at line L, column C" in a parser report (0 if none)."""
    import re

    from tarn.lexer import _line_starts

    found = re.search(r"line (\d+), column (\d+)", report)
    if not found:
        return 0
    starts = _line_starts(text)
    line, col = int(found.group(1)), int(found.group(2))
    return min(starts[min(line, len(starts)) - 1] + col - 1, len(text))


# ---------------------------------------------------------------- sameness of trees

_SKIPPED = ("start", "end")
_FIELDS: dict[type, tuple[str, ...]] = {}


def _fields_of(cls: type) -> tuple[str, ...]:
    names = _FIELDS.get(cls)
    if names is None:
        names = _FIELDS[cls] = tuple(f for f in getattr(cls, "__match_args__") if f not in _SKIPPED)
    return names


Normalise = Callable[[Any, str, Any], Any]


def tree_differences(old: _parser.Node, new: _parser.Node, normalise: Normalise | None = None,
                     limit: int = 20) -> list[int]:
    """Start offsets (in the old tree) of the innermost records where the two
    trees differ, positions aside; at most `limit` of them. `normalise(record,
    field, value)` may map a field's value before comparing (both sides)."""
    places: list[int] = []
    todo: list[tuple[Any, Any, Any]] = [(old, new, old)]
    while todo and len(places) < limit:
        a, b, owner = todo.pop()
        if isinstance(a, _parser.Node):
            if type(a) is not type(b):
                places.append(a.start)
                continue
            for name in _fields_of(type(a)):
                x, y = getattr(a, name), getattr(b, name)
                if normalise is not None:
                    x, y = normalise(a, name, x), normalise(b, name, y)
                if isinstance(x, (_parser.Node, list, tuple)):
                    todo.append((x, y, a))
                elif x != y:
                    places.append(a.start)
                    break
        elif isinstance(a, (list, tuple)):
            if not isinstance(b, (list, tuple)) or len(a) != len(b):
                places.append(owner.start)
                continue
            todo.extend((x, y, owner) for x, y in zip(a, b))
        elif a != b:
            places.append(owner.start)
    return sorted(set(places))


# ---------------------------------------------------------------- command line


def write_atomically(path: str, text: str) -> None:
    """Replaces the file in one step: a temporary file in the same directory,
    flushed to disk, given the old file's permissions, then renamed over it. A
    crash or a full disk leaves either the old or the new file, never half of
    one. A symbolic link keeps pointing at the (rewritten) file it named."""
    target = os.path.realpath(path)
    directory = os.path.dirname(target) or "."
    mode = stat.S_IMODE(os.stat(target).st_mode)
    import tempfile  # imported here, not at the top: `tarn check`, which loads this module, starts faster

    fd, temp = tempfile.mkstemp(dir=directory, prefix="." + os.path.basename(target) + ".", suffix=".tmp")
    try:
        with os.fdopen(fd, "wb") as stream:
            stream.write(text.encode("utf-8"))
            stream.flush()
            os.fsync(stream.fileno())
        os.chmod(temp, mode)
        os.replace(temp, target)
    except BaseException:
        try:
            os.unlink(temp)
        except OSError:
            pass
        raise
    try:  # make the rename itself durable
        dir_fd = os.open(directory, os.O_RDONLY)
    except OSError:
        return
    try:
        os.fsync(dir_fd)
    except OSError:
        pass
    finally:
        os.close(dir_fd)


def unified_diff(path: str, old: str, new: str) -> str:
    import difflib

    lines = difflib.unified_diff(old.splitlines(keepends=True), new.splitlines(keepends=True),
                                 fromfile=path, tofile=path)
    out = []
    for line in lines:
        out.append(line if line.endswith(("\n", "\r")) else line + "\n\\ No newline at end of file\n")
    return "".join(out)


class Command(NamedTuple):
    """One rewriting command: its name, the rewrite of a text (given the
    target language, if any), and the message keys of its report lines."""

    name: str
    rewrite: Callable[[str, str | None], str]
    would: str
    done: str


class Outcome(NamedTuple):
    """What became of one file: "same", "changed", "refused" or "trouble",
    the text for standard output and for standard error, the exit status."""

    kind: str
    out: str
    err: str
    status: int


def process(name: str, path: str, check: bool, diff: bool, to: str | None) -> Outcome:
    """Reads, rewrites and (unless `check` or `diff`) replaces one file; runs
    in worker processes."""
    command = COMMANDS[name]
    try:
        text = read_source(path)
    except Unreadable as exc:
        return Outcome("trouble", "", f"{exc}\n", EXIT_TROUBLE)
    try:
        new = command.rewrite(text, to)
    except Refusal as exc:
        return Outcome("refused", "", "".join(line + "\n" for line in exc.lines(path, text)), exc.status)
    if new == text:
        return Outcome("same", "", "", EXIT_CLEAN)
    if diff or check:
        out = unified_diff(path, text, new) if diff else f"{path}: {message(command.would)}\n"
        return Outcome("changed", out, "", EXIT_CHANGED if check else EXIT_CLEAN)
    try:
        write_atomically(path, new)
    except OSError as exc:
        reason = message("rewrite.cannot-write", reason=exc.strerror or exc)
        return Outcome("trouble", "", f"{path}: {message('rewrite.error')}: {reason}\n", EXIT_TROUBLE)
    return Outcome("changed", f"{path}: {message(command.done)}\n", "", EXIT_CLEAN)


def _outcomes(name: str, files: list[str], args: argparse.Namespace) -> Iterator[Outcome]:
    """Outcomes in the order of `files`, computed in ``args.jobs`` processes."""
    work = functools.partial(process, name, check=args.check, diff=args.diff, to=getattr(args, "to", None))
    jobs = args.jobs or default_jobs()
    if jobs <= 1 or len(files) <= 1:
        yield from map(work, files)
        return
    workers = min(jobs, len(files))
    chunk = max(1, min(64, len(files) // (workers * 8)))
    from concurrent.futures import ProcessPoolExecutor

    with ProcessPoolExecutor(workers, initializer=set_language, initargs=(args.lang,)) as pool:
        yield from pool.map(work, files, chunksize=chunk)


def run(command: Command, args: argparse.Namespace) -> int:
    set_language(args.lang)
    if "-" in args.paths:
        if args.paths != ["-"]:
            print(f"tarn {command.name}: error: '-' (standard input) cannot be combined with paths",
                  file=sys.stderr)
            return EXIT_TROUBLE
        return _run_stdin(command, args)
    files, missing = collect(args.paths, ())
    for report in missing:
        print(report, file=sys.stderr)
    status = EXIT_TROUBLE if missing else EXIT_CLEAN
    counts = {"same": 0, "changed": 0, "refused": 0, "trouble": 0}
    for outcome in _outcomes(command.name, files, args):
        counts[outcome.kind] += 1
        status = max(status, outcome.status)
        sys.stdout.write(outcome.out)
        if outcome.err:
            sys.stdout.flush()
            sys.stderr.write(outcome.err)
    if not args.quiet:
        key = "rewrite.summary" if args.check or args.diff else "rewrite.summary-done"
        print(message(key, files=len(files), changed=counts["changed"], same=counts["same"],
                      refused=counts["refused"] + counts["trouble"]), file=sys.stderr)
    return status


def _run_stdin(command: Command, args: argparse.Namespace) -> int:
    name = "<stdin>"
    try:
        text = decode_source(name, sys.stdin.buffer.read())
    except Unreadable as exc:
        print(exc, file=sys.stderr)
        return EXIT_TROUBLE
    try:
        new = command.rewrite(text, getattr(args, "to", None))
    except Refusal as exc:
        for line in exc.lines(name, text):
            print(line, file=sys.stderr)
        return exc.status
    if args.diff:
        sys.stdout.write(unified_diff(name, text, new))
    elif not args.check:
        sys.stdout.flush()
        sys.stdout.buffer.write(new.encode("utf-8"))
    return EXIT_CHANGED if args.check and new != text else EXIT_CLEAN


def add_common(sub: argparse.ArgumentParser) -> None:
    sub.add_argument("paths", nargs="+", metavar="PATH",
                     help="a source file, a directory to search for *.tarn files, or - for standard input")
    sub.add_argument("--check", action="store_true",
                     help="change nothing; list the files that would change and exit with 1 if there are any")
    sub.add_argument("--diff", action="store_true", help="change nothing; print a unified diff of the changes")
    sub.add_argument("-q", "--quiet", action="store_true", help="no summary line")
    sub.add_argument("-j", "--jobs", type=_jobs, default=None, metavar="N",
                     help="number of worker processes (default: all cores; 1 works in this process)")
    sub.add_argument("--lang", choices=("ru", "en"), default=None,
                     help="language of the messages (default: as tarn.i18n decides)")


def _fmt(text: str, to: str | None) -> str:
    from tarn import fmt

    return fmt.format_text(text)


def _translate(text: str, to: str | None) -> str:
    from tarn import translate

    assert to is not None
    return translate.translate_text(text, to)


FMT = Command("fmt", _fmt, "rewrite.would-reformat", "rewrite.reformatted")
TRANSLATE = Command("translate", _translate, "rewrite.would-translate", "rewrite.translated")
COMMANDS = {c.name: c for c in (FMT, TRANSLATE)}


def add_command(commands: argparse._SubParsersAction) -> None:  # type: ignore[type-arg]
    """Adds ``fmt`` and ``translate`` to the command line."""
    fmt = commands.add_parser(
        "fmt", help="rewrite files in the canonical layout",
        description="Rewrite files in place in the one canonical layout (indentation, spacing, blank lines); "
                    "files with syntax errors are left untouched. Exit status: 0 done, 1 files would change "
                    "(--check) or have syntax errors, 2 usage errors, unreadable files or internal errors.")
    add_common(fmt)
    fmt.set_defaults(run=lambda args: run(FMT, args))
    tr = commands.add_parser(
        "translate", help="switch the keywords of files between Russian and English",
        description="Rewrite every keyword in its form of the language --to names (names, strings and comments "
                    "stay as they are); refuses, naming the place, where the result would read differently.")
    tr.add_argument("--to", choices=("ru", "en"), required=True, help="language of the keywords to write")
    add_common(tr)
    tr.set_defaults(run=lambda args: run(TRANSLATE, args))

