"""``tarn check`` over a generated tree of sample programs: files/s and MB/s
with one job and with all cores, next to a loop of parse_text over the same
files in one process; the per-file overhead on tiny files; with --huge, one
100 MB file. Prints a table; asserts nothing.

    PYTHONPATH=build/dev/pkg python bench/bench_check.py [--files 2400] [--mb 55] [--huge] [--dir /tmp/...]

Run it against another build (PYTHONPATH) for before/after figures: the
commands it times are the ones every version has (check -j N DIR).
"""
from __future__ import annotations

import argparse
import os
import random
import resource
import subprocess
import sys
import tempfile
import time
from pathlib import Path

from common import CORPUS, mb

from tarn.parser import parse_text


def generate(root: Path, files: int, total_mb: float, seed: int = 12) -> int:
    """`files` files of about total_mb MB in nested directories: concatenated
    sample programs (independent modules), one in ten with mistakes."""
    valid = [p.read_text(encoding="utf-8") for p in sorted((CORPUS / "valid").glob("*.tarn"))]
    invalid = [p.read_text(encoding="utf-8") for p in sorted((CORPUS / "invalid").glob("*.tarn"))]
    rng = random.Random(seed)
    per_file = int(total_mb * 1024 * 1024 / files)
    written = 0
    for i in range(files):
        parts: list[str] = []
        size = 0
        while size < per_file:
            part = rng.choice(invalid if i % 10 == 0 and not parts else valid)
            parts.append(part)
            size += len(part.encode("utf-8"))
        data = "\n".join(parts).encode("utf-8")
        path = root / f"pkg{i % 17:02d}" / f"sub{i % 5}" / f"module_{i:05d}.tarn"
        path.parent.mkdir(parents=True, exist_ok=True)
        path.write_bytes(data)
        written += len(data)
    return written


def sources(root: Path) -> list[Path]:
    return sorted(root.rglob("*.tarn"))


def parse_loop(paths: list[Path]) -> tuple[float, float]:
    """Wall and CPU seconds of reading and parsing every file in this process."""
    start, cpu = time.perf_counter(), time.process_time()
    for path in paths:
        parse_text(path.read_bytes().decode("utf-8"))
    return time.perf_counter() - start, time.process_time() - cpu


def tarn_check(root: Path, jobs: int) -> tuple[float, float, int]:
    """Wall and CPU seconds of one ``tarn check`` run, and its peak memory (KiB)."""
    before = resource.getrusage(resource.RUSAGE_CHILDREN)
    start = time.perf_counter()
    subprocess.run([sys.executable, "-m", "tarn", "check", "-j", str(jobs), "--exit-zero", str(root)],
                   stdout=subprocess.DEVNULL, check=True)
    wall = time.perf_counter() - start
    after = resource.getrusage(resource.RUSAGE_CHILDREN)
    cpu = (after.ru_utime - before.ru_utime) + (after.ru_stime - before.ru_stime)
    return wall, cpu, after.ru_maxrss


def best(fn, repeat: int):
    return min((fn() for _ in range(repeat)), key=lambda r: r[0])


def row(name: str, files: int, nbytes: int, wall: float, cpu: float, note: str = "") -> None:
    print(f"{name:<30} {files / wall:9.0f} {mb(nbytes) / wall:8.1f} {mb(nbytes) / cpu:9.1f} "
          f"{wall * 1e6 / files:9.1f} {cpu * 1e6 / files:9.1f} {note}")


def main() -> None:
    ap = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    ap.add_argument("--files", type=int, default=2400)
    ap.add_argument("--mb", type=float, default=55.0)
    ap.add_argument("--tiny", type=int, default=2000, help="tiny files for the per-file overhead")
    ap.add_argument("--repeat", type=int, default=3)
    ap.add_argument("--huge", action="store_true", help="also one 100 MB file")
    ap.add_argument("--dir", type=Path, default=None, help="where to generate (default: a temporary directory)")
    args = ap.parse_args()
    cores = len(os.sched_getaffinity(0))

    with tempfile.TemporaryDirectory(prefix="tarn-bench-check-", dir=args.dir) as tmp:
        tree, tiny = Path(tmp, "tree"), Path(tmp, "tiny")
        nbytes = generate(tree, args.files, args.mb)
        for i in range(args.tiny):
            (tiny / f"d{i % 20}").mkdir(parents=True, exist_ok=True)
            (tiny / f"d{i % 20}" / f"t{i}.tarn").write_text("метод main()\n  журнал.инфо(1)\n;\n", encoding="utf-8")
        tiny_bytes = sum(p.stat().st_size for p in sources(tiny))
        paths = sources(tree)
        print(f"{len(paths)} files, {mb(nbytes):.1f} MB; {args.tiny} tiny files; {cores} cores; "
              f"best of {args.repeat}")
        print(f"{'':<30} {'files/s':>9} {'MB/s':>8} {'MB/cpu-s':>9} {'us/file':>9} {'cpu-us/f':>9}")
        row("parse_text loop, one process", len(paths), nbytes, *best(lambda: parse_loop(paths), args.repeat))
        for jobs in sorted({1, cores}):
            wall, cpu, _ = best(lambda: tarn_check(tree, jobs), args.repeat)
            row(f"tarn check -j {jobs}", len(paths), nbytes, wall, cpu)
        # Tiny files: the cost per file beyond one run's start-up.
        tiny_paths = sources(tiny)
        row("tiny: parse_text loop", len(tiny_paths), tiny_bytes, *best(lambda: parse_loop(tiny_paths), args.repeat))
        one = Path(tmp, "one")
        one.mkdir()
        (one / "t.tarn").write_bytes(tiny_paths[0].read_bytes())
        start_wall, start_cpu, _ = best(lambda: tarn_check(one, 1), args.repeat)
        for jobs in sorted({1, cores}):
            wall, cpu, _ = best(lambda: tarn_check(tiny, jobs), args.repeat)
            row(f"tiny: tarn check -j {jobs}", len(tiny_paths), tiny_bytes, wall - start_wall, cpu - start_cpu,
                f"(start-up {start_wall * 1e3:.0f} ms not counted)")
        if args.huge:
            huge = Path(tmp, "huge")
            huge.mkdir()
            one = "\n".join(p.read_text(encoding="utf-8") for p in sorted((CORPUS / "valid").glob("*.tarn")))
            data = (one + "\n") * (100 * 1024 * 1024 // len(one.encode("utf-8")) + 1)
            (huge / "huge.tarn").write_text(data, encoding="utf-8")
            size = (huge / "huge.tarn").stat().st_size
            wall, cpu, rss = tarn_check(huge, 1)
            row("huge: tarn check -j 1", 1, size, wall, cpu, f"peak memory {rss / 1024:.0f} MB")


if __name__ == "__main__":
    main()
