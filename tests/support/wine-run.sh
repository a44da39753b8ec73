#!/usr/bin/env bash
# Runs a Windows program under Wine in the run's shared prefix (the emulator of the MinGW
# x86_64 build's tests). Starts the prefix, display and idle program on first use.
set -euo pipefail
source "$(dirname "$0")/wine-env.sh"
wine_start
exec "$WINE" "$@"
