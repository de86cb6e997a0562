#!/usr/bin/env bash
# Installs a build three ways for the install tests, all inside OUT_DIR:
#   OUT_DIR/destdir    the default prefix, staged through DESTDIR
#   OUT_DIR/pre fix    a prefix given only at install time, with a blank in it
#   OUT_DIR/deb-root   the Debian package (OUT_DIR/package) unpacked by dpkg -x
# The manifest of each cmake --install is kept as OUT_DIR/NAME.manifest; the
# build's own install_manifest.txt is left as it was.
#   packaging/install_trees.sh BUILD_DIR OUT_DIR
set -euo pipefail
[ $# -eq 2 ] || { echo "usage: install_trees.sh BUILD_DIR OUT_DIR" >&2; exit 2; }
here=$(cd "$(dirname "$0")" && pwd)
build=$(cd "$1" && pwd)
out=$2
cmake=${CMAKE:-cmake}

rm -rf "$out"
mkdir -p "$out"
out=$(cd "$out" && pwd)
manifest="$build/install_manifest.txt"
kept="$out/build.manifest"
if [ -f "$manifest" ]; then
  cp -p "$manifest" "$kept"
  trap 'cp -p "$kept" "$manifest"' EXIT
else
  trap 'rm -f "$manifest"' EXIT
fi

DESTDIR="$out/destdir" "$cmake" --install "$build"
cp "$manifest" "$out/destdir.manifest"
"$cmake" --install "$build" --prefix "$out/pre fix"
cp "$manifest" "$out/prefix.manifest"

bash "$here/package.sh" "$build" "$out/package"
debs=("$out"/package/*.deb)
[ ${#debs[@]} -eq 1 ] && [ -f "${debs[0]}" ] || { echo "expected one package in $out/package" >&2; exit 1; }
dpkg -x "${debs[0]}" "$out/deb-root"
