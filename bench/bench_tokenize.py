"""Tokenizer throughput and memory: tarn.lexer.tokenize on the sample corpus next to CPython's own tokenize
module on the standard library, and the memory of the token list next to the same tokens as a plain Python
__slots__ class. Prints a table; asserts nothing."""
from __future__ import annotations

import gc
import io
import time
import tokenize as pytokenize
import tracemalloc

from common import best_of, corpus_text, mb, stdlib_sources

from tarn.lexer import _LineMap, tokenize


class SlotToken:
    """The plain Python record the native Token is measured against."""

    __slots__ = ("kind", "value", "start", "end", "line", "col", "end_line", "end_col", "canonical", "subkind",
                 "flags")

    def __init__(self, kind, value, start, end, line, col, end_line, end_col, canonical, subkind, flags):
        self.kind, self.value, self.start, self.end = kind, value, start, end
        self.line, self.col, self.end_line, self.end_col = line, col, end_line, end_col
        self.canonical, self.subkind, self.flags = canonical, subkind, flags


def timed_tokenize(text: str, repeat: int = 7) -> tuple[float, float]:
    """Best time to build the token list, and the time to free it (kept apart: freeing is not tokenizing)."""
    best_make = best_free = float("inf")
    for _ in range(repeat):
        gc.collect()
        t0 = time.perf_counter()
        toks = tokenize(text)
        t1 = time.perf_counter()
        del toks
        t2 = time.perf_counter()
        best_make, best_free = min(best_make, t1 - t0), min(best_free, t2 - t1)
    return best_make, best_free


def python_tokenize_all(sources: list[str]) -> int:
    count = 0
    for src in sources:
        try:
            count += sum(1 for _ in pytokenize.generate_tokens(io.StringIO(src).readline))
        except (pytokenize.TokenError, SyntaxError):
            pass
    return count


def traced_bytes(build):
    """Bytes still allocated after build() returns, and its result."""
    gc.collect()
    tracemalloc.start()
    result = build()
    current, _ = tracemalloc.get_traced_memory()
    tracemalloc.stop()
    return current, result


def memory_per_token(text: str) -> tuple[float, float, int]:
    native_bytes, toks = traced_bytes(lambda: tokenize(text))
    rows = [(t.kind, t.start, t.end, t.canonical, t.subkind) for t in toks]
    count = len(toks)
    del toks
    lm = _LineMap(text)

    # As a tokenizer written in Python builds them: values sliced from the text, offsets computed afresh
    # ("+ 0" makes a new int object, as the tokenizer's own arithmetic would), positions from the line map.
    def plain_tokens():
        out = []
        for kind, s, e, canonical, subkind in rows:
            line, col = lm.linecol(s)
            end_line, end_col = lm.linecol(e)
            out.append(SlotToken(kind, text[s:e], s + 0, e + 0, line, col, end_line, end_col, canonical, subkind, {}))
        return out

    slots_bytes, slot_toks = traced_bytes(plain_tokens)
    del slot_toks
    return native_bytes / count, slots_bytes / count, count


def main() -> None:
    text = corpus_text()
    nbytes = len(text.encode("utf-8"))
    py_sources = stdlib_sources()
    py_bytes = sum(len(s.encode("utf-8")) for s in py_sources)

    tokenize(text[:1000])  # load the language tables outside the timing
    ntok = len(tokenize(text))
    t_tarn, t_free = timed_tokenize(text)
    py_ntok = python_tokenize_all(py_sources)
    t_py = best_of(lambda: python_tokenize_all(py_sources), repeat=3)

    print(f"{'what':34} {'MB':>7} {'seconds':>8} {'MB/s':>8} {'tokens':>9} {'ns/token':>9}")
    for name, n, t, k in (("tarn.lexer.tokenize (corpus)", nbytes, t_tarn, ntok),
                          ("Python tokenize (stdlib)", py_bytes, t_py, py_ntok)):
        print(f"{name:34} {mb(n):7.2f} {t:8.3f} {mb(n) / t:8.2f} {k:9d} {t / k * 1e9:9.1f}")
    print(f"{'(freeing the tarn token list)':34} {'':7} {t_free:8.3f} {'':8} {'':9} {t_free / ntok * 1e9:9.1f}")
    ratio = (nbytes / t_tarn) / (py_bytes / t_py)
    print(f"\nthroughput per byte vs Python tokenize: {ratio:.1f}x (target >= 10x)")
    ratio_all = (nbytes / (t_tarn + t_free)) / (py_bytes / t_py)
    print(f"the same, freeing the list included:   {ratio_all:.1f}x")

    native, slots, count = memory_per_token(corpus_text(min_bytes=1024 * 1024))
    print(f"\nmemory per token over {count} tokens (tracemalloc, whole list):")
    print(f"  tarn Token            {native:7.1f} B")
    print(f"  __slots__ + dict      {slots:7.1f} B")
    print(f"  ratio                 {native / slots:7.2f} (target <= 0.5)")


if __name__ == "__main__":
    main()
