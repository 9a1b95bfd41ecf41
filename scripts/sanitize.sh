#!/usr/bin/env bash
# Builds the helper and every test with AddressSanitizer and UndefinedBehaviorSanitizer into
# build-asan/ and runs the whole test suite there. Every report aborts the reporting process; the
# reports are also written to build-asan/sanitizer-reports/, so one from a helper whose exit no
# test looks at still fails the run, and so does a leak found when a helper exits.
#
# Usage: scripts/sanitize.sh [extra ctest arguments, e.g. -R e2e]
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/install-deps.sh
cmake -S . -B build-asan -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DQUORVANE_SANITIZE=ON \
    -DQUORVANE_BENCH=OFF >/dev/null
cmake --build build-asan

reports="$PWD/build-asan/sanitizer-reports"
rm -rf "$reports"
# World-writable: the process-protection test runs a helper as an unprivileged user.
mkdir -p "$reports"
chmod 1777 "$reports"
# fast_unwind_on_malloc=0: GLib and GIO, loaded at run time for the keyring, are built without
# frame pointers, so the fast unwinder stops inside them and a leak of theirs could neither be
# told from one of ours nor matched by the suppressions file.
export ASAN_OPTIONS="detect_leaks=1:abort_on_error=1:detect_stack_use_after_return=1:strict_string_checks=1:check_initialization_order=1:fast_unwind_on_malloc=0:log_path=$reports/asan"
export UBSAN_OPTIONS="print_stacktrace=1:halt_on_error=1:log_path=$reports/ubsan"
export LSAN_OPTIONS="log_path=$reports/lsan:suppressions=$PWD/scripts/lsan-suppressions.txt:print_suppressions=0"

status=0
ctest --test-dir build-asan --output-on-failure -j"$(nproc)" "$@" || status=1
if [ -n "$(ls -A "$reports")" ]; then
    echo "sanitizer reports:" >&2
    for report in "$reports"/*; do
        echo "== $report" >&2
        cat "$report" >&2
    done
    status=1
fi
exit $status
