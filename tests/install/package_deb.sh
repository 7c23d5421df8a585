#!/usr/bin/env bash
# `cpack -G DEB` on the build tree: the package holds the installed files,
# depends on the package of every library qxfldr and libqxfldr_comm link, and
# its qxfldr and manual page work once unpacked.
#   package_deb.sh CPACK BUILD_DIR LIBDIR WORK
set -euo pipefail
cpack=$1 build=$2 libdir=$3 work=$4
for tool in dpkg-deb dpkg-shlibdeps dpkg-query; do
  command -v "$tool" >/dev/null || { echo "package_deb: no $tool (dpkg-dev): skipped"; exit 77; }
done
fail=0
complain() { echo "package_deb: $*" >&2; fail=1; }

rm -rf "$work"
mkdir -p "$work"
if ! (cd "$build" && "$cpack" -G DEB -B "$work" >"$work/cpack.log" 2>&1); then
  cat "$work/cpack.log" >&2
  exit 1
fi
deb=$(ls "$work"/*.deb)
depends=$(dpkg-deb -f "$deb" Depends)
echo "package_deb: $(basename "$deb"), $(stat -c %s "$deb") bytes, Installed-Size $(dpkg-deb -f "$deb" Installed-Size) KiB"
echo "package_deb: Depends: $depends"

# The package of every shared library the binaries link directly comes in
# the Depends line (libsqlite3 and libpq for the loader, libc, libstdc++ ...).
depends_names=$(tr ',|' '\n\n' <<<"$depends" | awk 'NF {print $1}')
for binary in "$build/bin/qxfldr" "$build/lib/libqxfldr_comm.so"; do
  for soname in $(readelf -d "$binary" | sed -n 's/.*(NEEDED).*\[\(.*\)\]/\1/p'); do
    case "$soname" in libqxfldr_comm.so.*|ld-linux*) continue ;; esac
    path=$(ldd "$binary" | awk -v so="$soname" '$1 == so {print $3}')
    owner=$(dpkg-query -S "$(readlink -f "$path")" 2>/dev/null | head -1 | cut -d: -f1) || true
    [ -n "$owner" ] || owner=$(dpkg-query -S "$path" 2>/dev/null | head -1 | cut -d: -f1) || true
    if [ -z "$owner" ]; then
      complain "no package owns $soname ($path)"
    elif ! grep -qxF "$owner" <<<"$depends_names"; then
      complain "$(basename "$binary") links $soname of $owner, which Depends lacks"
    fi
  done
done
for needed in libsqlite3-0 libpq5; do
  grep -qxF "$needed" <<<"$depends_names" || complain "Depends lacks $needed"
done

# The files of an install under /usr, and none of the tests or benchmarks.
contents=$(dpkg-deb -c "$deb" | awk '{print $6}' | sed 's|^\./||')
for want in usr/bin/qxfldr "usr/$libdir/libqxfldr_comm.so.1" "usr/$libdir/pkgconfig/qxfldr_comm.pc" \
            "usr/$libdir/cmake/qxfldr_comm/qxfldr_comm-config.cmake" usr/include/qxfldr_comm/qxfldr_comm.h \
            usr/share/man/man1/qxfldr.1.gz; do
  grep -qx "$want" <<<"$contents" || complain "the package lacks $want"
done
! grep -E '/(test_|bench_|c_api|parallel_load|frame_tour|gen_data)' <<<"$contents" || complain "the package holds test or example programs"
dpkg-deb -I "$deb" shlibs | grep -q '^libqxfldr_comm 1 qxfldr-comm' || complain "no shlibs entry for libqxfldr_comm.so.1"
dpkg-deb -I "$deb" postinst | grep -q 'ldconfig' || complain "postinst does not run ldconfig"

# Unpacked, the loader answers and its manual page renders.
dpkg-deb -x "$deb" "$work/root"
out=$(LD_LIBRARY_PATH="$work/root/usr/$libdir" "$work/root/usr/bin/qxfldr" help) || complain "qxfldr help failed"
grep -q 'CONTROL' <<<"$out" || complain "qxfldr help printed no keywords"
if command -v man >/dev/null; then
  MANWIDTH=80 man -l "$work/root/usr/share/man/man1/qxfldr.1.gz" 2>/dev/null | grep -q 'EXIT STATUS' ||
    complain "man -l shows no EXIT STATUS section"
fi
exit $fail
