#!/usr/bin/env bash
# wine-prefix.sh start|stop: the shared Wine prefix of a test run.
set -euo pipefail
source "$(dirname "$0")/wine-env.sh"
case "${1:-}" in
start) wine_start ;;
stop) wine_stop ;;
*) echo "usage: $0 start|stop" >&2; exit 2 ;;
esac
