#!/usr/bin/env python3
"""A slow model of a loader that reads CSV as the dialect says, for checking the checker.

    python3 tests/csv_diff/csv_diff.py --qxfldr tests/csv_diff/model_loader.py --scale 0.3

must pass: it shows that csv_diff.py accepts a loader that does everything right, so
that what it reports against qxfldr is qxfldr's. The model reads the dialect from the
bytes, independently of the generator's records: rows end at a line feed outside
quotes (a carriage return before it dropped), a field that starts with '"' runs to
the next lone '"' and must be followed by ',' or the row's end, "" stands for '"',
an unquoted field holds any byte but ',' and line ends and a carriage return in it
rejects the row, an unquoted empty field is NULL and a quoted one '', values are
decoded from CHARACTER_CODE, blank lines are counted and skipped, a row of the wrong
width is rejected (shorter ones NULL-filled with TRAILING NULLCOLS).

It takes qxfldr's command line (control=, db=, LOG=, BADFILE=, CHARACTER_CODE=; the
rest is accepted and ignored) and the control files csv_diff.py writes.
"""
from __future__ import annotations

import re
import sqlite3
import sys
from pathlib import Path

CODECS = {"UTF-8": "utf-8", "GBK": "gbk", "GB18030": "gb18030"}


class Rejected(Exception):
    pass


def cut_row(data: bytes, pos: int) -> tuple[int, list[tuple[bytes, bool]], str | None]:
    """The row at `pos`: (where the next row starts, fields as (bytes, quoted), why it is
    rejected or None)."""
    fields, flaw, end = [], None, len(data)
    while True:
        if data.startswith(b'"', pos):
            value, pos, flaw = quoted_field(data, pos, flaw)
            fields.append((value, True))
            if pos >= end:
                return end, fields, flaw
        else:
            stop = min(i for i in (data.find(b",", pos), data.find(b"\n", pos), end) if i >= 0)
            value = data[pos:stop]
            if value.endswith(b"\r") and (stop == end or data[stop] == 10):
                value = value[:-1]
            if b"\r" in value:
                flaw = flaw or "carriage return in an unquoted field"
            fields.append((value, False))
            pos = stop
        if pos >= end:
            return end, fields, flaw
        if data[pos] == 10:
            return pos + 1, fields, flaw
        pos += 1   # the separator


def quoted_field(data: bytes, pos: int, flaw: str | None) -> tuple[bytes, int, str | None]:
    """A quoted field at `pos`: its value, where the text after it starts, the row's flaw."""
    parts, pos = [], pos + 1
    while True:
        close = data.find(b'"', pos)
        if close < 0:
            return data[pos:], len(data), flaw or "quote not closed at the end of the file"
        parts.append(data[pos:close])
        if data.startswith(b'""', close):
            parts.append(b'"')
            pos = close + 2
            continue
        pos = close + 1
        break
    rest = data[pos:pos + 2]
    if rest[:1] in (b"", b",", b"\n") or rest == b"\r\n":
        return b"".join(parts), pos + (1 if rest == b"\r\n" else 0), flaw
    # Text after the closing quote: the row is rejected; it runs on, unquoted, to ',' or
    # the line's end, as a reader of the dialect sees it.
    stop = min(i for i in (data.find(b",", pos), data.find(b"\n", pos), len(data)) if i >= 0)
    return b"".join(parts), stop, flaw or "text after the closing quote"


def load(data: bytes, codec: str, ncols: int, trailing: bool, name: str, con, bad, log) -> tuple[int, int, int]:
    """Every row of `data`: stored, or written to `bad` with a line in `log`. Returns the
    counts (stored, rejected, blank lines)."""
    pos, row_number, counts = 0, 0, [0, 0, 0]
    insert = f"INSERT INTO t VALUES ({', '.join('?' * ncols)})"
    while pos < len(data):
        start = pos
        row_number += 1
        if data.startswith(b"\n", pos) or data.startswith(b"\r\n", pos):
            pos = data.index(b"\n", pos) + 1
            counts[2] += 1
            continue
        pos, fields, flaw = cut_row(data, pos)
        try:
            if flaw:
                raise Rejected(flaw)
            if len(fields) > ncols or (len(fields) < ncols and not trailing):
                raise Rejected(f"{len(fields)} fields for {ncols} columns")
            values = [decode(v, q, codec, i) for i, (v, q) in enumerate(fields)]
            con.execute(insert, values + [None] * (ncols - len(values)))
            counts[0] += 1
        except Rejected as why:
            bad.write(data[start:pos])
            log.write(f"model: file {name}, row {row_number}: {why}\n")
            counts[1] += 1
    return counts[0], counts[1], counts[2]


def decode(value: bytes, quoted: bool, codec: str, column: int) -> str | None:
    if not value and not quoted:
        return None
    try:
        return value.decode(codec)
    except UnicodeDecodeError as e:
        raise Rejected(f"field {column + 1}: {e.reason}") from None


def main() -> int:
    args = dict(a.split("=", 1) for a in sys.argv[1:])
    args = {k.upper(): v for k, v in args.items()}
    ctl_path = Path(args["CONTROL"])
    ctl = ctl_path.read_text()
    name = re.search(r"INFILE\s+'([^']+)'", ctl).group(1)
    columns = [c.strip() for c in ctl[ctl.rindex("(") + 1:ctl.rindex(")")].split(",")]
    codec = CODECS[args.get("CHARACTER_CODE", "UTF-8").upper()]
    data = (ctl_path.parent / name).read_bytes()
    con = sqlite3.connect(args["DB"])
    with open(args["BADFILE"], "wb") as bad, open(args["LOG"], "w") as log:
        stored, rejected, blanks = load(data, codec, len(columns), "TRAILING NULLCOLS" in ctl, name, con, bad, log)
        summary = (f"{stored} rows loaded success.\n{rejected} rows not loaded due to data format error.\n"
                   f"0 rows not loaded due to data error.\n{blanks} blank lines skipped.\n")
        log.write(summary)
    con.commit()
    con.close()
    print(summary, end="")
    return 0


if __name__ == "__main__":
    sys.exit(main())
