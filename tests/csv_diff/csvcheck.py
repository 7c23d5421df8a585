"""Checks of one load against the records the generator wrote.

The rule: every record of the data file ends in exactly one place. A record
the dialect reads (well-formed, of an accepted width) is stored once, in file
order, with every value as Python's csv module reads it (an unquoted empty
field NULL, a quoted one '', missing trailing fields NULL). Every record not
stored is in the bad-data file, whole and in file order, and has a log line
naming the file, its row and a reason. Blank lines are neither stored nor
rejected, and the summary counts them. Nothing else is stored.

Each check adds what it finds to a Findings under a short heading, with an
example that names the record (id, line, byte offset, bytes as written) and
the difference.
"""
from __future__ import annotations

import re
from collections import Counter
from dataclasses import dataclass, field

from csvgen import COLUMNS, CsvFile, Record


@dataclass
class LoadOutput:
    status: int                # qxfldr's exit status
    stdout: str
    stderr: str
    log: str                   # the log file
    bad: bytes                 # the bad-data file (b"" when none was written)
    rows: list[tuple]          # (rowid, id, c1, ...) in rowid order; text (bytes that are not
                               # UTF-8 as lone surrogates) or None


class Findings:
    """What one load got wrong: per heading, how often, and the first few examples (an example
    may be given as a function, called only when it is kept)."""

    def __init__(self, keep: int = 5):
        self.keep = keep
        self.counts: dict[str, int] = {}
        self.examples: dict[str, list[str]] = {}

    def add(self, heading: str, example) -> None:
        self.counts[heading] = self.counts.get(heading, 0) + 1
        kept = self.examples.setdefault(heading, [])
        if len(kept) < self.keep:
            kept.append(example() if callable(example) else example)

    def __bool__(self) -> bool:
        return bool(self.counts)

    def render(self, skip_examples: set[str] = frozenset()) -> str:
        """The headings with their counts, and the examples kept under each heading that is
        not in `skip_examples`."""
        out = []
        for heading, count in self.counts.items():
            shown = 0 if heading in skip_examples else self.keep
            out.append(f"  {heading} ({count}){', e.g.:' if shown else ''}")
            out += ["    " + e.replace("\n", "\n    ") for e in self.examples[heading][:shown]]
        return "\n".join(out)


# ---------------------------------------------------------------- display

def short(text: str, limit: int = 110) -> str:
    """repr() of a text, its middle cut out when it is long."""
    shown = repr(text)
    if len(shown) <= limit:
        return shown
    half = limit // 2
    return f"{shown[:half]}...({len(text)} chars)...{shown[-half:]}"


def show_bytes(raw: bytes, encoding: str) -> str:
    """The bytes as text of the file's set; bytes that are not characters as \\xNN."""
    return short(raw.decode(encoding, "backslashreplace"))


def show_value(value: str | None) -> str:
    return "NULL" if value is None else short(value, 70)


def describe(rec: Record, f: CsvFile) -> str:
    what = f"record {rec.rid}" if rec.rid else ("blank line" if rec.blank else "record without an id")
    flaw = f" [{rec.flaw}]" if rec.flaw else ""
    return f"{what} (line {rec.line}, byte {rec.offset}){flaw}: {show_bytes(rec.raw, f.encoding)}"


def value_diff(expected: str | None, stored: str | None) -> str:
    if expected is None or stored is None or max(len(expected), len(stored)) <= 60:
        return f"expected {show_value(expected)}, stored {show_value(stored)}"
    at = next((i for i, (a, b) in enumerate(zip(expected, stored)) if a != b), min(len(expected), len(stored)))
    return (f"{len(expected)} chars expected, {len(stored)} stored, first difference at char {at}: "
            f"expected {short(expected[max(at - 10, 0):at + 30], 60)}, "
            f"stored {short(stored[max(at - 10, 0):at + 30], 60)}")


# ---------------------------------------------------------------- values

class Expected:
    """The records of one file by id, and what the table holds for each well-formed one: the
    reader's texts, NULL for an unquoted empty field and for every missing trailing field.
    Built once per file; the loads of the file share it."""

    def __init__(self, f: CsvFile):
        self.by_id = {r.rid: i for i, r in enumerate(f.records) if r.rid is not None}
        self.values = [self.row_values(r) if r.rid is not None and r.flaw is None else None for r in f.records]

    @staticmethod
    def row_values(rec: Record) -> tuple:
        values = [x.text if (x.text or x.quoted) else None for x in rec.fields]
        return tuple(values + [None] * (len(COLUMNS) - len(values)))


def stored_text(value) -> str | None:
    """A value read from the table: text as it is, bytes that are not UTF-8 kept as lone
    surrogates (so that they differ from every expected text)."""
    if isinstance(value, (bytes, bytearray)):
        return bytes(value).decode("utf-8", "surrogateescape")
    return value


# ---------------------------------------------------------------- the table

def check_rows(f: CsvFile, expected: Expected, trailing: bool, out: LoadOutput, found: Findings) -> set[str]:
    """Stored rows against the records; returns the ids of the records found stored."""
    stored: set[str] = set()
    last_index = -1
    for rowid, *values in out.rows:
        rid = values[0]
        stored_as = lambda: ", ".join(show_value(v) for v in values)  # noqa: E731 (called at once)
        index = expected.by_id.get(rid)
        if index is None:
            found.add("row stored that is no record of the file", lambda: f"rowid {rowid}: ({stored_as()})")
            continue
        rec = f.records[index]
        if rid in stored:
            found.add("record stored twice", lambda: describe(rec, f))
            continue
        stored.add(rid)
        if index < last_index:
            before = f.records[last_index]
            found.add("rows out of file order", lambda: f"{describe(rec, f)}\nstored after the record of "
                      f"line {before.line} (rowid {rowid})")
        last_index = max(last_index, index)
        if rec.flaw is not None:
            found.add("record that must be rejected was stored",
                      lambda: f"{describe(rec, f)}\nstored as ({stored_as()})")
        elif not rec.accepted(len(COLUMNS), trailing):
            found.add("record of the wrong width was stored",
                      lambda: f"{describe(rec, f)}\n{len(rec.fields)} fields, stored as ({stored_as()})")
        elif tuple(values) != expected.values[index]:
            diffs = [(name, want, got) for name, want, got in zip(COLUMNS, expected.values[index], values)
                     if want != got]
            found.add("stored value differs", lambda: describe(rec, f) + "".join(
                f"\n{name}: {value_diff(want, got)}" for name, want, got in diffs))
    for rec in f.records:
        if rec.rid not in stored and rec.accepted(len(COLUMNS), trailing):
            found.add("well-formed record not stored", lambda: describe(rec, f))
    return stored


def not_stored(f: CsvFile, stored: set[str]) -> list[Record]:
    """The records that must be in the bad-data file: every one but blank lines and stored rows."""
    return [r for r in f.records if not r.blank and (r.rid is None or r.rid not in stored)]


# ---------------------------------------------------------------- the bad-data file

BAD_FILE_EXPLAINED = 50


def check_bad_file(f: CsvFile, rejected: list[Record], bad: bytes, found: Findings) -> None:
    """The bad-data file holds exactly the rejected records' bytes, in file order. A last record
    without a line feed may have one added. Where it does not, the records are looked up in
    it one after the other to say what differs (up to BAD_FILE_EXPLAINED differences: each
    costs a search of the whole file)."""
    expected = b"".join(r.raw for r in rejected)
    ends_open = bool(rejected) and rejected[-1] is f.records[-1] and not rejected[-1].raw.endswith(b"\n")
    if bad == expected or (ends_open and bad == expected + b"\n"):
        return
    pos, explained = 0, 0
    for rec in rejected:
        if explained >= BAD_FILE_EXPLAINED:
            found.add("bad-data file compared no further", f"after {explained} differences, at byte {pos}")
            return
        at = bad.find(rec.raw, pos)
        if at < 0:
            elsewhere = bad.find(rec.raw) >= 0
            found.add("bad-data file out of file order" if elsewhere else
                      "rejected record missing from the bad-data file, or changed there",
                      f"{describe(rec, f)}\nbad-data file at byte {pos}: "
                      f"{show_bytes(bad[pos:pos + len(rec.raw) + 16], f.encoding)}")
            explained += 1
            continue
        if at > pos:
            found.add("bytes in the bad-data file that are no rejected record",
                      f"bytes {pos}-{at}: {show_bytes(bad[pos:at], f.encoding)}")
            explained += 1
        pos = at + len(rec.raw)
    if pos < len(bad) and not (ends_open and bad[pos:] == b"\n"):
        found.add("bytes in the bad-data file that are no rejected record",
                  f"bytes {pos}-{len(bad)}: {show_bytes(bad[pos:], f.encoding)}")
        explained += 1
    if not explained:
        first = next(i for i, (a, b) in enumerate(zip(bad + b"\0", expected + b"\1")) if a != b)
        found.add("bad-data file differs from the rejected records",
                  f"at byte {first}: {show_bytes(bad[first:first + 40], f.encoding)}, expected "
                  f"{show_bytes(expected[first:first + 40], f.encoding)}")


# ---------------------------------------------------------------- the log

LOG_ROW = re.compile(r"\bfile\s+(?P<file>.+?),?\s+(?:row|record|line)\s+(?P<row>\d+)\b[:,]?\s*(?P<reason>.*)")

# Ways a log may number a record: the line it starts on, its place among all records
# (blank lines counted), or among the records that are not blank lines.
ROW_NUMBERS = {
    "line": lambda r: r.line,
    "record": lambda r: r.ordinal,
    "row without blank lines": lambda r: r.row_ordinal,
}


def log_rows(f: CsvFile, log: str) -> list[tuple[int, str, str]]:
    """(row number, reason, line) of every log line about a row of this file."""
    rows = []
    for line in log.splitlines():
        m = LOG_ROW.search(line)
        if m and m.group("file").replace("\\", "/").endswith(f.name):
            rows.append((int(m.group("row")), m.group("reason").strip(), line))
    return rows


def check_log(f: CsvFile, rejected: list[Record], log: str, found: Findings) -> None:
    """One line per record not stored, under whichever numbering fits the log best."""
    lines = log_rows(f, log)
    logged = Counter(n for n, _, _ in lines)
    best = None
    for name, number in ROW_NUMBERS.items():
        wanted = Counter(number(r) for r in rejected)
        misses = (wanted - logged) + (logged - wanted)
        if best is None or sum(misses.values()) < best[0]:
            best = (sum(misses.values()), name, number, wanted)
    _, name, number, wanted = best
    for rec in rejected:
        if logged[number(rec)] < wanted[number(rec)]:
            found.add("rejected record without a log line",
                      f"{describe(rec, f)}\nno line names row {number(rec)} (rows numbered by {name})")
    by_number = {number(r): r for r in f.records}
    for n, reason, line in lines:
        if logged[n] > wanted[n]:
            rec = by_number.get(n)
            what = describe(rec, f) if rec else "no record"
            found.add("log line for a row that was not rejected", f"{line.strip()}\nrow {n} ({name}) is {what}")
        if len(reason) < 3:
            found.add("log line without a reason", line.strip())


# ---------------------------------------------------------------- the summary

def summary_count(text: str, pattern: str) -> int | None:
    m = re.findall(pattern, text)
    return int(m[-1]) if m else None


def check_summary(f: CsvFile, rejected: list[Record], out: LoadOutput, found: Findings) -> None:
    """The summary's counts agree with the table and the rejected records; blank lines counted.
    The summary is on standard output and at the end of the log."""
    text = out.stdout + "\n" + out.log[-8192:]
    loaded = summary_count(text, r"(\d+) rows? loaded")
    if loaded is not None and loaded != len(out.rows):
        found.add("summary disagrees with the table",
                  f"{loaded} rows loaded in the summary, {len(out.rows)} in the table")
    failed = [summary_count(text, r"(\d+) rows? not loaded due to data format error"),
              summary_count(text, r"(\d+) rows? not loaded due to data error")]
    if None not in failed and sum(failed) != len(rejected):
        found.add("summary disagrees with the rejected records",
                  f"{failed[0]} + {failed[1]} rows not loaded in the summary, {len(rejected)} records not stored")
    blanks = sum(r.blank for r in f.records)
    if blanks and not re.search(rf"(?im)^(?=.*\b{blanks}\b)(?=.*\b(blank|empty)\b).*line", text):
        found.add("summary does not count the blank lines",
                  f"{blanks} blank lines in the file; no summary line says so")
