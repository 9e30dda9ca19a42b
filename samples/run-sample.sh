#!/usr/bin/env bash
# Converts the bundled sample scan with the converter in the given run folder
# and shows what came out: pages, size, compression and resolution.
set -euo pipefail
run=${1:?run folder}
here=$(cd "$(dirname "$0")" && pwd)
if [ ! -x "$run/tarnwick" ]; then
  echo "the converter is not built in $run" >&2
  exit 1
fi
out="$here/out"
rm -rf "$out"
mkdir -p "$out"
# The converter deletes a source it has converted: it gets a copy.
cp "$here/sample-scan.pdf" "$out/"
echo "converting $out/sample-scan.pdf"
timeout 600 "$run/tarnwick" "$out/sample-scan.pdf" || { echo "the converter failed ($?)" >&2; exit 1; }
tif="$out/sample-scan.tif"
if [ ! -f "$tif" ]; then
  echo "no TIFF came out" >&2
  exit 1
fi
echo "made $tif ($(stat -c %s "$tif") bytes)"
tiffinfo "$tif" 2>/dev/null | awk '
  /^TIFF Directory/ { page++; res = "none"; spp = 1 }
  /Image Width:/ { w = $3; h = $6 }
  /Resolution:/ { sub(/^ *Resolution: */, ""); res = $0 }
  /Bits\/Sample:/ { bits = $2 }
  /Samples\/Pixel:/ { spp = $2 }
  /Compression Scheme:/ { sub(/^ *Compression Scheme: */, ""); comp = $0 }
  /Planar Configuration:/ {
    printf "page %d: %s x %s pixels, %s bit x %s, %s, resolution %s\n", page, w, h, bits, spp, comp, res
  }
  END { printf "%d pages\n", page }'
