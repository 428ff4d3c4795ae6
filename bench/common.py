"""Shared helpers for the benchmark scripts: inputs and timing."""
from __future__ import annotations

import pathlib
import sysconfig
import time

ROOT = pathlib.Path(__file__).resolve().parent.parent
CORPUS = ROOT / "tests" / "data" / "corpus"


def corpus_text(min_bytes: int = 5 * 1024 * 1024, kind: str = "valid") -> str:
    """The sample programs concatenated (they are independent modules) and repeated to at least min_bytes."""
    parts = [p.read_text(encoding="utf-8") for p in sorted((CORPUS / kind).glob("*.tarn"))]
    one = "\n".join(parts) + "\n"
    reps = max(1, -(-min_bytes // len(one.encode("utf-8"))))
    return one * reps


def stdlib_sources(min_bytes: int = 5 * 1024 * 1024) -> list[str]:
    """Python sources from the standard library, at least min_bytes of them."""
    files = sorted(pathlib.Path(sysconfig.get_paths()["stdlib"]).rglob("*.py"))
    out, total = [], 0
    for f in files:
        if "site-packages" in f.parts:
            continue
        try:
            src = f.read_text(encoding="utf-8")
            compile(src, str(f), "exec", flags=0x400, dont_inherit=True)  # ast.PyCF_ONLY_AST: skip broken test data
        except (UnicodeDecodeError, OSError, SyntaxError, ValueError):
            continue
        out.append(src)
        total += len(src.encode("utf-8"))
        if total >= min_bytes:
            break
    return out


def best_of(fn, repeat: int = 3) -> float:
    """Best wall-clock time of fn() over `repeat` runs, in seconds."""
    best = float("inf")
    for _ in range(repeat):
        t0 = time.perf_counter()
        fn()
        best = min(best, time.perf_counter() - t0)
    return best


def mb(nbytes: int) -> float:
    return nbytes / (1024 * 1024)
