#!/usr/bin/env bash
# Memory figure for a chatty companion: runs the built pelorin with CRYPTO=/usr/bin/yes (or
# COMPANION) for SECONDS_RUN (30) seconds and prints Pelorin's resident memory (VmRSS) before
# and after. The companion's output is forwarded to Pelorin's stderr, where only its lines are
# counted.
#
#   bench/memory/companion.sh [build-dir]      (default build-dir: build)
set -euo pipefail

here=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
root=$(cd "$here/../.." && pwd)
build=${1:-$root/build}
seconds=${SECONDS_RUN:-30}
companion=${COMPANION:-/usr/bin/yes}

work=$(mktemp -d /tmp/pelorin-companionbench.XXXXXX)
pid=
cleanup() {
    [ -n "$pid" ] && kill "$pid" 2>/dev/null && sleep 2
    rm -rf "$work"
}
trap cleanup EXIT

cp "$build/bin/pelorin" "$work/"
port=$(python3 -c 'import socket; s = socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])')
printf '[CONNECT]\nHOST=127.0.0.1\nPORT=%s\nURL=about:blank\nCRYPTO=%s\n[UIUX]\nTITLE=Pelorin\nBASESIZE_H=600\nBASESIZE_W=400\n' \
    "$port" "$companion" >"$work/config.ini"

export QTWEBENGINE_DISABLE_SANDBOX=1
mkfifo "$work/stderr"
wc -l <"$work/stderr" >"$work/lines" &
counter=$!
# The inner shell writes its own PID, which exec hands to pelorin.
(cd "$work" && xvfb-run -a sh -c 'echo $$ >pelorin.pid; exec ./pelorin 2>stderr' \
    >/dev/null 2>&1 &)
for _ in $(seq 100); do
    [ -s "$work/pelorin.pid" ] && break
    sleep 0.1
done
pid=$(cat "$work/pelorin.pid")

rss() { awk '/^VmRSS/ { print $2 }' "/proc/$pid/status"; }
sleep 3
before=$(rss)
sleep "$seconds"
after=$(rss)
kill "$pid"
pid=
wait "$counter"
echo "companion: $companion for ${seconds}s"
echo "VmRSS before: $((before / 1024)) MiB, after: $((after / 1024)) MiB, growth: $(((after - before) / 1024)) MiB"
echo "lines forwarded to stderr: $(cat "$work/lines")"
