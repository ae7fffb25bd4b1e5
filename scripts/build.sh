#!/usr/bin/env bash
# Configures and builds Pelorin against Qt 5 into build/, or with PELORIN_QT=6 against Qt 6 into
# build-qt6/ ($PELORIN_BUILD_DIR overrides either). Extra arguments go to the build step, e.g.
# `scripts/build.sh --target pelorin`; PELORIN_BUILD_TESTS=OFF leaves the tests out (and what
# only they need).
set -euo pipefail
cd "$(dirname "$0")/.."
qt=${PELORIN_QT:-5}
default_dir=build && [[ $qt == 6 ]] && default_dir=build-qt6
build_dir=${PELORIN_BUILD_DIR:-$default_dir}
cmake -S . -B "$build_dir" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DPELORIN_QT="$qt" \
    -DPELORIN_BUILD_TESTS="${PELORIN_BUILD_TESTS:-ON}" >/dev/null
cmake --build "$build_dir" -j"$(nproc)" "$@"
