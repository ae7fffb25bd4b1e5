#!/bin/sh
# Runs a command (Pelorin) where it can show a window: on the desktop's display, or without one
# on an Xvfb display of its own, so its HTTP server still works on a headless machine. As root
# it turns Chromium's sandbox off, which refuses to run as root. Used by scripts/run.sh and by
# the packaged `pelorin` launcher.
#
# Xvfb runs in a session of its own, so Ctrl+C reaches the command alone, which ends cleanly;
# Xvfb and its files go afterwards, and the command's exit status is passed on. SIGTERM sent to
# this script is handed on to the command.
set -eu

if [ "$(id -u)" -eq 0 ] && [ -z "${QTWEBENGINE_DISABLE_SANDBOX:-}" ]; then
    echo "Running as root: the web engine's sandbox is off (QTWEBENGINE_DISABLE_SANDBOX=1)." >&2
    export QTWEBENGINE_DISABLE_SANDBOX=1
fi
if [ -n "${DISPLAY:-}" ] || [ -n "${WAYLAND_DISPLAY:-}" ]; then
    exec "$@"
fi
if ! command -v Xvfb >/dev/null || ! command -v xauth >/dev/null; then
    echo "No display found, and Xvfb is not installed: sudo apt-get install xvfb xauth" >&2
    exit 1
fi

n=99
while [ -e "/tmp/.X$n-lock" ] || [ -e "/tmp/.X11-unix/X$n" ]; do
    n=$((n + 1))
done
tmp=$(mktemp -d)
xvfb=""
cleanup() {
    [ -n "$xvfb" ] && kill "$xvfb" 2>/dev/null && wait "$xvfb" 2>/dev/null
    rm -rf "$tmp"
}
trap cleanup EXIT
trap 'exit 130' INT
trap 'exit 143' TERM

export DISPLAY=":$n" XAUTHORITY="$tmp/Xauthority"
touch "$XAUTHORITY"
xauth -q add "$DISPLAY" . "$(od -An -N16 -tx1 /dev/urandom | tr -d ' \n')"
echo "No display found: running on an Xvfb display of its own ($DISPLAY)." >&2
setsid Xvfb "$DISPLAY" -auth "$XAUTHORITY" -nolisten tcp -screen 0 1280x1100x24 \
    >"$tmp/xvfb.log" 2>&1 &
xvfb=$!
tries=0
until [ -e "/tmp/.X11-unix/X$n" ]; do
    tries=$((tries + 1))
    if [ "$tries" -gt 100 ] || ! kill -0 "$xvfb" 2>/dev/null; then
        echo "Xvfb did not start:" >&2
        cat "$tmp/xvfb.log" >&2
        exit 1
    fi
    sleep 0.1
done
# The command runs beside this shell, which waits until it ends and hands on SIGTERM. Ctrl+C
# reaches the command from the terminal already: handed on too, it would come twice.
"$@" &
child=$!
trap : INT
trap 'kill -TERM "$child" 2>/dev/null || :' TERM
while :; do
    status=0
    wait "$child" || status=$?
    kill -0 "$child" 2>/dev/null || break
done
exit "$status"
