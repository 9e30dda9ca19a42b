#!/usr/bin/env bash
# Whole-program comparison: image_probe (load + write a pixel map) beside
# pnmtopnm and ImageMagick reading the same page images and writing the same
# output. Usage: bench/imaging/compare.sh BUILD_DIR (a release build).
set -euo pipefail
build=${1:?usage: compare.sh BUILD_DIR}
probe=$build/bench/image_probe
[ -x "$probe" ] || { echo "no $probe" >&2; exit 1; }
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

# An A4 page: 300 dpi as a bitmap, 600 dpi as a pixel map.
convert-im6.q16 -seed 3 -size 2480x3508 xc:gray +noise Random -threshold 50% pbm:"$work/a4-300.pbm"
convert-im6.q16 -seed 4 -size 4960x7016 xc:gray +noise Random -depth 8 ppm:"$work/a4-600.ppm"

best() {  # best of 3 wall-clock seconds of a command
  local b=999999 s e
  for _ in 1 2 3; do
    s=$(date +%s.%N)
    "$@" >/dev/null 2>&1
    e=$(date +%s.%N)
    b=$(awk -v s="$s" -v e="$e" -v b="$b" 'BEGIN { d = e - s; print (d < b ? d : b) }')
  done
  printf '%.3f' "$b"
}
ratio() { awk -v a="$1" -v b="$2" 'BEGIN { printf "%.2f", a / b }'; }

for f in a4-300.pbm a4-600.ppm; do
  p=$(best "$probe" "$work/$f" "$work/out.ppm")
  # pnmtopnm keeps a bitmap a bitmap; ppmtoppm writes the pixel map that the
  # probe writes.
  n=$(best sh -c "pnmtopnm '$work/$f' > '$work/out2.pnm'")
  q=$(best sh -c "ppmtoppm < '$work/$f' > '$work/out4.ppm'")
  m=$(best convert-im6.q16 "$work/$f" ppm:"$work/out3.ppm")
  echo "$f: image_probe ${p}s; pnmtopnm ${n}s ($(ratio "$n" "$p")x the probe's time), ppmtoppm ${q}s ($(ratio "$q" "$p")x), ImageMagick ${m}s ($(ratio "$m" "$p")x)"
done

# A TIFF of 126 bytes that claims 30000 x 30000 grey pixels in one deflate
# strip: how long and how much memory it takes to be refused.
/usr/bin/python3 - "$work/bomb.tif" <<'PY'
import struct, sys
entries = [(256, 3, 30000), (257, 3, 30000), (258, 3, 8), (259, 3, 8), (262, 3, 1),
           (273, 4, 0), (277, 3, 1), (278, 3, 30000), (279, 4, 4)]
offset = 8 + 2 + 12 * len(entries) + 4
data = b"".join(struct.pack("<HHI", t, k, 1) + (struct.pack("<HH", v, 0) if k == 3 else
                struct.pack("<I", offset if t == 273 else v)) for t, k, v in entries)
open(sys.argv[1], "wb").write(b"II*\0" + struct.pack("<I", 8) + struct.pack("<H", len(entries)) + data +
                              b"\0\0\0\0" + b"xxxx")
PY
peak() {  # wall-clock seconds and peak memory in MB of a command
  /usr/bin/time -f '%e s, %M' "$@" 2>&1 >/dev/null | tail -1 | awk -F', ' '{ printf "%s, %.1f MB", $1, $2 / 1024 }'
}
echo "bomb.tif ($(stat -c %s "$work/bomb.tif") bytes, 30000 x 30000): image_probe $(peak "$probe" "$work/bomb.tif" "$work/out.ppm"); tifftopnm $(peak tifftopnm "$work/bomb.tif")"
