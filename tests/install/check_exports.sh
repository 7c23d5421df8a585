#!/usr/bin/env bash
# The installed library exports exactly the symbols of the list kept in the
# tree, and the list is exactly what the installed headers declare with
# QX_EXPORT; every source header that declares an export is installed.
#   check_exports.sh LIBRARY SYMBOL_LIST INSTALLED_INCLUDE_DIR SOURCE_DIR
set -euo pipefail
lib=$1 list=$2 incdir=$3 src=$4
fail=0

# Names declared with QX_EXPORT, comments and preprocessor lines removed:
# the identifier just before the first "(" or ";" after the macro.
declared_in() {
  perl -0777 -ne 's{/\*.*?\*/}{ }gs; s{//[^\n]*}{}g; s{^\s*#.*$}{}gm;
                  print "$1\n" while /\bQX_EXPORT\b[^(;]*?\b([A-Za-z_]\w*)\s*[(;]/g' "$@"
}

# One set against another; prints what each lacks and fails when either does.
compare() {
  local name_a=$1 set_a=$2 name_b=$3 set_b=$4 only
  only=$(comm -23 <(echo "$set_a") <(echo "$set_b"))
  [ -z "$only" ] || { echo "in $name_a, not in $name_b:" $only >&2; fail=1; }
  only=$(comm -13 <(echo "$set_a") <(echo "$set_b"))
  [ -z "$only" ] || { echo "in $name_b, not in $name_a:" $only >&2; fail=1; }
}

listed=$(grep -E '^[A-Za-z_][A-Za-z0-9_]*$' "$list" | LC_ALL=C sort)
exported=$(nm -D --defined-only "$lib" | awk 'NF >= 3 { sub(/@.*/, "", $3); print $3 }' | LC_ALL=C sort)
declared=$(declared_in "$incdir"/*.h | LC_ALL=C sort -u)
compare "the exports of $(basename "$lib")" "$exported" "$(basename "$list")" "$listed"
compare "the installed headers' QX_EXPORT" "$declared" "$(basename "$list")" "$listed"

for h in "$src"/include/*.h "$src"/runtime/*.h; do
  if [ -n "$(declared_in "$h")" ] && [ ! -e "$incdir/$(basename "$h")" ]; then
    echo "$h declares exports but is not installed" >&2
    fail=1
  fi
done

[ $fail -eq 0 ] && echo "check_exports: $(echo "$listed" | wc -l) symbols, as listed and declared"
exit $fail
