#!/usr/bin/env bash
# Fixture of the install tests: the build tree installed into a fresh prefix,
# as a user would install it.
#   install_tree.sh CMAKE BUILD_DIR PREFIX
set -euo pipefail
cmake=$1 build=$2 prefix=$3
rm -rf "$prefix"
"$cmake" --install "$build" --prefix "$prefix" >/dev/null
echo "installed into $prefix"
