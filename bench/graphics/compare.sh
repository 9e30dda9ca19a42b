#!/usr/bin/env bash
# Appending an A4 300 dpi bilevel page to a TIFF through the imaging library
# (Group 4), beside tiffcp -c g4 of the same page; both as whole processes,
# best of several runs, reported as a ratio.
#   bench/graphics/compare.sh build/release
set -euo pipefail
build=${1:?usage: compare.sh BUILD_DIR}
probe=$build/bench/graphics_tiff_probe
[ -x "$probe" ] || { echo "compare.sh: $probe not built" >&2; exit 1; }
command -v tiffcp >/dev/null && command -v pnmtotiff >/dev/null || { echo "compare.sh: needs libtiff-tools and netpbm" >&2; exit 1; }
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
"$probe" make "$work/page.pbm"
pnmtotiff -none "$work/page.pbm" > "$work/page.tif" 2>/dev/null

best() {  # best wall time in seconds of 7 runs of the command
  local b=
  for _ in 1 2 3 4 5 6 7; do
    local s e t
    s=$(date +%s.%N); "$@" >/dev/null 2>&1; e=$(date +%s.%N)
    t=$(awk -v s="$s" -v e="$e" 'BEGIN { printf "%.6f", e - s }')
    if [ -z "$b" ] || awk -v t="$t" -v b="$b" 'BEGIN { exit !(t < b) }'; then b=$t; fi
  done
  echo "$b"
}

ours=$(best "$probe" save "$work/page.pbm" "$work/ours.tif")
peer=$(best tiffcp -c g4 "$work/page.tif" "$work/peer.tif")
# Both files hold the same pixels.
cmp <(tifftopnm "$work/ours.tif" 2>/dev/null) <(tifftopnm "$work/peer.tif" 2>/dev/null) >/dev/null \
  || { echo "compare.sh: the two TIFF files differ in their pixels" >&2; exit 1; }
printf 'IKTiffFileSave A4 bilevel G4 (probe process): %.4f s  tiffcp -c g4: %.4f s  ratio %.2f  sizes %d / %d bytes\n' \
  "$ours" "$peer" "$(awk -v a="$ours" -v b="$peer" 'BEGIN { print a / b }')" "$(stat -c %s "$work/ours.tif")" "$(stat -c %s "$work/peer.tif")"
