"""The protocol layer: pygls over the analysis functions.

Documents are kept here, not in pygls' workspace, so that text changes use
tarn's own line rules and the negotiated position unit; every position is
converted once, at this edge. Features are registered from one table,
``FEATURES``, at the end of this module.
"""
from __future__ import annotations

import asyncio
import contextlib
import functools
import gc
import itertools
import json
import logging
import select
import sys
import threading
import time
from collections.abc import Callable, Iterator
from typing import Any

import attrs
from lsprotocol import types as T
from pygls.capabilities import ServerCapabilitiesBuilder
from pygls.exceptions import JsonRpcException, JsonRpcInvalidParams
from pygls.lsp.server import LanguageServer
from pygls.protocol import LanguageServerProtocol, lsp_method
from pygls.protocol.json_rpc import JsonRPCNotification, JsonRPCRequestMessage
from pygls.workspace import Workspace

from tarn import fmt, i18n, rewrite
from tarn import names as N
from tarn.lsp import semantic
from tarn.lsp.analysis import Analysis, Diagnostic, Refusal
from tarn.lsp.positions import Positions, choose_encoding

log = logging.getLogger("tarn.lsp")

LANGUAGE_ID = "tarn"
# A burst of changes waits for the input to go quiet, but never longer than this.
MAX_DEFER = 0.25
DEFER_STEP = 0.004
# While the input is quiet, what requests will need is prepared in slices this long.
WARM_SLICE = 0.005


class Json:
    """A result already in its JSON form: sent as it is, without the
    per-element conversion pygls applies to records (for the large answers:
    outlines, semantic tokens)."""

    __slots__ = ("value",)

    def __init__(self, value: Any):
        self.value = value


class RequestRefused(JsonRpcException):
    """Answered as an error the user reads (RequestFailed), not a fault."""

    CODE = -32803


class ContentModified(RequestRefused):
    """The document changed while the answer was being prepared; the client asks again."""

    CODE = -32801


# ---------------------------------------------------------------- documents


class Document:
    __slots__ = ("uri", "version", "text", "serial", "_analysis", "_positions")

    def __init__(self, uri: str, version: int | None, text: str):
        self.uri = uri
        self.version = version
        self.text = text
        self.serial = 0  # counts every change of the text, whatever versions the client sends
        self._analysis: Analysis | None = None
        self._positions: Positions | None = None

    @property
    def analysis(self) -> Analysis:
        if self._analysis is None:
            self._analysis = Analysis(self.text)
        return self._analysis

    def positions(self, encoding: str) -> Positions:
        if self._positions is None or self._positions.encoding != encoding:
            self._positions = Positions(self.text, encoding, self.analysis.starts)
        return self._positions

    def replace(self, text: str, version: int | None) -> None:
        self.serial += 1
        self.text = text
        self.version = version
        self._analysis = None
        self._positions = None


# ---------------------------------------------------------------- protocol


class TarnProtocol(LanguageServerProtocol):
    _server: TarnServer

    @lsp_method(T.INITIALIZE)
    def lsp_initialize(self, params: T.InitializeParams):
        self._server.process_id = params.process_id
        self.client_capabilities = params.capabilities
        general = params.capabilities.general
        encoding = choose_encoding(list(general.position_encodings or ()) if general else None)
        self._server.encoding = encoding
        self._workspace = Workspace(params.root_uri, self._server._text_document_sync_kind, [], encoding)
        self._server.configure(params)
        if (extra := self.fm.features.get(T.INITIALIZE)) is not None:
            extra(params)  # a feature added on top may want to see the client's capabilities
        self.server_capabilities = ServerCapabilitiesBuilder(
            self.client_capabilities,
            set({**self.fm.features, **self.fm.builtin_features}.keys()),
            self.fm.feature_options,
            list(self.fm.commands.keys()),
            self._server._text_document_sync_kind,
            None,
            encoding,
        ).build()
        return T.InitializeResult(capabilities=self.server_capabilities, server_info=self.server_info)

    # Text synchronisation goes straight to the server's own documents.
    @lsp_method(T.TEXT_DOCUMENT_DID_OPEN)
    def lsp_text_document__did_open(self, params: Any):
        yield from self._to_feature(T.TEXT_DOCUMENT_DID_OPEN, params)

    @lsp_method(T.TEXT_DOCUMENT_DID_CHANGE)
    def lsp_text_document__did_change(self, params: Any):
        yield from self._to_feature(T.TEXT_DOCUMENT_DID_CHANGE, params)

    @lsp_method(T.TEXT_DOCUMENT_DID_CLOSE)
    def lsp_text_document__did_close(self, params: Any):
        yield from self._to_feature(T.TEXT_DOCUMENT_DID_CLOSE, params)

    def _to_feature(self, method: str, params: Any):
        handler = self.fm.features.get(method)
        if handler is not None:
            yield handler, (params,), None

    def structure_message(self, data: Any) -> Any:
        """pygls' structuring, but a message that does not fit its type is
        answered (requests) or dropped (notifications) with one log line."""
        if not isinstance(data, dict) or "jsonrpc" not in data:
            return data
        try:
            if "id" in data and "method" in data:
                kind = self.get_message_type(data["method"]) or JsonRPCRequestMessage
            elif "id" in data and "error" not in data:
                kind = self._result_types.pop(data["id"], None) or self._response_type()
            elif "id" in data:
                return super().structure_message(data)
            else:
                kind = self.get_message_type(data.get("method", "")) or JsonRPCNotification
            return self._converter.structure(data, kind)
        except Exception as exc:
            method = data.get("method", "?")
            log.warning("malformed %s message: %s", method, _one_line(exc))
            if "id" in data and "method" in data:
                self._send_response(data["id"], error=JsonRpcInvalidParams(f"invalid params for {method}").to_response_error())
            return None

    @staticmethod
    def _response_type() -> Any:
        from pygls.protocol.json_rpc import JsonRPCResponseMessage

        return JsonRPCResponseMessage

    def _send_response(self, msg_id: Any, result: Any = None, error: Any = None) -> None:
        if error is None and isinstance(result, Json):
            self._result_types.pop(msg_id, None)
            self._send_data({"jsonrpc": "2.0", "id": msg_id, "result": result.value})
            return
        super()._send_response(msg_id, result, error)

    def _send_handler_result(self, future: Any, *, msg_id: Any) -> None:
        if not future.cancelled() and isinstance(future.exception(), RequestRefused):
            self._request_futures.pop(msg_id, None)
            log.info("request %s refused: %s", msg_id, future.exception())
            self._send_response(msg_id, error=future.exception().to_response_error())
            return
        super()._send_handler_result(future, msg_id=msg_id)


def _one_line(exc: BaseException) -> str:
    return " ".join(f"{type(exc).__name__}: {exc}".split())[:300]


# ---------------------------------------------------------------- server


class TarnServer(LanguageServer):
    def __init__(self) -> None:
        from importlib.metadata import PackageNotFoundError, version

        try:
            release = version("tarn")
        except PackageNotFoundError:
            release = "dev"
        super().__init__("tarn", release, protocol_cls=TarnProtocol,
                         text_document_sync_kind=T.TextDocumentSyncKind.Incremental)
        self.documents: dict[str, Document] = {}
        self.encoding = "utf-16"
        self.pull = False
        self.disabled_actions = False  # the client shows a code action that cannot be applied, with the reason
        self.input: _Input | None = None
        self._dirty: dict[str, None] = {}
        self._flush_handle: asyncio.Handle | None = None
        self._first_dirty = 0.0
        self._warm: dict[str, Any] = {}  # uri -> (analysis, steps) being prepared
        self._warm_handle: asyncio.Handle | None = None
        self._tokens: dict[str, tuple[str, list[int]]] = {}  # uri -> last semantic tokens sent
        self._serial = 0
        self.exit_code: int | None = None
        self.busy = 0  # requests being prepared in steps
        self._holding = False
        register(self)

    def configure(self, params: T.InitializeParams) -> None:
        caps = params.capabilities
        self.pull = bool(caps.text_document and caps.text_document.diagnostic)
        actions = caps.text_document and caps.text_document.code_action
        self.disabled_actions = bool(actions and actions.disabled_support)
        locale = (params.locale or "").lower()
        if locale.startswith("ru"):
            i18n.set_language("ru")
        elif locale.startswith("en"):
            i18n.set_language("en")
        log.info("client %s, positions in %s, diagnostics %s",
                 params.client_info.name if params.client_info else "?", self.encoding, "pulled" if self.pull else "pushed")

    # ------------------------------------------------------------ documents

    def document(self, uri: str) -> Document | None:
        doc = self.documents.get(uri)
        if doc is None:
            log.warning("request for a document that is not open: %s", uri)
        return doc

    def positions(self, doc: Document) -> Positions:
        return doc.positions(self.encoding)

    def offset(self, doc: Document, position: T.Position) -> int:
        return self.positions(doc).offset(position.line, position.character)

    def range(self, doc: Document, start: int, end: int) -> T.Range:
        (l1, c1), (l2, c2) = self.positions(doc).range(start, end)
        return T.Range(T.Position(l1, c1), T.Position(l2, c2))

    def changed(self, uri: str) -> None:
        """Diagnostics of ``uri`` are due (unless the client pulls them);
        they are computed when the input has gone quiet, for the latest
        version only, and then the rest of the analysis is prepared."""
        if not self._dirty:
            self._first_dirty = time.monotonic()
        self._dirty[uri] = None
        if self._flush_handle is None:
            self._flush_handle = asyncio.get_event_loop().call_soon(self._flush)

    def _flush(self) -> None:
        self._flush_handle = None
        waited = time.monotonic() - self._first_dirty
        if self.input is not None and self.input.pending() and waited < MAX_DEFER:
            self._flush_handle = asyncio.get_event_loop().call_later(DEFER_STEP, self._flush)
            return
        dirty, self._dirty = self._dirty, {}
        for uri in dirty:
            doc = self.documents.get(uri)
            if doc is not None:
                if not self.pull:
                    _steady(TarnServer.publish)(self, doc)
                self._warm[uri] = None
        if self._warm and self._warm_handle is None:
            self._warm_handle = asyncio.get_event_loop().call_soon(self._warm_step)

    def _outline(self, doc: Document) -> Iterator[None]:
        document_symbol(self, T.DocumentSymbolParams(T.TextDocumentIdentifier(doc.uri)))
        yield

    def _warm_step(self) -> None:
        loop = asyncio.get_event_loop()
        self._warm_handle = None
        if self.busy or (self.input is not None and self.input.pending()):
            self._hold_collector(False)  # between messages the collector may run
            self._warm_handle = loop.call_later(DEFER_STEP, self._warm_step)
            return
        self._hold_collector(True)
        deadline = time.monotonic() + WARM_SLICE
        with _paused():
            while self._warm and time.monotonic() < deadline:
                uri, job = next(iter(self._warm.items()))
                doc = self.documents.get(uri)
                if doc is None:
                    del self._warm[uri]
                    continue
                if job is None or job[0] is not doc.analysis:
                    analysis = doc.analysis
                    job = self._warm[uri] = (analysis, itertools.chain(
                        analysis.warm(), semantic.steps(analysis, self.positions(doc)), self._outline(doc)))
                try:
                    next(job[1])
                except StopIteration:
                    del self._warm[uri]
                except Exception as exc:  # a request will meet it again and answer
                    log.warning("preparing %s failed: %s", uri, _one_line(exc))
                    del self._warm[uri]
        if self._warm:
            self._warm_handle = loop.call_soon(self._warm_step)
        else:
            self._hold_collector(False)

    def _hold_collector(self, hold: bool) -> None:
        """While slices of preparation follow one another, the collector waits."""
        if hold and not self._holding:
            _Collector.hold()
        elif not hold and self._holding:
            _Collector.release()
        self._holding = hold

    def publish(self, doc: Document) -> None:
        self.text_document_publish_diagnostics(
            T.PublishDiagnosticsParams(uri=doc.uri, version=doc.version, diagnostics=self.lsp_diagnostics(doc))
        )

    def lsp_diagnostics(self, doc: Document) -> list[T.Diagnostic]:
        return [self._diagnostic(doc, d) for d in doc.analysis.diagnostics]

    def _diagnostic(self, doc: Document, d: Diagnostic) -> T.Diagnostic:
        related = [
            T.DiagnosticRelatedInformation(T.Location(doc.uri, self.range(doc, r.start, r.end)), r.message)
            for r in d.related
        ]
        return T.Diagnostic(
            range=self.range(doc, d.start, d.end),
            message=d.message,
            severity=T.DiagnosticSeverity.Error,
            code=d.key,
            source="tarn",
            related_information=related or None,
        )

    def text_edits(self, doc: Document, edits: list[tuple[int, int, str]]) -> list[T.TextEdit]:
        """Edits in code-point offsets as the client's; one that begins or
        ends between the "\r" and "\n" of a line break (no position is
        there) takes that character in."""
        text = doc.text
        out = []
        for start, end, new in edits:
            if 0 < start < len(text) and text[start - 1:start + 1] == "\r\n":
                start, new = start - 1, "\r" + new
            if 0 < end < len(text) and text[end - 1:end + 1] == "\r\n":
                end, new = end + 1, new + "\n"
            out.append(T.TextEdit(self.range(doc, start, end), new))
        return out

    def location(self, doc: Document, start: int, end: int) -> T.Location:
        return T.Location(doc.uri, self.range(doc, start, end))

    def next_result_id(self, doc: Document) -> str:
        self._serial += 1
        return f"{doc.version}.{self._serial}"


# ---------------------------------------------------------------- features
# Each handler takes the server and the request's params; an unknown
# document gets an empty answer and a log line.


def did_open(ls: TarnServer, params: T.DidOpenTextDocumentParams) -> None:
    item = params.text_document
    ls.documents[item.uri] = Document(item.uri, item.version, item.text)
    ls.changed(item.uri)


def did_change(ls: TarnServer, params: T.DidChangeTextDocumentParams) -> None:
    doc = ls.document(params.text_document.uri)
    if doc is None:
        return
    for change in params.content_changes:
        change_range = getattr(change, "range", None)
        if change_range is None:
            doc.replace(change.text, params.text_document.version)
            continue
        positions = ls.positions(doc)
        a = positions.offset(change_range.start.line, change_range.start.character)
        b = positions.offset(change_range.end.line, change_range.end.character)
        a, b = min(a, b), max(a, b)
        doc.replace(doc.text[:a] + change.text + doc.text[b:], params.text_document.version)
    ls.changed(doc.uri)


def did_save(ls: TarnServer, params: T.DidSaveTextDocumentParams) -> None:
    doc = ls.documents.get(params.text_document.uri)
    if doc is not None and params.text is not None and params.text != doc.text:
        doc.replace(params.text, doc.version)
        ls.changed(doc.uri)


def did_close(ls: TarnServer, params: T.DidCloseTextDocumentParams) -> None:
    uri = params.text_document.uri
    ls.documents.pop(uri, None)
    ls._tokens.pop(uri, None)
    ls._dirty.pop(uri, None)
    ls._warm.pop(uri, None)
    if not ls.pull:
        ls.text_document_publish_diagnostics(T.PublishDiagnosticsParams(uri=uri, diagnostics=[]))


def diagnostic(ls: TarnServer, params: T.DocumentDiagnosticParams) -> Any:
    doc = ls.document(params.text_document.uri)
    if doc is None:
        return T.RelatedFullDocumentDiagnosticReport(items=[])
    result_id = str(doc.serial)
    if params.previous_result_id == result_id:
        return T.RelatedUnchangedDocumentDiagnosticReport(result_id=result_id)
    return T.RelatedFullDocumentDiagnosticReport(items=ls.lsp_diagnostics(doc), result_id=result_id)


_SYMBOL_KINDS = {
    "import": T.SymbolKind.Namespace, "method": T.SymbolKind.Method, "structure": T.SymbolKind.Struct,
    "exception": T.SymbolKind.Class, "enum": T.SymbolKind.Enum, "field": T.SymbolKind.Field,
    "constant": T.SymbolKind.Constant, "item": T.SymbolKind.EnumMember, "constructor": T.SymbolKind.Constructor,
}


def document_symbol(ls: TarnServer, params: T.DocumentSymbolParams) -> Json:
    doc = ls.document(params.text_document.uri)
    if doc is None:
        return Json([])
    key = ("symbols", ls.encoding)
    found = doc.analysis.cache.get(key)
    if found is None:
        positions = ls.positions(doc)

        def span(start: int, end: int) -> dict:
            (l1, c1), (l2, c2) = positions.range(start, end)
            return {"start": {"line": l1, "character": c1}, "end": {"line": l2, "character": c2}}

        def convert(symbol: Any) -> dict:
            item = {"name": symbol.name, "kind": _SYMBOL_KINDS[symbol.kind].value, "range": span(symbol.start, symbol.end),
                    "selectionRange": span(symbol.name_start, symbol.name_end)}
            if symbol.detail:
                item["detail"] = symbol.detail
            if symbol.children:
                item["children"] = [convert(c) for c in symbol.children]
            return item

        found = doc.analysis.cache[key] = Json([convert(s) for s in doc.analysis.symbols()])
    return found


_FOLD_KINDS = {"comment": T.FoldingRangeKind.Comment, "imports": T.FoldingRangeKind.Imports}


def folding_range(ls: TarnServer, params: T.FoldingRangeParams) -> list[T.FoldingRange]:
    doc = ls.document(params.text_document.uri)
    if doc is None:
        return []
    return [T.FoldingRange(start_line=f.start_line, end_line=f.end_line, kind=_FOLD_KINDS.get(f.kind or ""))
            for f in doc.analysis.folding()]


async def selection_range(ls: TarnServer, params: T.SelectionRangeParams) -> list[T.SelectionRange]:
    doc = ls.document(params.text_document.uri)
    if doc is None:
        return []
    result = []
    for position in params.positions:
        ranges = await _prepare(ls, doc, doc.analysis.selection_steps(ls.offset(doc, position)))
        parent: T.SelectionRange | None = None
        with _paused():
            for start, end in reversed(ranges):
                parent = T.SelectionRange(range=ls.range(doc, start, end), parent=parent)
        if parent is not None:
            result.append(parent)
    return result


async def _tokens_of(ls: TarnServer, doc: Document) -> list[semantic.Absolute]:
    analysis = doc.analysis
    positions = ls.positions(doc)
    await _prepare(ls, doc, itertools.chain(analysis.warm(), semantic.steps(analysis, positions)))
    with _paused():
        return semantic.absolute_tokens(analysis, positions)


async def semantic_tokens_full(ls: TarnServer, params: T.SemanticTokensParams) -> Json:
    doc = ls.document(params.text_document.uri)
    if doc is None:
        return Json({"data": []})
    tokens = await _tokens_of(ls, doc)
    key = ("semantic data", ls.encoding)
    data = doc.analysis.cache.get(key)
    if data is None:
        data = doc.analysis.cache[key] = semantic.encode(tokens)
    result_id = ls.next_result_id(doc)
    ls._tokens[doc.uri] = (result_id, data)
    return Json({"data": data, "resultId": result_id})


async def semantic_tokens_delta(ls: TarnServer, params: T.SemanticTokensDeltaParams) -> Json:
    doc = ls.document(params.text_document.uri)
    if doc is None:
        return Json({"data": []})
    previous = ls._tokens.get(doc.uri)
    full = await semantic_tokens_full(ls, T.SemanticTokensParams(text_document=params.text_document))
    if previous is None or previous[0] != params.previous_result_id:
        return full
    start, count, data = semantic.delta(previous[1], full.value["data"])
    edits = [{"start": start, "deleteCount": count, "data": data}] if count or data else []
    return Json({"edits": edits, "resultId": full.value["resultId"]})


async def semantic_tokens_range(ls: TarnServer, params: T.SemanticTokensRangeParams) -> Json:
    doc = ls.document(params.text_document.uri)
    if doc is None:
        return Json({"data": []})
    tokens = await _tokens_of(ls, doc)
    first, last = params.range.start.line, params.range.end.line
    return Json({"data": semantic.encode(semantic.in_lines(tokens, first, last))})


async def _at(ls: TarnServer, params: Any, everywhere: bool = False) -> tuple[Document, int] | None:
    """The document and the offset of a request about a place, once the
    names it needs are known: those around the place, or ``everywhere``."""
    doc = ls.document(params.text_document.uri)
    if doc is None:
        return None
    offset = ls.offset(doc, params.position)
    analysis = doc.analysis
    await _prepare(ls, doc, analysis.warm() if everywhere else analysis.names_at_steps(offset))
    return doc, offset


async def definition(ls: TarnServer, params: T.DefinitionParams) -> T.Location | None:
    found = await _at(ls, params)
    if found is None:
        return None
    doc, offset = found
    with _paused():
        decl = doc.analysis.definition(offset)
        if decl is None:
            return None
        return ls.location(doc, decl.start, decl.end if decl.located else decl.node.end)


async def references(ls: TarnServer, params: T.ReferenceParams) -> list[T.Location]:
    found = await _at(ls, params, everywhere=True)
    if found is None:
        return []
    doc, offset = found
    with _paused():
        occurrences = doc.analysis.references(offset, params.context.include_declaration)
        return [ls.location(doc, o.start, o.end) for o in occurrences]


async def document_highlight(ls: TarnServer, params: T.DocumentHighlightParams) -> list[T.DocumentHighlight]:
    found = await _at(ls, params, everywhere=True)
    if found is None:
        return []
    doc, offset = found
    write = (N.DECLARATION, N.WRITE)
    with _paused():
        return [
            T.DocumentHighlight(range=ls.range(doc, o.start, o.end),
                                kind=T.DocumentHighlightKind.Write if o.role in write else T.DocumentHighlightKind.Read)
            for o in doc.analysis.references(offset)
        ]


async def hover(ls: TarnServer, params: T.HoverParams) -> T.Hover | None:
    found = await _at(ls, params)
    if found is None:
        return None
    doc, offset = found
    with _paused():
        info = doc.analysis.hover(offset)
    if info is None:
        return None
    parts = [f"```tarn\n{info.signature}\n```"]
    if info.description:
        parts.append(info.description)
    if info.documentation:
        parts.append(info.documentation)
    return T.Hover(contents=T.MarkupContent(kind=T.MarkupKind.Markdown, value="\n\n".join(parts)),
                   range=ls.range(doc, info.start, info.end))


async def prepare_rename(ls: TarnServer, params: T.PrepareRenameParams) -> Any:
    found = await _at(ls, params)
    if found is None:
        return None
    doc, offset = found
    try:
        with _paused():
            occ = doc.analysis.prepare_rename(offset)
    except Refusal as refusal:
        raise RequestRefused(str(refusal)) from None
    return T.PrepareRenamePlaceholder(range=ls.range(doc, occ.start, occ.end), placeholder=occ.name)


async def rename(ls: TarnServer, params: T.RenameParams) -> T.WorkspaceEdit | None:
    doc = ls.document(params.text_document.uri)
    if doc is None:
        return None
    try:
        edits = await _prepare(ls, doc, doc.analysis.rename_steps(ls.offset(doc, params.position), params.new_name))
    except Refusal as refusal:
        raise RequestRefused(str(refusal)) from None
    with _paused():
        return T.WorkspaceEdit(changes={doc.uri: ls.text_edits(doc, edits)})


_COMPLETION_KINDS = {
    "keyword": T.CompletionItemKind.Keyword, N.PARAMETER: T.CompletionItemKind.Variable,
    N.VARIABLE: T.CompletionItemKind.Variable, N.VALUE: T.CompletionItemKind.Variable,
    N.USE: T.CompletionItemKind.Variable, N.LOOP: T.CompletionItemKind.Variable,
    N.CATCH: T.CompletionItemKind.Variable, N.METHOD: T.CompletionItemKind.Method,
    N.CONSTANT: T.CompletionItemKind.Constant, N.FIELD: T.CompletionItemKind.Field,
    N.STRUCTURE: T.CompletionItemKind.Struct, N.EXCEPTION: T.CompletionItemKind.Class,
    N.ENUM: T.CompletionItemKind.Enum, N.ITEM: T.CompletionItemKind.EnumMember,
}


async def completion(ls: TarnServer, params: T.CompletionParams) -> T.CompletionList:
    found = await _at(ls, params)
    if found is None:
        return T.CompletionList(is_incomplete=False, items=[])
    doc, offset = found
    with _paused():
        items = [
            T.CompletionItem(label=c.label, kind=_COMPLETION_KINDS.get(c.kind), detail=c.detail or None)
            for c in doc.analysis.completion(offset)
        ]
        return T.CompletionList(is_incomplete=False, items=items)


def formatting(ls: TarnServer, params: T.DocumentFormattingParams) -> list[T.TextEdit]:
    # The layout is canonical: the client's tab size and other options do not change it.
    return _formatted(ls, params.text_document.uri)


def range_formatting(ls: TarnServer, params: T.DocumentRangeFormattingParams) -> list[T.TextEdit]:
    return _formatted(ls, params.text_document.uri, params.range)


def _formatted(ls: TarnServer, uri: str, where: T.Range | None = None) -> list[T.TextEdit]:
    """The formatter's minimal edits; none for a document with syntax errors
    (guessing on broken code loses code) or one the formatter refuses."""
    doc = ls.document(uri)
    if doc is None:
        return []
    span = () if where is None else (ls.offset(doc, where.start), ls.offset(doc, where.end))
    try:
        edits = fmt.format_edits(doc.text, *span)
    except rewrite.InternalError as refusal:
        log.error("not formatted, %s: %s", uri, refusal)
        ls.window_log_message(T.LogMessageParams(T.MessageType.Error, f"tarn: {uri}: {refusal}"))
        return []
    except rewrite.Refusal as refusal:
        log.info("not formatted, %s: %s", uri, refusal)
        return []
    return ls.text_edits(doc, edits)


TRANSLATE = "source.translateKeywords"  # the kind of the translate actions; ".en" or ".ru" names the target


def code_action(ls: TarnServer, params: T.CodeActionParams) -> list[T.CodeAction]:
    doc = ls.document(params.text_document.uri)
    only = params.context.only
    # Editors ask on every move of the cursor but do not show source actions then, unless asked for by kind.
    if doc is None or (only is None and params.context.trigger_kind == T.CodeActionTriggerKind.Automatic):
        return []
    actions = []
    for target in doc.analysis.translation_targets():
        kind = f"{TRANSLATE}.{target}"
        if only is not None and not any(kind == k or kind.startswith(f"{k}.") for k in only):
            continue
        title = i18n.t(f"lsp.translate-{target}")
        found = doc.analysis.translation(target)
        if isinstance(found, rewrite.Refusal):
            reason = doc.analysis.places(found)
            log.info("%s: %s", title, reason)
            if ls.disabled_actions:
                actions.append(T.CodeAction(title, kind=kind, disabled=T.CodeActionDisabled(reason)))
        elif found:
            actions.append(T.CodeAction(title, kind=kind, edit=T.WorkspaceEdit(changes={doc.uri: ls.text_edits(doc, found)})))
    return actions


def _legend() -> T.SemanticTokensRegistrationOptions:
    return T.SemanticTokensRegistrationOptions(
        legend=T.SemanticTokensLegend(token_types=semantic.TOKEN_TYPES, token_modifiers=semantic.TOKEN_MODIFIERS),
        full=T.SemanticTokensFullDelta(delta=True),
        range=True,
        document_selector=[T.TextDocumentFilterLanguage(language=LANGUAGE_ID), T.TextDocumentFilterPattern(pattern="**/*.tarn")],
    )


# The one place where features are registered: (method, options, handler).
FEATURES: list[tuple[str, Callable[[], Any] | None, Callable[..., Any]]] = [
    (T.TEXT_DOCUMENT_DID_OPEN, None, did_open),
    (T.TEXT_DOCUMENT_DID_CHANGE, None, did_change),
    (T.TEXT_DOCUMENT_DID_SAVE, None, did_save),
    (T.TEXT_DOCUMENT_DID_CLOSE, None, did_close),
    (T.TEXT_DOCUMENT_DIAGNOSTIC, lambda: T.DiagnosticOptions(
        identifier="tarn", inter_file_dependencies=False, workspace_diagnostics=False), diagnostic),
    (T.TEXT_DOCUMENT_DOCUMENT_SYMBOL, None, document_symbol),
    (T.TEXT_DOCUMENT_FOLDING_RANGE, None, folding_range),
    (T.TEXT_DOCUMENT_SELECTION_RANGE, None, selection_range),
    (T.TEXT_DOCUMENT_SEMANTIC_TOKENS_FULL, _legend, semantic_tokens_full),
    (T.TEXT_DOCUMENT_SEMANTIC_TOKENS_FULL_DELTA, _legend, semantic_tokens_delta),
    (T.TEXT_DOCUMENT_SEMANTIC_TOKENS_RANGE, _legend, semantic_tokens_range),
    (T.TEXT_DOCUMENT_DEFINITION, None, definition),
    (T.TEXT_DOCUMENT_REFERENCES, None, references),
    (T.TEXT_DOCUMENT_DOCUMENT_HIGHLIGHT, None, document_highlight),
    (T.TEXT_DOCUMENT_HOVER, None, hover),
    (T.TEXT_DOCUMENT_PREPARE_RENAME, None, prepare_rename),
    (T.TEXT_DOCUMENT_RENAME, lambda: T.RenameOptions(prepare_provider=True), rename),
    (T.TEXT_DOCUMENT_COMPLETION, lambda: T.CompletionOptions(trigger_characters=["."]), completion),
    (T.TEXT_DOCUMENT_FORMATTING, None, formatting),
    (T.TEXT_DOCUMENT_RANGE_FORMATTING, None, range_formatting),
    (T.TEXT_DOCUMENT_CODE_ACTION, lambda: T.CodeActionOptions(code_action_kinds=[TRANSLATE]), code_action),
]


def register(server: TarnServer) -> None:
    for method, options, handler in FEATURES:
        wrapped = handler if asyncio.iscoroutinefunction(handler) else _steady(handler)
        server.feature(method, options() if options else None)(wrapped)


@contextlib.contextmanager
def _paused() -> Iterator[None]:
    """Work without two costs that would exceed it: the cyclic collector
    walking every token and tree node just made (they are acyclic and freed
    by reference counting), and lsprotocol checking every position the
    server builds from its own, already valid, offsets."""
    collecting = gc.isenabled()
    gc.disable()
    try:
        with attrs.validators.disabled():
            yield
    finally:
        if collecting:
            gc.enable()


def _steady(handler: Callable[..., Any]) -> Callable[..., Any]:
    @functools.wraps(handler)
    def run(ls: TarnServer, params: Any) -> Any:
        with _paused():
            return handler(ls, params)

    return run


class _Collector:
    """Holds the cyclic collector off while work in steps is under way: run
    between the steps, it would walk the whole growing analysis each time."""

    holders = 0
    was_enabled = False

    @classmethod
    def hold(cls) -> None:
        if cls.holders == 0:
            cls.was_enabled = gc.isenabled()
            gc.disable()
        cls.holders += 1

    @classmethod
    def release(cls) -> None:
        cls.holders -= 1
        if cls.holders == 0 and cls.was_enabled:
            gc.enable()


async def _prepare(ls: TarnServer, doc: Document, steps: Iterator[Any]) -> Any:
    """Drives analysis steps, letting other messages in between them, so
    that no request holds the server longer than one step (or the parse of
    its document); the document changing meanwhile ends the request."""
    analysis = doc.analysis
    ls.busy += 1  # the idle preparation waits meanwhile: it would only slow this answer down
    _Collector.hold()
    try:
        while True:
            with _paused():
                try:
                    next(steps)
                except StopIteration as done:
                    return done.value
            await asyncio.sleep(0)
            if doc._analysis is not analysis or ls.documents.get(doc.uri) is not doc:
                raise ContentModified("the document changed")
    finally:
        ls.busy -= 1
        _Collector.release()


# ---------------------------------------------------------------- transport


class _Input(asyncio.Protocol):
    """Incoming bytes, split into messages; knows whether more are waiting,
    which lets a burst of changes be answered once, for its last version."""

    def __init__(self, fd: int | None = None):
        self.buffer = bytearray()
        self.closed = False
        self.fd = fd
        self._waiter: asyncio.Future[None] | None = None

    def data_received(self, data: bytes) -> None:
        self.buffer += data
        self._wake()

    def eof_received(self) -> bool:
        self.closed = True
        self._wake()
        return False

    def connection_lost(self, exc: Exception | None) -> None:
        self.closed = True
        self._wake()

    def _wake(self) -> None:
        if self._waiter is not None and not self._waiter.done():
            self._waiter.set_result(None)

    def pending(self) -> bool:
        if self.buffer:
            return True
        if self.fd is None:
            return False
        try:
            return bool(select.select([self.fd], [], [], 0)[0])
        except (OSError, ValueError):
            return False

    async def message(self) -> bytes | None:
        """The next message body, or None at the end of the input."""
        while True:
            end = self.buffer.find(b"\r\n\r\n")
            if end >= 0:
                length = _content_length(bytes(self.buffer[:end]))
                if length is None:
                    log.warning("message without a valid Content-Length header skipped")
                    del self.buffer[:end + 4]
                    continue
                if len(self.buffer) >= end + 4 + length:
                    body = bytes(self.buffer[end + 4:end + 4 + length])
                    del self.buffer[:end + 4 + length]
                    return body
            if self.closed:
                return None
            self._waiter = asyncio.get_running_loop().create_future()
            await self._waiter
            self._waiter = None


def _content_length(header: bytes) -> int | None:
    for line in header.split(b"\r\n"):
        name, _, value = line.partition(b":")
        if name.strip().lower() == b"content-length":
            try:
                length = int(value.strip())
            except ValueError:
                return None
            return length if length >= 0 else None
    return None


class _Writer:
    def __init__(self, write: Callable[[bytes], Any], close: Callable[[], Any]):
        self.write = write
        self.close = close


async def _serve(server: TarnServer, source: _Input) -> None:
    protocol = server.protocol
    while True:
        body = await source.message()
        if body is None:
            log.info("input closed")
            return
        try:
            data = json.loads(body)
        except ValueError as exc:
            log.warning("message is not JSON: %s", _one_line(exc))
            protocol._send_data({"jsonrpc": "2.0", "id": None, "error": {"code": -32700, "message": "Parse error"}})
            continue
        if not isinstance(data, dict) or data.get("jsonrpc") != "2.0":
            log.warning("not a JSON-RPC 2.0 message: %.100s", body)
            protocol._send_data({"jsonrpc": "2.0", "id": data.get("id") if isinstance(data, dict) else None,
                                 "error": {"code": -32600, "message": "Invalid Request"}})
            continue
        message = protocol.structure_message(data)
        if message is None:
            continue
        try:
            protocol.handle_message(message)
        except SystemExit as stop:  # "exit"
            server.exit_code = int(stop.code or 0)
            return
        except Exception as exc:
            log.error("message %s failed: %s", data.get("method", "?"), _one_line(exc))


def serve_stdio(server: TarnServer) -> None:
    stdin, stdout = sys.stdin.buffer, sys.stdout.buffer

    def write(data: bytes) -> None:
        stdout.write(data)
        stdout.flush()

    # "exit" closes the writer; stdout stays open for the command line's own flush.
    server.protocol.set_writer(_Writer(write, stdout.flush))

    async def main() -> None:
        loop = asyncio.get_running_loop()
        source = _Input(stdin.fileno())
        try:
            await loop.connect_read_pipe(lambda: source, stdin)
        except (ValueError, OSError):
            source.fd = None  # not a pipe: read it on a thread
            threading.Thread(target=_pump, args=(loop, source, stdin), daemon=True).start()
        server.input = source
        await _serve(server, source)

    _run(main)


def _pump(loop: asyncio.AbstractEventLoop, source: _Input, stream: Any) -> None:
    while chunk := stream.read1(65536):
        loop.call_soon_threadsafe(source.data_received, chunk)
    loop.call_soon_threadsafe(source.eof_received)


def serve_tcp(server: TarnServer, host: str, port: int) -> None:
    async def main() -> None:
        loop = asyncio.get_running_loop()
        done = loop.create_future()

        def connection() -> _Input:
            source = _Input()
            original = source.connection_made

            def made(transport: Any) -> None:
                original(transport)
                server.protocol.set_writer(_Writer(transport.write, transport.close))
                server.input = source
                task = loop.create_task(_serve(server, source))
                task.add_done_callback(lambda _: None if done.done() else done.set_result(None))

            source.connection_made = made  # type: ignore[method-assign]
            return source

        tcp = await loop.create_server(connection, host, port)
        address = tcp.sockets[0].getsockname()
        log.info("listening on %s:%s", address[0], address[1])
        async with tcp:
            await done

    _run(main)


def _run(main: Callable[[], Any]) -> None:
    try:
        asyncio.run(main())
    except (KeyboardInterrupt, BrokenPipeError):
        pass


def start(tcp: str | None = None, log_file: str | None = None, verbose: bool = False) -> int:
    handler: logging.Handler = logging.FileHandler(log_file, encoding="utf-8") if log_file else logging.StreamHandler(sys.stderr)
    handler.setFormatter(logging.Formatter("%(asctime)s %(levelname)s %(name)s: %(message)s"))
    root = logging.getLogger()
    root.addHandler(handler)
    root.setLevel(logging.DEBUG if verbose else logging.INFO)
    logging.getLogger("pygls").setLevel(logging.DEBUG if verbose else logging.WARNING)
    server = TarnServer()
    if tcp:
        host, _, port = tcp.rpartition(":")
        serve_tcp(server, host or "127.0.0.1", int(port))
    else:
        serve_stdio(server)
    if server.exit_code is not None:
        return server.exit_code
    return 0 if server.protocol._shutdown else 1


__all__ = ["FEATURES", "TarnServer", "register", "start"]
