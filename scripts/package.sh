#!/usr/bin/env bash
# Builds the Debian package of Tollbrook from this tree, in a Release build
# without tests installed under /usr (configuration in /etc):
#   scripts/package.sh [build-dir]   (default: build-package)
# Prints the path of the .deb it made. Install it with
#   apt-get install ./<build-dir>/tollbrook_<version>_<arch>.deb
set -euo pipefail
cd "$(dirname "$0")/.."
dir=${1:-build-package}
launcher=()
command -v ccache >/dev/null && launcher=(-DCMAKE_CXX_COMPILER_LAUNCHER=ccache)
cmake -S . -B "$dir" -DCMAKE_BUILD_TYPE=Release -DTOLLBROOK_WERROR=ON -DBUILD_TESTING=OFF \
  -DCMAKE_INSTALL_PREFIX=/usr -DTOLLBROOK_SYSTEMD_UNIT_DIR=/lib/systemd/system \
  "${launcher[@]}" >/dev/null
# Only the path of the package goes to standard output.
cmake --build "$dir" -j"$(nproc)" >&2
rm -f "$dir"/tollbrook_*.deb
(cd "$dir" && cpack -G DEB >&2)
debs=("$dir"/tollbrook_*.deb)
[ -f "${debs[0]}" ] || { echo "package.sh: cpack made no package" >&2; exit 1; }
echo "${debs[0]}"
