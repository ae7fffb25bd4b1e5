#!/usr/bin/env bash
# Page-delivery benchmark: messages per second into the page (PEL_listener and PEL_receive) and
# latency from send to the handler's call, Pelorin against a Node.js SSE server feeding headless
# Chromium, in one run with the same sender; the round trip of requests that wait for the
# page's answer; events/s from the page to a GET /events subscriber; start-up time and idle
# memory beside a bare QWebEngineView program; then the resident memory after minimise/restore
# cycles.
#
#   bench/page/run.sh [build-dir]      (default build-dir: build-bench, Release)
#
# PELORIN_QT names the Qt builds to measure, "5 6" by default: the Qt 5 build goes into
# build-dir, the Qt 6 one into build-dir-qt6, and every figure is printed for each, the two
# side by side at the end with the Chromium each web engine is.
#
# Environment: SENDER of the flood, "wrk" (default: bench/page/post.lua for WRK_SECONDS (3)
# with WRK_THREADS (1)) or "node" (N (20000) messages from the Node.js driver, which on a small
# machine is itself the limit: both receivers then measure about the same); CONNECTIONS (8);
# PACED (5000) messages at RATE (1000) per second for the latency figures, always sent by the
# Node.js driver; ANSWERED (2000) requests waiting for the page's answer at ANSWER_RATE (200)
# per second; EVENTS (20000) events from the page; STARTS (3) start-ups of each program;
# CYCLES (100) minimise/restore cycles.
set -euo pipefail

here=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
root=$(cd "$here/../.." && pwd)
build=${1:-$root/build-bench}
qts=${PELORIN_QT:-5 6}

PELORIN_QT=$qts "$root/scripts/install-deps.sh" --bench

builds=()
for qt in $qts; do
    dir=$build && [[ $qt == 6 ]] && dir=$build-qt6
    cmake -S "$root" -B "$dir" -DCMAKE_BUILD_TYPE=Release -DPELORIN_BUILD_TESTS=OFF -DPELORIN_QT="$qt" >/dev/null
    cmake --build "$dir" --target pelorin pelorin-bench-pagecycles pelorin-bench-bridgerate pelorin-bench-minimal -j"$(nproc)" >/dev/null
    builds+=("qt$qt" "$dir/bin/pelorin" "$dir/bin/pelorin-bench-minimal")
done

work=$(mktemp -d /tmp/pelorin-pagebench.XXXXXX)
trap 'rm -rf "$work"' EXIT
export QTWEBENGINE_DISABLE_SANDBOX=1

# Every process the script starts is a child of the node driver, which ends them by PID.
timeout 900 xvfb-run -a node --experimental-websocket --no-warnings "$here/bench.js" "$work" "${builds[@]}"

mkdir -p "$work/cycles"
printf '[CONNECT]\nHOST=127.0.0.1\nPORT=0\nURL=\nCRYPTO=\n[UIUX]\nTITLE=Pelorin\nBASESIZE_H=600\nBASESIZE_W=400\n' \
    >"$work/cycles/config.ini"
for ((i = 0; i < ${#builds[@]}; i += 3)); do
    bin=$(dirname "${builds[i + 1]}")
    echo "${builds[i]}: minimise/restore cycles (this process and its web-engine processes):"
    timeout 300 xvfb-run -a "$bin/pelorin-bench-pagecycles" "$work/cycles" "${CYCLES:-100}"
    echo "${builds[i]}: the bridge alone, one envelope per event-loop turn, no HTTP:"
    timeout 300 xvfb-run -a "$bin/pelorin-bench-bridgerate" "$here/page.js" 200000
done
