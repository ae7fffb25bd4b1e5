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

"$root/scripts/install-deps.sh" --bench

cmake -S "$root" -B "$build" -DCMAKE_BUILD_TYPE=Release -DPELORIN_BUILD_TESTS=OFF >/dev/null
cmake --build "$build" --target pelorin pelorin-bench-pagecycles pelorin-bench-bridgerate pelorin-bench-minimal -j"$(nproc)" >/dev/null

work=$(mktemp -d /tmp/pelorin-pagebench.XXXXXX)
trap 'rm -rf "$work"' EXIT
export QTWEBENGINE_DISABLE_SANDBOX=1

# Every process the script starts is a child of the node driver, which ends them by PID.
timeout 600 xvfb-run -a node --experimental-websocket --no-warnings "$here/bench.js" \
    "$build/bin/pelorin" "$build/bin/pelorin-bench-minimal" "$work"

mkdir -p "$work/cycles"
printf '[CONNECT]\nHOST=127.0.0.1\nPORT=0\nURL=\nCRYPTO=\n[UIUX]\nTITLE=Pelorin\nBASESIZE_H=600\nBASESIZE_W=400\n' \
    >"$work/cycles/config.ini"
echo "minimise/restore cycles (this process and its web-engine processes):"
timeout 300 xvfb-run -a "$build/bin/pelorin-bench-pagecycles" "$work/cycles" "${CYCLES:-100}"

echo "the bridge alone, one envelope per event-loop turn, no HTTP:"
timeout 300 xvfb-run -a "$build/bin/pelorin-bench-bridgerate" "$here/page.js" 200000
