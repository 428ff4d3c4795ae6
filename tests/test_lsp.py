"""The language server end to end: a real client (pytest-lsp) drives
``python -m tarn lsp`` over stdio, as an editor does."""
from __future__ import annotations

import asyncio
import functools
import itertools
import json
import os
import re
import socket
import subprocess
import sys
import tempfile
from pathlib import Path

import pytest
import pytest_lsp
from lsprotocol import types as T
from pytest_lsp import ClientServerConfig, LanguageClient

from tarn.lsp.semantic import TOKEN_MODIFIERS, TOKEN_TYPES
from tarn import i18n
from tarn.fmt import format_text
from tarn.parser import parse_text
from tarn.translate import translate_text
from tarn.tree import position


DATA = Path(__file__).parent / "data"
CORPUS = DATA / "corpus"
LOG = Path(tempfile.mkdtemp(prefix="tarn-lsp-")) / "server.log"
URI = "file:///work/sample.tarn"
DOC = T.TextDocumentIdentifier(URI)
SERVER = [sys.executable, "-m", "tarn", "lsp"]
TERMS = 20_000 if os.environ.get("TARN_QUICK") else 200_000  # the long line of the hostile test
# The server inherits the environment (a sanitizer run preloads its runtime) and this interpreter's path.
ENV = {**os.environ, "TARN_LANG": "en", "PYTHONPATH": os.pathsep.join(sys.path)}


@pytest_lsp.fixture(config=ClientServerConfig(server_command=SERVER, server_env=ENV))
async def client(lsp_client: LanguageClient):
    yield
    await lsp_client.shutdown_session()


@pytest_lsp.fixture(config=ClientServerConfig(server_command=SERVER + ["--log-file", str(LOG)], server_env=ENV))
async def logged(lsp_client: LanguageClient):
    yield  # the test shuts the server down itself, then reads the log


def lsp_test(test):
    """An asyncio test that fails after five minutes instead of waiting for
    an answer that never comes."""

    @functools.wraps(test)
    async def bounded(*args, **kwargs):
        return await asyncio.wait_for(test(*args, **kwargs), 300)

    return pytest.mark.asyncio(bounded)


def read(path: Path) -> str:
    return path.read_bytes().decode("utf-8")


async def start(client: LanguageClient, encodings=None, pull=False, locale=None) -> T.InitializeResult:
    caps = T.ClientCapabilities(
        general=T.GeneralClientCapabilities(position_encodings=encodings),
        text_document=T.TextDocumentClientCapabilities(
            diagnostic=T.DiagnosticClientCapabilities() if pull else None,
            rename=T.RenameClientCapabilities(prepare_support=True),
            code_action=T.CodeActionClientCapabilities(disabled_support=True)),
    )
    return await client.initialize_session(T.InitializeParams(capabilities=caps, locale=locale))


async def open_doc(client: LanguageClient, text: str, uri: str = URI, wait: bool = True):
    published = client.wait_for_notification(T.TEXT_DOCUMENT_PUBLISH_DIAGNOSTICS) if wait else None
    client.text_document_did_open(T.DidOpenTextDocumentParams(T.TextDocumentItem(uri=uri, language_id="tarn", version=1, text=text)))
    return await published if published else None


def change(client: LanguageClient, version: int, *edits) -> None:
    """Edits are (line, char, end line, end char, text) or a whole new text."""
    changes = [T.TextDocumentContentChangeWholeDocument(e) if isinstance(e, str) else
               T.TextDocumentContentChangePartial(T.Range(T.Position(*e[:2]), T.Position(*e[2:4])), e[4])
               for e in edits]
    client.text_document_did_change(T.DidChangeTextDocumentParams(T.VersionedTextDocumentIdentifier(uri=URI, version=version), changes))


def at(text: str, needle: str, nth: int = 0, delta: int = 0) -> T.Position:
    """Position (code points) of the nth occurrence of needle."""
    offset = -1
    for _ in range(nth + 1):
        offset = text.index(needle, offset + 1)
    offset += delta
    line = text.count("\n", 0, offset)
    return T.Position(line, offset - (text.rfind("\n", 0, offset) + 1))


def span(text: str, rng: T.Range) -> str:
    lines = text.split("\n")
    if rng.start.line == rng.end.line:
        return lines[rng.start.line][rng.start.character:rng.end.character]
    return "\n".join([lines[rng.start.line][rng.start.character:], *lines[rng.start.line + 1:rng.end.line],
                      lines[rng.end.line][:rng.end.character]])


# ---------------------------------------------------------------- positions and diagnostics

# A byte-order mark, "\r\n", a lone "\r", a tab, Cyrillic and a character outside
# the BMP before the error (the ")" where an expression is missing).
POSITIONS = "\ufeff// заметка\r\nметод main()\r\tзнч s = \"😀 да\" + )\n;\n"


@lsp_test
@pytest.mark.parametrize("offered, chosen", [
    (["utf-32"], "utf-32"), (["utf-8"], "utf-8"), (["utf-16"], "utf-16"), (None, "utf-16"),
    (["utf-16", "utf-8", "utf-32"], "utf-32"), (["utf-16", "utf-8"], "utf-8"),
])
async def test_positions_are_exact_in_the_negotiated_unit(client, offered, chosen):
    result = await start(client, offered)
    assert result.capabilities.position_encoding == chosen
    published = await open_doc(client, POSITIONS)
    line_text = POSITIONS.split("\r")[2].split("\n")[0]  # "\tзнч s = ..." is line 2
    prefix = line_text[:line_text.index(")")]
    unit = {"utf-8": 1, "utf-16": 2, "utf-32": 4}[chosen]
    char = len(prefix.encode(chosen + ("-le" if unit > 1 else ""))) // unit
    first = published.diagnostics[0]
    assert (first.code, first.source, first.severity) == ("parser.expected-expr", "tarn", T.DiagnosticSeverity.Error)
    assert (first.range.start, first.range.end) == (T.Position(2, char), T.Position(2, char + 1))
    # The client's positions are read in the same unit: replacing the ")" fixes the line.
    published = client.wait_for_notification(T.TEXT_DOCUMENT_PUBLISH_DIAGNOSTICS)
    change(client, 2, (2, char, 2, char + 1, "1"))
    assert not (await published).diagnostics


@lsp_test
async def test_diagnostics_follow_edits_pushed_or_pulled(client):
    await start(client, locale="ru")
    i18n.set_language("ru")
    text = read(CORPUS / "invalid" / "state_machine_broken.tarn")
    published = await open_doc(client, text)
    _, errors = parse_text(text)  # in the server's language, Russian here
    first = {}
    for e in errors:
        first.setdefault(e.start, e)
    expected = [(T.Position(*(n - 1 for n in position(text, e.start))), e.message) for e in first.values()]
    assert [(d.range.start, d.message) for d in published.diagnostics] == expected
    cascade = [d for d in published.diagnostics if d.related_information]
    assert cascade and all(r.location.range.start == d.range.start for d in cascade for r in d.related_information)
    assert sum(1 + len(d.related_information or ()) for d in published.diagnostics) == len(errors)
    # A burst of edits is answered for its last version: here it ends fixed.
    published = client.wait_for_notification(T.TEXT_DOCUMENT_PUBLISH_DIAGNOSTICS)
    for version in range(2, 40):
        change(client, version, (0, 0, 0, 0, "/"), (0, 0, 0, 1, ""))
    change(client, 40, "метод main()\n    возврат 1\n;\n")
    while (result := await published).version != 40:
        published = client.wait_for_notification(T.TEXT_DOCUMENT_PUBLISH_DIAGNOSTICS)
    assert not result.diagnostics
    # A save that carries a text the server has not seen counts as a change.
    published = client.wait_for_notification(T.TEXT_DOCUMENT_PUBLISH_DIAGNOSTICS)
    client.text_document_did_save(T.DidSaveTextDocumentParams(DOC, text="метод main(\n;\n"))
    assert [d.range.start.line for d in (await published).diagnostics] == [1]
    # Closing clears what was shown, and the document is gone.
    published = client.wait_for_notification(T.TEXT_DOCUMENT_PUBLISH_DIAGNOSTICS)
    client.text_document_did_close(T.DidCloseTextDocumentParams(DOC))
    assert not (await published).diagnostics
    assert not await client.text_document_document_symbol_async(T.DocumentSymbolParams(DOC))


@lsp_test
async def test_pulled_diagnostics_and_nesting_past_the_bound(client):
    await start(client, pull=True)
    deep = "метод м()\n    знч x = " + "(" * 100_000 + "\n;\n"
    await open_doc(client, deep, wait=False)
    report = await client.text_document_diagnostic_async(T.DocumentDiagnosticParams(DOC))
    assert [d.code for d in report.items] == ["tarn.nesting-too-deep"]
    assert report.items[0].range.start.line == 1 and "line 2" in report.items[0].message
    again = await client.text_document_diagnostic_async(T.DocumentDiagnosticParams(DOC, previous_result_id=report.result_id))
    assert again.kind == "unchanged"
    change(client, 2, "метод м()\n;\n")
    report = await client.text_document_diagnostic_async(T.DocumentDiagnosticParams(DOC, previous_result_id=report.result_id))
    assert report.kind == "full" and not report.items
    symbols = await client.text_document_document_symbol_async(T.DocumentSymbolParams(DOC))
    assert [s.name for s in symbols] == ["м"]


# ---------------------------------------------------------------- outline, folding, selection, highlighting


def decode(text: str, data: list[int]) -> list[tuple[str, str, set[str], int]]:
    """(text, type, modifiers, line) of each semantic token (code-point positions)."""
    lines, found, line, char = text.split("\n"), [], 0, 0
    for i in range(0, len(data), 5):
        d_line, d_char, length, kind, mods = data[i:i + 5]
        line, char = line + d_line, (char if d_line == 0 else 0) + d_char
        names = {m for bit, m in enumerate(TOKEN_MODIFIERS) if mods >> bit & 1}
        found.append((lines[line][char:char + length], TOKEN_TYPES[kind], names, line))
    return found


@lsp_test
async def test_outline_folding_selection_and_highlighting(client):
    await start(client, ["utf-32"])
    text = read(CORPUS / "valid" / "state_machine.tarn")
    await open_doc(client, text)
    module, _ = parse_text(text)

    symbols = await client.text_document_document_symbol_async(T.DocumentSymbolParams(DOC))
    assert [s.name for s in symbols] == [m.name for m in [*module.imports, *module.members]]
    by_name = {s.name: s for s in symbols}
    for symbol in [*symbols, *(c for s in symbols for c in s.children or ())]:
        assert span(text, symbol.selection_range) in (symbol.name, "конструктор")
        assert symbol.range.start <= symbol.selection_range.start and symbol.selection_range.end <= symbol.range.end
    state = by_name["Состояние"]
    assert state.kind == T.SymbolKind.Enum and [(c.name, c.kind) for c in state.children][-2:] == [
        ("Архив", T.SymbolKind.EnumMember), ("финальное", T.SymbolKind.Method)]
    assert {c.kind for c in by_name["Автомат"].children} == {T.SymbolKind.Field, T.SymbolKind.Constructor, T.SymbolKind.Method}
    assert by_name["НедопустимыйПереход"].kind == T.SymbolKind.Class
    assert by_name["подписать"].detail == "(автомат: Автомат, документ: Документ, кто: Строка): Состояние"
    assert by_name["ГЛУБИНА_ИСТОРИИ"].kind == T.SymbolKind.Constant

    folds = await client.text_document_folding_range_async(T.FoldingRangeParams(DOC))
    lines = text.split("\n")
    spans = {(f.start_line, f.end_line, f.kind) for f in folds}
    assert (0, 5, T.FoldingRangeKind.Comment) in spans  # the leading documentation comment
    assert (7, 9, T.FoldingRangeKind.Imports) in spans
    enum_line = lines.index("перечисление Состояние")
    assert (enum_line, lines.index(";", enum_line) - 1, None) in spans
    case_start = next(i for i, l in enumerate(lines) if l.strip() == "выбор с")
    branches = sorted(f for f in spans if case_start <= f[0] < case_start + 9 and f[2] is None)
    assert [lines[f[0]].split()[0] for f in branches] == ["выбор", "когда", "когда", "когда", "иначе"]
    assert branches[0][1] == branches[-1][1]  # the whole statement, then each branch to its end

    where = at(text, "ГЛУБИНА_ИСТОРИИ", 1, 3)  # inside the field initialiser
    [chain] = await client.text_document_selection_range_async(T.SelectionRangeParams(DOC, [where]))
    ranges = []
    while chain is not None:
        ranges.append(chain.range)
        chain = chain.parent
    assert span(text, ranges[0]) == "ГЛУБИНА_ИСТОРИИ"
    assert span(text, ranges[1]).startswith("знч глубинаИстории")
    assert span(text, ranges[2]).startswith("структура Автомат") and ranges[-1].end == at(text, text[-1], text.count(text[-1]) - 1, 1)
    assert all(a.start >= b.start and a.end <= b.end and a != b for a, b in zip(ranges, ranges[1:]))

    tokens = decode(text, (await client.text_document_semantic_tokens_full_async(T.SemanticTokensParams(DOC))).data)
    kinds: dict[str, set[str]] = {}
    for word, kind, mods, _ in tokens:
        kinds.setdefault(word, set()).add(kind + "".join("+" + m for m in sorted(mods)))
    assert kinds["метод"] == kinds["если"] == {"keyword"} and kinds["50"] == {"number"}
    assert kinds["Состояние"] >= {"enum", "enum+declaration"} and kinds["Черновик"] >= {"enumMember"}
    assert kinds["ГЛУБИНА_ИСТОРИИ"] == {"variable+declaration+readonly+static", "variable+readonly+static"}
    assert "parameter+declaration" in kinds["документ"] and "property+declaration+readonly" in kinds["автор"]
    assert kinds["@"] == kinds["НеПусто"] == {"decorator"} and kinds["#"] == kinds["язык"] == kinds["ru"] == {"macro"}
    assert tokens[0][1:3] == ("comment", {"documentation"}) and len({t[3] for t in tokens if t[1] == "comment"}) > 6
    # Code inside an interpolation is code: the string is cut around it.
    line = lines.index('        возврат "${автор}: ${имя}${комментарий != "" ? " (" + комментарий + ")" : ""}"')
    assert [(w, k) for w, k, _, l in tokens if l == line][:6] == [
        ("возврат", "keyword"), ('"${', "string"), ("автор", "property"), ("}: ${", "string"), ("имя", "property"), ("}${", "string")]

    english = read(CORPUS / "valid" / "cache.tarn")
    change(client, 2, english)
    tokens = decode(english, (await client.text_document_semantic_tokens_full_async(T.SemanticTokensParams(DOC))).data)
    assert {k for w, k, _, _ in tokens if w in ("method", "return", "structure", "enum")} == {"keyword"}
    # A delta applied to the previous answer gives the new full answer.
    before = await client.text_document_semantic_tokens_full_async(T.SemanticTokensParams(DOC))
    change(client, 3, (2, 0, 2, 0, "// x\n"))
    delta = await client.text_document_semantic_tokens_full_delta_async(
        T.SemanticTokensDeltaParams(text_document=DOC, previous_result_id=before.result_id))
    data = list(before.data)
    for edit in delta.edits:
        data[edit.start:edit.start + edit.delete_count] = edit.data or []
    assert 0 < sum(len(e.data or ()) for e in delta.edits) < 20
    assert data == list((await client.text_document_semantic_tokens_full_async(T.SemanticTokensParams(DOC))).data)
    change(client, 4, english)
    ranged = await client.text_document_semantic_tokens_range_async(T.SemanticTokensRangeParams(DOC, T.Range(T.Position(20, 0), T.Position(29, 0))))
    assert {l for *_, l in decode(english, ranged.data)} == {20, 22, 23, 27, 28, 29}  # lines of ";" have no token


# ---------------------------------------------------------------- names


@lsp_test
async def test_definition_references_rename_hover_completion_with_shadowing(client):
    await start(client, ["utf-16"])
    text = read(DATA / "lsp" / "shadowing.tarn")
    await open_doc(client, text)

    async def definition(needle, delta=0):
        found = await client.text_document_definition_async(T.DefinitionParams(DOC, at(text, needle, 0, delta)))
        return found and found.range.start

    async def rename(needle, delta, new):
        return await client.text_document_rename_async(T.RenameParams(text_document=DOC, position=at(text, needle, 0, delta), new_name=new))

    # x: the parameter of счёт, shadowed by the loop variable, seen again by the lambda
    parameter = at(text, "счёт(x", 0, 5)
    assert await definition("итог = x", 7) == parameter
    assert await definition("итог += x", 8) == at(text, "для x", 0, 4)
    assert await definition("у + x", 4) == parameter
    assert await definition("у + x") == at(text, "(у)", 0, 1)
    assert await definition("возврат итог", 8) == at(text, "знч итог", 0, 4)
    assert await definition("%{итог", 2) == at(text, "пер итог", 0, 4)  # inside an interpolation
    assert await definition("этот.x", 5) == at(text, "обяз знч x", 0, 9)  # a field through THIS
    assert await definition("этот.x") is None
    assert await definition("${метка", 3) == at(text, "пер метка", 0, 4)  # a field by its bare name
    assert await definition("(x = x", 1) == at(text, "обяз знч x", 0, 9)  # a named argument: the field
    assert await definition("журнал.инфо") is None  # an imported subsystem is not placed
    assert await definition("Точка(x") == at(text, "структура Точка", 0, 10)

    refs = await client.text_document_references_async(
        T.ReferenceParams(text_document=DOC, position=parameter, context=T.ReferenceContext(include_declaration=True)))
    assert sorted(r.range.start for r in refs) == [parameter, at(text, "итог = x", 0, 7), at(text, "у + x", 0, 4)]
    highlights = await client.text_document_document_highlight_async(T.DocumentHighlightParams(DOC, at(text, "пер итог", 0, 4)))
    assert [h.kind for h in sorted(highlights, key=lambda h: h.range.start)] == [
        T.DocumentHighlightKind.Write, T.DocumentHighlightKind.Write, T.DocumentHighlightKind.Read, T.DocumentHighlightKind.Read]

    edit = await rename("метка: Строка", 0, "подпись")
    starts = sorted(e.range.start for e in edit.changes[URI])
    assert starts == [at(text, "метка"), at(text, "метка = "), at(text, "метка}")]  # field, argument, interpolation
    assert {e.new_text for e in edit.changes[URI]} == {"подпись"}
    prepared = await client.text_document_prepare_rename_async(T.PrepareRenameParams(DOC, at(text, "dx}")))
    assert (prepared.placeholder, span(text, prepared.range)) == ("dx", "dx")
    for needle, reason in [("возврат", "keyword"), ("10", "literal"), ("журнал", "not certain"), ("Число", "not certain")]:
        with pytest.raises(Exception, match=reason):
            await client.text_document_prepare_rename_async(T.PrepareRenameParams(DOC, at(text, needle)))
    with pytest.raises(Exception, match="would change what the name on line 22 refers to"):
        await rename("для x", 4, "итог")  # the loop variable would capture итог += ...
    with pytest.raises(Exception, match=r"could not be read \(line 29\)"):
        await rename("раз:", 0, "счётчик")  # "${раз раз}" is no expression
    with pytest.raises(Exception, match="not a keyword"):
        await rename("dx:", 0, "если")

    hover = await client.text_document_hover_async(T.HoverParams(DOC, at(text, "dx}")))
    assert hover.contents.value.split("\n\n") == ["```tarn\ndx: Число\n```", "parameter of the method сдвиг"]
    hover = await client.text_document_hover_async(T.HoverParams(DOC, at(text, "сдвиг(")))
    assert hover.contents.value.split("\n\n") == [
        "```tarn\nметод сдвиг(dx: Число): Точка\n```", "method of Точка", "Сдвигает точку на dx."]

    items = await client.text_document_completion_async(T.CompletionParams(DOC, at(text, "итог\n    ;\n    попытка")))
    labels = {i.label: i.kind for i in items.items}
    assert {"если", "возврат", "для"} <= labels.keys() and not {"if", "return"} & labels.keys()
    assert labels["итог"] == labels["x"] == T.CompletionItemKind.Variable
    assert labels["ПОВТОРЫ"] == T.CompletionItemKind.Constant and labels["Точка"] == T.CompletionItemKind.Struct
    assert "ош" not in labels and "dx" not in labels
    members = await client.text_document_completion_async(T.CompletionParams(DOC, at(text, "этот.", 0, 5)))
    assert {i.label for i in members.items} == {"x", "метка", "сдвиг"}


# ---------------------------------------------------------------- formatting and translation


def applied(text: str, edits: list[T.TextEdit]) -> str:
    """The text after the edits (UTF-16 positions), as an editor applies them."""
    lines = text.splitlines(keepends=True)
    starts = [0, *itertools.accumulate(map(len, lines))]

    def offset(p: T.Position) -> int:
        line = lines[p.line] if p.line < len(lines) else ""
        return starts[p.line] + len(line.encode("utf-16-le")[:2 * p.character].decode("utf-16-le"))

    for edit in sorted(edits, key=lambda e: (e.range.start.line, e.range.start.character), reverse=True):
        text = text[:offset(edit.range.start)] + edit.new_text + text[offset(edit.range.end):]
    return text


@lsp_test
async def test_formatting_and_translation_give_minimal_edits(client):
    await start(client)  # UTF-16: the emoji takes two units
    # Mixed line breaks: the "\r" of a "\r\n" goes without a position between it and the "\n".
    text = read(CORPUS / "valid" / "state_machine.tarn").replace("\n    ", "\n  ") + \
        'метод эмодзи()\r\n    знч s="😀"+"ё"  // 😀\n;'
    await open_doc(client, text)
    options = T.FormattingOptions(tab_size=2, insert_spaces=False)  # the layout is canonical all the same
    edits = await client.text_document_formatting_async(T.DocumentFormattingParams(DOC, options))
    assert applied(text, edits) == format_text(text)
    assert all(not e.new_text.strip() for e in edits)  # only blanks: no token is rewritten
    # A range inside one statement formats that statement's lines only.
    text = "метод м()\nзнч а=1\n  если а>0\n  знч б  =  2\n;\n;\n"
    change(client, 2, text)
    where = at(text, "б", 0, 2)
    edits = await client.text_document_range_formatting_async(T.DocumentRangeFormattingParams(DOC, T.Range(where, where), options))
    lines, formatted = text.split("\n"), format_text(text).split("\n")
    assert applied(text, edits).split("\n") == lines[:3] + formatted[3:4] + lines[4:]
    # Broken code is not formatted, nor translated.
    change(client, 3, "метод м(\n    знч а=1\n")
    assert not await client.text_document_formatting_async(T.DocumentFormattingParams(DOC, options))
    assert not await client.text_document_range_formatting_async(T.DocumentRangeFormattingParams(
        DOC, T.Range(T.Position(1, 0), T.Position(1, 3)), options))

    async def actions(trigger=None, only=None):
        context = T.CodeActionContext(diagnostics=[], only=only, trigger_kind=trigger)
        return await client.text_document_code_action_async(T.CodeActionParams(DOC, T.Range(T.Position(0, 0), T.Position(0, 0)), context))

    [refused] = await actions()
    assert refused.kind == "source.translateKeywords.en" and refused.disabled.reason.startswith("2:5: the file has syntax errors")
    text = read(CORPUS / "valid" / "state_machine.tarn")
    change(client, 4, text)
    [action] = await actions()
    assert (action.title, action.disabled) == ("translate keywords to English", None)
    edits = action.edit.changes[URI]
    assert applied(text, edits) == translate_text(text, "en") and all(e.range.start.line == e.range.end.line for e in edits)
    assert not await actions(T.CodeActionTriggerKind.Automatic) and not await actions(only=["quickfix"])
    assert await actions(T.CodeActionTriggerKind.Automatic, ["source.translateKeywords"])
    change(client, 5, "метод м()\n    return 1\n;\n")  # mixed: both directions
    assert sorted(a.kind for a in await actions(only=["source"])) == ["source.translateKeywords.en", "source.translateKeywords.ru"]


# ---------------------------------------------------------------- bad input


@lsp_test
async def test_hostile_documents_and_requests_leave_a_live_server(logged):
    client = logged
    await start(client, ["utf-16"])
    far = T.Position(10**6, 10**6)
    other = T.TextDocumentIdentifier("file:///nowhere.tarn")
    # Requests before any document is open, and for documents never opened.
    nowhere = T.Range(far, far)
    for answer in await asyncio.gather(
        client.text_document_hover_async(T.HoverParams(other, far)),
        client.text_document_definition_async(T.DefinitionParams(other, far)),
        client.text_document_references_async(T.ReferenceParams(context=T.ReferenceContext(True), text_document=other, position=far)),
        client.text_document_document_highlight_async(T.DocumentHighlightParams(other, far)),
        client.text_document_prepare_rename_async(T.PrepareRenameParams(other, far)),
        client.text_document_rename_async(T.RenameParams(text_document=other, position=far, new_name="x")),
        client.text_document_document_symbol_async(T.DocumentSymbolParams(other)),
        client.text_document_folding_range_async(T.FoldingRangeParams(other)),
        client.text_document_selection_range_async(T.SelectionRangeParams(other, [far])),
        client.text_document_range_formatting_async(T.DocumentRangeFormattingParams(text_document=other, range=nowhere, options=T.FormattingOptions(4, True))),
        client.text_document_code_action_async(T.CodeActionParams(other, nowhere, T.CodeActionContext([]))),
    ):
        assert not answer
    for tokens in await asyncio.gather(
        client.text_document_semantic_tokens_full_async(T.SemanticTokensParams(other)),
        client.text_document_semantic_tokens_range_async(T.SemanticTokensRangeParams(other, nowhere)),
        client.text_document_semantic_tokens_full_delta_async(T.SemanticTokensDeltaParams(text_document=other, previous_result_id="1")),
    ):
        assert not tokens.data
    assert not (await client.text_document_completion_async(T.CompletionParams(other, far))).items
    client.text_document_did_change(T.DidChangeTextDocumentParams(
        T.VersionedTextDocumentIdentifier(uri=other.uri, version=2), [T.TextDocumentContentChangeWholeDocument("x")]))
    garbage = [
        "".join(map(chr, range(1, 0x3000, 7))) + "\udc80\ud800",  # control characters, lone surrogates
        "метод м()\n    знч s = " + "1 + " * TERMS + "(((\n",  # a long line, unclosed
        '"${ /* \'\n метод ${"%{ ({[ ' * 100,  # unterminated everything
        "структура С\n" + "    метод м() ;\n" * 2 + "@" * 1000,
    ]
    for version, text in enumerate(garbage, 1):
        published = client.wait_for_notification(T.TEXT_DOCUMENT_PUBLISH_DIAGNOSTICS)
        if version == 1:
            client.text_document_did_open(T.DidOpenTextDocumentParams(
                T.TextDocumentItem(uri=URI, language_id="tarn", version=1, text=text)))
        else:
            change(client, version, text)
        assert (await published).version == version
        for where in (far, T.Position(0, 10**6), T.Position(1, 3), T.Position(1, 5000)):  # the last: deep in a chain
            await client.text_document_hover_async(T.HoverParams(DOC, where))
            await client.text_document_definition_async(T.DefinitionParams(DOC, where))
            await client.text_document_completion_async(T.CompletionParams(DOC, where))
            await client.text_document_selection_range_async(T.SelectionRangeParams(DOC, [where]))
        await client.text_document_semantic_tokens_full_async(T.SemanticTokensParams(DOC))
        await client.text_document_folding_range_async(T.FoldingRangeParams(DOC))
        await client.text_document_document_symbol_async(T.DocumentSymbolParams(DOC))
        assert not await client.text_document_formatting_async(T.DocumentFormattingParams(DOC, T.FormattingOptions(4, True)))
        await client.text_document_code_action_async(T.CodeActionParams(DOC, T.Range(far, far), T.CodeActionContext([])))
    # An edit far outside the text is clamped to its end.
    published = client.wait_for_notification(T.TEXT_DOCUMENT_PUBLISH_DIAGNOSTICS)
    change(client, 9, "", (far.line, far.character, far.line, far.character, "метод м()\n;"))
    assert not (await published).diagnostics
    # Malformed JSON-RPC: not JSON, not a request, parameters of the wrong shape.
    for body in (b"{not json", b"[1, 2]", b'{"jsonrpc": "2.0", "id": 99, "method": "textDocument/hover", "params": {"x": 1}}'):
        client._server.stdin.write(b"Content-Length: %d\r\n\r\n%s" % (len(body), body))
    client._server.stdin.write(b"Content-Length: nonsense\r\n\r\n")
    symbols = await client.text_document_document_symbol_async(T.DocumentSymbolParams(DOC))
    assert [s.name for s in symbols] == ["м"]
    await client.shutdown_session()
    log = LOG.read_text(encoding="utf-8")
    assert "not open: file:///nowhere.tarn" in log and "not JSON" in log and "malformed textDocument/hover" in log
    assert "Traceback" not in log and "ERROR" not in log


def test_tcp_for_debugging_serves_one_client_on_loopback():
    server = subprocess.Popen([*SERVER, "--tcp", "127.0.0.1:0"], env=ENV, stderr=subprocess.PIPE, text=True)
    try:
        port = int(re.search(r"listening on 127.0.0.1:(\d+)", server.stderr.readline()).group(1))
        with socket.create_connection(("127.0.0.1", port), timeout=60) as sock:
            stream = sock.makefile("rwb")
            for message in ({"id": 1, "method": "initialize", "params": {"capabilities": {}}},
                            {"id": 2, "method": "shutdown"}, {"method": "exit"}):
                body = json.dumps({"jsonrpc": "2.0", **message}).encode()
                stream.write(b"Content-Length: %d\r\n\r\n%s" % (len(body), body))
                stream.flush()
                if "id" in message:
                    length = int(stream.readline().split(b":")[1])
                    while stream.readline() != b"\r\n":
                        pass
                    assert json.loads(stream.read(length))["id"] == message["id"]
        assert server.wait(timeout=60) == 0
    finally:
        server.kill()
