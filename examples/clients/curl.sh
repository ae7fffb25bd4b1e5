#!/bin/sh
# Sends one JSON message to Pelorin with curl and prints Pelorin's reply.
# Usage: curl.sh [port]     (port 9977 by default)
port=${1:-9977}
exec curl --silent --show-error --fail \
    -H 'Content-Type: application/json' \
    --data '{"source":"curl","text":"hello from curl"}' \
    "http://127.0.0.1:$port/"
