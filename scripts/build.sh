#!/usr/bin/env bash
# Configures and builds Pelorin into build/ (or $PELORIN_BUILD_DIR). Extra arguments go to
# the build step, e.g. `scripts/build.sh --target pelorin`.
set -euo pipefail
cd "$(dirname "$0")/.."
build_dir=${PELORIN_BUILD_DIR:-build}
cmake -S . -B "$build_dir" -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build "$build_dir" -j"$(nproc)" "$@"
