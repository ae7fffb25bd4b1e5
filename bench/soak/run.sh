#!/usr/bin/env bash
# Soak benchmark: MINUTES (default 10) of mixed traffic into a page whose PEL_listener takes
# about 1 ms per message, with reloads through DevTools and one renderer kill (see soak.js).
#
#   bench/soak/run.sh [minutes] [build-dir]      (default build-dir: build-bench, Release)
#
# PELORIN_QT=6 soaks the Qt 6 build (default build-dir: build-bench-qt6).
set -euo pipefail

here=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
root=$(cd "$here/../.." && pwd)
minutes=${1:-10}
qt=${PELORIN_QT:-5}
default_build=$root/build-bench && [[ $qt == 6 ]] && default_build=$root/build-bench-qt6
build=${2:-$default_build}

PELORIN_QT=$qt "$root/scripts/install-deps.sh" --bench

cmake -S "$root" -B "$build" -DCMAKE_BUILD_TYPE=Release -DPELORIN_BUILD_TESTS=OFF -DPELORIN_QT="$qt" >/dev/null
cmake --build "$build" --target pelorin -j"$(nproc)" >/dev/null

work=$(mktemp -d /tmp/pelorin-soak.XXXXXX)
trap 'rm -rf "$work"' EXIT
export QTWEBENGINE_DISABLE_SANDBOX=1

# Pelorin is a child of the node driver, which ends it by PID; the whole run is bounded.
timeout $((minutes * 60 + 300)) xvfb-run -a node --experimental-websocket --no-warnings \
    "$here/soak.js" "$build/bin/pelorin" "$work" "$minutes"
