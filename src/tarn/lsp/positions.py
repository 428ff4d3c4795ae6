"""Code-point offsets <-> LSP positions (line, character) in the negotiated unit.

Lines end exactly where the lexer ends them ("\\r\\n", a lone "\\r", "\\n"), which is
also the protocol's rule. A character past the end of a line is clamped to the
line's end, one inside a surrogate pair (UTF-16) or a multi-byte sequence
(UTF-8) to the start of that code point; a line past the last one, or an
offset past the text, to the end of the text.
"""
from __future__ import annotations

import bisect

from tarn.lexer import _line_starts

UTF8 = "utf-8"
UTF16 = "utf-16"
UTF32 = "utf-32"
# Preference when the client offers several; UTF-32 is tarn's own unit.
PREFERENCE = (UTF32, UTF8, UTF16)

# Lines longer than this keep a table of unit counts every CHUNK code points,
# so one conversion never reads more than CHUNK code points of a long line.
CHUNK = 256

_CODECS = {UTF8: ("utf-8", 1), UTF16: ("utf-16-le", 2)}


def choose_encoding(offered: list[str] | None) -> str:
    offered = [str(e).lower() for e in offered or ()]
    for encoding in PREFERENCE:
        if encoding in offered:
            return encoding
    return UTF16


class Positions:
    """Conversions for one version of a document's text."""

    def __init__(self, text: str, encoding: str = UTF16, starts: list[int] | None = None):
        self.text = text
        self.encoding = encoding
        self.starts = starts if starts is not None else _line_starts(text)
        # Code points and units coincide for ASCII, and for UTF-16 on text
        # without characters outside the Basic Multilingual Plane.
        self._same = encoding == UTF32 or text.isascii() or (
            encoding == UTF16 and len(text.encode("utf-16-le", "surrogatepass")) == 2 * len(text)
        )
        self._codec = _CODECS.get(encoding)
        self._chunks: dict[int, list[int]] = {}
        self._plain: dict[int, bool] = {}
        self._cursor = (-1, 0, 0)  # line, offset, units: the last answer of ``character``

    # ------------------------------------------------------------ lines

    @property
    def line_count(self) -> int:
        return len(self.starts)

    def line_of(self, offset: int) -> int:
        return bisect.bisect_right(self.starts, offset) - 1

    def line_end(self, line: int) -> int:
        """Offset of the end of the line's content (before its line break)."""
        if line + 1 >= len(self.starts):
            return len(self.text)
        end = self.starts[line + 1] - 1
        if end > self.starts[line] and self.text[end] == "\n" and self.text[end - 1] == "\r":
            end -= 1
        return end

    # ------------------------------------------------------------ conversions

    def position(self, offset: int) -> tuple[int, int]:
        """(line, character) of a code-point offset, clamped into the text."""
        offset = min(max(offset, 0), len(self.text))
        line = self.line_of(offset)
        start = self.starts[line]
        offset = min(offset, self.line_end(line))
        if self._same:
            return line, offset - start
        return line, self._units(line, start, offset)

    def offset(self, line: int, character: int) -> int:
        """Code-point offset of an LSP position, clamped as described above."""
        if line < 0:
            return 0
        if line >= len(self.starts):
            return len(self.text)
        start = self.starts[line]
        end = self.line_end(line)
        if character <= 0:
            return start
        if self._same:
            return min(start + character, end)
        return self._offset_in_line(line, start, end, character)

    def range(self, start: int, end: int) -> tuple[tuple[int, int], tuple[int, int]]:
        return self.position(start), self.position(max(start, end))

    def plain(self, line: int) -> bool:
        """Whether units and code points coincide on this line."""
        if self._same:
            return True
        found = self._plain.get(line)
        if found is None:
            content = self.text[self.starts[line]:self.line_end(line)]
            found = self._plain[line] = content.isascii() or (
                self.encoding == UTF16 and len(content.encode("utf-16-le", "surrogatepass")) == 2 * len(content))
        return found

    def character(self, line: int, offset: int) -> int:
        """Units from the start of ``line`` to ``offset`` on it; cheapest when
        asked along a line in increasing order (as tokens come)."""
        start = self.starts[line]
        if self.plain(line):
            return offset - start
        at_line, at_offset, at_units = self._cursor
        if at_line == line and at_offset <= offset <= at_offset + CHUNK:
            units = at_units + self._count(at_offset, offset)
        else:
            units = self._units(line, start, offset)
        self._cursor = (line, offset, units)
        return units

    # ------------------------------------------------------------ units

    def _count(self, a: int, b: int) -> int:
        name, width = self._codec  # type: ignore[misc]
        return len(self.text[a:b].encode(name, "surrogatepass")) // width

    def _table(self, line: int, start: int, end: int) -> list[int]:
        """Units from the line's start to every CHUNK-th code point."""
        table = self._chunks.get(line)
        if table is None:
            table = [0]
            for a in range(start, end, CHUNK):
                table.append(table[-1] + self._count(a, min(a + CHUNK, end)))
            self._chunks[line] = table
        return table

    def _units(self, line: int, start: int, offset: int) -> int:
        if offset - start <= CHUNK:
            return self._count(start, offset)
        table = self._table(line, start, self.line_end(line))
        k = (offset - start) // CHUNK
        return table[k] + self._count(start + k * CHUNK, offset)

    def _offset_in_line(self, line: int, start: int, end: int, units: int) -> int:
        base, done = start, 0
        if end - start > CHUNK:
            table = self._table(line, start, end)
            # The last entry is the line's end, not a chunk's start.
            k = min(bisect.bisect_right(table, units) - 1, len(table) - 2)
            base, done = start + k * CHUNK, table[k]
        text = self.text
        utf8 = self.encoding == UTF8
        i = base
        while i < end:
            cp = ord(text[i])
            if utf8:
                width = 1 if cp < 0x80 else 2 if cp < 0x800 else 3 if cp < 0x10000 else 4
            else:
                width = 2 if cp > 0xFFFF else 1
            if done + width > units:
                break  # the position falls inside this code point: round down
            done += width
            i += 1
        return i
