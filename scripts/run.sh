#!/usr/bin/env bash
# Installs what is missing, builds, and starts Pelorin from its build folder, where it keeps
# config.ini, assets/ and logo.ico. Without a display it runs under Xvfb, so the HTTP server
# still works on a headless machine.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/install-deps.sh
scripts/build.sh --target pelorin
cd "${PELORIN_BUILD_DIR:-build}/bin"

# Chromium's sandbox refuses to run as root.
[[ $(id -u) -eq 0 ]] && export QTWEBENGINE_DISABLE_SANDBOX=1

if [[ -z "${DISPLAY:-}" && -z "${WAYLAND_DISPLAY:-}" ]]; then
    echo "No display found: running Pelorin under Xvfb (its server on 127.0.0.1:9977 works as usual)."
    exec xvfb-run -a -s "-screen 0 1280x1100x24" ./pelorin "$@"
fi
exec ./pelorin "$@"
