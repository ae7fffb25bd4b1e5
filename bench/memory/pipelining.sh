#!/usr/bin/env bash
# Memory figure, not a test: runs the built Pelorin under Xvfb in a temporary app directory
# with its own port, lets a client pipeline GET requests at it for a while without ever
# reading a reply, and prints Pelorin's resident memory before and after. The server stops
# reading a client whose replies pile up, so the growth should stay far below 100 MB.
#
#   bench/memory/pipelining.sh [build-dir]      (default: build; build it first)
#
# Environment: DURATION seconds of pipelining (60).
set -euo pipefail

here=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
root=$(cd "$here/../.." && pwd)
build=${1:-$root/build}
duration=${DURATION:-60}
[[ -x $build/bin/pelorin ]] || { echo "no $build/bin/pelorin: build it first" >&2; exit 1; }

work=$(mktemp -d /tmp/pelorin-memory.XXXXXX)
runner=
cleanup() {
    # only the xvfb-run started here, which takes Pelorin and Xvfb with it
    if [[ -n $runner ]]; then
        kill "$runner" 2>/dev/null || true
        wait "$runner" 2>/dev/null || true
    fi
    rm -rf "$work"
}
trap cleanup EXIT

port=$(python3 -c 'import socket; s = socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])')
cp "$build/bin/pelorin" "$work/"
printf '[CONNECT]\nHOST=127.0.0.1\nPORT=%s\n[UIUX]\nTITLE=memory\nBASESIZE_H=400\nBASESIZE_W=300\n' \
    "$port" >"$work/config.ini"
[[ $(id -u) -eq 0 ]] && export QTWEBENGINE_DISABLE_SANDBOX=1

# The shell writes its PID and becomes Pelorin, so the PID is Pelorin's own.
xvfb-run -a -s "-screen 0 1024x768x24" \
    sh -c 'echo $$ >"$1/pid"; cd "$1" && exec ./pelorin' sh "$work" >"$work/log" 2>&1 &
runner=$!

for _ in $(seq 200); do
    if [[ -s $work/pid ]] && (exec 3<>"/dev/tcp/127.0.0.1/$port") 2>/dev/null; then
        break
    fi
    sleep 0.1
done
pid=$(cat "$work/pid")
sleep 3 # let the page load
before=$(awk '$1 == "VmRSS:" { print $2 }' "/proc/$pid/status")

# One connection, GETs as fast as the server takes them, no reply ever read; the memory is
# read while that connection is still open.
read -r sent after peak < <(python3 - "$port" "$duration" "$pid" <<'PY'
import socket, sys, time
port, duration, pid = int(sys.argv[1]), float(sys.argv[2]), sys.argv[3]
s = socket.create_connection(("127.0.0.1", port))
s.settimeout(0.5)
batch = b"GET /?n=1 HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n" * 1000
sent = 0
deadline = time.monotonic() + duration
while time.monotonic() < deadline:
    try:
        sent += s.send(batch)
    except socket.timeout:
        pass
status = dict(line.split(":", 1) for line in open("/proc/%s/status" % pid))
print(sent, status["VmRSS"].split()[0], status["VmHWM"].split()[0])
PY
)

echo "pipelined for ${duration} s: $((sent / 1024 / 1024)) MiB of GET requests sent, no reply read"
echo "Pelorin VmRSS before: $((before / 1024)) MiB, after: $((after / 1024)) MiB," \
    "growth: $(((after - before) / 1024)) MiB (peak VmHWM $((peak / 1024)) MiB)"
