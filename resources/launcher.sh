#!/bin/sh
# The packaged `pelorin` command. Pelorin keeps config.ini and assets/ beside its executable,
# and the installed program folder (/opt/pelorin) is read-only, so every user runs a copy in
# a folder of their own: ${XDG_DATA_HOME:-~/.local/share}/pelorin. Each start copies the
# program and its icon there when they differ from the installed ones, so an upgraded package
# takes effect; config.ini and assets/ are never touched.
set -eu
# The program folder lies two levels above this script: /usr/bin/pelorin -> /opt/pelorin.
here=$(dirname "$(readlink -f "$0")")
appdir=$(cd "$here/../../opt/pelorin" && pwd)
userdir="${XDG_DATA_HOME:-${HOME:?HOME is not set}/.local/share}/pelorin"
mkdir -p "$userdir"
for f in pelorin logo.ico; do
    if ! cmp -s "$appdir/$f" "$userdir/$f"; then
        # A new name, then a rename: a copy that is running goes on undisturbed.
        cp "$appdir/$f" "$userdir/.$f.new"
        mv -f "$userdir/.$f.new" "$userdir/$f"
    fi
done
# The window looks for logo.ico in the current folder. Without a display, or as root, the
# program folder's display.sh sees to both.
cd "$userdir"
exec "$appdir/display.sh" ./pelorin "$@"
