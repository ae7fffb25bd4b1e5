#!/bin/sh
# Builds the HTTP fuzzer with clang and runs it for a bounded time on a copy of the seed corpus.
#   tests/fuzz/run-fuzz.sh [SECONDS] [BUILD_DIR]      (defaults: 60, build-fuzz)
# Exits non-zero when the fuzzer finds a crash; the crashing input is left in BUILD_DIR.
set -eu

seconds=${1:-60}
here=$(cd "$(dirname "$0")" && pwd)
root=$(cd "$here/../.." && pwd)
build=${2:-$root/build-fuzz}

cmake -S "$root" -B "$build" \
    -DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++ \
    -DCMAKE_BUILD_TYPE=RelWithDebInfo \
    -DPELORIN_BUILD_TESTS=OFF -DPELORIN_BUILD_FUZZERS=ON
cmake --build "$build" --target fuzz_http -j "$(nproc)"

corpus=$(mktemp -d)
trap 'rm -rf "$corpus"' EXIT
cp "$here"/corpus/* "$corpus"/

"$build/bin/fuzz_http" -max_total_time="$seconds" -max_len=8192 -timeout=20 \
    -print_final_stats=1 -artifact_prefix="$build/" "$corpus"
