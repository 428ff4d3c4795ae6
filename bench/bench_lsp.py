"""The language server through a real client over stdio: what an editor waits
for on a 100 KB and a 1 MB document, and the server's memory over 10,000 edits.
Prints a table (medians of several rounds): the wall time until the answer
arrives, and the processor time the server spent meanwhile (which does not
grow when other processes compete for the machine). Asserts nothing.

    PYTHONPATH=build/dev/pkg python bench/bench_lsp.py [--quick]
"""
from __future__ import annotations

import asyncio
import json
import statistics
import sys
import time
from pathlib import Path

from common import corpus_text

URI = "file:///bench/big.tarn"
DOC = {"uri": URI}


def document(size: int) -> str:
    text = corpus_text(size + 20_000)
    return text[: text.rfind("\n;\n", 0, size) + 3]


def utf16_position(text: str, offset: int) -> dict:
    line_start = text.rfind("\n", 0, offset) + 1
    return {"line": text.count("\n", 0, offset), "character": len(text[line_start:offset].encode("utf-16-le")) // 2}


class Client:
    """A plain JSON-RPC client over the server's stdin and stdout, as an
    editor is: it parses each answer with ``json.loads`` and nothing more."""

    def __init__(self) -> None:
        self.version = 1
        self.published: dict[int, asyncio.Future] = {}
        self.publishes = 0
        self.pending: dict[int, asyncio.Future] = {}
        self.next_id = 0

    async def start(self, text: str) -> None:
        self.proc = await asyncio.create_subprocess_exec(
            sys.executable, "-m", "tarn", "lsp", stdin=asyncio.subprocess.PIPE, stdout=asyncio.subprocess.PIPE,
            stderr=asyncio.subprocess.DEVNULL, limit=1 << 26)
        self.reader = asyncio.create_task(self.read())
        await self.request("initialize", {"processId": None, "rootUri": None,
                                          "capabilities": {"general": {"positionEncodings": ["utf-16"]}}})
        self.notify("initialized", {})
        waiter = self.expect(1)
        self.notify("textDocument/didOpen", {"textDocument": {"uri": URI, "languageId": "tarn", "version": 1, "text": text}})
        await waiter

    def send(self, message: dict) -> None:
        body = json.dumps(message).encode()
        self.proc.stdin.write(b"Content-Length: %d\r\n\r\n%s" % (len(body), body))

    def notify(self, method: str, params: dict) -> None:
        self.send({"jsonrpc": "2.0", "method": method, "params": params})

    async def request(self, method: str, params: dict | None) -> object:
        self.next_id += 1
        future = self.pending[self.next_id] = asyncio.get_running_loop().create_future()
        self.send({"jsonrpc": "2.0", "id": self.next_id, "method": method, "params": params})
        return await future

    async def read(self) -> None:
        stdout = self.proc.stdout
        while True:
            length = 0
            while (line := await stdout.readline()) not in (b"\r\n", b""):
                if line.lower().startswith(b"content-length:"):
                    length = int(line.split(b":")[1])
            if not line:
                return
            message = json.loads(await stdout.readexactly(length))
            if "id" in message and message["id"] in self.pending:
                self.pending.pop(message["id"]).set_result(message.get("result"))
            elif message.get("method") == "textDocument/publishDiagnostics":
                self.publishes += 1
                waiter = self.published.get(message["params"].get("version"))
                if waiter is not None and not waiter.done():
                    waiter.set_result(time.perf_counter())

    def expect(self, version: int) -> asyncio.Future:
        self.published[version] = asyncio.get_running_loop().create_future()
        return self.published[version]

    def edit(self, line: int, insert: bool) -> int:
        """A one-character edit at the start of ``line`` (a space in, then out)."""
        self.version += 1
        change = {"range": {"start": {"line": line, "character": 0}, "end": {"line": line, "character": 0 if insert else 1}},
                  "text": " " if insert else ""}
        self.notify("textDocument/didChange", {"textDocument": {"uri": URI, "version": self.version}, "contentChanges": [change]})
        return self.version

    def cpu(self) -> float:
        """Seconds the server has run on a processor (all its threads)."""
        return sum(int(Path(task, "schedstat").read_text().split()[0])
                   for task in Path(f"/proc/{self.proc.pid}/task").iterdir()) / 1e9

    async def quiet(self) -> None:
        """Waits until the server has stopped working (its idle preparation done)."""
        while True:
            before = self.cpu()
            await asyncio.sleep(0.1)
            if self.cpu() - before < 0.001:
                return

    def rss_kib(self) -> int:
        status = Path(f"/proc/{self.proc.pid}/status").read_text()
        return int(next(line.split()[1] for line in status.splitlines() if line.startswith("VmRSS:")))

    async def stop(self) -> None:
        await self.request("shutdown", None)
        self.notify("exit", {})
        await self.proc.wait()
        self.reader.cancel()


async def timed(bench: Client, make_request) -> tuple[float, float]:
    """Wall time until the answer, and the server's processor time meanwhile."""
    c0, t0 = bench.cpu(), time.perf_counter()
    await make_request()
    return time.perf_counter() - t0, bench.cpu() - c0


async def run(size: int, rounds: int, edits: int) -> list[tuple[str, str]]:
    text = document(size)
    bench = Client()
    await bench.start(text)
    line = text.count("\n") // 2
    where = utf16_position(text, text.rfind("документ.") + 2)  # a parameter's use, late in the text
    requests = {
        "semantic tokens (full)": lambda: bench.request("textDocument/semanticTokens/full", {"textDocument": DOC}),
        "document symbols": lambda: bench.request("textDocument/documentSymbol", {"textDocument": DOC}),
        "go to definition": lambda: bench.request("textDocument/definition", {"textDocument": DOC, "position": where}),
    }
    rows = []

    latencies = []
    for i in range(rounds):
        c0, t0 = bench.cpu(), time.perf_counter()
        waiter = bench.expect(bench.edit(line, insert=i % 2 == 0))
        latencies.append((await waiter - t0, bench.cpu() - c0))
        await bench.quiet()
    rows.append(("one-character edit -> diagnostics published", ms(latencies)))

    for name, request in requests.items():
        cold, idle, again = [], [], []
        for i in range(rounds):
            bench.edit(line, insert=i % 2 == 0)
            cold.append(await timed(bench, request))  # asked at once, before any preparation
            version = bench.edit(line, insert=i % 2 == 1)
            await bench.expect(version)
            await bench.quiet()  # an editor asks a moment later
            idle.append(await timed(bench, request))
            again.append(await timed(bench, request))
        rows.append((f"{name}: right after an edit", ms(cold)))
        rows.append((f"{name}: after the diagnostics, once idle", ms(idle)))
        rows.append((f"{name}: asked again", ms(again)))

    bench.publishes = 0
    for i in range(100):
        version = bench.edit(line, insert=i % 2 == 0)
    await bench.expect(version)
    rows.append(("burst of 100 edits: diagnostics published", f"{bench.publishes} times"))

    if edits:
        before = after_first = bench.rss_kib()
        for i in range(edits):
            version = bench.edit(line, insert=i % 2 == 0)
            if i % 100 == 99:
                await bench.expect(version)
                if i % 1000 == 999:
                    await requests["semantic tokens (full)"]()
                if i == 999:
                    after_first = bench.rss_kib()
        rows.append((f"server RSS: open / after 1,000 / after {edits:,} edits",
                     f"{before / 1024:.1f} / {after_first / 1024:.1f} / {bench.rss_kib() / 1024:.1f} MiB"))
    await bench.stop()
    return rows


def ms(samples: list[tuple[float, float]]) -> str:
    wall = statistics.median(s[0] for s in samples) * 1000
    cpu = statistics.median(s[1] for s in samples) * 1000
    return f"{wall:7.1f} ms wall, {cpu:6.1f} ms server CPU"


def main() -> None:
    quick = "--quick" in sys.argv
    for label, size, edits in (("100 KB", 100_000, 1000 if quick else 10_000), ("1 MB", 1_000_000, 0)):
        rows = asyncio.run(run(size, 3 if quick else 9, edits))
        print(f"\n{label} document")
        for name, figure in rows:
            print(f"  {name:<58} {figure}")


if __name__ == "__main__":
    main()
