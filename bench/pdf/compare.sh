#!/usr/bin/env bash
# Whole-program comparisons of the document library against peer tools.
#   bench/pdf/compare.sh BUILD_DIR
# Loads a 2,000-page file (pdf_probe beside qpdf --show-npages and pdfinfo)
# and splits a 200-page file (one load, one ExtractPages per page, beside
# qpdf --split-pages). Each command runs $RUNS times (default 5) and the
# fastest run counts, so a busy machine disturbs the figures less. Prints
# seconds and ratios (ours / peer).
set -euo pipefail
build=${1:?usage: compare.sh BUILD_DIR}
probe=$build/bench/pdf_probe
[ -x "$probe" ] || { echo "no $probe" >&2; exit 1; }
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

convert-im6.q16 -size 200x200 xc:white -fill black -draw "circle 100,100 100,40" -monochrome "$work/p.png"
imgs=()
for i in $(seq 1 200); do imgs+=("$work/p.png"); done
img2pdf "${imgs[@]}" -o "$work/p200.pdf"
qpdf --object-streams=disable "$work/p200.pdf" "$work/200.pdf"
qpdf --object-streams=disable --empty --pages $(for i in $(seq 1 10); do echo "$work/200.pdf"; done) -- "$work/2000.pdf"

runs=${RUNS:-5}
once() { local s e; s=$(date +%s.%N); "$@" >/dev/null 2>&1; e=$(date +%s.%N); echo "$e - $s" | bc -l; }
# The fastest of the runs. A split writes into an emptied folder each time,
# so that every run creates its files anew.
secs() {
  local best="" t i
  for i in $(seq 1 "$runs"); do
    rm -rf "$work/ours" "$work/peer"
    mkdir -p "$work/ours" "$work/peer"
    t=$(once "$@")
    if [ -z "$best" ] || [ "$(echo "$t < $best" | bc -l)" = 1 ]; then best=$t; fi
  done
  echo "$best"
}
ratio() { echo "scale=2; $1 / $2" | bc -l; }

t_probe=$(secs "$probe" "$work/2000.pdf")
t_npages=$(secs qpdf --show-npages "$work/2000.pdf")
t_pdfinfo=$(secs pdfinfo "$work/2000.pdf")
echo "load 2000 pages: pdf_probe ${t_probe}s, qpdf --show-npages ${t_npages}s, pdfinfo ${t_pdfinfo}s"
echo "  ratio vs qpdf $(ratio "$t_probe" "$t_npages"), vs pdfinfo $(ratio "$t_probe" "$t_pdfinfo")"

t_split=$(secs "$probe" "$work/200.pdf" --extract-all "$work/ours")
t_qsplit=$(secs qpdf --split-pages "$work/200.pdf" "$work/peer/page-%d.pdf")
echo "split 200 pages: pdf_probe ${t_split}s, qpdf --split-pages ${t_qsplit}s, ratio $(ratio "$t_split" "$t_qsplit")"
