#!/usr/bin/env bash
# A bounded run of the profile fuzz target (scripts/fuzz-run.sh).
exec "$(dirname "$0")/fuzz-run.sh" profile "$@"
