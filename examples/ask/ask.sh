#!/bin/sh
# Shows a question with a Yes and a No button in Pelorin's window and waits, at most five
# minutes, for the user's click. Exits 0 for Yes, 1 for No, and 2 when Pelorin cannot be
# reached or answers with an error, which goes to stderr.
# The window must show examples/ask/index.html (copy it to assets/index.html beside the
# pelorin executable, or name it in CONNECT/URL). Needs POSIX sh and curl.
# Usage: ask.sh "Question?" [port]     (port: $PELORIN_PORT, else 9977; PELORIN_TOKEN when
#                                      CONNECT/TOKEN is set)
if [ -z "$1" ]; then
    echo "usage: ask.sh \"Question?\" [port]" >&2
    exit 2
fi
port=${2:-${PELORIN_PORT:-9977}}
auth=
[ -n "$PELORIN_TOKEN" ] && auth="Authorization: Bearer $PELORIN_TOKEN"

# The status code goes on a line of its own after the reply body.
reply=$(printf '%s' "$1" | curl --silent --show-error --max-time 310 \
    -H 'Content-Type: text/plain; charset=utf-8' \
    -H 'Prefer: return=representation, wait=300' \
    ${auth:+-H "$auth"} \
    --data-binary @- --write-out '\n%{http_code}' "http://127.0.0.1:$port/") || {
    echo "ask: Pelorin is not reachable on port $port" >&2
    exit 2
}
status=$(printf '%s\n' "$reply" | tail -n 1)
body=$(printf '%s\n' "$reply" | sed '$d')
case "$status $body" in
"200 true") exit 0 ;;
"200 false") exit 1 ;;
esac
echo "ask: Pelorin answered $status: $body" >&2
exit 2
