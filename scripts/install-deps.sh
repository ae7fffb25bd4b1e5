#!/usr/bin/env bash
# Installs the Debian packages Pelorin needs, showing what it installs:
#   scripts/install-deps.sh --run    what building and running need, and the walk-through's
#                                    companion and clients (python3, curl)
#   scripts/install-deps.sh          also what the tests, the fuzzer and packaging need
#                                    (dpkg-dev and file let CPack find the .deb's dependencies;
#                                    openbox is the window manager of the kiosk test, systemd
#                                    and desktop-file-utils check the display units and
#                                    autostart entry)
#   scripts/install-deps.sh --bench  also what the benchmarks drive (wrk, nginx)
# PELORIN_QT picks the Qt: 5 (the default), 6, or "5 6" for both.
set -euo pipefail

packages=(cmake make g++ pkg-config libhttp-parser-dev xvfb xauth curl python3)
tests=no
[[ "${1:-}" != "--run" ]] && tests=yes
if [[ $tests == yes ]]; then
    packages+=(dpkg-dev file nodejs clang clang-format libclang-rt-14-dev
               mosquitto mosquitto-clients procps chromium
               openbox x11-utils systemd desktop-file-utils)
fi
for qt in ${PELORIN_QT:-5}; do
    case $qt in
    5) packages+=(qtbase5-dev qtwebengine5-dev libqt5webchannel5-dev)
       [[ $tests == yes ]] && packages+=(libqt5websockets5-dev) ;;
    6) packages+=(qt6-base-dev qt6-webengine-dev qt6-webchannel-dev libqt6webenginecore6-bin)
       [[ $tests == yes ]] && packages+=(qt6-websockets-dev) ;;
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

echo "Installing with apt-get: ${missing[*]}"
sudo=""
[[ $(id -u) -ne 0 ]] && sudo="sudo"
export DEBIAN_FRONTEND=noninteractive
$sudo apt-get update
$sudo apt-get install -y --no-install-recommends "${missing[@]}"
