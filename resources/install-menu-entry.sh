#!/bin/sh
# Adds Pelorin to the desktop's application menu, pointing at this folder. Run it again after
# moving the folder. Pelorin keeps config.ini and assets/ in this folder, so it must stay
# writable by you.
set -eu
here=$(cd "$(dirname "$0")" && pwd)
target="${XDG_DATA_HOME:-$HOME/.local/share}/applications"
mkdir -p "$target"
sed -e "s|@DIR@|$here|g" "$here/pelorin.desktop.in" > "$target/pelorin.desktop"
echo "Menu entry written to $target/pelorin.desktop"
