#!/usr/bin/env bash
# Peer comparison on one deterministic data file of 16 columns (about one row
# in ten with a quoted description holding a comma and a doubled quote, some
# of those with a line break inside the quotes):
#   qxfldr into SQLite, qxfldr with db=:none: (parse, cut, convert, store
#   nothing), sqlite3's .import into the same schema, DuckDB's read_csv with
#   one thread and with all threads, Python's csv module, and wc -l as the
#   floor. Every tool reads the file as CSV with '"' quotes and must load
#   every row: its row count is checked against the generator's, and the
#   script fails (after the timings) when one differs. Prints times and
#   ratios to qxfldr, then the peak resident size of a qxfldr load for the
#   file and for a bigger one, against the read pools the tool sizes plus
#   64 MiB. Then the same file into private PostgreSQL and MariaDB servers
#   (psql's \copy, the mariadb client's LOAD DATA LOCAL INFILE, qxfldr), and a
#   SPIDER_MIB file (default 32) into a Spider table over two MariaDB backends.
#
#   bench/peers.sh [SIZE_MIB [BIG_MIB]]     defaults 1024 and 4096
#
# Installs what it needs (time, nodejs, npm, @duckdb/node-api in the work
# directory) and builds in build-rel (Release). Work files: build-rel/peers/.
set -euo pipefail
cd "$(dirname "$0")/.."
size="${1:-1024}"
big="${2:-4096}"

"$(pwd)/scripts/install-deps"
missing=()
[ -x /usr/bin/time ] || missing+=(time)
command -v node >/dev/null || missing+=(nodejs)
command -v npm >/dev/null || missing+=(npm)
command -v python3 >/dev/null || missing+=(python3)
if [ ${#missing[@]} -gt 0 ]; then
  SUDO=""; [ "$(id -u)" -ne 0 ] && SUDO="sudo"
  $SUDO apt-get update -qq
  DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y -qq --no-install-recommends "${missing[@]}"
fi

# Release: -O3 and NDEBUG (the memory pools' leak bookkeeping is off).
cmake -S . -B build-rel -G Ninja -DCMAKE_BUILD_TYPE=Release >/dev/null
cmake --build build-rel -j2 --target qxfldr gen_data | grep -E "error|warning" || true
[ -x build-rel/bin/qxfldr ] && [ -x build-rel/bin/gen_data ] || { echo "peers: build failed"; exit 1; }
bin="$(pwd)/build-rel/bin"
work="$(pwd)/build-rel/peers"
mkdir -p "$work"
if [ ! -d "$work/node_modules/@duckdb/node-api" ]; then
  (cd "$work" && { [ -f package.json ] || npm init -y >/dev/null; } && npm install --silent --no-audit --no-fund @duckdb/node-api)
fi

cols="id, n1, n2, amount, ratio, name, descr, born DATE 'YYYY-MM-DD', seen DATE 'YYYY-MM-DD HH24:MI:SS', code, tag, price, note, small, due DATE 'YYYY-MM-DD', label"
duck_cols="{'id':'BIGINT','n1':'BIGINT','n2':'INTEGER','amount':'DECIMAL(12,2)','ratio':'DOUBLE','name':'VARCHAR','descr':'VARCHAR','born':'DATE','seen':'TIMESTAMP','code':'BIGINT','tag':'VARCHAR','price':'DECIMAL(10,4)','note':'VARCHAR','small':'INTEGER','due':'DATE','label':'VARCHAR'}"

cat > "$work/duck.mjs" <<JS
import { DuckDBInstance } from '@duckdb/node-api';
const [file, threads] = process.argv.slice(2);
const inst = await DuckDBInstance.create(':memory:');
const con = await inst.connect();
if (threads !== 'all') await con.run('SET threads = ' + threads);
/* Every column is hashed, so that every field is parsed and converted. */
const r = await con.runAndReadAll("SELECT count(*), bit_xor(hash(COLUMNS(*))) FROM read_csv('" + file +
  "', header = false, delim = ',', quote = '\"', escape = '\"', columns = $duck_cols)");
console.log(String(r.getRows()[0][0]));
JS
cat > "$work/pycsv.py" <<'PY'
import csv, sys
rows = 0
with open(sys.argv[1], newline='') as f:
    for row in csv.reader(f):
        if len(row) != 16:
            sys.exit(f"python csv: a record of {len(row)} fields")
        rows += 1
print(rows)
PY

gen() {   # gen MIB -> path; the generator's row count is in PATH.rows
  local f="$work/data_$1.csv"
  [ -f "$f" ] && [ -s "$f.rows" ] || "$bin/gen_data" "$f" "$1" > "$f.rows"
  echo "$f"
}
ctl_for() {   # ctl_for DATAFILE -> control file beside it
  local ctl="${1%.csv}.ctl"
  printf "LOAD DATA INFILE '%s' APPEND INTO TABLE big FIELDS TERMINATED BY ',' OPTIONALLY ENCLOSE BY '\"' (%s)\n" \
    "$(basename "$1")" "$cols" > "$ctl"
  echo "$ctl"
}
# count_check NAME ROWS EXPECTED: a tool that did not load every row is reported at once
# and fails the script at the end.
count_errors=()
count_check() {
  if [ "$2" != "$3" ]; then
    echo "peers: ROW COUNT MISMATCH: $1 loaded ${2:-nothing} of $3 rows"
    count_errors+=("$1: ${2:-nothing} of $3 rows")
  fi
}
# measure NAME CMD...: wall seconds and peak RSS (KiB) into $secs and $rss
measure() {
  local name="$1"; shift
  /usr/bin/time -v -o "$work/time.txt" "$@" > "$work/$name.out" 2>&1 || {
    echo "peers: $name failed:"; tail -5 "$work/$name.out"; exit 1; }
  secs=$(awk -F': ' '/Elapsed \(wall clock\)/ { n = split($2, p, ":"); s = 0; for (i = 1; i <= n; i++) s = s * 60 + p[i]; print s }' "$work/time.txt")
  rss=$(awk -F': ' '/Maximum resident set size/ { print $2 }' "$work/time.txt")
}
fresh_db() { rm -f "$1" "$1-wal" "$1-shm"; sqlite3 "$1" < bench/peers.sql; }

data="$(gen "$size")"
ctl="$(ctl_for "$data")"
rows=$(cat "$data.rows")
echo "data: $data, $(du -h "$data" | cut -f1), $rows rows of 16 columns; $(nproc) processors"

declare -a names times
run() { names+=("$1"); times+=("$secs"); }

# Rejected rows do not stop a load (ERRORS): the row count says how many were lost.
fresh_db "$work/q.db"
measure qxfldr "$bin/qxfldr" control="$ctl" db="$work/q.db" LOG="$work/q.log" BADFILE="$work/q.bad" SILENT=TRUE \
  ERRORS=1000000000
q_secs=$secs; q_rss=$rss; run "qxfldr -> SQLite"
count_check "qxfldr -> SQLite" "$(sqlite3 "$work/q.db" "SELECT count(*) FROM big")" "$rows"
pools_mib=$(sed -n 's/.*read buffers: \([0-9]*\) x \([0-9]*\) MiB.*/\1 \2/p' "$work/q.log" | tail -1 | awk '{ print $1 * $2 }')
measure qxfldr_none "$bin/qxfldr" control="$ctl" db=:none: LOG="$work/n.log" BADFILE="$work/n.bad" ERRORS=1000000000
none_secs=$secs; run "qxfldr db=:none:"
count_check "qxfldr db=:none:" "$(sed -n 's/^\([0-9]*\) rows loaded success.*/\1/p' "$work/qxfldr_none.out" | tail -1)" "$rows"
fresh_db "$work/s.db"
measure sqlite3_import sqlite3 "$work/s.db" -cmd ".mode csv" ".import $data big"
import_secs=$secs; run "sqlite3 .import"
count_check "sqlite3 .import" "$(sqlite3 "$work/s.db" "SELECT count(*) FROM big")" "$rows"
measure duckdb_1 node "$work/duck.mjs" "$data" 1
duck1_secs=$secs; run "duckdb read_csv, 1 thread"
count_check "duckdb read_csv, 1 thread" "$(tail -1 "$work/duckdb_1.out")" "$rows"
measure duckdb_all node "$work/duck.mjs" "$data" all
run "duckdb read_csv, all threads"
count_check "duckdb read_csv, all threads" "$(tail -1 "$work/duckdb_all.out")" "$rows"
measure python_csv python3 "$work/pycsv.py" "$data"
run "python csv"
count_check "python csv" "$(tail -1 "$work/python_csv.out")" "$rows"
# wc -l is the floor of the timings, not a reader: a quoted line break makes a line more.
measure wc wc -l "$data"
run "wc -l"
lines=$(awk '{ print $1 }' "$work/wc.out")
[ "$lines" -ge "$rows" ] || count_check "wc -l (lines at least rows)" "$lines" "$rows"
rm -f "$work/q.db" "$work/q.db-wal" "$work/q.db-shm" "$work/s.db"

echo
printf "%-30s %10s %12s\n" "program" "seconds" "x qxfldr"
for i in "${!names[@]}"; do
  printf "%-30s %10.2f %12.2f\n" "${names[$i]}" "${times[$i]}" "$(awk -v a="${times[$i]}" -v b="$q_secs" 'BEGIN { print a / b }')"
done
echo
awk -v q="$q_secs" -v s="$import_secs" 'BEGIN { printf "target: qxfldr load faster than sqlite3 .import:      %s (%.2f s vs %.2f s)\n", (q < s ? "met" : "NOT met"), q, s }'
awk -v q="$none_secs" -v d="$duck1_secs" 'BEGIN { printf "target: qxfldr :none: faster than duckdb, 1 thread:   %s (%.2f s vs %.2f s)\n", (q < d ? "met" : "NOT met"), q, d }'

echo
limit=$((pools_mib + 64))
echo "memory: read pools ${pools_mib} MiB + 64 MiB = ${limit} MiB allowed"
printf "  %-8s peak RSS %6d MiB  %s\n" "${size} MiB" $((q_rss / 1024)) "$([ $((q_rss / 1024)) -le $limit ] && echo within || echo OVER)"
if [ "$big" -gt 0 ]; then
  bigdata="$(gen "$big")"
  bigctl="$(ctl_for "$bigdata")"
  fresh_db "$work/b.db"
  measure qxfldr_big "$bin/qxfldr" control="$bigctl" db="$work/b.db" LOG="$work/b.log" BADFILE="$work/b.bad" SILENT=TRUE \
    ERRORS=1000000000
  printf "  %-8s peak RSS %6d MiB  %s  (%.1f s)\n" "${big} MiB" $((rss / 1024)) "$([ $((rss / 1024)) -le $limit ] && echo within || echo OVER)" "$secs"
  count_check "qxfldr -> SQLite, ${big} MiB" "$(sqlite3 "$work/b.db" "SELECT count(*) FROM big")" "$(cat "$bigdata.rows")"
  rm -f "$work/b.db" "$work/b.db-wal" "$work/b.db-shm" "$bigdata" "$bigdata.rows"
fi

# ---- PostgreSQL: the same file loaded by qxfldr with 1 and 2 workers and by
# psql's \copy, on a private server (bench/peers_pg.sh).
echo
. bench/peers_pg.sh
QXFLDR="$bin/qxfldr" PG_PEER_ROWS="$rows" pg_peers "$data" "$ctl" big \
  "$(grep -v '^--' bench/peers.sql | sed 's/DOUBLE/DOUBLE PRECISION/')" "FORMAT csv" ||
  count_errors+=("postgresql: a loader did not load every row")

# ---- MariaDB: the same file into one server, by the mariadb client's LOAD DATA
# LOCAL INFILE and by qxfldr; then a smaller file into a Spider table over two
# backends, through the front node and by qxfldr shard by shard
# (bench/peers_maria.sh). LOAD DATA through the front sends one
# INSERT per row, so it gets SPIDER_MIB (default 32) rather than the whole file.
# One round (MARIA_PEER_ROUNDS): a load of the whole file lasts long enough
# that the machine's wandering speed averages out within it.
echo
. bench/peers_maria.sh
spider_data="$(gen "${SPIDER_MIB:-32}")"
spider_ctl="$(ctl_for "$spider_data")"
QXFLDR="$bin/qxfldr" MARIA_PEER_ROUNDS="${MARIA_PEER_ROUNDS:-1}" MARIA_PEER_ROWS="$rows" MARIA_SPIDER_ROWS="$(cat "$spider_data.rows")" maria_peers \
  "$data" "$ctl" big "$(grep -v '^--' bench/peers.sql | tr '\n' ' ' | sed 's/.*CREATE TABLE big (\(.*\));.*/\1/; s/TIMESTAMP/DATETIME/')" \
  "FIELDS TERMINATED BY ',' OPTIONALLY ENCLOSED BY '\"' ESCAPED BY ''" "$spider_data" "$spider_ctl" ||
  count_errors+=("mariadb: a loader did not load every row")

if [ ${#count_errors[@]} -gt 0 ]; then
  echo
  echo "peers: FAILED: not every tool loaded every one of the $rows rows:"
  printf '  %s\n' "${count_errors[@]}"
  exit 1
fi
