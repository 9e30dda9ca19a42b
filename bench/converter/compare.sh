#!/usr/bin/env bash
# The converter on two scans beside the peer tool chain on the same files:
#   bilevel: 20 pages A4 at 300 dpi, Group 4   peer: pdfimages -tiff, tiffcp -c g4
#   colour:  10 pages A4 at 150 dpi, JPEG      peer: pdfimages -tiff, tiffcp -c lzw
# Prints the ratio converter / peer, and the share of the converter's time
# spent outside the page tool (pdfimages, run once per page as the converter
# runs it) and the TIFF encoder (tiffcp on the same pages as the proxy).
# Usage: compare.sh <release build dir>
set -euo pipefail
build=${1:?release build dir}
run=$build/run
[ -x "$run/tarnwick" ] || { echo "no converter in $run" >&2; exit 1; }
im=convert-im6.q16
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

now() { date +%s.%N; }
secs() { echo "$2 - $1" | bc -l; }

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

measure() {  # name pdf compression
  local name=$1 pdf=$2 comp=$3 pages
  pages=$(qpdf --show-npages "$pdf")
  mkdir -p "$work/$name"
  cp "$pdf" "$work/$name/scan.pdf"
  local t0 t1 conv peer tool enc
  t0=$(now); (cd "$work/$name" && "$prog/tarnwick" scan.pdf) 2>/dev/null; t1=$(now); conv=$(secs "$t0" "$t1")
  [ -f "$work/$name/scan.tif" ] || { echo "$name: the converter made no TIFF" >&2; return 1; }
  mkdir -p "$work/$name/peer"
  t0=$(now)
  pdfimages -tiff "$pdf" "$work/$name/peer/p"
  tiffcp -c "$comp" "$work/$name/peer"/p-*.tif "$work/$name/peer.tif"
  t1=$(now); peer=$(secs "$t0" "$t1")
  # The page tool as the converter runs it: once per one-page file.
  mkdir -p "$work/$name/split"
  for p in $(seq 1 "$pages"); do qpdf --empty --pages "$pdf" "$p" -- "$work/$name/split/$p.pdf"; done
  t0=$(now)
  for p in $(seq 1 "$pages"); do (cd "$work/$name/split" && pdfimages -j "$p.pdf" "x$p"); done
  t1=$(now); tool=$(secs "$t0" "$t1")
  t0=$(now); tiffcp -c "$comp" "$work/$name/peer"/p-*.tif "$work/$name/enc.tif"; t1=$(now); enc=$(secs "$t0" "$t1")
  printf '%-8s %2d pages: converter %.2fs, peer %.2fs, ratio %.2f; outside page tool and encoder: %.0f%%\n' \
    "$name" "$pages" "$conv" "$peer" "$(echo "$conv / $peer" | bc -l)" \
    "$(echo "100 * ($conv - $tool - $enc) / $conv" | bc -l)"
}

make_bilevel
make_colour
measure bilevel "$work/bilevel.pdf" g4
measure colour "$work/colour.pdf" lzw
