#!/usr/bin/env bash
# The MariaDB comparison (bench/peers_maria.sh) on the rows of the Spider
# acceptance test: 200,000 rows of `id|"name"|date` with quoted fields,
# doubled quotes, a 4-byte character and negative keys, into
# s (id INT PRIMARY KEY, name VARCHAR(12), born DATE), on one server and on a
# Spider table HASH (id) over two backends. Two files, MARIA_PEER_ROUNDS rounds each:
#   accept: three bad rows among them (a date that does not exist, a name of
#           13 characters, a key given twice at the end); the client's
#           LOAD DATA LOCAL turns these into warnings, qxfldr rejects them;
#   clean:  the same rows without the three bad ones.
#   bench/peers_maria_accept.sh [WORK_DIR]      (QXFLDR= as for peers_maria.sh)
set -euo pipefail
cd "$(dirname "$0")/.."
work="${1:-build/peers-maria}"
mkdir -p "$work"
work="$(cd "$work" && pwd)"

# gen NAME BAD: the data file and its control file.
gen() {
  awk -v bad="$2" 'BEGIN {
    for (i = -100000; i < 100000; i++) {
      if (bad && i == 7) print "7|\"bad\"|2023-02-30"
      else if (bad && i == 8) print "8|\"xxxxxxxxxxxxx\"|2001-01-01"
      else printf "%d|\"a \"\"q\"\" \xF0\x9F\x8D\x80\"|2001-02-03\n", i
    }
    if (bad) print "-3|\"again\"|2001-01-01"
  }' > "$work/$1.txt"
  printf "LOAD DATA INFILE '%s' APPEND INTO TABLE s FIELDS TERMINATED BY '|' OPTIONALLY ENCLOSE BY '\"' (id, name, born)\n" \
    "$work/$1.txt" > "$work/$1.ctl"
}
gen accept 1
gen clean 0

. bench/peers_maria.sh
status=0
for f in accept clean; do
  echo "== $f file ($(wc -l < "$work/$f.txt") rows); load average: $(cut -d' ' -f1-3 /proc/loadavg)"
  (maria_peers "$work/$f.txt" "$work/$f.ctl" s "id INT PRIMARY KEY, name VARCHAR(12), born DATE" \
    "FIELDS TERMINATED BY '|' OPTIONALLY ENCLOSED BY '\"'" "$work/$f.txt" "$work/$f.ctl") || status=1
done
exit $status
