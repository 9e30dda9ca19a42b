#!/usr/bin/env bash
# The converter on two scans beside the peer tool chain on the same files:
#   bilevel: 20 pages A4 at 300 dpi, Group 4   peer: pdfimages -tiff, tiffcp -c g4
#   colour:  10 pages A4 at 150 dpi, JPEG      peer: pdfimages -tiff, tiffcp -c lzw
# Prints the ratio converter / peer, and the share of the converter's time
# spent outside the page tool (pdfimages, run once per page as the converter
# runs it) and the TIFF encoder (tiffcp on the same pages as the proxy, with
# the converter's compression: G4, or LZW with horizontal differencing).
# A reference line beside them: Ghostscript rendering the same pages into one
# TIFF with its tiffg4 device (bilevel, 300 dpi) or tiff24nc device (colour,
# 150 dpi), and the converter's ratio to it.
# On a desktop of its own (Xvfb with openbox, where installed) the bilevel
# scan is converted once more with the main window shown, beside the same
# run without a display: the ratio is what showing the window costs.
# Every figure is the best of N runs (default 5), so that other work on a
# shared machine weighs as little as it can.
# Usage: compare.sh <release build dir> [N]
set -euo pipefail
build=${1:?release build dir}
rounds=${2:-5}
run=$build/run
[ -x "$run/tarnwick" ] || { echo "no converter in $run" >&2; exit 1; }
for tool in convert-im6.q16 img2pdf qpdf pdfimages tiffcp tiffinfo bc gs; do
  command -v "$tool" >/dev/null || { echo "missing: $tool" >&2; exit 1; }
done
im=convert-im6.q16
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

now() { date +%s.%N; }
secs() { echo "$2 - $1" | bc -l; }
least() { echo "if ($1 < $2) $1 else $2" | bc -l; }

make_bilevel() {
  local imgs=()
  for i in $(seq 1 20); do
    $im -size 2480x3508 xc:white -fill black \
      -draw "$(for y in $(seq 300 70 3200); do echo "rectangle 200,$y $((600 + (y * i * 7) % 1800)),$((y + 30))"; done)" \
      -monochrome -density 300 -units PixelsPerInch -compress Group4 "$work/b$i.tif"
    imgs+=("$work/b$i.tif")
  done
  img2pdf "${imgs[@]}" -o "$work/bilevel.pdf"
}

make_colour() {
  local imgs=()
  for i in $(seq 1 10); do
    $im -size 1240x1754 -seed "$i" plasma: -density 150 -units PixelsPerInch -quality 75 "$work/c$i.jpg"
    imgs+=("$work/c$i.jpg")
  done
  img2pdf "${imgs[@]}" -o "$work/colour.pdf"
}

# A private copy of the run folder, so the build's own settings stay.
prog=$work/prog
mkdir -p "$prog/cmdline"
cp "$run/tarnwick" "$prog/"
cp "$run"/libtkimagekit.so "$prog/" 2>/dev/null || true

# best SECONDS-SO-FAR COMMAND...: runs the command, prints the lesser time.
best() {
  local so_far=$1 t0 t1
  shift
  t0=$(now); "$@"; t1=$(now)
  least "$so_far" "$(secs "$t0" "$t1")"
}

converter() {  # folder: converts scan.pdf there, as the scanner software starts it
  (cd "$1" && TK_HEADLESS=1 timeout 300 "$prog/tarnwick" scan.pdf </dev/null 2>"$1/stderr.txt")
}
converter_shown() {  # folder display: the same with the window on the display
  (cd "$1" && DISPLAY=$2 TK_HEADLESS= timeout 300 "$prog/tarnwick" scan.pdf </dev/null 2>"$1/stderr.txt")
}

measure_desktop() {  # name pdf
  local name=$1 pdf=$2 dir=$work/$1-desk
  if ! command -v Xvfb >/dev/null || ! command -v openbox >/dev/null; then
    echo "$name: no Xvfb or openbox, the run with a display is left out"
    return 0
  fi
  mkdir -p "$dir/run"
  Xvfb -displayfd 3 -screen 0 1024x768x24 -nolisten tcp 3>"$dir/display" >"$dir/Xvfb.log" 2>&1 </dev/null &
  local xvfb=$!
  local _
  for _ in $(seq 150); do grep -q . "$dir/display" && break; sleep 0.1; done
  local display=:$(head -1 "$dir/display")
  HOME=$dir XDG_CONFIG_HOME=$dir/config XDG_CACHE_HOME=$dir/cache DISPLAY=$display \
    openbox --sm-disable >"$dir/openbox.log" 2>&1 </dev/null &
  local wm=$!
  for _ in $(seq 150); do
    DISPLAY=$display xprop -root _NET_SUPPORTING_WM_CHECK 2>/dev/null | grep -q 'window id' && break
    sleep 0.1
  done
  local headless=999999 shown=999999 r
  for r in $(seq 1 "$rounds"); do
    cp "$pdf" "$dir/run/scan.pdf"
    headless=$(best "$headless" converter "$dir/run")
    cp "$pdf" "$dir/run/scan.pdf"
    shown=$(best "$shown" converter_shown "$dir/run" "$display")
    [ -f "$dir/run/scan.tif" ] || { echo "$name: no TIFF with the window shown: $(cat "$dir/run/stderr.txt")" >&2; break; }
  done
  kill "$wm" "$xvfb" 2>/dev/null || true
  wait "$wm" "$xvfb" 2>/dev/null || true
  printf '%-8s window shown %.3fs, without a display %.3fs, ratio %.3f\n' \
    "$name" "$shown" "$headless" "$(echo "$shown / $headless" | bc -l)"
}
peer() {  # pdf folder compression
  rm -rf "$2" && mkdir -p "$2"
  pdfimages -tiff "$1" "$2/p"
  tiffcp -c "$3" "$2"/p-*.tif "$2.tif"
}
page_tool() {  # folder pages: the tool once per one-page file, in the folder
  local p
  for p in $(seq 1 "$2"); do (cd "$1" && pdfimages -j "$p.pdf" "x$p"); done
}

ghostscript() {  # pdf device dpi out
  gs -q -dNOPAUSE -dBATCH -dSAFER -sDEVICE="$2" -r"$3" -o "$4" "$1" >/dev/null
}

measure() {  # name pdf compression encoder-compression gs-device gs-dpi
  local name=$1 pdf=$2 comp=$3 enccomp=$4 device=$5 dpi=$6 pages dir=$work/$1
  pages=$(qpdf --show-npages "$pdf")
  mkdir -p "$dir/conv" "$dir/split"
  for p in $(seq 1 "$pages"); do qpdf --empty --pages "$pdf" "$p" -- "$dir/split/$p.pdf"; done
  local conv=999999 peer=999999 tool=999999 enc=999999 gsref=999999 r
  for r in $(seq 1 "$rounds"); do
    cp "$pdf" "$dir/conv/scan.pdf"
    rm -f "$dir/conv/scan.tif"
    conv=$(best "$conv" converter "$dir/conv") || { echo "$name: the converter failed: $(cat "$dir/conv/stderr.txt")" >&2; return 1; }
    local got
    got=$(tiffinfo "$dir/conv/scan.tif" 2>/dev/null | grep -c "^TIFF Directory" || true)
    [ "$got" = "$pages" ] || { echo "$name: the converter's TIFF has $got of $pages pages: $(cat "$dir/conv/stderr.txt")" >&2; return 1; }
    peer=$(best "$peer" peer "$pdf" "$dir/peer" "$comp")
    tool=$(best "$tool" page_tool "$dir/split" "$pages")
    enc=$(best "$enc" tiffcp -c "$enccomp" "$dir/peer"/p-*.tif "$dir/enc.tif")
    rm -f "$dir/enc.tif"
    gsref=$(best "$gsref" ghostscript "$pdf" "$device" "$dpi" "$dir/gs.tif")
    rm -f "$dir/gs.tif"
  done
  printf '%-8s %2d pages: converter %.3fs, peer %.3fs, ratio %.2f; page tool %.3fs, encoder %.3fs, outside both: %.0f%%\n' \
    "$name" "$pages" "$conv" "$peer" "$(echo "$conv / $peer" | bc -l)" "$tool" "$enc" \
    "$(echo "100 * ($conv - $tool - $enc) / $conv" | bc -l)"
  printf '%-8s %2d pages: reference gs -sDEVICE=%s -r%s %.3fs, converter / gs %.2f\n' \
    "$name" "$pages" "$device" "$dpi" "$gsref" "$(echo "$conv / $gsref" | bc -l)"
}

make_bilevel
make_colour
measure bilevel "$work/bilevel.pdf" g4 g4 tiffg4 300
measure_desktop bilevel "$work/bilevel.pdf"
measure colour "$work/colour.pdf" lzw lzw:2 tiff24nc 150
