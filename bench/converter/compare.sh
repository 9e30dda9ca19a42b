#!/usr/bin/env bash
# The converter on three scans beside the peer tool chain on the same files:
#   bilevel:  20 and 200 pages A4 at 300 dpi, Group 4   peer: pdfimages -tiff, tiffcp -c g4
#   colour:   10 pages A4 at 150 dpi, JPEG              peer: pdfimages -tiff, tiffcp -c lzw:2
# Each round runs the converter, the peer and the reference one after the
# other (interleaved, so that load from other work falls on all of them);
# each figure is the best and the median of N rounds (default 5), and the
# ratio converter / peer of each. Beside them:
# - the page tool alone, run once per page one after the other as the
#   design starts it, the same runs as many at once as the converter runs
#   them (the floor of the converter's time), and the TIFF encoder alone
#   (tiffcp with the converter's compression), for where the time goes
#   (first round only);
# - a reference line: Ghostscript rendering the same pages into one TIFF
#   with its tiffg4 device (bilevel, 300 dpi) or tiff24nc device (colour,
#   150 dpi);
# - the processes each conversion starts (strace -f, where installed);
# - peak memory (/usr/bin/time -v, the largest resident set of the
#   converter's process; the page tools are processes of their own) at 300
#   dpi, and of 4- and 40-page bilevel scans at 600 dpi A4, which must not
#   differ by the page count;
# - on a desktop of its own (Xvfb with openbox, where installed) the 20-page
#   scan once more with the main window shown: what showing it costs.
# The machine's cores and load are printed first and last: on a shared
# machine the ratios are the figures to read, not the seconds.
# Usage: compare.sh <release build dir> [N]
set -euo pipefail
build=${1:?release build dir}
rounds=${2:-5}
run=$build/run
[ -x "$run/tarnwick" ] || { echo "no converter in $run" >&2; exit 1; }
for tool in convert-im6.q16 img2pdf qpdf pdfimages tiffcp tiffinfo bc gs; do
  command -v "$tool" >/dev/null || { echo "missing: $tool" >&2; exit 1; }
done
[ -x /usr/bin/time ] || { echo "missing: /usr/bin/time (package time)" >&2; exit 1; }
im=convert-im6.q16
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

now() { date +%s.%N; }
secs() { echo "$2 - $1" | bc -l; }
load() { echo "$(nproc) cores, load average $(cut -d' ' -f1-3 /proc/loadavg)"; }

# best and median of the numbers on standard input
best() { sort -g | head -1; }
median() {
  local v
  mapfile -t v < <(sort -g)
  local n=${#v[@]}
  if ((n % 2)); then echo "${v[n / 2]}"; else echo "(${v[n / 2 - 1]} + ${v[n / 2]}) / 2" | bc -l; fi
}
ratio() { echo "$1 / $2" | bc -l; }

page_image() {  # out i dpi: one A4 page of bars, different for each i
  local w=$((2480 * $3 / 300)) h=$((3508 * $3 / 300)) s=$(($3 / 300))
  $im -size "${w}x$h" xc:white -fill black \
    -draw "$(for y in $(seq $((300 * s)) $((70 * s)) $((3200 * s))); do
      echo "rectangle $((200 * s)),$y $(((600 + (y / s * $2 * 7) % 1800) * s)),$((y + 30 * s))"
    done)" \
    -monochrome -density "$3" -units PixelsPerInch -compress Group4 "$1"
}

bilevel_scans() {  # name pages dpi: <name><pages>.pdf, and the same ten times over: <name><10 x pages>.pdf
  local imgs=() ten=() i
  for i in $(seq 1 "$2"); do
    page_image "$work/$1-$i.tif" "$i" "$3"
    imgs+=("$work/$1-$i.tif")
  done
  img2pdf "${imgs[@]}" -o "$work/$1$2.pdf"
  for i in $(seq 1 10); do ten+=("$work/$1$2.pdf"); done
  qpdf --empty --pages "${ten[@]}" -- "$work/$1$((10 * $2)).pdf"
}

make_colour() {
  local imgs=() i
  for i in $(seq 1 10); do
    $im -size 1240x1754 -seed "$i" plasma: -density 150 -units PixelsPerInch -quality 75 "$work/c$i.jpg"
    imgs+=("$work/c$i.jpg")
  done
  img2pdf "${imgs[@]}" -o "$work/colour10.pdf"
}

# A private copy of the run folder, so the build's own settings stay.
prog=$work/prog
mkdir -p "$prog/cmdline"
cp "$run/tarnwick" "$prog/"
cp "$run"/libtkimagekit.so "$prog/" 2>/dev/null || true

timed() {  # COMMAND...: runs it, prints its seconds
  local t0 t1
  t0=$(now)
  "$@"
  t1=$(now)
  secs "$t0" "$t1"
}

converter() {  # folder: converts scan.pdf there, as the scanner software starts it
  (cd "$1" && TK_HEADLESS=1 timeout 600 "$prog/tarnwick" scan.pdf </dev/null 2>"$1/stderr.txt")
}
converter_shown() {  # folder display: the same with the window on the display
  (cd "$1" && DISPLAY=$2 TK_HEADLESS= timeout 600 "$prog/tarnwick" scan.pdf </dev/null 2>"$1/stderr.txt")
}
peer() {  # pdf folder compression
  rm -rf "$2" && mkdir -p "$2"
  pdfimages -tiff "$1" "$2/p"
  tiffcp -c "$3" "$2"/p-*.tif "$2.tif"
}
page_tool() {  # folder: the tool once per one-page file, one after the other
  local p
  for p in "$1"/*.pdf; do (cd "$1" && pdfimages -j "$(basename "$p")" "x$(basename "$p" .pdf)"); done
  rm -f "$1"/x*
}
page_tools_at_once() {  # folder: the tool once per one-page file, as many at once as the converter runs
  local n
  n=$(nproc)
  ((n > 16)) && n=16
  (cd "$1" && ls -- *.pdf | xargs -P "$n" -I{} pdfimages -j {} x{})
  rm -f "$1"/x*
}
ghostscript() {  # pdf device dpi out
  gs -q -dNOPAUSE -dBATCH -dSAFER -sDEVICE="$2" -r"$3" -o "$4" "$1" >/dev/null
}
peak_kb() {  # COMMAND...: the largest resident set of the program's own process, in kB
  /usr/bin/time -v "$@" 2>&1 >/dev/null | sed -n 's/.*Maximum resident set size (kbytes): //p' | tail -1
}
converter_peak_kb() {  # folder: peak_kb of the converter on scan.pdf there
  (cd "$1" && TK_HEADLESS=1 peak_kb "$prog/tarnwick" scan.pdf </dev/null)
}
starts() {  # COMMAND...: how many programs it starts, itself included
  strace -f -qq -e trace=execve -o "$work/strace.txt" "$@" >/dev/null 2>&1 </dev/null || true
  # A start that another thread's call cut in two ends in "resumed> ... = 0".
  grep -c 'execve.*= 0$' "$work/strace.txt" || true
}

measure() {  # name pdf compression encoder-compression gs-device gs-dpi
  local name=$1 pdf=$2 comp=$3 enccomp=$4 device=$5 dpi=$6 pages dir=$work/$1
  pages=$(qpdf --show-npages "$pdf")
  mkdir -p "$dir/conv" "$dir/split"
  qpdf --split-pages=1 "$pdf" "$dir/split/p-%d.pdf"
  local conv=() peer=() gsref=() tool=() tools=() enc=() r t
  for r in $(seq 1 "$rounds"); do
    cp "$pdf" "$dir/conv/scan.pdf"
    rm -f "$dir/conv/scan.tif"
    t=$(timed converter "$dir/conv") || { echo "$name: the converter failed: $(cat "$dir/conv/stderr.txt")" >&2; return 1; }
    conv+=("$t")
    local got
    got=$(tiffinfo "$dir/conv/scan.tif" 2>/dev/null | grep -c "^TIFF Directory" || true)
    [ "$got" = "$pages" ] || { echo "$name: the converter's TIFF has $got of $pages pages: $(cat "$dir/conv/stderr.txt")" >&2; return 1; }
    peer+=("$(timed peer "$pdf" "$dir/peer" "$comp")")
    gsref+=("$(timed ghostscript "$pdf" "$device" "$dpi" "$dir/gs.tif")")
    rm -f "$dir/gs.tif"
    # Where the time goes, once: the page tool alone is slow to run.
    if [ "$r" = 1 ]; then
      tool+=("$(timed page_tool "$dir/split")")
      tools+=("$(timed page_tools_at_once "$dir/split")")
      enc+=("$(timed tiffcp -c "$enccomp" "$dir/peer"/p-*.tif "$dir/enc.tif")")
      rm -f "$dir/enc.tif"
    fi
  done
  local cb cm pb pm gb gm
  cb=$(printf '%s\n' "${conv[@]}" | best) cm=$(printf '%s\n' "${conv[@]}" | median)
  pb=$(printf '%s\n' "${peer[@]}" | best) pm=$(printf '%s\n' "${peer[@]}" | median)
  gb=$(printf '%s\n' "${gsref[@]}" | best) gm=$(printf '%s\n' "${gsref[@]}" | median)
  printf '%-8s %3d pages: converter %.3fs (median %.3fs), peer %.3fs (median %.3fs): ratio %.2f best, %.2f median\n' \
    "$name" "$pages" "$cb" "$cm" "$pb" "$pm" "$(ratio "$cb" "$pb")" "$(ratio "$cm" "$pm")"
  printf '%-8s %3d pages: reference gs -sDEVICE=%s -r%s %.3fs (median %.3fs): converter / gs %.2f best, %.2f median\n' \
    "$name" "$pages" "$device" "$dpi" "$gb" "$gm" "$(ratio "$cb" "$gb")" "$(ratio "$cm" "$gm")"
  printf '%-8s %3d pages: the page tool once a page, one after the other, %.3fs; the encoder alone %.3fs (one round)\n' \
    "$name" "$pages" "$(printf '%s\n' "${tool[@]}" | best)" "$(printf '%s\n' "${enc[@]}" | best)"
  # The floor the design's one start a page sets: the tool's runs alone.
  printf '%-8s %3d pages: the page tool once a page, as many at once as the converter runs, %.3fs: %.2f of the peer (one round)\n' \
    "$name" "$pages" "$(printf '%s\n' "${tools[@]}" | best)" "$(ratio "$(printf '%s\n' "${tools[@]}" | best)" "$pb")"
  cp "$pdf" "$dir/conv/scan.pdf"
  local kb peerkb
  kb=$(converter_peak_kb "$dir/conv")
  peerkb=$(peak_kb pdfimages -tiff "$pdf" "$dir/peer/q")
  rm -f "$dir/peer"/q-*
  printf '%-8s %3d pages: peak memory of the converter %d kB (pdfimages of the peer %d kB)\n' "$name" "$pages" "$kb" "$peerkb"
  if command -v strace >/dev/null; then
    cp "$pdf" "$dir/conv/scan.pdf"
    local mine theirs
    mine=$(cd "$dir/conv" && TK_HEADLESS=1 starts "$prog/tarnwick" scan.pdf)
    # The shell that runs the peer's two programs is not counted.
    theirs=$(starts sh -c 'pdfimages -tiff "$0" "$1/p" && tiffcp -c "$2" "$1"/p-*.tif "$1.tif"' "$pdf" "$dir/peer" "$comp")
    printf '%-8s %3d pages: programs started: converter %s (itself and the page tool), peer %s\n' "$name" "$pages" \
      "$mine" "$((theirs - 1))"
  fi
}

memory_600dpi() {
  local dir=$work/dpi600 n kb
  mkdir -p "$dir"
  for n in 4 40; do
    cp "$work/dpi600-$n.pdf" "$dir/scan.pdf"
    kb=$(converter_peak_kb "$dir")
    [ -f "$dir/scan.tif" ] || { echo "600 dpi: no TIFF: $(cat "$dir/stderr.txt")" >&2; return 1; }
    printf 'bilevel  %3d pages A4 at 600 dpi: peak memory of the converter %d kB\n' "$n" "$kb"
    rm -f "$dir/scan.tif"
  done
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
  local headless=() shown=() r
  for r in $(seq 1 "$rounds"); do
    cp "$pdf" "$dir/run/scan.pdf"
    headless+=("$(timed converter "$dir/run")")
    cp "$pdf" "$dir/run/scan.pdf"
    shown+=("$(timed converter_shown "$dir/run" "$display")")
    [ -f "$dir/run/scan.tif" ] || { echo "$name: no TIFF with the window shown: $(cat "$dir/run/stderr.txt")" >&2; break; }
  done
  kill "$wm" "$xvfb" 2>/dev/null || true
  wait "$wm" "$xvfb" 2>/dev/null || true
  local s h
  s=$(printf '%s\n' "${shown[@]}" | best) h=$(printf '%s\n' "${headless[@]}" | best)
  printf '%-8s window shown %.3fs, without a display %.3fs (best): ratio %.3f\n' "$name" "$s" "$h" "$(ratio "$s" "$h")"
}

echo "machine: $(load), $rounds rounds"
bilevel_scans bilevel 20 300
bilevel_scans dpi600- 4 600
make_colour
measure bilevel "$work/bilevel20.pdf" g4 g4 tiffg4 300
measure bilevel "$work/bilevel200.pdf" g4 g4 tiffg4 300
measure colour "$work/colour10.pdf" lzw lzw:2 tiff24nc 150
memory_600dpi
measure_desktop bilevel "$work/bilevel20.pdf"
echo "machine: $(load)"
