#!/usr/bin/env bash
# Builds and runs a tiny program against the installed copy only.
#   consumer.sh pkgconfig|cmake
# Environment: QX_PREFIX (the install), QX_LIBDIR (its library directory),
# QX_SOURCE (this directory), QX_WORK (a scratch directory), CC, CXX,
# QX_CMAKE, QX_GENERATOR, QX_MAKE_PROGRAM, and QX_SANITIZE_FLAGS (the
# sanitizer flags of the build: a program that loads a sanitized library
# must carry the same runtime).
set -euo pipefail
mode=$1
work=$QX_WORK/$mode
rm -rf "$work"
mkdir -p "$work"
read -r -a san <<<"${QX_SANITIZE_FLAGS:-}"

case "$mode" in
  pkgconfig)
    # Only the prefix's .pc file is visible: no system copy, no build tree.
    export PKG_CONFIG_LIBDIR=$QX_PREFIX/$QX_LIBDIR/pkgconfig PKG_CONFIG_PATH=
    read -r -a flags <<<"$(pkg-config --cflags --libs qxfldr_comm)"
    libdir=$(pkg-config --variable=libdir qxfldr_comm)
    program=$work/consumer_c
    "$CC" -std=c11 -Wall -Wextra -Werror -pedantic "${san[@]}" -o "$program" \
          "$QX_SOURCE/consumer.c" "${flags[@]}" "-Wl,-rpath,$libdir"
    ;;
  cmake)
    "$QX_CMAKE" -S "$QX_SOURCE/consumer_cmake" -B "$work" -G "$QX_GENERATOR" \
        -DCMAKE_MAKE_PROGRAM="$QX_MAKE_PROGRAM" -DCMAKE_CXX_COMPILER="$CXX" \
        -DCMAKE_PREFIX_PATH="$QX_PREFIX" -DCMAKE_FIND_USE_PACKAGE_REGISTRY=OFF \
        -DCMAKE_FIND_USE_SYSTEM_PACKAGE_REGISTRY=OFF \
        -DCMAKE_CXX_FLAGS="${san[*]}" -DCMAKE_EXE_LINKER_FLAGS="${san[*]}" >"$work/configure.log"
    found=$(sed -n 's/^qxfldr_comm_DIR:PATH=//p' "$work/CMakeCache.txt")
    case "$found" in
      "$QX_PREFIX"/*) ;;
      *) echo "find_package found qxfldr_comm in '$found', not under $QX_PREFIX" >&2; exit 1 ;;
    esac
    "$QX_CMAKE" --build "$work" >"$work/build.log"
    program=$work/consumer_cmake
    ;;
  *) echo "usage: consumer.sh pkgconfig|cmake" >&2; exit 2 ;;
esac

resolved=$(ldd "$program" | awk '$1 ~ /^libqxfldr_comm/ {print $3}')
case "$resolved" in
  "$QX_PREFIX"/*) ;;
  *) echo "the consumer loads libqxfldr_comm from '$resolved', not from $QX_PREFIX" >&2; exit 1 ;;
esac
"$program"
