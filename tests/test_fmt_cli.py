"""``tarn fmt`` and ``tarn translate`` run as ``python -m tarn`` in a child process."""
from __future__ import annotations

import os
import resource
import subprocess
import sys
from pathlib import Path

from tarn import fmt, translate

CORPUS = Path(__file__).parent / "data" / "corpus"
SAMPLE = (CORPUS / "valid" / "orders.tarn").read_bytes().decode("utf-8")
BROKEN = (CORPUS / "invalid" / "orders_draft.tarn").read_bytes().decode("utf-8")


def tarn(*args: str, stdin: bytes = b"", file_size_limit: int | None = None) -> subprocess.CompletedProcess[bytes]:
    env = dict(os.environ, PYTHONPATH=os.pathsep.join(sys.path), PYTHONIOENCODING="utf-8", TARN_LANG="en")
    limit = None if file_size_limit is None else (
        lambda: resource.setrlimit(resource.RLIMIT_FSIZE, (file_size_limit, resource.RLIM_INFINITY)))
    return subprocess.run([sys.executable, "-m", "tarn", *args], env=env, input=stdin, capture_output=True,
                          timeout=600, preexec_fn=limit)


def test_fmt_rewrites_in_place_and_leaves_broken_files_alone(tmp_path: Path) -> None:
    sample, broken, done = tmp_path / "a.tarn", tmp_path / "sub" / "b.tarn", tmp_path / "c.tarn"
    broken.parent.mkdir()
    sample.write_bytes(SAMPLE.encode())
    broken.write_bytes(BROKEN.encode())
    done.write_bytes(fmt.format_text(SAMPLE).encode())
    sample.chmod(0o640)
    link = tmp_path / "link.tarn"
    link.symlink_to(done)

    check = tarn("fmt", "--check", str(tmp_path))
    assert check.returncode == 1
    assert check.stdout.decode().splitlines() == [f"{sample}: would be reformatted"]
    assert sample.read_bytes() == SAMPLE.encode()

    diff = tarn("fmt", "--diff", str(sample))
    assert diff.returncode == 0 and diff.stdout.startswith(f"--- {sample}\n+++ {sample}\n".encode())
    assert sample.read_bytes() == SAMPLE.encode()

    run = tarn("fmt", str(tmp_path))
    assert run.returncode == 1  # the broken file
    assert sample.read_bytes().decode() == fmt.format_text(SAMPLE)
    assert sample.stat().st_mode & 0o777 == 0o640
    assert broken.read_bytes() == BROKEN.encode()
    assert f"{broken}:35:19: error: the file has syntax errors" in run.stderr.decode()
    assert link.is_symlink() and sorted(p.name for p in tmp_path.iterdir()) == ["a.tarn", "c.tarn", "link.tarn", "sub"]
    assert tarn("fmt", "--check", str(sample), str(done)).returncode == 0


def test_unreadable_files_give_2_over_1(tmp_path: Path) -> None:
    (tmp_path / "a.tarn").write_bytes(SAMPLE.encode())
    (tmp_path / "bad.tarn").write_bytes(b"\xff\xfe")
    result = tarn("fmt", "--check", str(tmp_path), str(tmp_path / "missing.tarn"))
    assert result.returncode == 2
    assert "not valid UTF-8" in result.stderr.decode() and "No such file" in result.stderr.decode()


def test_usage_errors_and_a_quiet_run(tmp_path: Path) -> None:
    path = tmp_path / "a.tarn"
    path.write_bytes(fmt.format_text(SAMPLE).encode())
    for args in (("fmt", "-j", "0", str(path)), ("translate", str(path)), ("translate", "--to", "de", str(path)),
                 ("check", "--jobs", "x", str(path))):
        result = tarn(*args)
        assert result.returncode == 2 and result.stderr.startswith(b"usage: ") and not result.stdout, args
    quiet = tarn("fmt", "-q", "--check", str(path), str(path))
    assert quiet.returncode == 0 and quiet.stdout == quiet.stderr == b""


def test_a_failed_write_leaves_the_file_whole(tmp_path: Path) -> None:
    # A file size limit makes the write fail part way, as a full disk would.
    path = tmp_path / "a.tarn"
    path.write_bytes(SAMPLE.encode())
    result = tarn("fmt", str(path), file_size_limit=1024)
    assert result.returncode == 2
    assert result.stderr.decode().startswith(f"{path}: error: cannot write the file: File too large\n")
    assert path.read_bytes() == SAMPLE.encode() and [p.name for p in tmp_path.iterdir()] == ["a.tarn"]


def test_standard_input_keeps_bom_and_line_breaks() -> None:
    source = ("\ufeff" + SAMPLE.replace("\n", "\r\n")).encode()
    result = tarn("fmt", "-", stdin=source)
    assert result.returncode == 0
    assert result.stdout == ("\ufeff" + fmt.format_text(SAMPLE).replace("\n", "\r\n")).encode()
    assert tarn("fmt", "--check", "-", stdin=result.stdout).returncode == 0
    assert tarn("fmt", "--check", "-", stdin=source).returncode == 1
    assert tarn("fmt", "-", stdin=BROKEN.encode()).returncode == 1
    mixed = tarn("fmt", "-", "a.tarn", stdin=source)
    assert mixed.returncode == 2 and b"cannot be combined with paths" in mixed.stderr and not mixed.stdout


def test_translate_in_place_with_messages_in_the_chosen_language(tmp_path: Path) -> None:
    path = tmp_path / "a.tarn"
    path.write_bytes(SAMPLE.encode())
    result = tarn("translate", "--to", "en", "--lang", "ru", str(path))
    assert result.returncode == 0 and "переведён" in result.stdout.decode()
    assert path.read_bytes().decode() == translate.translate_text(SAMPLE, "en")
    assert tarn("translate", "--to", "ru", "--check", str(path)).returncode == 1
    assert tarn("translate", "--to", "en", "--check", str(path)).returncode == 0
    refused = tarn("translate", "--to", "en", "-", stdin='метод f()\n    g("${если}")\n;\n'.encode())
    assert refused.returncode == 1 and b"<stdin>:2:10: error: the code in this interpolation" in refused.stderr
