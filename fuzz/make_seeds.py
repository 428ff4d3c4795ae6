#!/usr/bin/env python3
"""Writes the fuzzers' seed corpora and dictionaries into BUILD_DIR/seeds.

Seeds are made, not committed: the sample programs of tests/data/corpus (whole,
and cut into small pieces, which fuzz faster), the sources of the golden cases
(tests/data/golden: the lexer's and the grammar's edge cases), and the shipped
language definition. A text seed is one byte choosing
the code-unit width (0: 1 byte, 1: 2 bytes, 2: 4 bytes) followed by the code
units, little-endian, as the text targets read their input.

    python3 fuzz/make_seeds.py build/fuzz
"""
import hashlib
import json
import pathlib
import re
import sys

ROOT = pathlib.Path(__file__).resolve().parent.parent
CORPUS = ROOT / "tests" / "data" / "corpus"
LANGUAGE = ROOT / "src" / "tarn" / "data" / "language.json"

WIDTH_SELECTOR = {1: 0, 2: 1, 4: 2}
CODECS = {1: "latin-1", 2: "utf-16-le", 4: "utf-32-le"}

GOLDEN = ROOT / "tests" / "data" / "golden"
CASE = re.compile(r"^=== (.*)\n((?:.*\n)*?)---\n", re.M)


def golden_sources():
    """The sources of the golden cases: the grammar's and the lexer's edge cases."""
    for path in sorted(GOLDEN.glob("*.txt")):
        for header, source in CASE.findall(path.read_text(encoding="utf-8")):
            source = source[:-1]
            yield eval(source, {"__builtins__": {}}) if " | expr" in header else source


def encode(text, width):
    return bytes([WIDTH_SELECTOR[width]]) + text.encode(CODECS[width], "surrogatepass")


def natural_width(text):
    top = max(map(ord, text), default=0)
    return 1 if top < 0x100 else 2 if top < 0x10000 else 4


def pieces(text, limit=1500):
    """Runs of whole top-level chunks (split at blank lines), each under `limit` code points."""
    out, current = [], ""
    for chunk in text.split("\n\n"):
        if current and len(current) + len(chunk) > limit:
            out.append(current)
            current = ""
        current += chunk + "\n\n"
    if current.strip():
        out.append(current)
    return out


def text_seeds():
    texts = [text for text in golden_sources() if len(text) < 20_000]
    for path in sorted(CORPUS.rglob("*.tarn")):
        source = path.read_text(encoding="utf-8")
        texts.append(source)
        texts.extend(pieces(source))
    seeds = []
    for text in texts:
        width = natural_width(text)
        seeds.append(encode(text, width))
        if width < 4 and len(text) < 200:
            seeds.append(encode(text, 4))
    return seeds


# fuzz_parser_rules reads: token count; per token kind, keyword, operator,
# flag bits, then start, end and line as (4, signed delta) pairs (flag bit 8:
# end_line = line); the cursor choice; then (rule index, reposition flag)
# pairs. Kinds and rules are indices into the target's tables.
NUMBER, EOF = 4, 9
RULE_STATIC_FEATURE_RESOLVING, RULE_PARSE_MODULE = 48, 0
CURSOR_FROM_END, CURSOR_LARGEST = 5, 7


def rule_seeds():
    number = [NUMBER, 0, 0, 8, 4, 0, 4, 1, 4, 0]
    eof = [EOF, 0, 0, 8, 4, 0, 4, 0, 4, 0]
    return [
        # A negative cursor must index from the end, never before the array.
        bytes([2] + number + eof + [CURSOR_FROM_END, RULE_STATIC_FEATURE_RESOLVING, 0]),
        # The cursor at the largest position: every rule stops with the index error.
        bytes([2] + number + eof + [CURSOR_LARGEST, 0, RULE_STATIC_FEATURE_RESOLVING, 0]),
        bytes([1] + number + [CURSOR_FROM_END, RULE_PARSE_MODULE, 0]),
    ]


def language_seeds():
    raw = LANGUAGE.read_bytes()
    lang = json.loads(raw)
    small = {"keywords": {"IF": {"forms": ["если", "if"]}}, "operators": ["+", "+=", "?", "?.", "??"]}
    odd = {"keywords": {"A": {"forms": ["x", "x", "1a", "a b"]}, "B": {"forms": ["x"]}},
           "operators": ["a", "//", "\"", "\u00d7", "\ud55c", "->", ">>", ">"]}
    seeds = [raw, json.dumps(small, ensure_ascii=False).encode(), json.dumps(odd, ensure_ascii=False).encode()]
    seeds.append(json.dumps({"keywords": lang["keywords"], "operators": lang["operators"]}).encode())
    return seeds


def dictionary_entries():
    lang = json.loads(LANGUAGE.read_text(encoding="utf-8"))
    words = [form for entry in lang["keywords"].values() for form in entry.get("forms", [])]
    words += lang["operators"] + ["//", "/*", "*/", "/**", '"', "'", "${", "%{", "}", "\\", "\r\n", "\ufeff"]
    entries = set()
    for word in words:
        for width in (1, 2):
            try:
                entries.add(word.encode(CODECS[width]))
            except UnicodeEncodeError:
                pass
    return sorted(entries)


def write_dir(directory, blobs):
    directory.mkdir(parents=True, exist_ok=True)
    for blob in blobs:
        (directory / hashlib.sha1(blob).hexdigest()).write_bytes(blob)


def write_dict(path, entries):
    lines = ['"' + "".join(f"\\x{b:02x}" for b in entry) + '"' for entry in entries]
    path.write_text("\n".join(lines) + "\n")


def main():
    build = pathlib.Path(sys.argv[1] if len(sys.argv) > 1 else ROOT / "build" / "fuzz")
    seeds = build / "seeds"
    texts = text_seeds()
    for target in ("tokenize", "parse", "interpolation", "format"):
        write_dir(seeds / target, texts)
        write_dict(seeds / f"{target}.dict", dictionary_entries())
    write_dir(seeds / "language_json", language_seeds())
    write_dir(seeds / "parser_rules", rule_seeds())
    print(f"{len(texts)} text seeds in {seeds}")


if __name__ == "__main__":
    main()
