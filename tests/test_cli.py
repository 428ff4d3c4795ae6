"""The ``tarn`` command line, run as ``python -m tarn`` in a child process."""
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
from tarn.parser import parse_text

CORPUS = Path(__file__).parent / "data" / "corpus"
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
    if isinstance(content, str):
        content = content.encode("utf-8")
    path.write_bytes(content)
    return path


def expected_headers(path: str, text: str, lang: str | None = None) -> list[str]:
    """Diagnostic header lines computed in this process."""
    previous = i18n.get_language()
    if lang is not None:
        i18n.set_language(lang)
    try:
        _, errors = parse_text(text)
    finally:
        i18n.set_language(previous)
    lm = _LineMap(text)
    return [f"{path}:{lm.linecol(e.start)[0]}:{lm.linecol(e.start)[1]}: error: {e.message}" for e in errors]


def diagnostics(stdout: str) -> list[tuple[str, str, str]]:
    """(header, source line, mark line) triples of text output."""
    lines = stdout.splitlines()
    return [(lines[i], lines[i + 1], lines[i + 2]) for i, line in enumerate(lines) if HEADER.match(line)]


class TestCheckStatus:
    def test_clean_file(self, tmp_path: Path) -> None:
        shutil.copy(VALID[0], tmp_path / "ok.tarn")
        result = tarn("check", "ok.tarn", cwd=tmp_path)
        assert (result.returncode, result.stdout, result.stderr) == (0, "1 file, 0 errors\n", "")

    def test_file_with_errors(self, tmp_path: Path) -> None:
        write(tmp_path / "bad.tarn", STRAY)
        result = tarn("check", "--lang", "en", "bad.tarn", cwd=tmp_path)
        assert result.returncode == 1
        headers = [d[0] for d in diagnostics(result.stdout)]
        assert headers == expected_headers("bad.tarn", STRAY, "en")
        assert any(h.startswith("bad.tarn:4:2: error: ") for h in headers)
        assert re.search(r"^1 file, \d+ errors? at \d+ positions?$", result.stdout, re.M)

    def test_exit_zero_reports_the_same_errors_but_not_unreadable_files(self, tmp_path: Path) -> None:
        write(tmp_path / "bad.tarn", STRAY)
        plain = tarn("check", "bad.tarn", cwd=tmp_path)
        zero = tarn("check", "--exit-zero", "bad.tarn", cwd=tmp_path)
        assert (zero.returncode, zero.stdout) == (0, plain.stdout)
        assert tarn("check", "--exit-zero", "nowhere.tarn", "bad.tarn", cwd=tmp_path).returncode == 2

    def test_missing_file_is_reported_and_others_still_checked(self, tmp_path: Path) -> None:
        write(tmp_path / "bad.tarn", STRAY)
        result = tarn("check", "nowhere.tarn", "bad.tarn", cwd=tmp_path)
        assert result.returncode == 2
        assert "nowhere.tarn" in result.stderr and "Traceback" not in result.stderr
        assert "bad.tarn:4:2: error:" in result.stdout and "1 file," in result.stdout

    def test_invalid_utf8_is_reported_with_its_path(self, tmp_path: Path) -> None:
        write(tmp_path / "latin.tarn", "конст A = 1\n".encode("utf-8") + b"\xff\xfe\n")
        shutil.copy(VALID[0], tmp_path / "ok.tarn")
        result = tarn("check", "latin.tarn", "ok.tarn", cwd=tmp_path)
        assert result.returncode == 2
        assert result.stderr.startswith("latin.tarn:2:1: error:") and "UTF-8" in result.stderr
        assert "Traceback" not in result.stderr
        assert result.stdout == "1 file, 0 errors\n"

    @pytest.mark.parametrize("args", [
        [], ["check"], ["check", "-j", "0", "x.tarn"], ["check", "--lang", "de", "x.tarn"],
        ["check", "--format", "xml", "x.tarn"], ["tree"], ["tokens"], ["frobnicate"],
    ])
    def test_usage_errors(self, args: list[str]) -> None:
        result = tarn(*args)
        assert result.returncode == 2 and "usage:" in result.stderr

    @pytest.mark.parametrize("command", [[], ["check"], ["tokens"], ["tree"]])
    def test_help_everywhere(self, command: list[str]) -> None:
        result = tarn(*command, "--help")
        assert result.returncode == 0 and result.stdout.startswith("usage: tarn")


class TestCheckOutput:
    def test_source_line_and_caret_under_the_span(self, tmp_path: Path) -> None:
        for source in INVALID:
            shutil.copy(source, tmp_path / source.name)
        result = tarn("check", "-j", "1", *[p.name for p in INVALID], cwd=tmp_path)
        assert result.returncode == 1
        found = diagnostics(result.stdout)
        assert len(found) >= len(INVALID)
        lines = {p.name: re.split("\r\n|\r|\n", p.read_bytes().decode("utf-8")) for p in INVALID}
        for header, shown, mark in found:
            match = HEADER.match(header)
            assert match, header
            line, col = int(match["line"]), int(match["col"])
            source = lines[match["path"]][line - 1]
            assert shown == source
            # Every code point before the span is one cell (no wide or
            # control characters in the corpus); tabs stay tabs.
            indent = "".join("\t" if ch == "\t" else " " for ch in source[: col - 1])
            assert re.fullmatch(re.escape(indent) + r"\^~*", mark), (header, mark)
            assert len(mark) - len(indent) <= max(1, len(source) - col + 1)

    def test_stray_token_on_a_tab_indented_line(self, tmp_path: Path) -> None:
        write(tmp_path / "bad.tarn", STRAY)
        result = tarn("check", "bad.tarn", cwd=tmp_path)
        at_stray = [d for d in diagnostics(result.stdout) if d[0].startswith("bad.tarn:4:2:")]
        assert at_stray and at_stray[0][1:] == ("\t)", "\t^")

    def test_json_lines(self, tmp_path: Path) -> None:
        write(tmp_path / "bad.tarn", STRAY)
        shutil.copy(VALID[0], tmp_path / "ok.tarn")
        result = tarn("check", "--format", "json", "--lang", "ru", "bad.tarn", "ok.tarn", cwd=tmp_path)
        assert result.returncode == 1
        records = [json.loads(line) for line in result.stdout.splitlines()]
        previous = i18n.get_language()
        i18n.set_language("ru")
        try:
            _, errors = parse_text(STRAY)
        finally:
            i18n.set_language(previous)
        lm = _LineMap(STRAY)
        assert [{k: v for k, v in r.items() if k not in ("key", "secondary")} for r in records] == [
            {"path": "bad.tarn", "start": e.start, "end": e.end, "line": lm.linecol(e.start)[0],
             "col": lm.linecol(e.start)[1], "end_line": lm.linecol(e.end)[0], "end_col": lm.linecol(e.end)[1],
             "message": e.message}
            for e in errors
        ]
        assert list(records[0]) == ["path", "start", "end", "line", "col", "end_line", "end_col", "message", "key",
                                    "secondary"]

    def test_line_breaks_and_bom_by_the_lexer_rules(self, tmp_path: Path) -> None:
        text = "\ufeff// заголовок\r\nметод f()\r\tвозврат 1\n;\r\n\t)\n"
        write(tmp_path / "mixed.tarn", text)
        result = tarn("check", "--lang", "en", "mixed.tarn", cwd=tmp_path)
        found = diagnostics(result.stdout)
        assert [d[0] for d in found] == expected_headers("mixed.tarn", text, "en")
        assert any(h.startswith("mixed.tarn:5:2:") for h, _, _ in found)
        assert all("\r" not in shown for _, shown, _ in found)

    def test_bom_counts_as_a_column(self, tmp_path: Path) -> None:
        text = "\ufeff)\n"
        write(tmp_path / "bom.tarn", text)
        result = tarn("check", "bom.tarn", cwd=tmp_path)
        assert result.returncode == 1
        header, shown, mark = diagnostics(result.stdout)[0]
        assert header.startswith("bom.tarn:1:2:") and (shown, mark) == (")", "^")

    def test_directories_sorted_and_only_sources(self, tmp_path: Path) -> None:
        for name in ("b/z.tarn", "a/y.tarn", "a/sub/x.tarn", "a-x.tarn", "a/notes.txt"):
            write(tmp_path / "tree" / name, STRAY)
        result = tarn("check", "tree", cwd=tmp_path)
        assert result.returncode == 1
        paths = list(dict.fromkeys(HEADER.match(h)["path"] for h, _, _ in diagnostics(result.stdout)))
        # Sorted by path components: a directory's files before a sibling "a-x".
        assert paths == [str(Path("tree", p)) for p in ("a/sub/x.tarn", "a/y.tarn", "a-x.tarn", "b/z.tarn")]
        assert "tree/a/notes.txt" not in result.stdout
        assert re.search(r"^4 files, \d+ errors at \d+ positions$", result.stdout, re.M)

    def test_parallel_output_equals_serial(self, tmp_path: Path) -> None:
        for i, source in enumerate((VALID + INVALID) * 2):
            shutil.copy(source, tmp_path / f"{i:02d}_{source.name}")
        serial = tarn("check", "-j", "1", "--lang", "en", ".", cwd=tmp_path)
        parallel = tarn("check", "-j", "2", "--lang", "en", ".", cwd=tmp_path)
        assert serial.returncode == parallel.returncode == 1
        assert parallel.stdout == serial.stdout and parallel.stderr == serial.stderr
        json_serial = tarn("check", "-j", "1", "--format", "json", ".", cwd=tmp_path)
        json_parallel = tarn("check", "-j", "2", "--format", "json", ".", cwd=tmp_path)
        assert json_parallel.stdout == json_serial.stdout

    def test_message_language(self, tmp_path: Path) -> None:
        write(tmp_path / "bad.tarn", STRAY)
        outputs = {}
        for lang in ("ru", "en"):
            result = tarn("check", "--lang", lang, "bad.tarn", cwd=tmp_path)
            outputs[lang] = [d[0] for d in diagnostics(result.stdout)]
            assert outputs[lang] == expected_headers("bad.tarn", STRAY, lang)
        assert outputs["ru"] != outputs["en"]
        parallel = tarn("check", "--lang", "ru", "-j", "2", "bad.tarn", "bad.tarn", cwd=tmp_path)
        assert [d[0] for d in diagnostics(parallel.stdout)] == outputs["ru"] * 2


class TestRendering:
    @pytest.mark.parametrize("line, first, last, expected", [
        ("abc", 1, 2, " ^"),
        ("abcdef", 1, 4, " ^~~"),
        ("abc", 1, 99, " ^~"),  # a span reaching past the line stops at its end
        ("abc", 3, 3, "   ^"),  # at the line break
        ("", 0, 0, "^"),
        ("\t\tx = (1 +", 2, 4, "\t\t^~"),
        ("\t  \tfoo", 4, 7, "\t  \t^~~"),
        ("日本 x", 3, 4, "     ^"),  # wide characters take two cells
        ("дом", 0, 3, "^~~"),
    ])
    def test_caret_line(self, line: str, first: int, last: int, expected: str) -> None:
        assert caret_lines(line, first, last) == (line, expected)

    def test_one_cell_shortcut_agrees_with_the_per_character_rules(self) -> None:
        plain = [chr(c) for c in range(0x10000) if c != 9 and _ONE_CELL.fullmatch(chr(c))]
        assert len(plain) > 1000
        assert [ch for ch in plain if _shown(ch) != (ch, 1)] == []

    def test_invisible_characters_are_named(self) -> None:
        assert caret_lines("a\x1bb\u202ec", 4, 5) == ("a<U+001B>b<U+202E>c", " " * 18 + "^")
        assert caret_lines("\ufeffx", 1, 2) == ("x", "^")

    def test_long_line_is_shown_around_the_span(self) -> None:
        line = "x" * 5000 + "ERR" + "y" * 5000
        shown, mark = caret_lines(line, 5000, 5003)
        assert len(shown) < 400 and shown.startswith("...") and shown.endswith("...")
        assert shown[mark.index("^"): mark.index("^") + 3] == "ERR" and mark.endswith("^~~")

    def test_multi_line_span_is_clipped_to_its_first_line(self) -> None:
        text = "ab\ncd\n"
        def report(start: int, end: int) -> FileReport:
            return FileReport("p", text, located(text, [(start, end, "k", "m")]), None)

        assert render_text(report(1, 4)) == "p:1:2: error: m\nab\n ^\n"
        assert render_text(report(6, 7)) == "p:3:1: error: m\n\n^\n"


class TestTokensAndTree:
    def test_tokens(self, tmp_path: Path) -> None:
        text = "метод f()\r\n\tвозврат \"s\" // c\n;"
        write(tmp_path / "t.tarn", text)
        result = tarn("tokens", "t.tarn", cwd=tmp_path)
        toks = tokenize(text)
        assert result.returncode == 0
        assert result.stdout.splitlines() == [repr(t) for t in toks] + [f"{len(toks)} tokens"]

    def test_tokens_of_several_files_and_a_missing_one(self, tmp_path: Path) -> None:
        write(tmp_path / "a.tarn", "x")
        write(tmp_path / "b.tarn", "y z")
        result = tarn("tokens", "a.tarn", "nowhere.tarn", "b.tarn", cwd=tmp_path)
        assert result.returncode == 2 and "nowhere.tarn" in result.stderr
        assert result.stdout.splitlines() == [
            "a.tarn:", repr(tokenize("x")[0]), repr(tokenize("x")[1]), "2 tokens",
            "b.tarn:", *[repr(t) for t in tokenize("y z")], "3 tokens",
        ]

    def test_tree_text_and_json(self, tmp_path: Path) -> None:
        shutil.copy(VALID[0], tmp_path / "ok.tarn")
        module, errors = parse_text(VALID[0].read_text(encoding="utf-8"))
        assert errors == []
        text = tarn("tree", "ok.tarn", cwd=tmp_path)
        assert text.returncode == 0 and text.stdout == tree.dump(module, indent=2) + "\n"
        as_json = tarn("tree", "--format", "json", "ok.tarn", cwd=tmp_path)
        assert as_json.returncode == 0 and tree.from_json(as_json.stdout) == module

    def test_tree_with_errors(self, tmp_path: Path) -> None:
        write(tmp_path / "bad.tarn", STRAY)
        result = tarn("tree", "--lang", "en", "bad.tarn", cwd=tmp_path)
        assert result.returncode == 1
        assert tree.dump(parse_text(STRAY)[0], indent=2) + "\n" == result.stdout
        assert result.stderr.splitlines() == expected_headers("bad.tarn", STRAY, "en")
