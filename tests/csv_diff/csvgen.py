"""Seeded generator of adversarial CSV files for the differential load test.

Every file is a list of records written back to back. A record is a blank
line, a well-formed row, or a flawed row that a CSV reader cannot read the
way it was written (text after a closing quote, a carriage return inside an
unquoted field, bytes that are not characters of the file's set, a quote
left open at the end of the file). The generator keeps, for every record,
its exact bytes, where it starts (byte offset and line), the fields as
written (text and whether they were quoted) and, for a flawed row, what is
wrong with it. The same seed always gives the same bytes.

Rows carry a unique id ("r000123") in their first field, so that a stored
row can be matched with the record it came from. A flaw never reaches the
first field, and never changes where the next record starts (the next line
feed outside quotes, as a reader of the dialect and Python's csv module both
see it).

    python3 csvgen.py OUT_DIR [--seed N] [--scale F]

writes the files and, beside each, NAME.records.jsonl: one line per record
(offset, line, length, id, fields as [text, quoted], flaw).
"""
from __future__ import annotations

import argparse
import json
import random
import re
from dataclasses import dataclass, field
from pathlib import Path

# The table every file is loaded into: an id and four values.
COLUMNS = ("id", "c1", "c2", "c3", "c4")
MIB = 1 << 20
# The longest value: a row must fit in the loader's 1 MiB read buffer.
HUGE_MAX = 450_000


@dataclass(slots=True)
class Field:
    text: str     # the value as a reader returns it ('' for an empty field)
    quoted: bool  # written between quotes ('' quoted is an empty string, unquoted NULL)


@dataclass(slots=True)
class Record:
    raw: bytes                    # the record's bytes, terminator included
    rid: str | None = None        # the id in its first field; None for blank lines and id-less rows
    fields: list[Field] = field(default_factory=list)  # as written; for a flawed row, the readable ones
    flaw: str | None = None       # why no reader may store it as written; None when well-formed
    blank: bool = False           # nothing, or only a carriage return, before the line feed
    offset: int = 0               # byte offset in the file
    line: int = 0                 # line the record starts on, 1-based
    ordinal: int = 0              # position among all records, blank lines included, 1-based
    row_ordinal: int = 0          # position among the records that are not blank, 0 for blank lines

    def accepted(self, ncols: int, trailing_nullcols: bool) -> bool:
        """Whether a loader of the dialect must store it."""
        if self.blank or self.flaw is not None:
            return False
        width = len(self.fields)
        return width == ncols or (trailing_nullcols and width < ncols)


@dataclass
class CsvFile:
    name: str
    encoding: str        # Python's name of the character set
    character_code: str  # the loader's CHARACTER_CODE
    records: list[Record] = field(default_factory=list)  # the whole file, in order
    size: int = 0        # bytes so far
    _lines: int = 1      # the line the next record starts on
    _rows: int = 0       # records so far that are not blank lines

    def add(self, rec: Record) -> None:
        rec.offset, rec.line, rec.ordinal = self.size, self._lines, len(self.records) + 1
        if not rec.blank:
            self._rows += 1
            rec.row_ordinal = self._rows
        self.records.append(rec)
        self.size += len(rec.raw)
        self._lines += rec.raw.count(b"\n")

    def data(self) -> bytes:
        return b"".join(r.raw for r in self.records)


# ---------------------------------------------------------------- values

PLAIN = ["alpha", "Beta gamma", " lead", "trail ", "  both  ", "0", "-12.50", "2024-02-29", "NULL",
         "null", "n/a", "tab\there", "#", "it's", "a;b|c", "x"]
BACKSLASHES = ["C:\\new\\table", "\\N", "end\\", "\\", "\\\\server\\share", "a\\,b", "\\\"", "a\\\"b",
               "\\n literally", "100\\%"]
QUOTES = ['{"k": 1}', '12" pizza', 'say "hi"', '"', '""', '"quoted"', 'x"', ' "space first"',
          '{"a": [1, 2], "b": "c,d"}', 'end"', '"""', "'single'"]
SEPARATORS = ["a,b", ",", ",,", "x, y, z", "1,000.00", ",lead", "trail,"]
BREAKS = ["line1\nline2", "crlf\r\nline", "lone\rcr", "\n", "\r\n", "\n\n\n", "end\n", "\r", 'x"\n"y',
          'quote at end"\n', "\r\n\r\n", "a,\nb"]
UTF8_TEXT = ["中文", "Grüße", "e\u0301", "😀 emoji", "表", "ｆｕｌｌ，ｗｉｄｔｈ", "\u00a0nbsp", "عربى",
             "\u2028sep", "Ωmega", "𠀀"]
# Chinese characters whose second byte in GBK is 0x5C ("\") or 0x7C ("|"), common punctuation
# (every one maps the same way in Python's codecs and the C library's iconv).
GBK_TRAIL_5C = "乗俓僜刓匼哱嘰圽塡奬媆孿峔嶾廫怽慭抃揬擻昞朶梊榎橽歕沑淺漒瀄"
GBK_TRAIL_7C = "亅倈億剕厊唡噟坾墊妡媩寍峾巪弢恷憒抾搢攟晐東梶榺檤殀泑渱潀瀨"
GBK_TEXT = ["数据表", "中文测试", "价格：１２．５", "“引号”", "《书名》", "——", "…", "·", "、",
            "，", "　"]
GB18030_ONLY = ["😀", "𠀀", "€", "é", "Ω", "𝄞"]


def needs_quotes(text: str) -> bool:
    return any(c in text for c in ",\r\n") or text.startswith('"')


def quote(text: str) -> str:
    return '"' + text.replace('"', '""') + '"'


class Values:
    """Random values of one file's character set, drawn from a fixed deck of texts (composed
    once per file from the pools, so that a field costs a few random numbers)."""

    DECK = 4096

    def __init__(self, rng: random.Random, encoding: str):
        self.rng, self.encoding = rng, encoding
        pools = [PLAIN, BACKSLASHES, QUOTES, SEPARATORS, BREAKS]
        if encoding == "utf-8":
            pools.append(UTF8_TEXT)
        else:
            trail = [GBK_TRAIL_5C[i:i + 3] for i in range(0, len(GBK_TRAIL_5C), 3)]
            trail += [GBK_TRAIL_7C[i:i + 3] for i in range(0, len(GBK_TRAIL_7C), 3)]
            pools += [trail, trail, GBK_TEXT]
            if encoding == "gb18030":
                pools.append(GB18030_ONLY)
        self.deck = ["".join(rng.choice(rng.choice(pools)) for _ in range(rng.choice((1, 1, 1, 2, 3))))
                     for _ in range(self.DECK)]
        self.must_quote = [needs_quotes(t) for t in self.deck]

    def text(self) -> str:
        return self.deck[int(self.rng.random() * self.DECK)]

    def field(self) -> Field:
        """An unquoted empty field (NULL), a quoted one (''), or a text of the deck: quoted
        when it must be, else one time in three."""
        roll = self.rng.random()
        if roll < 0.06:
            return Field("", False)
        if roll < 0.10:
            return Field("", True)
        pick = int(self.rng.random() * self.DECK)
        return Field(self.deck[pick], self.must_quote[pick] or roll < 0.45)

    def huge(self, size: int) -> Field:
        """A value of about `size` bytes: quoted, with line breaks, quotes and separators
        throughout, or (one in four) unquoted, of plain text."""
        quoted = self.rng.random() < 0.75
        parts, length = [], 0
        while length < size:
            part = self.text() + self.rng.choice(("", " ", "\n", '"', ",")) if quoted else self.rng.choice(PLAIN)
            parts.append(part)
            length += len(part.encode(self.encoding)) + part.count('"')
        return Field("".join(parts), quoted)


# ---------------------------------------------------------------- rows

class RowMaker:
    """Records of one file: rows built from Fields, raw pieces spliced in for flaws."""

    def __init__(self, out: CsvFile, rng: random.Random):
        self.out, self.rng = out, rng
        self.values = Values(rng, out.encoding)
        self.next_id = 1
        self.written: dict[tuple[str, bool], bytes] = {}

    def encode(self, text: str) -> bytes:
        return text.encode(self.out.encoding)

    def field_bytes(self, f: Field) -> bytes:
        """The field as written; values come from a small deck, so their bytes are kept."""
        key = (f.text, f.quoted)
        raw = self.written.get(key)
        if raw is None:
            raw = self.encode(quote(f.text) if f.quoted else f.text)
            if len(self.written) < 65536:
                self.written[key] = raw
        return raw

    def terminator(self) -> bytes:
        return b"\r\n" if self.rng.random() < 0.3 else b"\n"

    def new_id(self) -> Field:
        rid = f"r{self.next_id:06d}"
        self.next_id += 1
        return Field(rid, self.rng.random() < 0.1)

    def width(self) -> int:
        """Mostly the table's width; one row in eight shorter, one in twelve longer."""
        roll = self.rng.random()
        if roll < 0.80:
            return len(COLUMNS)
        if roll < 0.92:
            return 1 + int((roll - 0.80) / 0.12 * (len(COLUMNS) - 1))
        return len(COLUMNS) + 1 + int((roll - 0.92) / 0.08 * 2)

    def row(self, fields: list[Field], term: bytes | None = None) -> Record:
        """A well-formed row; its first field is an id."""
        if term is None:
            term = self.terminator()
        raw = b",".join(self.field_bytes(f) for f in fields) + term
        rec = Record(raw, fields[0].text, fields)
        self.out.add(rec)
        return rec

    def plain_row(self, term: bytes | None = None) -> Record:
        fields = [self.new_id()] + [self.values.field() for _ in range(self.width() - 1)]
        return self.row(fields, term)

    def blank(self) -> None:
        self.out.add(Record(self.rng.choice((b"\n", b"\r\n")), blank=True))

    def flawed(self, flaw: str, bad: bytes, term: bytes | None = None, last: bool = False) -> Record:
        """A row of the table's width whose field `bad` (raw bytes) carries the flaw: after the
        id and some good fields, and last when `last` (so that it touches the terminator)."""
        if term is None:
            term = self.terminator()
        ident = self.new_id()
        before = len(COLUMNS) - 2 if last else self.rng.randint(0, len(COLUMNS) - 3)
        good = [self.values.field() for _ in range(before)]
        after = [self.values.field() for _ in range(len(COLUMNS) - 2 - before)]
        pieces = [self.field_bytes(f) for f in [ident] + good] + [bad] + [self.field_bytes(f) for f in after]
        rec = Record(b",".join(pieces) + term, ident.text, [ident] + good, flaw)
        self.out.add(rec)
        return rec

    def text_after_quote(self) -> Record:
        garbage = self.rng.choice(("x", " ", "junk", " \t", "\\"))
        return self.flawed("text after the closing quote",
                           self.encode(quote(self.values.text()) + garbage))

    def carriage_return(self) -> Record:
        """A carriage return that does not end the line: Python ends the record there."""
        kind = self.rng.randrange(3)
        if kind == 0:
            return self.flawed("carriage return inside an unquoted field", b"ab\rcd")
        if kind == 1:
            return self.flawed("carriage return at the end of an unquoted field", b"ab\r")
        return self.flawed("carriage return after the closing quote", self.encode(quote("q")) + b"\rtail")

    def bad_bytes(self) -> Record:
        """Bytes that are not characters of the file's set, or a character cut short, in the
        middle of a field, before a separator, a closing quote or the line's end."""
        rng = self.rng
        if self.out.encoding == "utf-8":
            invalid = rng.choice((b"\xff", b"\xc0\xaf", b"\xed\xa0\x80", b"\xf8\x88\x80\x80\x80"))
            cut = rng.choice((b"\xe4\xb8", b"\xe4", b"\xf0\x9f\x98", b"\xc3"))
        else:
            invalid = b"\xff"
            cut = rng.choice((b"\x81", b"\xb1") + ((b"\x81\x30",) if self.out.encoding == "gb18030" else ()))
        text = self.encode(re.sub('[",\r\n]', "", self.values.text()))
        where = rng.randrange(4)
        if where == 0:
            return self.flawed("bytes that are not characters of the data", text + invalid + text)
        if where == 1:
            return self.flawed("character cut short before a separator", text + cut)
        if where == 2:
            return self.flawed("character cut short before the closing quote", b'"' + text + cut + b'"')
        return self.flawed("character cut short at the end of the line", text + cut, last=True)

    def lone_cr_line(self) -> None:
        """Two carriage returns before the line feed: not a blank line, a field holding a CR."""
        self.out.add(Record(b"\r\r\n", flaw="carriage return in a line without an id"))

    def unclosed_quote(self) -> Record:
        """The file's last record: a quote that no quote closes; the row runs to the end."""
        ident = self.new_id()
        text = self.values.text().replace('"', "")
        tail = self.encode("never closed\nr999999,looks,like,a,row\n" + text + "\n")
        rec = Record(self.field_bytes(ident) + b',"' + tail, ident.text, [ident],
                     "quote not closed at the end of the file")
        self.out.add(rec)
        return rec

    def huge_row(self, size: int) -> Record:
        """A row whose third field holds about `size` bytes."""
        fields = [self.new_id(), self.values.field(), self.values.huge(size)]
        return self.row(fields + [self.values.field() for _ in range(len(COLUMNS) - len(fields))])

    def cut_at_end(self) -> Record:
        """The file's last record: it ends inside a character, with no line feed."""
        cut = "数".encode(self.out.encoding)[:-1]
        return self.flawed("character cut short at the end of the file", self.encode("abc") + cut,
                           term=b"", last=True)

    def straddle(self, boundary: int, kind: int) -> bool:
        """A row that puts, on the last byte before `boundary`, the first byte of: a quoted CR LF
        (kind 0), a doubled quote (1), a quoted line feed right before the closing quote (2),
        or the row's own CR LF (3). False when the file is already too close to it."""
        ident = self.new_id()
        after = [Field("after", False), Field("", True), Field("end", False)]
        if kind == 3:
            head = self.field_bytes(ident) + b',after,"",end,'
            middle, tail = b"\r\n", b""
        else:
            head = self.field_bytes(ident) + b',"'
            middle = (b"\r\n", b'""', b"\n")[kind]
            tail = b'"' if kind == 2 else b'tail"'
        pad = boundary - 1 - self.out.size - len(head)
        if pad < 0:
            self.next_id -= 1
            return False
        if kind == 3:
            fields = [ident] + after + [Field("p" * pad, False)]
            raw = head + b"p" * pad + middle
        else:
            value = "p" * pad + middle.decode().replace('""', '"') + tail[:-1].decode()
            fields = [ident, Field(value, True)] + after
            raw = head + b"p" * pad + middle + tail + b',after,"",end\n'
        self.out.add(Record(raw, ident.text, fields))
        return True


# ---------------------------------------------------------------- files

def mixed(rng: random.Random, name: str, encoding: str, character_code: str, size: int,
          huge_fields: int, ending: str) -> CsvFile:
    """Rows of every kind, a few huge values, and a row across each MiB boundary. `ending`:
    "newline" (the last row ends in a line feed), "no_newline", "cut_char" (the file ends
    inside a character) or "unclosed" (inside a quoted value)."""
    out = CsvFile(name, encoding, character_code)
    rows = RowMaker(out, rng)
    huge_at = sorted(rng.randrange(size) for _ in range(huge_fields))
    boundary, kind = MIB, 0
    while out.size < size:
        if out.size > boundary - 4096:
            if rows.straddle(boundary, kind % 4):
                kind += 1
            boundary += MIB
            continue
        if huge_at and out.size >= huge_at[0] and out.size + HUGE_MAX < boundary - 4096:
            huge_at.pop(0)
            rows.huge_row(rng.randint(HUGE_MAX // 3, HUGE_MAX))
            continue
        roll = rng.random()
        if roll < 0.02:
            rows.blank()
        elif roll < 0.025:
            rows.text_after_quote()
        elif roll < 0.03:
            rows.carriage_return()
        elif roll < 0.035:
            rows.bad_bytes()
        elif roll < 0.036:
            rows.lone_cr_line()
        else:
            rows.plain_row()
    if ending == "unclosed":
        rows.unclosed_quote()
    elif ending == "no_newline":
        rows.plain_row(b"")
    elif ending == "cut_char":
        rows.cut_at_end()
    return out


def line_breaks(rng: random.Random, size: int) -> CsvFile:
    """Rows whose values hold nothing but quoted line breaks; the ids are quoted too."""
    out = CsvFile("line_breaks.csv", "utf-8", "UTF-8")
    rows = RowMaker(out, rng)
    deck = ["".join(rng.choice(("\n", "\r\n", "\n\n")) for _ in range(rng.randint(1, 6))) for _ in range(256)]
    boundary = MIB
    while out.size < size:
        if out.size > boundary - 256:
            rows.straddle(boundary, rng.randrange(4))
            boundary += MIB
            continue
        if rng.random() < 0.01:
            rows.blank()
            continue
        ident = rows.new_id()
        ident.quoted = True
        rows.row([ident] + [Field(deck[int(rng.random() * 256)], True) for _ in range(len(COLUMNS) - 1)])
    return out


def small_files(rng: random.Random) -> list[CsvFile]:
    """An empty file, a file of blank lines only, and a short file whose last row has a
    quoted line break and no final line feed."""
    empty = CsvFile("empty.csv", "utf-8", "UTF-8")
    blanks = CsvFile("blank_only.csv", "utf-8", "UTF-8")
    for raw in (b"\n", b"\r\n", b"\n"):
        blanks.add(Record(raw, blank=True))
    tail = CsvFile("no_final_newline.csv", "utf-8", "UTF-8")
    rows = RowMaker(tail, rng)
    for _ in range(30):
        rows.plain_row()
    rows.row([rows.new_id(), Field("multi\r\nline", True), Field("", False), Field("", True),
              Field("tail", False)], b"")
    return [empty, blanks, tail]


def generate(seed: int, scale: float = 1.0) -> list[CsvFile]:
    """Every file of one run. `scale` shrinks or grows the big ones (1.0: a few MiB each)."""
    rng = random.Random(seed)
    size = lambda mib: max(int(mib * MIB * scale), 4096)
    utf8 = mixed(rng, "mixed_utf8.csv", "utf-8", "UTF-8", size(3.0), 4, "unclosed")
    gbk = mixed(rng, "mixed_gbk.csv", "gbk", "GBK", size(1.3), 2, "cut_char")
    gb18030 = mixed(rng, "mixed_gb18030.csv", "gb18030", "GB18030", size(1.1), 1, "no_newline")
    return [utf8, gbk, gb18030, line_breaks(rng, size(1.6))] + small_files(rng)


def write(files: list[CsvFile], out_dir: Path, manifests: bool = False) -> None:
    out_dir.mkdir(parents=True, exist_ok=True)
    for f in files:
        (out_dir / f.name).write_bytes(f.data())
        if not manifests:
            continue
        with open(out_dir / (f.name + ".records.jsonl"), "w", encoding="utf-8") as m:
            for r in f.records:
                m.write(json.dumps({"offset": r.offset, "line": r.line, "length": len(r.raw), "id": r.rid,
                                    "blank": r.blank, "flaw": r.flaw,
                                    "fields": [[x.text, x.quoted] for x in r.fields]}) + "\n")


def main() -> None:
    ap = argparse.ArgumentParser(description="Writes the adversarial CSV files of one seed.")
    ap.add_argument("out_dir", type=Path)
    ap.add_argument("--seed", type=int, default=1)
    ap.add_argument("--scale", type=float, default=1.0)
    args = ap.parse_args()
    files = generate(args.seed, args.scale)
    write(files, args.out_dir, manifests=True)
    for f in files:
        print(f"{args.out_dir / f.name}: {f.size} bytes, {len(f.records)} records")


if __name__ == "__main__":
    main()
