#!/usr/bin/env python3
"""Differential test: qxfldr against Python's csv module on adversarial CSV files.

    python3 tests/csv_diff/csv_diff.py --qxfldr build/bin/qxfldr [--seed N] [--scale F]
        [--files mixed_utf8.csv,...] [--workers 1,2] [--examples 3] [--work DIR] [--keep]

Generates the files of one seed (csvgen.py), reads each with Python's csv module
(comma, '"', newline='', no field size limit; a file of another character set
decoded first) and checks that the generator's well-formed records are exactly
what Python reads. Then loads each file with qxfldr into a fresh SQLite
database (a table of text columns), with 1 and 2 workers, with and without
TRAILING NULLCOLS, and checks every load against the records (csvcheck.py).

Prints one block per failed load (seed, file, workers, clause, what differs,
with a few records as examples) and a last line with the counts. Exit status:
0 every load passed, 1 a load failed, 2 a bad argument, 3 the generator and
Python's csv module disagree (a fault of this test, not of the loader). The
work directory (files, control files, databases, logs, bad-data files, and
NAME.records.jsonl: every record of NAME as generated) is kept when a load
fails or with --keep.

`--qxfldr tests/csv_diff/model_loader.py` runs the checks against a model of
the dialect: they must pass there (see model_loader.py).
"""
from __future__ import annotations

import argparse
import csv
import os
import shutil
import sqlite3
import subprocess
import sys
import tempfile
import time
from dataclasses import dataclass
from pathlib import Path

sys.dont_write_bytecode = True   # nothing written into the source tree
sys.path.insert(0, str(Path(__file__).resolve().parent))
from csvcheck import (Expected, Findings, LoadOutput, check_bad_file, check_log, check_rows,  # noqa: E402
                      check_summary, describe, not_stored, short, stored_text)
from csvgen import COLUMNS, CsvFile, generate, write  # noqa: E402

# A load of a few MiB takes well under a second; one that takes this long hangs.
LOAD_SECONDS = 120
# Text and VARCHAR columns: no value is converted by its type.
TABLE_SQL = "CREATE TABLE t (id TEXT, c1 TEXT, c2 TEXT, c3 VARCHAR(1048576), c4 VARCHAR(1048576))"


@dataclass(frozen=True)
class LoadConfig:
    workers: int
    trailing: bool

    def __str__(self) -> str:
        return f"{self.workers} worker{'s' if self.workers > 1 else ''}, " + \
               ("TRAILING NULLCOLS" if self.trailing else "no TRAILING NULLCOLS")

    def dir_name(self, f: CsvFile) -> str:
        return f"{Path(f.name).stem}.w{self.workers}{'.tn' if self.trailing else ''}"


# ---------------------------------------------------------------- reference

def reference_rows(path: Path, encoding: str) -> dict[str, list[list[str]]]:
    """Python's reading of the file, its records grouped by first field. Bytes that are not
    characters of the set stay in the text as lone surrogates (and mark a flawed record)."""
    by_id: dict[str, list[list[str]]] = {}
    with open(path, encoding=encoding, errors="surrogateescape", newline="") as data:
        for row in csv.reader(data):
            if row:
                by_id.setdefault(row[0], []).append(row)
    return by_id


def check_reference(f: CsvFile, path: Path) -> list[str]:
    """Where the generator's well-formed records differ from Python's reading of them."""
    ref = reference_rows(path, f.encoding)
    problems = []
    for rec in f.records:
        if rec.blank or rec.flaw is not None:
            continue
        texts = [x.text for x in rec.fields]
        got = ref.get(rec.rid, [])
        if got != [texts]:
            problems.append(f"{describe(rec, f)}\n  written {short(str(texts))}\n  Python read {short(str(got))}")
    return problems


# ---------------------------------------------------------------- loads

def control_text(f: CsvFile, trailing: bool) -> str:
    return (f"LOAD DATA INFILE '../{f.name}' APPEND INTO TABLE t FIELDS TERMINATED BY ','\n"
            f"OPTIONALLY ENCLOSE BY '\"'{' TRAILING NULLCOLS' if trailing else ''}\n"
            f"({', '.join(COLUMNS)})\n")


def run_load(qxfldr: Path, data_dir: Path, f: CsvFile, cfg: LoadConfig) -> LoadOutput:
    """One load into a fresh database in its own directory beside the data files."""
    where = data_dir / cfg.dir_name(f)
    shutil.rmtree(where, ignore_errors=True)
    where.mkdir()
    (where / "t.ctl").write_text(control_text(f, cfg.trailing))
    db = where / "t.db"
    with sqlite3.connect(db) as con:
        con.execute(TABLE_SQL)
    con.close()
    cmd = [str(qxfldr), f"control={where / 't.ctl'}", f"db={db}", f"LOG={where / 't.log'}",
           f"BADFILE={where / 't.bad'}", "ERRORS=100000000", "ROWS=2000",
           f"TASK_THREAD_NUMBER={cfg.workers}", f"CHARACTER_CODE={f.character_code}"]
    try:
        proc = subprocess.run(cmd, capture_output=True, timeout=LOAD_SECONDS)
        status, stdout, stderr = proc.returncode, proc.stdout, proc.stderr
    except subprocess.TimeoutExpired as e:
        killed = f"\n(killed after {LOAD_SECONDS} s)".encode()
        status, stdout, stderr = -1, e.stdout or b"", (e.stderr or b"") + killed
    read = lambda p: p.read_bytes() if p.exists() else b""
    text = lambda b: b.decode("utf-8", "backslashreplace")
    return LoadOutput(status, text(stdout), text(stderr), text(read(where / "t.log")), read(where / "t.bad"),
                      table_rows(db))


def table_rows(db: Path) -> list[tuple]:
    """(rowid, id, c1, ...) in rowid order. Text that is not UTF-8 comes back with its bytes
    as lone surrogates."""
    query = f"SELECT rowid, {', '.join(COLUMNS)} FROM t ORDER BY rowid"
    con = sqlite3.connect(f"file:{db}?mode=ro", uri=True)
    try:
        return con.execute(query).fetchall()
    except sqlite3.OperationalError:
        con.text_factory = bytes
        return [tuple(stored_text(v) for v in row) for row in con.execute(query)]
    finally:
        con.close()


def check_load(f: CsvFile, expected: Expected, cfg: LoadConfig, out: LoadOutput, examples: int) -> Findings:
    found = Findings(examples)
    if out.status != 0:
        found.add("exit status is not 0", f"exit status {out.status}: {short(out.stderr.strip(), 300)}")
    stored = check_rows(f, expected, cfg.trailing, out, found)
    rejected = not_stored(f, stored)
    check_bad_file(f, rejected, out.bad, found)
    check_log(f, rejected, out.log, found)
    check_summary(f, rejected, out, found)
    return found


# ---------------------------------------------------------------- main

def parse_args() -> argparse.Namespace:
    ap = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    ap.add_argument("--qxfldr", type=Path, required=True, help="the loader to test")
    ap.add_argument("--seed", type=int, default=1)
    ap.add_argument("--scale", type=float, default=1.0, help="size of the big files (1.0: a few MiB each)")
    ap.add_argument("--files", default="", help="comma-separated file names to load (default: all)")
    ap.add_argument("--workers", default="1,2", help="comma-separated TASK_THREAD_NUMBER values")
    ap.add_argument("--examples", type=int, default=3, help="examples shown per kind of difference")
    ap.add_argument("--work", type=Path, help="work directory (default: a fresh temporary one)")
    ap.add_argument("--keep", action="store_true", help="keep the work directory when every load passes")
    return ap.parse_args()


def main() -> int:
    args = parse_args()
    if not os.access(args.qxfldr, os.X_OK):
        print(f"csv_diff: {args.qxfldr} is not an executable (build it first)")
        return 2
    csv.field_size_limit(sys.maxsize)
    started = time.monotonic()
    work = args.work or Path(tempfile.mkdtemp(prefix="csv_diff."))
    data_dir = work / f"seed-{args.seed}"
    shutil.rmtree(data_dir, ignore_errors=True)
    files = generate(args.seed, args.scale)
    if args.files:
        wanted = set(args.files.split(","))
        if wanted - {f.name for f in files}:
            print(f"csv_diff: no file {', '.join(sorted(wanted - {f.name for f in files}))}; "
                  f"the files are {', '.join(f.name for f in files)}")
            return 2
        files = [f for f in files if f.name in wanted]
    write(files, data_dir)

    for f in files:
        problems = check_reference(f, data_dir / f.name)
        if problems:
            print(f"csv_diff: the generator and Python's csv module disagree on {f.name} (seed {args.seed}); "
                  f"{len(problems)} records, e.g.:\n" + "\n".join(problems[:args.examples]))
            return 3

    configs = [LoadConfig(int(w), t) for w in args.workers.split(",") for t in (False, True)]
    failed = 0
    for f in files:
        expected = Expected(f)
        shown: set[str] = set()   # headings whose examples were printed for this file
        for cfg in configs:
            found = check_load(f, expected, cfg, run_load(args.qxfldr, data_dir, f, cfg), args.examples)
            if found:
                failed += 1
                print(f"FAIL {f.name}: seed {args.seed}, {cfg}, CHARACTER_CODE={f.character_code} "
                      f"(in {data_dir / cfg.dir_name(f)})\n{found.render(shown)}\n", flush=True)
                shown |= found.counts.keys()
    loads = len(files) * len(configs)
    print(f"csv_diff: seed {args.seed}, {len(files)} files ({sum(f.size for f in files) >> 10} KiB), "
          f"{loads} loads, {failed} failed, {time.monotonic() - started:.1f} s")
    if failed or args.keep:
        write(files, data_dir, manifests=True)
    if failed:
        print(f"csv_diff: work directory kept: {work} (NAME.records.jsonl: every record of NAME)")
    elif not args.keep:
        shutil.rmtree(data_dir)
        if args.work is None:
            shutil.rmtree(work)
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main())
