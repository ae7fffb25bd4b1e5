#!/usr/bin/env bash
# Builds the .deb and .tar.gz (CPack, build folder $1, its Qt's major version $2) and checks them
# as a user meets them: the .deb declares its Qt's libraries (a Qt 6 one says so in its version),
# ships valid display units and autostart entry (none enabled), and its `pelorin` runs the program
# from the user's folder (a stale copy refreshed, config.ini kept), answers HTTP, exits 0 on
# SIGTERM; the .tar.gz is complete and names its Qt's packages.
set -euo pipefail
work=$(mktemp -d)
pid=""
trap '[[ -n "$pid" ]] && kill "$pid" 2>/dev/null || true; rm -rf "$work"' EXIT
fail() { echo "FAIL: $*"; exit 1; }

(cd "$1" && cpack -G "DEB;TGZ" -B "$work/out" >/dev/null)
listing=$(tar -tzf "$work"/out/pelorin-*.tar.gz | sed 's|^[^/]*/||')
for f in pelorin logo.ico README.md SYSTEM-PACKAGES.txt install-menu-entry.sh \
         examples/dashboard/index.html examples/companion/loadavg.py examples/clients/curl.sh; do
    grep -qx "$f" <<<"$listing" || fail "$f missing from the .tar.gz"
done
deb=$(ls "$work"/out/pelorin_*.deb) && depends=$(dpkg-deb -f "$deb" Depends)
qt=${2:-5} && libs=(libqt5webenginewidgets5 libqt5core5a)
[[ $qt == 6 ]] && libs=(libqt6webenginewidgets6 libqt6core6)
for lib in "${libs[@]}" libhttp-parser2.9; do
    [[ $depends == *"$lib "* ]] || fail "Depends lacks $lib: $depends"
done
version=$(dpkg-deb -f "$deb" Version) && built=5 && [[ $version == *+qt6 ]] && built=6
[[ $built == "$qt" ]] || fail "version $version for a Qt $qt build"
grep -q "${libs[0]}" <(tar -xzOf "$work"/out/pelorin-*.tar.gz --wildcards '*/SYSTEM-PACKAGES.txt') \
    || fail "SYSTEM-PACKAGES.txt lacks ${libs[0]}"
root=$work/root && dpkg-deb -x "$deb" "$root"
grep -qx 'Exec=pelorin' "$root/usr/share/applications/pelorin.desktop" || fail "menu entry"
[[ -s $root/usr/share/icons/hicolor/128x128/apps/pelorin.png ]] || fail "no menu icon"
# The display units (against the extracted launcher) and autostart entry pass their checkers silently.
units=$work/units && mkdir -p "$units"
for unit in pelorin.service pelorin@.service; do
    sed "s|/usr/bin/pelorin|$root/usr/bin/pelorin|" "$root/usr/lib/systemd/user/$unit" >"$units/$unit"
    out=$(XDG_RUNTIME_DIR=$units systemd-analyze verify --user "$units/$unit" 2>&1) && [[ -z $out ]] || fail "$unit: $out"
done
out=$(desktop-file-validate "$root/usr/share/pelorin/pelorin-autostart.desktop" 2>&1) && [[ -z $out ]] || fail "$out"
[[ ! -e $root/etc ]] || fail "the package enables something in /etc"
# The user's folder from an older version: its config.ini (on a free port) and a stale program.
userdir=$work/home/.local/share/pelorin && mkdir -p "$userdir"
port=$(python3 -c 'import socket; s=socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])')
printf '[CONNECT]\nHOST=127.0.0.1\nPORT=%s\n[UIUX]\nTITLE=Mine\nBASESIZE_H=400\nBASESIZE_W=300\n' \
    "$port" | tee "$work/config.before" > "$userdir/config.ini"
printf '#!/bin/sh\nexit 3\n' > "$userdir/pelorin" && chmod +x "$userdir/pelorin"

# No display: the launcher runs Pelorin on an Xvfb of its own, and ends it with Pelorin.
(cd / && exec env -u XDG_DATA_HOME -u DISPLAY -u WAYLAND_DISPLAY HOME="$work/home" \
    QTWEBENGINE_DISABLE_SANDBOX=1 "$root/usr/bin/pelorin" 2>"$work/log") & pid=$!

reply=$(curl -s --max-time 2 --retry 60 --retry-delay 1 --retry-max-time 60 --retry-connrefused \
    "http://127.0.0.1:$port/?from=package" || true)
[[ "$reply" == $'{\n    "status": "OK"\n}' ]] || fail "unexpected reply: $reply"
cmp -s "$root/opt/pelorin/pelorin" "$userdir/pelorin" || fail "the stale program was kept"
cmp -s "$work/config.before" "$userdir/config.ini" || fail "config.ini was changed"
[[ -f $userdir/assets/index.html && -f $userdir/logo.ico ]] || fail "the user's folder is incomplete"

kill -TERM "$pid" && status=0 && wait "$pid" || status=$?
pid="" && [[ $status -eq 0 ]] || fail "exit status $status after SIGTERM"
display=$(sed -n 's/.*Xvfb display of its own (:\([0-9]*\)).*/\1/p' "$work/log")
[[ -n $display && ! -e /tmp/.X11-unix/X$display ]] || fail "Xvfb :$display outlived Pelorin"
