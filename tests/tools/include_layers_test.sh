#!/usr/bin/env bash
# Folders depend one way: nothing below the service object includes it or
# the command-line program. Fails, naming the file, when a lower folder does.
# Usage: include_layers_test.sh SOURCE_DIR
set -uo pipefail
src="$1/src"
status=0
for dir in "$src"/*/; do
  name="$(basename "$dir")"
  [ "$name" = service ] && continue
  while IFS= read -r hit; do
    echo "FAIL: $hit reaches up the layers"
    status=1
  done < <(grep -rnE '#include "(service|tools)/' "$dir" || true)
done
[ $status -eq 0 ] && echo "include layers: no folder below the service object includes it"
exit $status
