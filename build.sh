#!/usr/bin/env bash
# Set-up, build and run, on a fresh Debian machine.
#
#   ./build.sh test     install what is missing, build under the sanitizers, run every test
#   ./build.sh test-release   the same tests in the optimised build
#   ./build.sh sample   install what is missing, build, convert the bundled sample scan
#   ./build.sh fuzz [S] build the libFuzzer targets with clang and run each for S seconds
#   ./build.sh bench    build optimised and run the benchmarks
#   ./build.sh deps     only install what is missing
set -euo pipefail
cd "$(dirname "$0")"
top=$PWD
jobs=$(nproc)

# Debian packages: build, run, and the outside tools the tests use as oracles.
packages=(
  cmake ninja-build g++ clang libclang-rt-14-dev pkg-config
  clang-format  # CI checks every C++ file against .clang-format
  zlib1g-dev libjpeg62-turbo-dev libtiff-dev libfreetype-dev libfontconfig-dev
  googletest libgtest-dev libgmock-dev libbenchmark-dev
  poppler-utils qpdf libtiff-tools netpbm imagemagick img2pdf libjpeg-turbo-progs
  python3 python3-pil fontconfig
  fonts-dejavu-core  # the faces that text measurement is tested on
  python3-fonttools  # reads back the font files the PDF library writes
  bc  # the whole-program comparisons work out their ratios with it
  libxcb1-dev  # the window manager's list of windows, and the display probe
  xvfb openbox  # the desktop the window tests run on
  xdotool x11-utils wmctrl  # oracles of that desktop's windows
  tmux  # a terminal for the tests of what a person types
  time  # and measure peak memory with /usr/bin/time -v
  strace  # and count the system calls of a load
  ghostscript  # a reference line in the converter's comparison (its tiffg4 and tiff24nc devices)
  qt6-base-dev  # the windows on a desktop
  xdg-utils  # xdg-open: the About links, and documents opened by the shell
  fonts-ipafont-gothic  # Japanese captions shown on a desktop
)

install_packages() {
  local missing=()
  for p in "${packages[@]}"; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
  done
  if ((${#missing[@]})); then
    echo "installing: ${missing[*]}"
    local sudo=""
    [ "$(id -u)" = 0 ] || sudo=sudo
    $sudo apt-get update -qq
    DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq --no-install-recommends "${missing[@]}"
  fi
}

configure() {  # configure DIR [cmake args...]
  local dir=$1; shift
  local launcher=()
  # Where ccache is installed, checkouts side by side share their compiled objects.
  if command -v ccache >/dev/null; then
    launcher=(-DCMAKE_CXX_COMPILER_LAUNCHER=ccache -DCMAKE_C_COMPILER_LAUNCHER=ccache)
    export CCACHE_BASEDIR=${CCACHE_BASEDIR:-$(dirname "$top")} CCACHE_NOHASHDIR=1
  fi
  cmake -S "$top" -B "$dir" -G Ninja "${launcher[@]}" "$@" >/dev/null
}

cmd=${1:-test}
case "$cmd" in
  test)
    install_packages
    configure build/test -DCMAKE_BUILD_TYPE=Debug -DCMAKE_CXX_FLAGS_DEBUG="-O1 -g" -DTK_SANITIZE=ON
    cmake --build build/test -j "$jobs"
    export ASAN_OPTIONS=detect_leaks=1:abort_on_error=1
    export UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1
    export LSAN_OPTIONS=suppressions=$top/tests/lsan.supp
    ctest --test-dir build/test --output-on-failure -j "$jobs"
    ;;
  test-release)
    # The optimised build with its tests: the optimiser sees warnings (and
    # undefined behaviour) that the sanitizer build does not.
    install_packages
    configure build/release-test -DCMAKE_BUILD_TYPE=Release
    cmake --build build/release-test -j "$jobs"
    ctest --test-dir build/release-test --output-on-failure -j "$jobs"
    ;;
  sample)
    install_packages
    configure build/release -DCMAKE_BUILD_TYPE=Release -DTK_TESTS=OFF
    cmake --build build/release -j "$jobs"
    exec samples/run-sample.sh build/release/run
    ;;
  fuzz)
    install_packages
    seconds=${2:-20}
    configure build/fuzz -DCMAKE_BUILD_TYPE=RelWithDebInfo -DTK_FUZZ=ON \
      -DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++
    cmake --build build/fuzz -j "$jobs" --target fuzzers
    shopt -s nullglob
    # The targets run side by side, a core each: each keeps its own time.
    fuzz_one() {
      local f=$1 seconds=$2 name work seeds=()
      name=$(basename "$f")
      [ -d "fuzz/seeds/$name" ] && seeds=("fuzz/seeds/$name")
      work=$(mktemp -d)
      if "$f" -max_total_time="$seconds" -max_len=65536 -rss_limit_mb=2048 -timeout=10 \
        -print_final_stats=0 "$work" "${seeds[@]}" 2>"$work.log"; then
        echo "fuzzed $name for ${seconds}s"
        rm -rf "$work" "$work.log"
      else
        echo "fuzz target $name failed:"
        tail -50 "$work.log"
        rm -rf "$work" "$work.log"
        return 1
      fi
    }
    export -f fuzz_one
    targets=()
    for f in build/fuzz/fuzz/*; do [ -f "$f" ] && [ -x "$f" ] && targets+=("$f"); done
    printf '%s\n' "${targets[@]}" | xargs -P "$jobs" -I{} bash -c 'fuzz_one "$1" "$2"' _ {} "$seconds"
    ;;
  bench)
    install_packages
    configure build/release -DCMAKE_BUILD_TYPE=Release -DTK_TESTS=OFF
    cmake --build build/release -j "$jobs"
    shopt -s nullglob
    for b in build/release/bench/*_bench; do "$b"; done
    for s in bench/*/compare.sh; do bash "$s" build/release; done
    ;;
  deps)
    install_packages
    ;;
  *)
    echo "usage: $0 test|test-release|sample|fuzz [seconds]|bench|deps" >&2
    exit 2
    ;;
esac
