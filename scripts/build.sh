#!/usr/bin/env bash
# Configures and builds Pelorin into build/ (or $PELORIN_BUILD_DIR). Extra arguments go to
# the build step, e.g. `scripts/build.sh --target pelorin`; PELORIN_BUILD_TESTS=OFF leaves the
# tests out (and what only they need).
set -euo pipefail
cd "$(dirname "$0")/.."
build_dir=${PELORIN_BUILD_DIR:-build}
cmake -S . -B "$build_dir" -DCMAKE_BUILD_TYPE=RelWithDebInfo \
    -DPELORIN_BUILD_TESTS="${PELORIN_BUILD_TESTS:-ON}" >/dev/null
cmake --build "$build_dir" -j"$(nproc)" "$@"
