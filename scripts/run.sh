#!/usr/bin/env bash
# Installs what is missing, builds, and starts Pelorin from its build folder (build-qt6/ with
# PELORIN_QT=6), where it keeps config.ini, assets/ and logo.ico. Without a display it runs under
# Xvfb, so the HTTP server still works on a headless machine.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/install-deps.sh
scripts/build.sh --target pelorin
default_dir=build && [[ ${PELORIN_QT:-5} == 6 ]] && default_dir=build-qt6
cd "${PELORIN_BUILD_DIR:-$default_dir}/bin"

# Chromium's sandbox refuses to run as root.
[[ $(id -u) -eq 0 ]] && export QTWEBENGINE_DISABLE_SANDBOX=1

if [[ -z "${DISPLAY:-}" && -z "${WAYLAND_DISPLAY:-}" ]]; then
    echo "No display found: running Pelorin under Xvfb (its server on 127.0.0.1:9977 works as usual)."
    exec xvfb-run -a -s "-screen 0 1280x1100x24" ./pelorin "$@"
fi
exec ./pelorin "$@"
