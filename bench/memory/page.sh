#!/usr/bin/env bash
# Resident memory of Pelorin while it holds messages for a page that never loads: the real
# binary, in an app directory of its own, shows a page on a loopback port where nothing
# listens, and is sent POSTS (1500) POSTs of SIZE (65536) bytes. Prints VmRSS before and after
# and how the POSTs were answered; the target is less than +100 MB (past 64 MiB of held
# messages new requests are refused as busy).
#
#   bench/memory/page.sh [build-dir]      (default build-dir: build)
set -euo pipefail

here=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
root=$(cd "$here/../.." && pwd)
build=${1:-$root/build}
posts=${POSTS:-1500}
size=${SIZE:-65536}

work=$(mktemp -d /tmp/pelorin-pagemem.XXXXXX)
pelorin_pid=""
xvfb_pid=""
cleanup() {
    [[ -n "$pelorin_pid" ]] && kill "$pelorin_pid" 2>/dev/null || true
    [[ -n "$xvfb_pid" ]] && wait "$xvfb_pid" 2>/dev/null || true
    rm -rf "$work"
}
trap cleanup EXIT

free_port() {
    python3 -c 'import socket; s = socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])'
}
port=$(free_port)
nowhere=$(free_port)

# The app directory is the one that holds the executable.
cp "$build/bin/pelorin" "$work/"
printf '[CONNECT]\nHOST=127.0.0.1\nPORT=%s\nURL=http://127.0.0.1:%s/\nCRYPTO=\n[UIUX]\nTITLE=Pelorin\nBASESIZE_H=600\nBASESIZE_W=400\n' \
    "$port" "$nowhere" >"$work/config.ini"

export QTWEBENGINE_DISABLE_SANDBOX=1
xvfb-run -a sh -c 'echo $$ >"$1/pid"; exec "$1/pelorin"' sh "$work" >"$work/log" 2>&1 &
xvfb_pid=$!

rss() { awk '/^VmRSS/ { print $2 }' "/proc/$pelorin_pid/status"; }

for _ in $(seq 100); do
    [[ -s "$work/pid" ]] && curl -s -o /dev/null "http://127.0.0.1:$port/" && break
    sleep 0.2
done
pelorin_pid=$(cat "$work/pid")
# Let the first load fail and the web engine settle.
sleep 3
before=$(rss)

python3 - "$port" "$posts" "$size" <<'PY'
import http.client, sys
port, posts, size = int(sys.argv[1]), int(sys.argv[2]), int(sys.argv[3])
body = (b"0123456789abcdef" * (size // 16 + 1))[:size]
statuses = {}
for _ in range(posts):
    conn = http.client.HTTPConnection("127.0.0.1", port, timeout=30)
    conn.request("POST", "/", body, {"Content-Type": "text/plain"})
    status = conn.getresponse().status
    statuses[status] = statuses.get(status, 0) + 1
    conn.close()
print("  answers:", ", ".join("%d: %d" % kv for kv in sorted(statuses.items())))
PY
sleep 2
after=$(rss)

echo "page that never loads, $posts POSTs of $size bytes:"
echo "  VmRSS before: $((before / 1024)) MB, after: $((after / 1024)) MB, growth: $(((after - before) / 1024)) MB (target: < 100 MB)"
echo "  its warnings:"
grep -E "pelorin.page|Could not load|Refused" "$work/log" | sed 's/^/    /' || true
