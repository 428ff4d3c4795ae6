"""The language server end to end: a real client (pytest-lsp) drives
``python -m tarn lsp`` over stdio, as an editor does."""
from __future__ import annotations

import asyncio
import sys
import tempfile
from pathlib import Path

import pytest
import pytest_lsp
from lsprotocol import types as T
from pytest_lsp import ClientServerConfig, LanguageClient

from tarn.lsp.semantic import TOKEN_MODIFIERS, TOKEN_TYPES
from tarn import i18n
from tarn.parser import parse_text
from tarn.tree import position

pytestmark = pytest.mark.asyncio(loop_scope="function")

DATA = Path(__file__).parent / "data"
CORPUS = DATA / "corpus"
LOG = Path(tempfile.mkdtemp(prefix="tarn-lsp-")) / "server.log"
URI = "file:///work/sample.tarn"
DOC = T.TextDocumentIdentifier(URI)
SERVER = [sys.executable, "-m", "tarn", "lsp"]
ENV = {"TARN_LANG": "en", "PYTHONPATH": ":".join(sys.path)}


@pytest_lsp.fixture(config=ClientServerConfig(server_command=SERVER, server_env=ENV))
async def client(lsp_client: LanguageClient):
    yield
    await lsp_client.shutdown_session()


@pytest_lsp.fixture(config=ClientServerConfig(server_command=SERVER + ["--log-file", str(LOG)], server_env=ENV))
async def logged(lsp_client: LanguageClient):
    yield
    await lsp_client.shutdown_session()


def read(path: Path) -> str:
    return path.read_bytes().decode("utf-8")


async def start(client: LanguageClient, encodings=None, pull=False, locale=None) -> T.InitializeResult:
    caps = T.ClientCapabilities(
        general=T.GeneralClientCapabilities(position_encodings=encodings),
        text_document=T.TextDocumentClientCapabilities(
            diagnostic=T.DiagnosticClientCapabilities() if pull else None,
            rename=T.RenameClientCapabilities(prepare_support=True)),
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
