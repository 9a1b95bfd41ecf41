#!/usr/bin/env bash
# Reads an ELF executable and fails unless it carries the hardening a distribution gives a
# security tool: position independence (ET_DYN with DF_1_PIE), full RELRO (a GNU_RELRO segment
# and immediate binding), a stack protector (__stack_chk_fail referenced), _FORTIFY_SOURCE (at
# least one checked *_chk function referenced), a stack that is not executable and, on x86-64,
# the IBT and SHSTK feature property. Prints one line per property.
#
# Usage: scripts/check-hardening.sh <executable>
set -euo pipefail
export LC_ALL=C

if [ $# -ne 1 ] || [ ! -f "$1" ]; then
    echo "usage: $0 <executable>" >&2
    exit 2
fi
binary="$1"
if ! header=$(readelf -hW "$binary" 2>/dev/null); then
    echo "$binary: not an ELF file" >&2
    exit 2
fi
dynamic=$(readelf -dW "$binary")
segments=$(readelf -lW "$binary")
notes=$(readelf -nW "$binary")
# Undefined dynamic symbols: the functions the binary takes from its libraries.
imports=$(readelf --dyn-syms -W "$binary" | awk '$7 == "UND" { sub(/@.*/, "", $8); print $8 }')

failures=0
check() {  # check <property> <command...>: the command succeeds when the property holds
    local property="$1"
    shift
    if "$@"; then
        echo "ok       $property"
    else
        echo "MISSING  $property"
        failures=$((failures + 1))
    fi
}

has_pie() {
    grep -Eq '^ *Type: +DYN' <<<"$header" && grep -Eq '\(FLAGS_1\).*\bPIE\b' <<<"$dynamic"
}
has_bind_now() {
    grep -Eq '\(FLAGS\).*\bBIND_NOW\b|\(FLAGS_1\).*\bNOW\b|\(BIND_NOW\)' <<<"$dynamic"
}
has_relro() { grep -Eq '^ *GNU_RELRO ' <<<"$segments"; }
has_canary() { grep -qx '__stack_chk_fail' <<<"$imports"; }
# No `grep -q` at the end of a pipe here: it stops reading at the first match, the grep before it
# may then die of SIGPIPE, and pipefail turns a found match into a failure (seen with the
# sanitizer build, whose long import list keeps the first grep writing).
has_fortify() {
    local checked
    checked=$(grep -Ex '__[a-z0-9_]+_chk' <<<"$imports" | grep -vx '__stack_chk_fail' || true)
    [ -n "$checked" ]
}
# A missing GNU_STACK header means an executable stack to the kernel; its flags must lack E.
has_noexec_stack() { grep -Eq '^ *GNU_STACK( +[^ ]+){5} +RW? +' <<<"$segments"; }
has_cet() {
    local features
    features=$(grep -E 'x86 feature:' <<<"$notes" || true)
    grep -q 'IBT' <<<"$features" && grep -q 'SHSTK' <<<"$features"
}

check "PIE (ET_DYN with DF_1_PIE)" has_pie
check "immediate binding (BIND_NOW)" has_bind_now
check "GNU_RELRO segment" has_relro
check "stack protector (__stack_chk_fail)" has_canary
check "_FORTIFY_SOURCE (*_chk functions)" has_fortify
check "non-executable stack (GNU_STACK without E)" has_noexec_stack
if grep -Eq '^ *Machine: +Advanced Micro Devices X86-64' <<<"$header"; then
    check "IBT and SHSTK property (-fcf-protection)" has_cet
fi

if [ "$failures" -ne 0 ]; then
    echo "$binary: $failures hardening properties missing" >&2
    exit 1
fi
