#!/bin/sh
# cmake --install into a scratch prefix: the program directory with watchd and
# a configuration that watchd accepts, and the data directory beside it.
#   install_test.sh BUILD_DIR
set -eu
build=$1
prefix=$(mktemp -d)
trap 'rm -rf "$prefix"' EXIT
cmake --install "$build" --prefix "$prefix" >/dev/null
for f in lib/watchd/bin/watchd lib/watchd/bin/config; do
    [ -f "$prefix/$f" ] || { echo "missing $f" >&2; exit 1; }
done
[ -x "$prefix/lib/watchd/bin/watchd" ] || { echo "watchd is not executable" >&2; exit 1; }
[ -d "$prefix/lib/watchd/data" ] || { echo "missing lib/watchd/data" >&2; exit 1; }
grep -q '"torvin-dpi-inner"' "$prefix/lib/watchd/bin/config" || {
    echo "the example config names no program" >&2
    exit 1
}
echo "install: $(cd "$prefix" && find . -mindepth 1 | sort | tr '\n' ' ')"
