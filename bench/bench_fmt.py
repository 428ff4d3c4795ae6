"""`tarn fmt --check` against `tarn check` over one generated tree of >= 50 MB.

The tree is the sample programs, formatted, copied into enough directories
(under /tmp, or the directory given) to reach the size: `fmt --check` then
finds nothing to change, which is what a CI step sees on a clean branch (the
safety check's second parse is skipped where the output equals the input). A
second tree holds the samples as written (every file would change, so the
safety check runs on each). Both commands run as `python -m tarn` child
processes, with one job and with all cores; the figures are wall-clock times
and the CPU time of the child.

    PYTHONPATH=build/dev/pkg python bench/bench_fmt.py [MB] [DIR]
"""
from __future__ import annotations

import os
import resource
import shutil
import subprocess
import sys
import tempfile
import time
from pathlib import Path

from common import CORPUS, mb

from tarn import fmt


def make_tree(root: Path, megabytes: int, formatted: bool) -> int:
    sources = {p.name: p.read_bytes().decode("utf-8") for p in sorted((CORPUS / "valid").glob("*.tarn"))}
    if formatted:
        sources = {name: fmt.format_text(text) for name, text in sources.items()}
    blobs = {name: text.encode("utf-8") for name, text in sources.items()}
    per_copy = sum(map(len, blobs.values()))
    copies = -(-megabytes * 1024 * 1024 // per_copy)
    for n in range(copies):
        folder = root / f"pkg{n // 100:03d}" / f"mod{n % 100:02d}"
        folder.mkdir(parents=True)
        for name, blob in blobs.items():
            (folder / name).write_bytes(blob)
    return copies * per_copy


def timed(*args: str) -> tuple[float, float, int]:
    """Wall time, CPU time of the child (with its workers) and exit status."""
    before = resource.getrusage(resource.RUSAGE_CHILDREN)
    start = time.perf_counter()
    done = subprocess.run([sys.executable, "-m", "tarn", *args], stdout=subprocess.DEVNULL,
                          stderr=subprocess.DEVNULL, env=dict(os.environ, PYTHONPATH=os.pathsep.join(sys.path)))
    wall = time.perf_counter() - start
    after = resource.getrusage(resource.RUSAGE_CHILDREN)
    return wall, (after.ru_utime - before.ru_utime) + (after.ru_stime - before.ru_stime), done.returncode


def main() -> None:
    megabytes = int(sys.argv[1]) if len(sys.argv) > 1 else 50
    base = Path(sys.argv[2]) if len(sys.argv) > 2 else Path(tempfile.gettempdir())
    work = Path(tempfile.mkdtemp(prefix="tarn-bench-fmt-", dir=base))
    try:
        for formatted in (True, False):
            root = work / ("formatted" if formatted else "as-written")
            size = make_tree(root, megabytes, formatted)
            files = sum(1 for _ in root.rglob("*.tarn"))
            print(f"\n{'formatted' if formatted else 'as written'}: {files} files, {mb(size):.1f} MB")
            print(f"{'command':34} {'wall s':>8} {'cpu s':>8} {'MB/s (cpu)':>11} {'exit':>5}")
            rows = {}
            for label, args in (("tarn check -j 1", ("check", "-j", "1")),
                                ("tarn fmt --check -j 1", ("fmt", "--check", "-q", "-j", "1")),
                                ("tarn check (all cores)", ("check",)),
                                ("tarn fmt --check (all cores)", ("fmt", "--check", "-q"))):
                wall, cpu, status = timed(*args, str(root))
                rows[label] = cpu
                print(f"{label:34} {wall:8.2f} {cpu:8.2f} {mb(size) / cpu:11.1f} {status:5}")
            ratio = rows["tarn fmt --check -j 1"] / rows["tarn check -j 1"]
            print(f"fmt --check / check (one job, CPU time): {ratio:.1f}x")
    finally:
        shutil.rmtree(work, ignore_errors=True)


if __name__ == "__main__":
    main()
