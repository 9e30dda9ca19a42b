#!/usr/bin/env bash
# Converts the bundled sample scan with the converter in the given run folder.
set -euo pipefail
run=${1:?run folder}
if [ ! -x "$run/tarnwick" ]; then
  echo "the converter is not built yet"
  exit 0
fi
