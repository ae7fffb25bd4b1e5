#!/usr/bin/env bash
# Builds the portable package with CPack, unpacks it into a fresh folder and checks that
# Pelorin runs from there: it writes config.ini and assets/index.html beside itself, answers
# HTTP, and ends with status 0 on SIGTERM.
# Usage: package-runs-elsewhere.sh <build dir>
set -euo pipefail
build=$1
work=$(mktemp -d)
pid=""
cleanup() {
    [[ -n "$pid" ]] && kill "$pid" 2>/dev/null || true
    rm -rf "$work"
}
trap cleanup EXIT

(cd "$build" && cpack -G TGZ -B "$work/out" >/dev/null)
tarball=$(ls "$work"/out/pelorin-*.tar.gz)
mkdir "$work/elsewhere"
tar -xzf "$tarball" -C "$work/elsewhere"
dir=$(ls -d "$work"/elsewhere/pelorin-*)
for f in pelorin logo.ico pelorin.desktop.in install-menu-entry.sh; do
    [[ -e "$dir/$f" ]] || { echo "FAIL: $f missing from the package"; exit 1; }
done

# A free port, so the test runs beside anything else.
port=$(python3 -c 'import socket; s=socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])')
printf '[CONNECT]\nHOST=127.0.0.1\nPORT=%s\n[UIUX]\nTITLE=Pelorin\nBASESIZE_H=400\nBASESIZE_W=300\n' "$port" > "$dir/config.ini"

(cd "$work" && QTWEBENGINE_DISABLE_SANDBOX=1 exec "$dir/pelorin") &
pid=$!

reply=""
for _ in $(seq 1 100); do
    reply=$(curl -s --max-time 2 "http://127.0.0.1:$port/?from=package" || true)
    [[ -n "$reply" ]] && break
    sleep 0.2
done
expected=$'{\n    "status": "OK"\n}'
[[ "$reply" == "$expected" ]] || { echo "FAIL: unexpected reply: $reply"; exit 1; }
[[ -f "$dir/assets/index.html" ]] || { echo "FAIL: no assets/index.html beside the binary"; exit 1; }
[[ $(stat -c %s "$dir/assets/index.html") -eq 130 ]] || { echo "FAIL: default page size"; exit 1; }

kill -TERM "$pid"
status=0
wait "$pid" || status=$?
pid=""
[[ $status -eq 0 ]] || { echo "FAIL: exit status $status after SIGTERM"; exit 1; }
echo "PASS: the package runs from $dir"
