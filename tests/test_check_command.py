"""``tarn check`` for CI: order and cascades, the SARIF log against the
standard's schema, GitHub annotations, standard input, directory walks
(exclusions, symbolic-link loops) and bad input; the native file reader
against the host's decoder; Ctrl-C stops the threads."""
from __future__ import annotations

import json
import os
import signal
import subprocess
import sys
from pathlib import Path
from urllib.parse import quote

import jsonschema
import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

from tarn import __version__, _check, i18n
from tarn.check import FileReport, github_command, located, normalised, render_github, render_text
from conftest import QUICK
from test_check_native import CORPUS
from test_cli import HEADER, tarn as run_tarn, write

SCHEMA = json.loads((Path(__file__).parent / "data" / "sarif-schema-2.1.0.json").read_text(encoding="utf-8"))
# Several diagnostics at one start: an unclosed call whose arguments run
# into the next statements.
CASCADE = CORPUS["orders_draft.tarn"]
DEEP = "метод m()\n  x = " + "(" * 1200 + "a" + ")" * 1200 + "\n;\n"


def cli(*args: str, cwd: Path, stdin: bytes | None = None) -> subprocess.CompletedProcess[str]:
    if stdin is None:
        return run_tarn(*args, cwd=cwd)
    env = dict(os.environ, PYTHONPATH=os.pathsep.join(sys.path), PYTHONIOENCODING="utf-8")
    done = subprocess.run([sys.executable, "-m", "tarn", *args], cwd=cwd, env=env, input=stdin,
                          capture_output=True, timeout=600)
    return subprocess.CompletedProcess(done.args, done.returncode, done.stdout.decode(), done.stderr.decode())


def expected(text: str) -> list[tuple[int, int, str, str]]:
    return sorted(_check.diagnostics(text), key=lambda entry: entry[0])


def test_sorted_cascades_folded_and_counted(tmp_path: Path) -> None:
    write(tmp_path / "a.tarn", CASCADE)
    want = expected(CASCADE)
    starts = [s for s, *_ in want]
    assert len(set(starts)) < len(starts), "the sample must hold a cascade"
    folded = cli("check", "a.tarn", cwd=tmp_path)
    every = cli("check", "--all", "a.tarn", cwd=tmp_path)
    as_json = cli("check", "--format", "json", "a.tarn", cwd=tmp_path)
    assert folded.returncode == every.returncode == as_json.returncode == 1
    headers = [line for line in every.stdout.splitlines() if HEADER.match(line)]
    assert [h.split(": error: ", 1)[1] for h in headers] == [m for *_, m in want]
    firsts = [line for line in folded.stdout.splitlines() if HEADER.match(line)]
    assert len(firsts) == len(set(starts))
    assert sum(int(h.rsplit("(+", 1)[1].split()[0]) for h in firsts if h.endswith("more here)")) == \
        len(starts) - len(set(starts))
    records = [json.loads(line) for line in as_json.stdout.splitlines()]
    assert [(r["start"], r["end"], r["key"], r["message"]) for r in records] == want
    assert [r["secondary"] for r in records] == [i > 0 and s == starts[i - 1] for i, s in enumerate(starts)]
    assert folded.stdout.endswith(f"1 file, {len(starts)} errors at {len(set(starts))} positions\n")


def test_sarif_log_validates_and_points_at_the_text(tmp_path: Path) -> None:
    texts = {"src/заказ один.tarn": CASCADE, "src/end.tarn": "метод m()\n  x = ", "ok.tarn": "",
             "deep.tarn": DEEP}
    for name, text in texts.items():
        write(tmp_path / name, text)
    os.symlink("nowhere", tmp_path / "dangling.tarn")
    for every in ([], ["--all"]):
        result = cli("check", "--format", "sarif", *every, ".", "dangling.tarn", cwd=tmp_path)
        assert result.returncode == 2, result.stderr
        log = json.loads(result.stdout)
        jsonschema.validate(log, SCHEMA)
        [run] = log["runs"]
        driver = run["tool"]["driver"]
        assert (driver["name"], driver["version"], run["columnKind"]) == ("tarn", __version__, "unicodeCodePoints")
        assert [r["id"] for r in driver["rules"]] == list(_check.MESSAGE_KEYS)
        assert run["originalUriBaseIds"]["SRCROOT"]["uri"] == tmp_path.resolve().as_uri() + "/"
        notes = run["invocations"][0]["toolExecutionNotifications"]
        assert not run["invocations"][0]["executionSuccessful"] and "dangling.tarn" in notes[0]["message"]["text"]
        by_uri: dict[str, list[dict]] = {}
        for result_ in run["results"]:
            assert driver["rules"][result_["ruleIndex"]]["id"] == result_["ruleId"]
            [location] = result_["locations"]
            places = [location] + result_.get("relatedLocations", [])
            by_uri.setdefault(location["physicalLocation"]["artifactLocation"]["uri"], []).extend(places)
        assert set(by_uri) == {quote(name) for name, text in texts.items() if text}
        for name, text in texts.items():
            places, want = by_uri.get(quote(name), []), expected(text)
            assert len(places) == len(want)
            for place, (start, end, _, message) in zip(places, want):
                region = place["physicalLocation"]["region"]
                start, end = min(start, len(text)), min(end, len(text))
                assert (region["charOffset"], region["charLength"]) == (start, end - start)
                assert text[:start].count("\n") + 1 == region["startLine"]
                assert region["startColumn"] == start - (text.rfind("\n", 0, start) + 1) + 1
        places_of = (lambda t: len(expected(t))) if every else (lambda t: len({s for s, *_ in expected(t)}))
        assert len(run["results"]) == sum(places_of(t) for t in texts.values())


def test_sarif_names_a_file_outside_the_root_by_its_absolute_uri(tmp_path: Path) -> None:
    (tmp_path / "root").mkdir()
    outside = write(tmp_path / "вне корня.tarn", "метод m()\n  x = \n;")
    log = json.loads(cli("check", "--format", "sarif", str(outside), "-", cwd=tmp_path / "root",
                         stdin="метод\n".encode()).stdout)
    jsonschema.validate(log, SCHEMA)
    places = [r["locations"][0]["physicalLocation"]["artifactLocation"] for r in log["runs"][0]["results"]]
    assert places[0] == {"uri": outside.resolve().as_uri()} and "%20" in places[0]["uri"]
    assert places[1]["uri"] == quote("<stdin>")


def test_messages_follow_the_language_and_keys_and_rules_do_not(tmp_path: Path) -> None:
    write(tmp_path / "a.tarn", "метод m()\n  x = \n;")
    i18n.set_language("ru")
    [(_, _, key, russian)] = _check.diagnostics("метод m()\n  x = \n;")
    outputs = {f: cli("check", "--lang", "ru", "--format", f, "a.tarn", cwd=tmp_path).stdout
               for f in ("text", "json", "github", "sarif")}
    assert outputs["text"].startswith(f"a.tarn:2:5: error: {russian}\n")
    assert json.loads(outputs["json"])["message"] == russian and json.loads(outputs["json"])["key"] == key
    assert outputs["github"].endswith(f",title={key}::{russian}\n")
    [run] = json.loads(outputs["sarif"])["runs"]
    assert run["results"][0]["message"]["text"] == russian and run["results"][0]["ruleId"] == key
    rules = {r["id"]: r["shortDescription"]["text"] for r in run["tool"]["driver"]["rules"]}
    assert rules[key] == i18n.render(key, "en")  # code scanning lists the rules in one language


def test_github_annotations() -> None:
    assert github_command("a,b:c%.tarn", "50% done\r\nnext", 3, 4, 6, "k:x") == \
        "::error file=a%2Cb%3Ac%25.tarn,line=3,col=4,endLine=3,endColumn=6,title=k%3Ax::50%25 done%0D%0Anext\n"
    text = "ab\ncd"
    report = FileReport("p.tarn", text, located(text, [(1, 4, "k", "m"), (1, 2, "k2", "n"), (5, 6, "k", "e")]),
                        None)
    assert render_github(report).splitlines() == [
        "::error file=p.tarn,line=1,col=2,endLine=1,endColumn=3,title=k::m (+1 more here)",
        "::error file=p.tarn,line=2,col=3,endLine=2,endColumn=3,title=k::e",  # clipped to the text
    ]
    assert len(render_github(report, every=True).splitlines()) == 3


def test_source_line_shown_safely_with_the_caret_under_the_place() -> None:
    # A BOM, a bidi override (shown by name: it would reorder the terminal's
    # line), a wide character, a combining accent and a tab before the error.
    text = '\ufeffзнч s = "\u202eabc\u4e2d\u0301\t" + )\r\n'
    at = text.index(")")
    report = FileReport("p.tarn", text, located(text, [(at, at + 1, "k", "m")]), None)
    assert render_text(report).splitlines() == [
        "p.tarn:1:22: error: m",
        'знч s = "<U+202E>abc\u4e2d\u0301\t" + )',
        " " * 22 + "\t" + " " * 4 + "^",
    ]


def test_standard_input_version_and_exclusions(tmp_path: Path) -> None:
    piped = cli("check", "--lang", "en", "--stdin-filename", "piped.tarn", "-", cwd=tmp_path,
                 stdin="метод m()\n  x = \n;".encode())
    assert piped.returncode == 1 and piped.stdout.startswith("piped.tarn:2:5: error: ")
    assert cli("check", "-", cwd=tmp_path, stdin=b"\xff").returncode == 2
    assert cli("--version", cwd=tmp_path).stdout == f"tarn {__version__}\n"
    for name in ("keep/a.tarn", "keep/gen/b.tarn", "build/c.tarn", "keep/d_gen.tarn"):
        write(tmp_path / "tree" / name, ")")
    result = cli("check", "--exclude", "build", "--exclude", "keep/gen", "--exclude", "*_gen.tarn", "tree",
                  cwd=tmp_path)
    assert {HEADER.match(line)["path"] for line in result.stdout.splitlines() if HEADER.match(line)} == \
        {str(Path("tree/keep/a.tarn"))}


def test_bad_input_is_reported_and_the_rest_checked(tmp_path: Path) -> None:
    write(tmp_path / "t/deep.tarn", DEEP)
    write(tmp_path / "t/empty.tarn", "")
    write(tmp_path / "t/bad.tarn", "метод m()\n  x = \n;")
    write(tmp_path / "t/latin1.tarn", "// café\n".encode("latin-1"))
    os.symlink("..", tmp_path / "t/loop")  # a directory loop
    os.symlink("deep.tarn", tmp_path / "t/same.tarn")  # the same file again
    result = cli("check", "--lang", "en", "t", "missing.tarn", cwd=tmp_path)
    assert result.returncode == 2 and "Traceback" not in result.stderr
    assert sorted(result.stderr.splitlines()) == [
        "missing.tarn: error: No such file or directory",
        "t/latin1.tarn:1:7: error: not valid UTF-8 (invalid continuation byte, byte 0xe9 at offset 6)"]
    headers = [line for line in result.stdout.splitlines() if HEADER.match(line)]
    [deep] = [h for h in headers if "deep" in h]
    assert deep.startswith("t/deep.tarn:2:") and "maximum nesting depth exceeded while parsing at line 2" in deep
    assert [h.split(":")[0] for h in headers].count("t/bad.tarn") == 1
    assert result.stdout.endswith("3 files, 2 errors at 2 positions\n")


def test_output_closed_early(tmp_path: Path) -> None:
    for i in range(200):
        write(tmp_path / f"{i:03}.tarn", CASCADE)
    env = dict(os.environ, PYTHONPATH=os.pathsep.join(sys.path))
    shell = f"{sys.executable} -m tarn check -j 2 . | head -n 1; exit ${{PIPESTATUS[0]}}"
    done = subprocess.run(["bash", "-c", shell], cwd=tmp_path, env=env, capture_output=True, text=True, timeout=600)
    assert done.returncode == 1 and done.stderr == "" and len(done.stdout.splitlines()) == 1


def utf8ish() -> st.SearchStrategy[bytes]:
    pieces = st.sampled_from([b"a", b"\n", "ж".encode(), "€".encode(), "😀".encode(), "é".encode("latin-1"),
                              "é".encode(), "ÿĀ".encode(),  # the widest code point decides the width
                              b"\xc0\xaf", b"\xed\xa0\x80", b"\xf4\x90\x80\x80", b"\xe2\x82", b"\xef\xbb\xbf",
                              b"\x80", b'"', b"(", "метод ".encode()])
    return st.lists(pieces, max_size=30).map(b"".join)


@settings(max_examples=60, derandomize=True)
@given(st.lists(utf8ish(), min_size=1, max_size=8))
def test_native_reader_agrees_with_the_host(tmp_path_factory: pytest.TempPathFactory, contents: list[bytes]) -> None:
    folder = tmp_path_factory.mktemp("files")
    paths = [str(write(folder / f"{i}.tarn", data)) for i, data in enumerate(contents)]
    for data, (text, entries, error) in zip(contents, _check.check_files(paths, 2), strict=True):
        try:
            decoded = data.decode("utf-8")
        except UnicodeDecodeError:
            assert error == data
            continue
        assert error is None and entries == _check.diagnostics(decoded)
        assert text == (decoded if entries else None)


@given(st.lists(st.sampled_from(["/", ".", "..", "a", "b.tarn"]), max_size=8).map("".join))
def test_walked_roots_are_shown_as_pathlib_shows_them(path: str) -> None:
    assert normalised(path) == str(Path(path))


def test_many_files_come_back_in_order_whatever_the_threads(tmp_path: Path) -> None:
    # More files than the workers may run ahead of the reader, of very
    # different sizes, so that they finish out of order.
    samples = list(CORPUS.values())
    contents = [samples[i % len(samples)] * (1 + (i * 7) % 5) if i % 3 else "метод m(" * (i % 4) for i in range(150)]
    paths = [str(write(tmp_path / f"{i:03}.tarn", text)) for i, text in enumerate(contents)]
    want = [_check.diagnostics(text) for text in contents]
    for jobs in (1, 3, 8):
        results = list(_check.check_files(paths, jobs))
        assert [entries for _, entries, _ in results] == want
        assert [text for text, _, _ in results] == [t if w else None for t, w in zip(contents, want)]
    # Nothing to do: the threads start and end without a result.
    assert list(_check.check_files([], 3)) == []


def test_one_worker_reads_file_after_file_whatever_came_before(tmp_path: Path) -> None:
    # A worker keeps its buffers, text and arena from file to file: every
    # width of text, a file that is not UTF-8, nesting past the bound, an empty
    # file and one large enough (past 16 MB) that its buffers are let go, in
    # between and in both orders.
    big = "метод m()\n" + "  x = (a + b) * c\n" * (2_000 if QUICK else 900_000) + "  y = \n;\n"
    contents: list[str | bytes] = [
        big, "метод m()\n  x = 1\n;\n", b"method m()\n  x = '\xe9'\n;\n", DEEP, "",
        "method m()\n  x = '\xe9' +\n;\n", "метод m()\n  x = \"😀\" +\n;\n", "x", CASCADE, big[:5000]]
    contents += contents[::-1]
    paths = [str(write(tmp_path / f"{i:02}.tarn", data)) for i, data in enumerate(contents)]
    for data, (text, entries, error) in zip(contents, _check.check_files(paths, 1), strict=True):
        if isinstance(data, bytes):
            assert (text, entries, error) == (None, [], data)
            continue
        want = _check.diagnostics(data)
        assert (entries, error) == (want, None) and text == (data if want else None)


def test_translated_when_taken_and_ctrl_c_stops_the_threads(tmp_path: Path,
                                                           monkeypatch: pytest.MonkeyPatch) -> None:
    path = str(write(tmp_path / "big.tarn", "метод m()\n" + "  x = (a + b) * c\n" * 400_000 + "  y = \n;"))
    monkeypatch.setattr(i18n, "t", lambda key, **named: "<" + key + ">")
    [(_, [(*_, message)], _)] = list(_check.check_files([path], 1))
    assert message == "<parser.expected-expr-after-assign>"
    previous = signal.signal(signal.SIGINT, signal.default_int_handler)
    threads = len(os.listdir("/proc/self/task"))
    killer = subprocess.Popen(["sh", "-c", f"sleep 0.5; kill -INT {os.getpid()}"])
    results = _check.check_files([path] * 200, 2)
    try:
        with pytest.raises(KeyboardInterrupt):
            for _ in results:
                pass
        assert len(os.listdir("/proc/self/task")) == threads  # joined, not left running
        assert list(results) == []
        results.close()  # closing again is harmless
        # and the module is as before: a new run reads, parses and translates.
        again = [entries for _, entries, _ in _check.check_files([path], 2)]
        assert again == [_check.diagnostics(Path(path).read_text(encoding="utf-8"))]
    finally:
        killer.wait()
        signal.signal(signal.SIGINT, previous)
