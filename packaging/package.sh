#!/usr/bin/env bash
# Builds the Debian package of a build folder with CPack.
#   packaging/package.sh BUILD_DIR [OUT_DIR]    (OUT_DIR: BUILD_DIR)
# CPack installs the project into a staging folder and, on the way, rewrites
# the build folder's install_manifest.txt with the package's paths. That file
# is what uninstalls a `cmake --install` made from the same build, so it is
# put back as it was.
set -euo pipefail
[ $# -ge 1 ] || { echo "usage: package.sh BUILD_DIR [OUT_DIR]" >&2; exit 2; }
build=$(cd "$1" && pwd)
out=${2:-$build}
manifest="$build/install_manifest.txt"
kept="$build/install_manifest.txt.kept"
if [ -f "$manifest" ]; then
  cp -p "$manifest" "$kept"
  trap 'mv -f "$kept" "$manifest"' EXIT
else
  trap 'rm -f "$manifest"' EXIT
fi
"${CPACK:-cpack}" -G DEB --config "$build/CPackConfig.cmake" -B "$out"
