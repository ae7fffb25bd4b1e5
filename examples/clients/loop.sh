#!/bin/sh
# Sends a numbered message to Pelorin every second, COUNT times (0: until interrupted), and
# prints each reply. Only POSIX sh, date and curl are needed.
# Usage: loop.sh [port] [count] [seconds between messages]     ($PELORIN_PORT or 9977, 10 and 1
# by default; PELORIN_TOKEN when CONNECT/TOKEN is set)
port=${1:-${PELORIN_PORT:-9977}}
count=${2:-10}
pause=${3:-1}
n=1
while [ "$count" -eq 0 ] || [ "$n" -le "$count" ]; do
    curl --silent --show-error --fail -H 'Content-Type: application/json' \
        ${PELORIN_TOKEN:+-H "Authorization: Bearer $PELORIN_TOKEN"} \
        --data "{\"source\":\"loop\",\"n\":$n,\"time\":\"$(date +%T)\"}" \
        "http://127.0.0.1:$port/" || exit 1
    n=$((n + 1))
    if [ "$count" -eq 0 ] || [ "$n" -le "$count" ]; then
        sleep "$pause"
    fi
done
