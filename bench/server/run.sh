#!/usr/bin/env bash
# Drives the Pelorin server, nginx (one worker) and a plain Node.js http server with wrk on
# loopback in one run, and prints requests/s, p99 latency and CPU time per request side by
# side with ratios.
#
#   bench/server/run.sh [build-dir]      (default build-dir: build-bench, Release)
#
# Environment: DURATION seconds per wrk run (5), REPEATS per case (3, medians are shown),
# CASES: an extended regular expression the case names must match (all cases).
# With two or more CPUs the servers share CPU 1 and wrk runs on CPU 0, so each server gets
# one core and none competes with the load generator.
set -euo pipefail

here=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
root=$(cd "$here/../.." && pwd)
build=${1:-$root/build-bench}
duration=${DURATION:-5}
repeats=${REPEATS:-3}

"$root/scripts/install-deps.sh" --bench
command -v node >/dev/null || { echo "node not found" >&2; exit 1; }

cmake -S "$root" -B "$build" -DCMAKE_BUILD_TYPE=Release -DPELORIN_BUILD_TESTS=OFF >/dev/null
cmake --build "$build" --target pelorin-bench-server -j"$(nproc)" >/dev/null

work=$(mktemp -d /tmp/pelorin-bench.XXXXXX)
pids=()
cleanup() {
    local pid
    for pid in "${pids[@]}"; do
        kill "$pid" 2>/dev/null || true
    done
    for pid in "${pids[@]}"; do
        wait "$pid" 2>/dev/null || true
    done
    rm -rf "$work"
}
trap cleanup EXIT

serverCpu=()
clientCpu=()
if [[ $(nproc) -ge 2 ]] && command -v taskset >/dev/null; then
    serverCpu=(taskset -c 1)
    clientCpu=(taskset -c 0)
fi

freePort() {
    python3 -c 'import socket; s = socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])'
}

waitForPort() {
    local port=$1 i
    for i in $(seq 100); do
        if (exec 3<>"/dev/tcp/127.0.0.1/$port") 2>/dev/null; then
            return 0
        fi
        sleep 0.05
    done
    echo "nothing listens on 127.0.0.1:$port" >&2
    return 1
}

# --- start the three servers -------------------------------------------------------------
declare -A portOf
portOf[pelorin]=$(freePort)
"${serverCpu[@]}" "$build/bin/pelorin-bench-server" "${portOf[pelorin]}" 2>"$work/pelorin.log" &
pids+=($!)

portOf[nginx]=$(freePort)
mkdir -p "$work/nginx"
sed -e "s|@PREFIX@|$work/nginx|g" -e "s|@PORT@|${portOf[nginx]}|g" \
    "$here/nginx.conf.in" >"$work/nginx/nginx.conf"
"${serverCpu[@]}" nginx -p "$work/nginx" -c "$work/nginx/nginx.conf" -e "$work/nginx/error.log" &
pids+=($!)

portOf[node]=$(freePort)
"${serverCpu[@]}" node "$here/node-server.js" "${portOf[node]}" &
pids+=($!)

servers=(pelorin nginx node)
for s in "${servers[@]}"; do
    waitForPort "${portOf[$s]}"
done

# The three must answer alike, or the comparison means nothing.
for s in "${servers[@]}"; do
    body=$(curl -s "http://127.0.0.1:${portOf[$s]}/?a=1")
    if [[ "$body" != $'{\n    "status": "OK"\n}' ]]; then
        echo "$s answers something else: $body" >&2
        exit 1
    fi
done

# CPU time (clock ticks) used so far by a server and its worker processes: on a shared machine
# the CPU cost of a request is steadier than the requests per second.
declare -A pidOf=([pelorin]=${pids[0]} [nginx]=${pids[1]} [node]=${pids[2]})
cpuTicks() {
    local total=0 p f
    for p in "$1" $(ps -o pid= --ppid "$1"); do
        read -r -a f <"/proc/$p/stat" || continue
        total=$((total + f[13] + f[14]))
    done
    echo "$total"
}
hz=$(getconf CLK_TCK)

# --- drive them --------------------------------------------------------------------------
# case name: method connections extra-header
cases=(
    "GET  1 keep-alive|GET|1|"
    "GET  16 keep-alive|GET|16|"
    "GET  16 close|GET|16|Connection: close"
    "POST 1 keep-alive|POST|1|"
    "POST 16 keep-alive|POST|16|"
    "POST 16 close|POST|16|Connection: close"
)
mapfile -t cases < <(printf '%s\n' "${cases[@]}" | grep -E -- "${CASES:-.}")

toMicroseconds() {
    awk -v v="$1" 'BEGIN {
        n = v + 0
        if (v ~ /us$/) print n; else if (v ~ /ms$/) print n * 1000;
        else if (v ~ /m$/) print n * 60000000; else print n * 1000000 }'
}

declare -A rps p99 errors cpu
for ((r = 1; r <= repeats; r++)); do
    for c in "${cases[@]}"; do
        IFS='|' read -r name method conns header <<<"$c"
        for s in "${servers[@]}"; do
            args=(-t1 -c"$conns" -d"${duration}s" --timeout 2s --latency -s "$here/request.lua")
            [[ -n "$header" ]] && args+=(-H "$header")
            ticks=$(cpuTicks "${pidOf[$s]}")
            out=$(BENCH_METHOD=$method "${clientCpu[@]}" wrk "${args[@]}" \
                "http://127.0.0.1:${portOf[$s]}/?a=1")
            ticks=$(($(cpuTicks "${pidOf[$s]}") - ticks))
            rps[$name,$s]+="$(awk '/^Requests\/sec:/ {print $2}' <<<"$out") "
            cpu[$name,$s]+="$(awk -v t="$ticks" -v hz="$hz" '/ requests in / {
                print t / hz * 1e6 / $1 }' <<<"$out") "
            p99[$name,$s]+="$(toMicroseconds "$(awk '$1 == "99%" {print $2}' <<<"$out")") "
            bad=$(awk '/Non-2xx/ {n += $NF} /Socket errors/ {gsub(",", ""); n += $4 + $6 + $8 + $10}
                       END {print n + 0}' <<<"$out")
            errors[$name,$s]=$((${errors[$name,$s]:-0} + bad))
        done
    done
    echo "round $r of $repeats done" >&2
done

median() {
    tr ' ' '\n' <<<"$1" | grep -v '^$' | sort -g | awk '{v[NR] = $1} END {print v[int((NR + 1) / 2)]}'
}

echo
echo "wrk, ${duration}s per run, median of $repeats; p99 and CPU per request in microseconds;"
echo "x = Pelorin / other for req/s and p99, other / Pelorin for CPU per request"
printf '%-20s %9s %9s %9s %7s %7s | %7s %7s %7s %7s | %6s %6s %6s %7s %7s\n' case "pel req/s" \
    nginx node "x nginx" "x node" "pel p99" nginx node "x nginx" "pel cpu" nginx node \
    "x nginx" "x node"
for c in "${cases[@]}"; do
    name=${c%%|*}
    declare -A m=() l=() u=()
    for s in "${servers[@]}"; do
        m[$s]=$(median "${rps[$name,$s]}")
        l[$s]=$(median "${p99[$name,$s]}")
        u[$s]=$(median "${cpu[$name,$s]}")
    done
    ratio() { awk -v a="$1" -v b="$2" 'BEGIN {print (b > 0 ? a / b : 0)}'; }
    printf '%-20s %9.0f %9.0f %9.0f %7.2f %7.2f | %7.0f %7.0f %7.0f %7.2f | %6.1f %6.1f %6.1f %7.2f %7.2f\n' \
        "$name" "${m[pelorin]}" "${m[nginx]}" "${m[node]}" \
        "$(ratio "${m[pelorin]}" "${m[nginx]}")" "$(ratio "${m[pelorin]}" "${m[node]}")" \
        "${l[pelorin]}" "${l[nginx]}" "${l[node]}" "$(ratio "${l[pelorin]}" "${l[nginx]}")" \
        "${u[pelorin]}" "${u[nginx]}" "${u[node]}" \
        "$(ratio "${u[nginx]}" "${u[pelorin]}")" "$(ratio "${u[node]}" "${u[pelorin]}")"
done
for key in "${!errors[@]}"; do
    if [[ ${errors[$key]} -ne 0 ]]; then
        echo "errors (non-2xx or socket) in ${key/,/ on }: ${errors[$key]}"
    fi
done
