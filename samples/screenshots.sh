#!/usr/bin/env bash
# Takes the README's pictures of the two programs' windows on a desktop of
# their own (Xvfb with openbox), from the programs in the given run folder:
#
#   samples/screenshots.sh build/release/run
#
# The converter is shown in drag mode after converting a copy of the sample
# scan, its file list on a folder of scans; the setup utility as it starts.
# Nothing outside a scratch folder is read or written: settings, registry,
# scanner configuration and window directory all lie in it.
set -euo pipefail
run=$(cd "${1:?run folder}" && pwd)
here=$(cd "$(dirname "$0")" && pwd)
out="$here/screenshots"
mkdir -p "$out"
work=$(mktemp -d)
pids=()
cleanup() {
  for p in "${pids[@]}"; do kill "$p" 2>/dev/null || true; done
  wait 2>/dev/null || true
  rm -rf "$work"
}
trap cleanup EXIT

Xvfb -displayfd 3 -screen 0 1024x768x24 -nolisten tcp 3>"$work/display" >"$work/Xvfb.log" 2>&1 </dev/null &
pids+=($!)
for _ in $(seq 150); do grep -q . "$work/display" && break; sleep 0.1; done
export DISPLAY=:$(head -1 "$work/display")
export HOME=$work/home XDG_CONFIG_HOME=$work/config XDG_CACHE_HOME=$work/cache XDG_DATA_HOME=$work/data
export XDG_RUNTIME_DIR=$work/runtime TK_REGISTRY_DIR=$work/registry
mkdir -p "$HOME" "$XDG_RUNTIME_DIR" && chmod 700 "$XDG_RUNTIME_DIR"
unset TK_HEADLESS
openbox --sm-disable >"$work/openbox.log" 2>&1 </dev/null &
pids+=($!)
for _ in $(seq 150); do xprop -root _NET_SUPPORTING_WM_CHECK 2>/dev/null | grep -q 'window id' && break; sleep 0.1; done

# Waits for a window with exactly this title and saves it with its frame.
shoot() {  # shoot TITLE FILE
  local id=
  for _ in $(seq 300); do
    id=$(wmctrl -l | awk -v t="$1" 'substr($0, length($0) - length(t) + 1) == t { print $1; exit }')
    [ -n "$id" ] && break
    sleep 0.1
  done
  [ -n "$id" ] || { echo "no window \"$1\"" >&2; exit 1; }
  sleep 1.5  # the conversion's last labels, and the window manager's frame
  import-im6.q16 -frame -window "$id" "$2"
  echo "saved $2"
}

# The converter, beside a copy of its run folder's contents.
conv=$work/converter
mkdir -p "$conv/scans"
cp "$run/tarnwick" "$run"/libtkimagekit.so "$conv/"
cp "$here/sample-scan.pdf" "$conv/scans/sample-scan.pdf"
cp "$here/sample-scan.pdf" "$conv/scans/next-scan.pdf"
printf '[Pos]\nTop=40\nLeft=40\n[Mode]\nDD=1\n[PDF]\nPath=%s/scans/\n' "$conv" >"$conv/tarnwick.ini"
(cd "$conv/scans" && exec "$conv/tarnwick" "$conv/scans/sample-scan.pdf") >"$work/tarnwick.log" 2>&1 &
pids+=($!)
shoot "Corvane☆ for Lumoraファイリング" "$out/main-window.png"

cp "$run/pellwick" "$conv/"
(cd "$conv" && exec "$conv/pellwick") >"$work/pellwick.log" 2>&1 &
pids+=($!)
shoot "簡単設定(Tarnwick)" "$out/setup-window.png"
