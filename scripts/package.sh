#!/usr/bin/env bash
# Builds the Debian package of the Linux tool (tovrin, tovrin-sim, the manual page) from the
# native-release build and lists what it holds. Prints the package's path last.
set -euo pipefail
cd "$(dirname "$0")/.."
ROOT=$PWD
./scripts/setup.sh --native >/dev/null
cmake --preset native-release >/dev/null
cmake --build --preset native-release --target tovrin tovrin-sim >/dev/null
(cd build/native-release && cpack -G DEB >/dev/null)
package=$(ls -t "$ROOT"/build/native-release/tovrin_*.deb | head -n 1)
dpkg-deb --contents "$package" | awk '{print $NF}'
echo "$package"
