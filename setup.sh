#!/usr/bin/env bash
# Quarrystone set-up: installs what a fresh Debian 12 machine lacks, builds,
# and then runs the main job or the whole test suite.
#
#   ./setup.sh main   install, build, render the bundled example plan
#   ./setup.sh test   install, build, run every test
set -euo pipefail

here="$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)"
build="${QUARRYSTONE_BUILD:-$here/build}"
mode="${1:-main}"

packages=(
  g++ cmake ninja-build ccache pkg-config git unzip
  qt6-base-dev qt6-base-dev-tools qt6-svg-dev qt6-webengine-dev qt6-webchannel-dev
  qcoro-qt6-dev qtkeychain-qt6-dev libgl-dev libpng-dev zlib1g-dev
  googletest libgmock-dev libbenchmark-dev
  xvfb xauth fonts-noto-cjk fonts-noto-color-emoji gnome-keyring bubblewrap slirp4netns gradle dbus dbus-x11 libsecret-tools locales
  qt6-translations-l10n xdg-utils
  python3 firefox-esr chromium chromium-driver
  clang-14 libclang-rt-14-dev
)

as_root() {
  if [ "$(id -u)" -eq 0 ]; then "$@"; else sudo "$@"; fi
}

install_missing() {
  local missing=()
  for p in "${packages[@]}"; do
    if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed"; then
      missing+=("$p")
    fi
  done
  # The machine image may carry its own Node.js with npm; Debian's nodejs
  # is only for machines without one, and Debian's npm never replaces it.
  if ! command -v npm >/dev/null 2>&1; then
    missing+=(nodejs npm)
  fi
  if [ "${#missing[@]}" -gt 0 ]; then
    echo "installing: ${missing[*]}"
    as_root apt-get update -qq
    as_root env DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends "${missing[@]}"
  fi
}

# Line tables only: backtraces and sanitizer reports still name file and
# line, while the build stays a fifth of its size with full debug
# information (about 6 GB then, more than some CI disks have free).
build_flags=(-G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo "-DCMAKE_CXX_FLAGS_RELWITHDEBINFO=-O2 -g1 -DNDEBUG")
# On the Debian 12 this script is for, the build is clean: a new warning
# fails it. A build on another compiler (cmake by hand) keeps warnings as warnings.
build_flags+=(-DQUARRYSTONE_WERROR=ON)

configure_and_build() {
  cmake -S "$here" -B "$build" "${build_flags[@]}" >/dev/null
  cmake --build "$build"
}

# Mermaid for the browser tests: fetched into the build tree, never committed.
fetch_mermaid() {
  local dir="$build/npm"
  if [ ! -f "$dir/node_modules/mermaid/dist/mermaid.min.js" ]; then
    mkdir -p "$dir"
    (cd "$dir" && npm install --no-audit --no-fund --silent mermaid@10.9.1 >/dev/null)
  fi
}

run_tests() {
  fetch_mermaid
  # The fuzz targets are a clang build of their own, run under the label "fuzz".
  cmake --build "$build" --target fuzz
  export QUARRYSTONE_MERMAID_JS="$build/npm/node_modules/mermaid/dist/mermaid.min.js"
  # Browser tests get a display of their own; keyring tests a session bus.
  # The display never resets: by default it does when its last client goes,
  # and a test starting at that moment loses its connection.
  cd "$build"
  dbus-run-session -- xvfb-run -a -s "-screen 0 1600x1200x24 -noreset" \
    ctest --output-on-failure -j"$(nproc)" --timeout 600
}

# The window tests again, in a build whose undefined behaviour (a member
# read before it was set, say) ends the test at its first report.
run_window_tests_sanitized() {
  local sanitized="$build-ubsan"
  cmake -S "$here" -B "$sanitized" "${build_flags[@]}" \
    -DQUARRYSTONE_UBSAN=ON -DQUARRYSTONE_BENCH=OFF >/dev/null
  cmake --build "$sanitized" --target window_tests
  cd "$sanitized"
  UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 dbus-run-session -- xvfb-run -a -s "-screen 0 1600x1200x24 -noreset" \
    ctest --output-on-failure -j"$(nproc)" --timeout 600 -L '^ui$'
}

run_main() {
  "$build/src/quarrystone" --render "$here/examples/sample-plan"
  echo "index.html: $here/examples/sample-plan/index.html"
}

install_missing
configure_and_build
case "$mode" in
  test) run_tests; run_window_tests_sanitized ;;
  main) run_main ;;
  *) echo "usage: $0 main|test" >&2; exit 64 ;;
esac
