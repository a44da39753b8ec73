#!/usr/bin/env bash
# check-examples.sh MKEXAMPLE DIR: fails when the example in DIR differs from what the
# generator writes now (regenerate with the tovrin_examples build target).
set -euo pipefail
generator=$1 shipped=$2
fresh=$(mktemp -d)
trap 'rm -rf "$fresh"' EXIT
"$generator" --example "$fresh"
status=0
for file in "$fresh"/*; do
    name=$(basename "$file")
    if ! cmp -s "$file" "$shipped/$name"; then
        echo "examples/$name differs from the generator's output" >&2
        status=1
    fi
done
exit $status
