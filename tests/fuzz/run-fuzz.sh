#!/bin/sh
# Builds the fuzzers with clang and runs them for SECONDS in all: two thirds for the HTTP one on a
# copy of the seed corpus, a third for the page envelope one from nothing. Exits non-zero on a
# crash, whose input is left in BUILD_DIR.   tests/fuzz/run-fuzz.sh [SECONDS=60] [BUILD_DIR]
set -eu
seconds=${1:-60}
here=$(cd "$(dirname "$0")" && pwd)
build=${2:-$here/../../build-fuzz}
cmake -S "$here/../.." -B "$build" -DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++ \
    -DCMAKE_BUILD_TYPE=RelWithDebInfo -DPELORIN_BUILD_TESTS=OFF -DPELORIN_BUILD_FUZZERS=ON
cmake --build "$build" --target fuzz_http fuzz_envelope -j "$(nproc)"
corpus=$(mktemp -d) && trap 'rm -rf "$corpus"' EXIT
mkdir "$corpus/http" "$corpus/envelope" && cp "$here"/corpus/* "$corpus/http"/
third=$((seconds / 3 > 0 ? seconds / 3 : 1))
"$build/bin/fuzz_http" -max_total_time=$((seconds - third)) -max_len=8192 -timeout=20 \
    -print_final_stats=1 -artifact_prefix="$build/" "$corpus/http"
"$build/bin/fuzz_envelope" -max_total_time="$third" -max_len=4096 -timeout=20 \
    -print_final_stats=1 -artifact_prefix="$build/" "$corpus/envelope"
