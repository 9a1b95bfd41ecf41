#!/usr/bin/env bash
# Builds the libFuzzer targets with clang 14, AddressSanitizer and UndefinedBehaviorSanitizer into
# build-fuzz/ and runs each for a bounded time, starting from the committed seeds in
# fuzz/corpus/<target>/ plus whatever earlier runs added under build-fuzz/corpus/<target>/.
# A crash, a sanitizer report, a leak or a hang (an input running over 10 s) fails the script;
# the input that caused it is kept under build-fuzz/findings/<target>/ to rerun with
# `build-fuzz/fuzz/fuzz_<target> <file>`.
#
# Usage: scripts/fuzz.sh [seconds per target, default 30] [target ...]
#        (targets: request_line json_differential hex base64 wrap_salt arguments; all by default)
set -euo pipefail
cd "$(dirname "$0")/.."
seconds="${1:-30}"
shift $(( $# > 0 ? 1 : 0 ))
targets=("$@")
if [ ${#targets[@]} -eq 0 ]; then
    targets=(request_line json_differential hex base64 wrap_salt arguments)
fi

scripts/install-deps.sh
cmake -S . -B build-fuzz -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DCMAKE_CXX_COMPILER=clang++-14 \
    -DQUORVANE_FUZZ=ON -DQUORVANE_SANITIZE=ON -DQUORVANE_TESTS=OFF -DQUORVANE_BENCH=OFF >/dev/null
cmake --build build-fuzz --target fuzzers

export ASAN_OPTIONS="detect_leaks=1:abort_on_error=1:detect_stack_use_after_return=1:strict_string_checks=1"
export UBSAN_OPTIONS="print_stacktrace=1:halt_on_error=1"
status=0
for target in "${targets[@]}"; do
    corpus="build-fuzz/corpus/$target"
    findings="build-fuzz/findings/$target"
    mkdir -p "$corpus" "$findings"
    dictionary=()
    if [ -f "fuzz/$target.dict" ]; then
        dictionary=(-dict="fuzz/$target.dict")
    fi
    log="build-fuzz/findings/$target.log"
    echo "fuzz_$target: ${seconds}s"
    if build-fuzz/fuzz/"fuzz_$target" -max_total_time="$seconds" -timeout=10 -max_len=16384 \
        -print_final_stats=1 -artifact_prefix="$findings/" "${dictionary[@]}" \
        "$corpus" "fuzz/corpus/$target" >"$log" 2>&1; then
        grep -E '^stat::(number_of_executed_units|average_exec_per_sec|peak_rss_mb)' "$log" | sed 's/^/    /'
    else
        echo "fuzz_$target FAILED; its report:" >&2
        grep -v '^#' "$log" | tail -60 >&2
        status=1
    fi
done
exit $status
