#!/usr/bin/env bash
# Configures and builds the given presets (default: native, mingw-x64, mingw-i686).
#   scripts/build.sh [preset ...]
set -euo pipefail
cd "$(dirname "$0")/.."
presets=("$@")
[ ${#presets[@]} -gt 0 ] || presets=(native mingw-x64 mingw-i686)
for preset in "${presets[@]}"; do
    echo "== build: $preset"
    cmake --preset "$preset" >/dev/null
    cmake --build --preset "$preset" -- -k 0
done
