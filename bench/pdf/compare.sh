#!/usr/bin/env bash
# Whole-program comparisons of the document library against peer tools.
#   bench/pdf/compare.sh BUILD_DIR
# Loads 200- and 2,000-page files, with small pages and with image-heavy
# pages (pdf_probe --count: load and page count, beside qpdf --show-npages), and splits a 200-page scan (one load, one ExtractPages per
# page, beside qpdf --split-pages). The commands of a case run in turn, $RUNS
# rounds (default 5), so that a busy spell of the machine falls on both; the
# best and the median round are printed with their ratios (ours / peer), of
# the elapsed time and, since a shared machine preempts either side, of the
# processor time (user + system) as well.
# Then, for each file, the peak memory of a load (/usr/bin/time -v, ours and
# the peer's), the read system calls of our load per MiB of the file, and
# (where strace is installed) every system call of each side's load, with
# the reads and seeks among them.
set -euo pipefail
build=${1:?usage: compare.sh BUILD_DIR}
probe=$build/bench/pdf_probe
[ -x "$probe" ] || { echo "no $probe" >&2; exit 1; }
for tool in convert-im6.q16 img2pdf qpdf bc /usr/bin/time; do
  command -v "$tool" >/dev/null || { echo "missing: $tool" >&2; exit 1; }
done
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

# Small pages: a drawn circle, 200 and 2,000 of them (every page its own
# image object). Image-heavy pages: a 600x800 bilevel noise image that
# compresses to about 60 KB, so the 2,000-page file holds some 120 MB of
# stream data.
convert-im6.q16 -size 200x200 xc:white -fill black -draw "circle 100,100 100,40" -monochrome "$work/small.png"
convert-im6.q16 -size 600x800 xc: +noise Random -monochrome "$work/heavy.png"
make() {  # image pages out
  local imgs=() i
  for i in $(seq 1 "$2"); do imgs+=("$1"); done
  img2pdf "${imgs[@]}" -o "$work/raw.pdf"
  # Classic cross-reference tables, as the library reads them.
  qpdf --object-streams=disable "$work/raw.pdf" "$3"
  rm -f "$work/raw.pdf"
}
make "$work/small.png" 200 "$work/small-200.pdf"
make "$work/small.png" 2000 "$work/small-2000.pdf"
make "$work/heavy.png" 200 "$work/heavy-200.pdf"
make "$work/heavy.png" 2000 "$work/heavy-2000.pdf"

runs=${RUNS:-5}
# once COMMAND...: "elapsed cpu" in seconds, the command's output dropped;
# cpu is its user and system time from its resource usage (microseconds).
once() {
  /usr/bin/python3 -c '
import os, sys, time
null = [(os.POSIX_SPAWN_OPEN, fd, "/dev/null", os.O_WRONLY, 0) for fd in (1, 2)]
start = time.perf_counter()
pid = os.posix_spawnp(sys.argv[1], sys.argv[1:], os.environ, file_actions=null)
_, status, usage = os.wait4(pid, 0)
elapsed = time.perf_counter() - start
print("%.6f %.6f" % (elapsed, usage.ru_utime + usage.ru_stime))
' "$@"
}
best() { sort -g | head -1; }
median() { sort -g | awk '{ v[NR] = $1 } END { print (NR % 2) ? v[(NR + 1) / 2] : (v[NR / 2] + v[NR / 2 + 1]) / 2 }'; }
ratio() { echo "scale=2; $1 / $2" | bc -l; }

# compare NAME -- OURS... -- PEER...: interleaved rounds, an emptied output
# folder before each command, so that a split creates its files anew.
compare() {
  local name=$1 ours=() peer=() t_ours="" t_peer="" i
  shift 2
  while [ "$1" != -- ]; do ours+=("$1"); shift; done
  shift
  peer=("$@")
  for i in $(seq 1 "$runs"); do
    rm -rf "$work/out" && mkdir -p "$work/out"
    t_ours+="$(once "${ours[@]}")"$'\n'
    rm -rf "$work/out" && mkdir -p "$work/out"
    t_peer+="$(once "${peer[@]}")"$'\n'
  done
  local col kind bo bp mo mp
  for col in 1 2; do
    kind=elapsed
    [ "$col" = 2 ] && kind=cpu
    bo=$(printf '%s' "$t_ours" | cut -d' ' -f"$col" | best); bp=$(printf '%s' "$t_peer" | cut -d' ' -f"$col" | best)
    mo=$(printf '%s' "$t_ours" | cut -d' ' -f"$col" | median); mp=$(printf '%s' "$t_peer" | cut -d' ' -f"$col" | median)
    printf '%-18s %-7s best of %d: ours %.3fs peer %.3fs ratio %s; median: ours %.3fs peer %.3fs ratio %s\n' \
      "$name" "$kind" "$runs" "$bo" "$bp" "$(ratio "$bo" "$bp")" "$mo" "$mp" "$(ratio "$mo" "$mp")"
  done
}

peak_kb() { /usr/bin/time -v "$@" 2>&1 >/dev/null | awk -F: '/Maximum resident set size/ { gsub(/ /, "", $2); print $2 }'; }
# syscalls COMMAND...: "all reads seeks", the system calls of the command
# (strace -c counts them; reads are read, pread64 and readv).
syscalls() {
  strace -f -c -o "$work/strace" "$@" >/dev/null 2>&1
  awk '$NF == "total" { all = $4 } $NF ~ /^(read|pread64|readv|preadv)$/ { r += $4 } $NF ~ /^l?lseek$/ { s += $4 }
       END { printf "%d %d %d\n", all, r, s }' "$work/strace"
}

echo "load and page count: pdf_probe FILE --count beside qpdf --show-npages FILE"
for f in small-200 small-2000 heavy-200 heavy-2000; do
  compare "load $f" -- "$probe" "$work/$f.pdf" --count -- qpdf --show-npages "$work/$f.pdf"
done
echo "split every page: pdf_probe FILE --extract-all DIR beside qpdf --split-pages"
for f in small-200 heavy-200; do
  compare "split $f" -- "$probe" "$work/$f.pdf" --extract-all "$work/out" -- \
    qpdf --split-pages "$work/$f.pdf" "$work/out/page-%d.pdf"
done

echo "peak memory of a load, and our read system calls"
for f in small-200 small-2000 heavy-200 heavy-2000; do
  file=$work/$f.pdf
  mib=$(echo "scale=2; $(stat -c %s "$file") / 1048576" | bc -l)
  ours=$(peak_kb "$probe" "$file" --count)
  peer=$(peak_kb qpdf --show-npages "$file")
  read -r _ _ calls _ bytes < <("$probe" "$file" --count --io | tail -1)
  printf '%-12s %7.2f MiB: peak ours %6d KB, qpdf %6d KB, ratio %s; our reads %d calls (%s per MiB), %d bytes\n' \
    "$f" "$mib" "$ours" "$peer" "$(ratio "$ours" "$peer")" "$calls" "$(echo "scale=1; $calls / $mib" | bc -l)" "$bytes"
  if command -v strace >/dev/null; then
    read -r o_all o_reads o_seeks < <(syscalls "$probe" "$file" --count)
    read -r p_all p_reads p_seeks < <(syscalls qpdf --show-npages "$file")
    printf '%-12s system calls of a load: ours %d (%s per MiB; %d reads, %d seeks), qpdf %d (%d reads, %d seeks)\n' \
      "$f" "$o_all" "$(echo "scale=1; $o_all / $mib" | bc -l)" "$o_reads" "$o_seeks" "$p_all" "$p_reads" "$p_seeks"
  fi
done
command -v strace >/dev/null || echo "(strace is not installed: no count of every system call)"
