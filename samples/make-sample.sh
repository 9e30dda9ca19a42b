#!/usr/bin/env bash
# Remakes sample-scan.pdf, a small scan as a document scanner writes it: one
# image per page.
#   page 1: bilevel, CCITT Group 4, A4 at 200 dpi
#   page 2: grey, Flate, A4 at 100 dpi
#   page 3: colour JPEG, A4 at 100 dpi
#   page 4: bilevel landscape scan shown upright by /Rotate 90, 200 dpi
# Needs ImageMagick (convert-im6.q16), img2pdf and qpdf. A remade file shows
# the same pages; its bytes may differ (the tools stamp their inputs).
set -euo pipefail
cd "$(dirname "$0")"
im=convert-im6.q16
tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT

# Page 1: a "letter" of bars, boxes and rules.
$im -size 1654x2339 xc:white -fill black \
  -draw "rectangle 150,150 900,230" \
  -draw "rectangle 150,300 1500,320" \
  -draw "$(for y in $(seq 420 60 1800); do echo "rectangle 150,$y $((400 + (y * 7) % 1100)),$((y + 22))"; done)" \
  -fill none -stroke black -strokewidth 6 -draw "rectangle 1100,1900 1500,2200" \
  -draw "circle 1300,2050 1300,1950" \
  -monochrome -density 200 -units PixelsPerInch -compress Group4 "$tmp/p1.tif"

# Page 2: a grey photograph stand-in: a smooth gradient with a darker disc.
$im -size 827x1169 gradient:white-gray40 -fill gray20 -draw "circle 413,584 413,350" \
  -colorspace Gray -depth 8 -density 100 -units PixelsPerInch "$tmp/p2.png"

# Page 3: colour, as the scanner's JPEG.
$im -size 827x1169 gradient:'#3060c0'-'#f0d040' -fill '#c03030' -draw "rectangle 200,300 620,700" \
  -fill '#30a040' -draw "circle 413,950 413,850" \
  -density 100 -units PixelsPerInch -quality 60 -sampling-factor 2x2 "$tmp/p3.jpg"

# Page 4: a landscape form scanned sideways: the image is portrait, the page
# turns it upright.
$im -size 1654x1169 xc:white -fill black \
  -draw "rectangle 100,100 1550,160" \
  -draw "$(for x in $(seq 200 150 1400); do echo "rectangle $x,300 $((x + 40)),$((400 + x / 2))"; done)" \
  -rotate 270 -monochrome -density 200 -units PixelsPerInch -compress Group4 "$tmp/p4.tif"

img2pdf --producer "" --creationdate 2020-01-01T00:00:00 --moddate 2020-01-01T00:00:00 \
  "$tmp/p1.tif" "$tmp/p2.png" "$tmp/p3.jpg" "$tmp/p4.tif" -o "$tmp/joined.pdf"
qpdf --deterministic-id --rotate=+90:4 "$tmp/joined.pdf" sample-scan.pdf
ls -l sample-scan.pdf
