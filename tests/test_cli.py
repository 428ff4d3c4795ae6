"""The ``tarn`` command line, run as ``python -m tarn`` in a child process,
and its rendering of source lines and marks."""
from __future__ import annotations

import json
import os
import re
import shutil
import subprocess
import sys
from pathlib import Path

import pytest

from tarn import i18n, tree
from tarn.check import _ONE_CELL, FileReport, _shown, caret_lines, located, render_text
from tarn.lexer import _LineMap, tokenize
from tarn.parser import ParseError, parse_text

from conftest import CORPUS

VALID = sorted((CORPUS / "valid").glob("*.tarn"))
INVALID = sorted((CORPUS / "invalid").glob("*.tarn"))
HEADER = re.compile(r"^(?P<path>.+?):(?P<line>\d+):(?P<col>\d+): error: (?P<message>.*)$")
# A stray token at module level, on a tab-indented line: the error is known
# to sit at line 4, column 2 whatever its wording.
STRAY = "метод f()\n\tвозврат 1\n;\n\t)\n"


def tarn(*args: str, cwd: Path | None = None) -> subprocess.CompletedProcess[str]:
    env = dict(os.environ, PYTHONPATH=os.pathsep.join(sys.path), PYTHONIOENCODING="utf-8")
    return subprocess.run([sys.executable, "-m", "tarn", *args], cwd=cwd, env=env, capture_output=True,
                          text=True, encoding="utf-8", timeout=600)


def write(path: Path, content: str | bytes) -> Path:
    path.parent.mkdir(parents=True, exist_ok=True)
    path.write_bytes(content.encode("utf-8") if isinstance(content, str) else content)
    return path


def errors_in(text: str, lang: str) -> list[ParseError]:
    previous = i18n.get_language()
    i18n.set_language(lang)
    try:
        return parse_text(text)[1]
    finally:
        i18n.set_language(previous)


def expected_headers(path: str, text: str, lang: str = "en") -> list[str]:
    lm = _LineMap(text)
    return [f"{path}:{lm.linecol(e.start)[0]}:{lm.linecol(e.start)[1]}: error: {e.message}" for e in errors_in(text, lang)]


def diagnostics(stdout: str) -> list[tuple[str, str, str]]:
    """(header, source line, mark line) triples of text output."""
    lines = stdout.splitlines()
    return [(lines[i], lines[i + 1], lines[i + 2]) for i, line in enumerate(lines) if HEADER.match(line)]


class TestCheck:
    def test_exit_status_and_summary(self, tmp_path: Path) -> None:
        shutil.copy(VALID[0], tmp_path / "ok.tarn")
        write(tmp_path / "bad.tarn", STRAY)
        clean = tarn("check", "ok.tarn", cwd=tmp_path)
        assert (clean.returncode, clean.stdout, clean.stderr) == (0, "1 file, 0 errors\n", "")
        plain = tarn("check", "--lang", "en", "bad.tarn", cwd=tmp_path)
        headers = [d[0] for d in diagnostics(plain.stdout)]
        assert plain.returncode == 1 and headers == expected_headers("bad.tarn", STRAY)
        assert headers[0].startswith("bad.tarn:4:2: error: ") and len(headers) == 1 and plain.stdout.endswith("1 file, 1 error at 1 position\n")
        zero = tarn("check", "--lang", "en", "--exit-zero", "bad.tarn", cwd=tmp_path)
        assert (zero.returncode, zero.stdout) == (0, plain.stdout)
        missing = tarn("check", "--exit-zero", "nowhere.tarn", "bad.tarn", cwd=tmp_path)
        assert missing.returncode == 2 and "nowhere.tarn" in missing.stderr and "Traceback" not in missing.stderr
        assert "bad.tarn:4:2: error:" in missing.stdout and "1 file," in missing.stdout

    def test_invalid_utf8_is_reported_with_its_path_and_position(self, tmp_path: Path) -> None:
        write(tmp_path / "latin.tarn", "конст A = 1\n".encode("utf-8") + b"\xff\xfe\n")
        shutil.copy(VALID[0], tmp_path / "ok.tarn")
        result = tarn("check", "latin.tarn", "ok.tarn", cwd=tmp_path)
        assert result.returncode == 2 and result.stdout == "1 file, 0 errors\n"
        assert result.stderr.startswith("latin.tarn:2:1: error:") and "UTF-8" in result.stderr
        assert "Traceback" not in result.stderr

    @pytest.mark.parametrize("args", [[], ["check"], ["check", "-j", "0", "x.tarn"], ["check", "--lang", "de", "x.tarn"],
                                      ["check", "--format", "xml", "x.tarn"], ["tree"], ["frobnicate"], ["tokens", "--help"]])
    def test_usage(self, args: list[str]) -> None:
        result = tarn(*args)
        assert (result.returncode, "usage: tarn" in result.stdout + result.stderr) == (0 if "--help" in args else 2, True)

    def test_source_line_and_mark_under_each_span(self, tmp_path: Path) -> None:
        for source in INVALID:
            shutil.copy(source, tmp_path / source.name)
        result = tarn("check", "-j", "1", *[p.name for p in INVALID], cwd=tmp_path)
        found = diagnostics(result.stdout)
        assert result.returncode == 1 and len(found) >= len(INVALID)
        lines = {p.name: re.split("\r\n|\r|\n", p.read_bytes().decode("utf-8")) for p in INVALID}
        for header, shown, mark in found:
            match = HEADER.match(header)
            line, col = int(match["line"]), int(match["col"])  # type: ignore[index]
            source = lines[match["path"]][line - 1]  # type: ignore[index]
            # Every code point before the span is one cell (no wide or
            # control characters in the sample programs); tabs stay tabs.
            indent = "".join("\t" if ch == "\t" else " " for ch in source[: col - 1])
            assert shown == source and re.fullmatch(re.escape(indent) + r"\^~*", mark), (header, mark)
            assert len(mark) - len(indent) <= max(1, len(source) - col + 1)

    def test_line_breaks_and_byte_order_mark_by_the_lexer_rules(self, tmp_path: Path) -> None:
        text = "\ufeff// заголовок\r\nметод f()\r\tвозврат 1\n;\r\n\t)\n"
        write(tmp_path / "mixed.tarn", text)
        write(tmp_path / "bom.tarn", "\ufeff)\n")
        found = diagnostics(tarn("check", "--lang", "en", "mixed.tarn", "bom.tarn", cwd=tmp_path).stdout)
        assert [d[0] for d in found] == expected_headers("mixed.tarn", text) + expected_headers("bom.tarn", "\ufeff)\n")
        assert ("\t)", "\t^") in [d[1:] for d in found if d[0].startswith("mixed.tarn:5:2:")]
        assert found[-1][0].startswith("bom.tarn:1:2:") and found[-1][1:] == (")", "^")
        assert all("\r" not in shown for _, shown, _ in found)

    def test_json_lines(self, tmp_path: Path) -> None:
        write(tmp_path / "bad.tarn", STRAY)
        shutil.copy(VALID[0], tmp_path / "ok.tarn")
        result = tarn("check", "--format", "json", "--lang", "ru", "bad.tarn", "ok.tarn", cwd=tmp_path)
        lm = _LineMap(STRAY)
        assert result.returncode == 1 and [json.loads(line) for line in result.stdout.splitlines()] == [
            {"path": "bad.tarn", "start": e.start, "end": e.end, "line": lm.linecol(e.start)[0],
             "col": lm.linecol(e.start)[1], "end_line": lm.linecol(e.end)[0], "end_col": lm.linecol(e.end)[1],
             "message": e.message, "key": json.loads(line)["key"], "secondary": False}
            for e, line in zip(errors_in(STRAY, "ru"), result.stdout.splitlines())]

    def test_directories_sorted_and_only_sources(self, tmp_path: Path) -> None:
        for name in ("b/z.tarn", "a/y.tarn", "a/sub/x.tarn", "a-x.tarn", "a/notes.txt"):
            write(tmp_path / "tree" / name, STRAY)
        result = tarn("check", "tree", cwd=tmp_path)
        paths = list(dict.fromkeys(HEADER.match(h)["path"] for h, _, _ in diagnostics(result.stdout)))  # type: ignore
        # Sorted by path components: a directory's files before a sibling "a-x".
        assert paths == [str(Path("tree", p)) for p in ("a/sub/x.tarn", "a/y.tarn", "a-x.tarn", "b/z.tarn")]
        assert re.search(r"^4 files, \d+ errors at \d+ positions$", result.stdout, re.M)

    def test_parallel_output_equals_serial_in_each_language(self, tmp_path: Path) -> None:
        for i, source in enumerate((VALID + INVALID) * 2):
            shutil.copy(source, tmp_path / f"{i:02d}_{source.name}")
        for args in (["--lang", "en"], ["--lang", "ru", "--format", "json"]):
            serial = tarn("check", "-j", "1", *args, ".", cwd=tmp_path)
            parallel = tarn("check", "-j", "2", *args, ".", cwd=tmp_path)
            assert serial.returncode == parallel.returncode == 1
            assert (parallel.stdout, parallel.stderr) == (serial.stdout, serial.stderr)


class TestRendering:
    @pytest.mark.parametrize("line, first, last, expected", [
        ("abcdef", 1, 4, " ^~~"),
        ("abc", 1, 99, " ^~"),  # a span reaching past the line stops at its end
        ("abc", 3, 3, "   ^"),  # at the line break
        ("", 0, 0, "^"),
        ("\t  \tfoo", 4, 7, "\t  \t^~~"),
        ("日本 x", 3, 4, "     ^"),  # wide characters take two cells
    ])
    def test_caret_line(self, line: str, first: int, last: int, expected: str) -> None:
        assert caret_lines(line, first, last) == (line, expected)

    def test_one_cell_shortcut_agrees_with_the_per_character_rules(self) -> None:
        plain = [chr(c) for c in range(0x10000) if c != 9 and _ONE_CELL.fullmatch(chr(c))]
        assert len(plain) > 1000 and [ch for ch in plain if _shown(ch) != (ch, 1)] == []

    def test_invisible_characters_long_lines_and_spans_over_lines(self) -> None:
        assert caret_lines("a\x1bb\u202ec", 4, 5) == ("a<U+001B>b<U+202E>c", " " * 18 + "^")
        assert caret_lines("\ufeffx", 1, 2) == ("x", "^")
        shown, mark = caret_lines("x" * 5000 + "ERR" + "y" * 5000, 5000, 5003)
        assert len(shown) < 400 and shown.startswith("...") and shown.endswith("...")
        assert shown[mark.index("^"): mark.index("^") + 3] == "ERR" and mark.endswith("^~~")
        def report(start: int, end: int) -> FileReport:
            return FileReport("p", "ab\ncd\n", located("ab\ncd\n", [(start, end, "k", "m")]), None)

        assert render_text(report(1, 4)) == "p:1:2: error: m\nab\n ^\n"
        assert render_text(report(6, 7)) == "p:3:1: error: m\n\n^\n"


def test_tokens_and_tree(tmp_path: Path) -> None:
    text = "метод f()\r\n\tвозврат \"s\" // c\n;"
    write(tmp_path / "t.tarn", text)
    write(tmp_path / "b.tarn", "y z")
    result = tarn("tokens", "t.tarn", "nowhere.tarn", "b.tarn", cwd=tmp_path)
    assert result.returncode == 2 and "nowhere.tarn" in result.stderr
    assert result.stdout.splitlines() == ["t.tarn:", *map(repr, tokenize(text)), f"{len(tokenize(text))} tokens",
                                          "b.tarn:", *map(repr, tokenize("y z")), "3 tokens"]
    shutil.copy(VALID[0], tmp_path / "ok.tarn")
    module, errors = parse_text(VALID[0].read_text(encoding="utf-8"))
    assert tarn("tree", "ok.tarn", cwd=tmp_path).stdout == tree.dump(module, indent=2) + "\n"
    assert tree.from_json(tarn("tree", "--format", "json", "ok.tarn", cwd=tmp_path).stdout) == module
    write(tmp_path / "bad.tarn", STRAY)
    result = tarn("tree", "--lang", "en", "bad.tarn", cwd=tmp_path)
    assert result.returncode == 1 and result.stdout == tree.dump(parse_text(STRAY)[0], indent=2) + "\n"
    assert result.stderr.splitlines() == expected_headers("bad.tarn", STRAY)


@pytest.mark.parametrize("columns", ["52", "140", "0", "wide"])
def test_help_wraps_where_argparse_would(monkeypatch: pytest.MonkeyPatch, columns: str) -> None:
    # The command line measures the terminal itself (not through shutil):
    # every parser's help must come out as argparse's own formatter makes it.
    import argparse

    from tarn.__main__ import build_parser

    monkeypatch.setenv("COLUMNS", columns)
    top = build_parser()
    [commands] = [a for a in top._actions if isinstance(a, argparse._SubParsersAction)]
    for parser in [top, *commands.choices.values()]:
        ours = parser.format_help()
        parser.formatter_class = argparse.HelpFormatter
        assert ours == parser.format_help()


def test_everything_written_arrives_and_the_status_stays(tmp_path: Path) -> None:
    # The command leaves without tearing the interpreter down: what it wrote
    # past a pipe's buffer, on both streams, must still arrive, and a check
    # leaves no module behind that only SARIF needs.
    text = (CORPUS / "valid" / "cache.tarn").read_text(encoding="utf-8") * 300
    (tmp_path / "big.tarn").write_text(text, encoding="utf-8")
    (tmp_path / "bad.tarn").write_text(STRAY * 2000, encoding="utf-8")
    tokens = tarn("tokens", "big.tarn", cwd=tmp_path)
    lines = tokens.stdout.splitlines()
    assert tokens.returncode == 0 and len(tokens.stdout) > 1 << 20
    assert lines[-1] == f"{len(tokenize(text))} tokens" and len(lines) == len(tokenize(text)) + 1
    checked = tarn("check", "bad.tarn", "nowhere.tarn", cwd=tmp_path)
    assert checked.returncode == 2 and checked.stdout.endswith("1 file, 2000 errors at 2000 positions\n")
    assert checked.stderr == "nowhere.tarn: error: No such file or directory\n"
    # Measured against what the interpreter loaded before tarn: a site's .pth
    # files may load these modules themselves.
    code = ("import sys; before = set(sys.modules); from tarn.__main__ import main; "
            "main(['check', 'big.tarn']); new = set(sys.modules) - before; "
            "print(sorted(m for m in ('pathlib', 'shutil', 'urllib.parse') if m in new))")
    env = dict(os.environ, PYTHONPATH=os.pathsep.join(sys.path))
    assert subprocess.run([sys.executable, "-c", code], cwd=tmp_path, env=env, capture_output=True,
                          text=True).stdout.endswith("[]\n")
