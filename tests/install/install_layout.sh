#!/usr/bin/env bash
# What an install puts under its prefix, and that the installed qxfldr runs
# from there with the installed library.
#   install_layout.sh PREFIX LIBDIR VERSION SOVERSION
set -euo pipefail
prefix=$1 libdir=$2 version=$3 soversion=$4
fail=0
complain() { echo "install_layout: $*" >&2; fail=1; }

# Exactly these files and links, nothing of the tests, benchmarks or examples.
expected=$(sort <<LIST
bin/qxfldr
include/qxfldr_comm/qxbcast.h
include/qxfldr_comm/qxcalc.h
include/qxfldr_comm/qxcvt.h
include/qxfldr_comm/qxdta.h
include/qxfldr_comm/qxexport.h
include/qxfldr_comm/qxfldr_comm.h
include/qxfldr_comm/qxmem.h
include/qxfldr_comm/qxos.h
$libdir/cmake/qxfldr_comm/qxfldr_comm-config-version.cmake
$libdir/cmake/qxfldr_comm/qxfldr_comm-config.cmake
$libdir/cmake/qxfldr_comm/qxfldr_comm-targets-CONFIG.cmake
$libdir/cmake/qxfldr_comm/qxfldr_comm-targets.cmake
$libdir/libqxfldr_comm.so
$libdir/libqxfldr_comm.so.$soversion
$libdir/libqxfldr_comm.so.$version
$libdir/pkgconfig/qxfldr_comm.pc
share/man/man1/qxfldr.1.gz
LIST
)
installed=$(cd "$prefix" && find . \( -type f -o -type l \) | sed 's|^\./||; s|-targets-[a-z]*\.cmake$|-targets-CONFIG.cmake|' | sort)
if [ "$installed" != "$expected" ]; then
  complain "installed files differ from the expected ones (< expected, > installed):"
  diff <(echo "$expected") <(echo "$installed") >&2 || true
fi

# libqxfldr_comm.so -> .so.1 -> .so.1.0.0, and the soname the linker records.
lib=$prefix/$libdir
[ "$(readlink "$lib/libqxfldr_comm.so")" = "libqxfldr_comm.so.$soversion" ] || complain "libqxfldr_comm.so does not point at .so.$soversion"
[ "$(readlink "$lib/libqxfldr_comm.so.$soversion")" = "libqxfldr_comm.so.$version" ] || complain ".so.$soversion does not point at .so.$version"
soname=$(readelf -d "$lib/libqxfldr_comm.so.$version" | sed -n 's/.*(SONAME).*\[\(.*\)\]/\1/p')
[ "$soname" = "libqxfldr_comm.so.$soversion" ] || complain "soname is '$soname'"

# The installed loader finds the installed library (not the build tree's).
resolved=$(ldd "$prefix/bin/qxfldr" | awk '$1 ~ /^libqxfldr_comm/ {print $3}')
case "$resolved" in
  "$prefix"/*) ;;
  *) complain "bin/qxfldr loads libqxfldr_comm from '$resolved'" ;;
esac
out=$("$prefix/bin/qxfldr" --version) || complain "bin/qxfldr --version failed"
[ "$out" = "$(printf 'qxfldr %s\nlibqxfldr_comm %s' "$version" "$version")" ] || complain "bin/qxfldr --version printed '$out'"

# The manual page renders without a warning.
if command -v groff >/dev/null; then
  warnings=$(gzip -dc "$prefix/share/man/man1/qxfldr.1.gz" | groff -man -Tutf8 -ww -z 2>&1)
  [ -z "$warnings" ] || complain "groff: $warnings"
fi

[ $fail -eq 0 ] && echo "install_layout: ok"
exit $fail
