#!/bin/sh
# Builds the fuzzers with clang and runs them for SECONDS in all: two thirds for the HTTP one on a
# copy of the seed corpus, a third for the page envelope one from nothing.
#   tests/fuzz/run-fuzz.sh [SECONDS] [BUILD_DIR]      (defaults: 60, build-fuzz)
# Exits non-zero when a fuzzer finds a crash; the crashing input is left in BUILD_DIR.
set -eu

seconds=${1:-60}
here=$(cd "$(dirname "$0")" && pwd)
root=$(cd "$here/../.." && pwd)
build=${2:-$root/build-fuzz}

cmake -S "$root" -B "$build" \
    -DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++ \
    -DCMAKE_BUILD_TYPE=RelWithDebInfo \
    -DPELORIN_BUILD_TESTS=OFF -DPELORIN_BUILD_FUZZERS=ON
cmake --build "$build" --target fuzz_http fuzz_envelope -j "$(nproc)"

corpus=$(mktemp -d)
trap 'rm -rf "$corpus"' EXIT
mkdir "$corpus/http" "$corpus/envelope"
cp "$here"/corpus/* "$corpus/http"/

envelopeSeconds=$((seconds / 3 > 0 ? seconds / 3 : 1))
"$build/bin/fuzz_http" -max_total_time=$((seconds - envelopeSeconds)) -max_len=8192 -timeout=20 \
    -print_final_stats=1 -artifact_prefix="$build/" "$corpus/http"
"$build/bin/fuzz_envelope" -max_total_time="$envelopeSeconds" -max_len=4096 -timeout=20 \
    -print_final_stats=1 -artifact_prefix="$build/" "$corpus/envelope"
