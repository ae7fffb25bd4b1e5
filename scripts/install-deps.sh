#!/usr/bin/env bash
# Installs the Debian packages Pelorin needs to build, run, test and package (dpkg-dev and
# file let CPack find the .deb's dependencies; openbox is the window manager of the kiosk test,
# systemd and desktop-file-utils check the display units and autostart entry).
#   scripts/install-deps.sh          build, run and test with Qt 5
#   scripts/install-deps.sh --bench  also what the benchmarks drive (wrk, nginx)
# PELORIN_QT picks the Qt: 5 (the default), 6, or "5 6" for both.
set -euo pipefail

packages=(
    cmake make g++ pkg-config dpkg-dev file libhttp-parser-dev
    xvfb xauth curl python3 nodejs
    clang clang-format libclang-rt-14-dev
    mosquitto mosquitto-clients procps chromium
    openbox x11-utils systemd desktop-file-utils
)
for qt in ${PELORIN_QT:-5}; do
    case $qt in
    5) packages+=(qtbase5-dev qtwebengine5-dev libqt5webchannel5-dev libqt5websockets5-dev) ;;
    6) packages+=(qt6-base-dev qt6-webengine-dev qt6-webchannel-dev qt6-websockets-dev
                  libqt6webenginecore6-bin) ;;
    *) echo "PELORIN_QT must name 5, 6 or both, not '$qt'" >&2; exit 2 ;;
    esac
done
if [[ "${1:-}" == "--bench" ]]; then
    packages+=(wrk nginx-light)
fi

missing=()
for p in "${packages[@]}"; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
[[ ${#missing[@]} -eq 0 ]] && exit 0

echo "Installing: ${missing[*]}"
sudo=""
[[ $(id -u) -ne 0 ]] && sudo="sudo"
export DEBIAN_FRONTEND=noninteractive
$sudo apt-get update -qq
$sudo apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
