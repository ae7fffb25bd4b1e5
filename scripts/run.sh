#!/usr/bin/env bash
# Installs what building and running need, builds, and starts Pelorin from its build folder
# (build-qt6/ with PELORIN_QT=6), where it keeps config.ini, assets/ and logo.ico. Without a
# display it runs under Xvfb, so the HTTP server still works on a headless machine. Arguments go
# to Pelorin (try --help).
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD
scripts/install-deps.sh --run
PELORIN_BUILD_TESTS=OFF scripts/build.sh --target pelorin
default_dir=build && [[ ${PELORIN_QT:-5} == 6 ]] && default_dir=build-qt6
cd "${PELORIN_BUILD_DIR:-$default_dir}/bin"

# A [CONNECT] value of config.ini as Pelorin reads it (quotes taken off); empty when unset.
setting() {
    [[ -f config.ini ]] || return 0
    awk -v key="$1" '/^\[/ { section = $0 }
        section == "[CONNECT]" && index($0, key "=") == 1 {
            value = substr($0, length(key) + 2); gsub(/^"|"$/, "", value); print value; exit }' \
        config.ini
}
port=$(setting PORT)
page=$(setting URL)
if [[ -z $page ]]; then
    shopt -s nullglob nocaseglob
    pages=(assets/index.*)
    page=$PWD/${pages[0]:-assets/index.html}
fi
cat <<BANNER
Pelorin listens on http://127.0.0.1:${port:-9977}/
  config: $PWD/config.ini
  page:   $page
  Ctrl+C to stop
BANNER
exec "$root/resources/display.sh" ./pelorin "$@"
