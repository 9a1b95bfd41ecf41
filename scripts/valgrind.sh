#!/usr/bin/env bash
# Runs the end-to-end tests (tests/e2e: the GoogleTest cases and the interop script) with every
# helper they start under Valgrind's memcheck, and fails when memcheck reports anything: an
# invalid read or write, a use of uninitialised memory, a bad free, or memory definitely or
# indirectly lost at exit. Builds into build-valgrind/ (RelWithDebInfo); while the tests run,
# build-valgrind/quorvane-helper is a wrapper that starts the real binary under memcheck, and it
# is put back afterwards. One log per helper process lands in build-valgrind/memcheck/.
#
# Usage: scripts/valgrind.sh [extra arguments for e2e_tests, e.g. --gtest_filter=Framing*]
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/install-deps.sh
cmake -S . -B build-valgrind -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DQUORVANE_BENCH=OFF >/dev/null
cmake --build build-valgrind --target quorvane-helper e2e_tests

dir="$PWD/build-valgrind"
logs="$dir/memcheck"
rm -rf "$logs"
mkdir -p "$logs"
mv "$dir/quorvane-helper" "$dir/quorvane-helper.real"
restore() { mv -f "$dir/quorvane-helper.real" "$dir/quorvane-helper"; }
trap restore EXIT
cat >"$dir/quorvane-helper" <<WRAPPER
#!/bin/sh
exec valgrind --tool=memcheck --quiet --leak-check=full --show-leak-kinds=definite,indirect \\
    --errors-for-leak-kinds=definite,indirect --log-file="$logs/%p.log" \\
    "$dir/quorvane-helper.real" "\$@"
WRAPPER
chmod +x "$dir/quorvane-helper"

status=0
# memcheck slows the helper some thirty-fold; the tests' own timeouts still hold.
"$dir/tests/e2e_tests" "$@" || status=1
/usr/bin/python3 tests/e2e/interop_test.py "$dir/quorvane-helper" || status=1

helpers=$(find "$logs" -name '*.log' | wc -l)
reports=$(find "$logs" -name '*.log' -size +0 | wc -l)
echo "memcheck: $helpers helper processes, $reports with reports"
if [ "$reports" -ne 0 ]; then
    find "$logs" -name '*.log' -size +0 -exec sh -c 'echo "== $1"; cat "$1"' _ {} \; >&2
    status=1
fi
exit $status
