#!/usr/bin/env bash
# PostgreSQL section of the peer comparison: the same data file loaded into
# one table by psql's \copy and by qxfldr with 1 and 2 workers, each on a
# freshly emptied table of a private server (initdb + pg_ctl in a temporary
# directory, Unix socket only, run as the unprivileged user qxfldr_test when
# run as root). Sourced by bench/peers.sh, or run alone:
#   bench/peers_pg.sh DATA_FILE CONTROL_FILE TABLE 'DDL' 'COPY OPTIONS'
# e.g. peers_pg.sh big.txt big.ctl t 'CREATE TABLE t (a int, b text)' "FORMAT csv, DELIMITER '|'"
# The control file names TABLE and DATA_FILE; qxfldr gets db=<uri> and
# task_thread_number=N on its command line. Prints one line per loader:
#   postgresql  <loader>  <rows> rows  <seconds> s  <MiB/s> MiB/s
# qxfldr goes on past rejected rows (errors=). With PG_PEER_ROWS set, a
# loader that fails or stores another number of rows is reported, and
# pg_peers returns 1 once every loader has run.

pg_peer_bindir() {
  local d
  d=$(pg_config --bindir 2>/dev/null || true)
  if [ -x "$d/initdb" ] && [ -x "$d/postgres" ]; then echo "$d"; return; fi
  d=$(ls -d /usr/lib/postgresql/*/bin 2>/dev/null | sort -V | tail -1)
  if [ -n "$d" ] && [ -x "$d/initdb" ]; then echo "$d"; return; fi
  echo ""
}

# Starts the private server; sets PG_PEER_DIR, PG_PEER_BIN, PG_PEER_URI.
pg_peer_start() {
  PG_PEER_BIN=$(pg_peer_bindir)
  if [ -z "$PG_PEER_BIN" ]; then
    echo "postgresql: server programs not found (scripts/install-deps installs them)" >&2
    return 1
  fi
  PG_PEER_DIR=$(mktemp -d /tmp/qxpgbench.XXXXXX)
  PG_PEER_AS=()
  if [ "$(id -u)" -eq 0 ]; then
    id qxfldr_test >/dev/null 2>&1 ||
      useradd --system --no-create-home --shell /usr/sbin/nologin qxfldr_test
    chown qxfldr_test "$PG_PEER_DIR"
    PG_PEER_AS=(runuser -u qxfldr_test --)
  fi
  "${PG_PEER_AS[@]}" "$PG_PEER_BIN/initdb" -D "$PG_PEER_DIR/data" -U qxtest -A trust -E UTF8 \
    --locale=C --no-sync >/dev/null || return 1
  cat >>"$PG_PEER_DIR/data/postgresql.conf" <<CONF
listen_addresses = ''
unix_socket_directories = '$PG_PEER_DIR'
max_wal_size = 4GB
shared_buffers = 256MB
CONF
  "${PG_PEER_AS[@]}" "$PG_PEER_BIN/pg_ctl" start -w -t 60 -D "$PG_PEER_DIR/data" \
    -l "$PG_PEER_DIR/server.log" >/dev/null || return 1
  PG_PEER_URI="postgresql://qxtest@/postgres?host=$PG_PEER_DIR"
}

pg_peer_stop() {
  [ -n "${PG_PEER_DIR:-}" ] || return 0
  "${PG_PEER_AS[@]}" "$PG_PEER_BIN/pg_ctl" stop -m fast -w -D "$PG_PEER_DIR/data" >/dev/null 2>&1 || true
  rm -rf "$PG_PEER_DIR"
  PG_PEER_DIR=""
}

pg_peer_psql() {
  "$PG_PEER_BIN/psql" -X -q -A -t -v ON_ERROR_STOP=1 -h "$PG_PEER_DIR" -U qxtest -d postgres "$@"
}

# One timed run: name, then the command. The table is emptied before.
pg_peer_time() {
  local name=$1 table=$2 bytes=$3; shift 3
  pg_peer_psql -c "TRUNCATE $table" && pg_peer_psql -c "CHECKPOINT" || return 1
  local start end rows secs
  start=$(date +%s.%N)
  if ! "$@" >"$PG_PEER_DIR/run.out" 2>&1; then
    echo "postgresql  $name  failed: $(tail -1 "$PG_PEER_DIR/run.out")"
    [ -z "${PG_PEER_ROWS:-}" ] || PG_PEER_COUNT_FAILED=1
    return 0
  fi
  end=$(date +%s.%N)
  rows=$(pg_peer_psql -c "SELECT count(*) FROM $table")
  secs=$(echo "$end - $start" | bc -l)
  printf 'postgresql  %-22s %12s rows  %8.2f s  %8.1f MiB/s\n' "$name" "$rows" "$secs" \
    "$(echo "$bytes / 1048576 / $secs" | bc -l)"
  if [ -n "${PG_PEER_ROWS:-}" ] && [ "$rows" != "$PG_PEER_ROWS" ]; then
    echo "postgresql  ROW COUNT MISMATCH: $name loaded $rows of $PG_PEER_ROWS rows"
    PG_PEER_COUNT_FAILED=1
  fi
}

# pg_peers DATA CTL TABLE DDL COPY_OPTIONS
pg_peers() {
  local data=$1 ctl=$2 table=$3 ddl=$4 copy_opts=$5
  local qxfldr=${QXFLDR:-build/bin/qxfldr}
  local bytes
  bytes=$(stat -c %s "$data")
  PG_PEER_COUNT_FAILED=0
  pg_peer_start || return 0
  trap pg_peer_stop RETURN
  pg_peer_psql -c "$ddl" || return 1
  pg_peer_time 'psql \copy' "$table" "$bytes" \
    pg_peer_psql -c "\\copy $table FROM '$data' WITH ($copy_opts)"
  if [ -x "$qxfldr" ]; then
    local n
    for n in 1 2; do
      pg_peer_time "qxfldr $n worker(s)" "$table" "$bytes" \
        "$qxfldr" control="$ctl" db="$PG_PEER_URI" task_thread_number="$n" errors=1000000000
    done
  else
    echo "postgresql  qxfldr: $qxfldr not built"
  fi
  [ "$PG_PEER_COUNT_FAILED" = 0 ]
}

if [ "${BASH_SOURCE[0]}" = "$0" ]; then
  set -euo pipefail
  if [ $# -ne 5 ]; then
    sed -n '2,13p' "$0" >&2
    exit 2
  fi
  pg_peers "$@"
fi
