#!/usr/bin/env bash
# Installs what is missing, builds, and runs the whole test suite:
#   0. a check that every C++ file follows .clang-format;
#   1. every test (unit, WebEngine and end-to-end) under Xvfb, built against Qt 5 (build/) and
#      against Qt 6 (build-qt6/);
#   2. the tests that need no web engine again, built against each Qt with address and
#      undefined-behaviour sanitizers (build-asan/, build-asan-qt6/);
#   3. the HTTP and page envelope fuzzers for a bounded time (PELORIN_FUZZ_SECONDS in all, 60 by
#      default); their output goes to build-fuzz/fuzz.log, and only their run counts are shown.
# Set PELORIN_QT=5 or PELORIN_QT=6 to build and test against one Qt only.
# Set PELORIN_QUICK=1 to run steps 0 and 1 only.
set -euo pipefail
cd "$(dirname "$0")/.."
qts=${PELORIN_QT:-5 6}
PELORIN_QT=$qts scripts/install-deps.sh

jobs=$(nproc)
export QTWEBENGINE_DISABLE_SANDBOX=1
xvfb=(xvfb-run -a -s "-screen 0 1280x1100x24")
summary=()
passed=0

run_ctest() { # build dir, label, extra ctest args...
    local dir=$1 label=$2 log
    shift 2
    log=$(mktemp)
    set +e
    (cd "$dir" && "${xvfb[@]}" ctest --output-on-failure --timeout 300 "$@") 2>&1 | tee "$log"
    local rc=${PIPESTATUS[0]}
    set -e
    summary+=("$label: $(grep -E 'tests passed|No tests were found' "$log" | tail -n 1)")
    passed=$((passed + $(grep -cE '^ *[0-9]+/[0-9]+ Test +#[0-9]+: .* Passed' "$log" || true)))
    rm -f "$log"
    return "$rc"
}

echo "== Formatting"
# Every C++ file follows .clang-format; `clang-format -i FILE` (or the build's `format` target)
# mends one that does not.
mapfile -t sources < <(git ls-files -- '*.cpp' '*.h')
clang-format --dry-run --Werror "${sources[@]}"
summary+=("formatting: ${#sources[@]} C++ files follow .clang-format")

for qt in $qts; do
    echo "== Build and run every test against Qt $qt"
    dir=build && [[ $qt == 6 ]] && dir=build-qt6
    PELORIN_QT=$qt PELORIN_BUILD_DIR=$dir scripts/build.sh
    run_ctest "$dir" "all tests, Qt $qt" -j"$jobs"
done

if [[ "${PELORIN_QUICK:-}" != 1 ]]; then
    for qt in $qts; do
        echo "== Tests without the web engine, with sanitizers, against Qt $qt"
        dir=build-asan && [[ $qt == 6 ]] && dir=build-asan-qt6
        cmake -S . -B "$dir" -DCMAKE_BUILD_TYPE=Debug -DPELORIN_SANITIZE=ON -DPELORIN_QT="$qt" >/dev/null
        mapfile -t unit_tests < <(cd "$dir" && ctest -N -L unit | sed -n 's/^ *Test *#[0-9]*: //p')
        cmake --build "$dir" -j"$jobs" --target "${unit_tests[@]}"
        run_ctest "$dir" "sanitized unit tests, Qt $qt" -L unit -j"$jobs"
    done

    echo "== HTTP fuzzer"
    seconds=${PELORIN_FUZZ_SECONDS:-60}
    fuzz_log=$PWD/build-fuzz/fuzz.log
    mkdir -p build-fuzz
    if ! tests/fuzz/run-fuzz.sh "$seconds" >"$fuzz_log" 2>&1; then
        tail -n 20 "$fuzz_log"
        echo "The fuzzer failed; its whole output is in $fuzz_log"
        exit 1
    fi
    # libFuzzer ends each run with "Done N runs in S second(s)": the HTTP fuzzer's, then the
    # envelope fuzzer's
    mapfile -t runs < <(grep -E '^Done [0-9]+ runs' "$fuzz_log" | sed 's/^Done //')
    summary+=("fuzzers, $seconds s in all, no crash: HTTP ${runs[0]:-?}; page envelope ${runs[1]:-?}")
fi

echo "== Summary"
printf '  %s\n' "${summary[@]}"
echo "tests: $passed passed, 0 failed"
