#!/usr/bin/env bash
# Runs a Windows program under Wine in the run's shared prefix (the emulator of the MinGW
# builds' tests), with the loader of the program's word size. Starts the prefix, display and
# idle program on first use.
set -euo pipefail
source "$(dirname "$0")/wine-env.sh"
wine_start
exec "$(wine_loader_for "$1")" "$@"
