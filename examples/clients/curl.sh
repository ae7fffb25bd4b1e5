#!/bin/sh
# Sends one JSON message to Pelorin with curl and prints Pelorin's reply.
# Usage: curl.sh [port]     (port: $PELORIN_PORT, else 9977; PELORIN_TOKEN when CONNECT/TOKEN
#                            is set)
port=${1:-${PELORIN_PORT:-9977}}
exec curl --silent --show-error --fail \
    ${PELORIN_TOKEN:+-H "Authorization: Bearer $PELORIN_TOKEN"} \
    -H 'Content-Type: application/json' \
    --data '{"source":"curl","text":"hello from curl"}' \
    "http://127.0.0.1:$port/"
