#!/usr/bin/env bash
# A bounded run of the program fuzz target (scripts/fuzz-run.sh).
exec "$(dirname "$0")/fuzz-run.sh" program "$@"
