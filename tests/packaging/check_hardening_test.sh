#!/usr/bin/env bash
# scripts/check-hardening.sh against small programs built with every protection but one: each
# must fail naming exactly the protection taken away, and the fully hardened one must pass. This
# is what keeps the checker from passing a binary that lost a protection.
#
# Usage: tests/packaging/check_hardening_test.sh <C++ compiler> <scripts/check-hardening.sh>
set -euo pipefail
compiler="$1"
checker="$2"
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

# A local array makes -fstack-protector-strong place a canary. Writes into it whose length the
# compiler cannot bound make _FORTIFY_SOURCE call checked functions: GCC turns the snprintf into
# __snprintf_chk, clang the memcpy into __memcpy_chk. The probes are only read, never run.
cat >"$work/probe.cpp" <<'PROBE'
#include <cstdio>
#include <cstring>
int main(int argc, char** argv) {
    char buffer[32] = {};
    std::snprintf(buffer, sizeof buffer, "%s %d", argv[0], argc);
    std::memcpy(buffer, argv[0], std::strlen(argv[0]) % sizeof buffer);
    return std::puts(buffer) < 0;
}
PROBE

x86_64=false
case "$("$compiler" -dumpmachine)" in x86_64-*) x86_64=true ;; esac
# The flags cmake/hardening.cmake gives every target.
hardened=(-O2 -fPIE -pie -fstack-protector-strong -D_FORTIFY_SOURCE=2 -Wl,-z,relro -Wl,-z,now
          -Wl,-z,noexecstack)
if $x86_64; then
    hardened+=(-fcf-protection=full -Wl,-z,ibt -Wl,-z,shstk)
fi

# name | flags taken out of the hardened set | flags added | the one property reported missing
cases=(
    "hardened|||"
    "no PIE|-fPIE -pie|-no-pie|PIE"
    "lazy binding|-Wl,-z,now|-Wl,-z,lazy|immediate binding"
    "no RELRO|-Wl,-z,relro|-Wl,-z,norelro|GNU_RELRO"
    "no stack protector|-fstack-protector-strong|-fno-stack-protector|stack protector"
    "no FORTIFY|-D_FORTIFY_SOURCE=2|-U_FORTIFY_SOURCE|_FORTIFY_SOURCE"
    "executable stack|-Wl,-z,noexecstack|-Wl,-z,execstack|non-executable stack"
)
if $x86_64; then
    cases+=("no CET|-fcf-protection=full -Wl,-z,ibt -Wl,-z,shstk|-fcf-protection=none|IBT and SHSTK")
fi

failed=0
for entry in "${cases[@]}"; do
    IFS='|' read -r name removed added expected <<<"$entry"
    flags=()
    for flag in "${hardened[@]}"; do
        [[ " $removed " == *" $flag "* ]] || flags+=("$flag")
    done
    read -r -a added_flags <<<"$added"
    binary="$work/probe-${name// /-}"
    "$compiler" "${flags[@]}" "${added_flags[@]}" "$work/probe.cpp" -o "$binary" 2>"$work/cc.log" || {
        echo "FAIL $name: the probe did not build"; cat "$work/cc.log"; failed=1; continue
    }
    status=0
    output=$("$checker" "$binary" 2>&1) || status=$?
    missing=$(grep '^MISSING' <<<"$output" || true)
    if [ -z "$expected" ]; then
        if [ "$status" -ne 0 ] || [ -n "$missing" ]; then
            echo "FAIL $name: expected a pass, got status $status"; echo "$output"; failed=1
        fi
    elif [ "$status" -ne 1 ] || [ "$(wc -l <<<"$missing")" -ne 1 ] || ! grep -qF "$expected" <<<"$missing"; then
        echo "FAIL $name: expected status 1 and only \"$expected\" missing, got status $status"
        echo "$output"
        failed=1
    fi
    echo "done $name"
done
exit $failed
