#!/usr/bin/env bash
# `cmake --install` of a built tree, under several prefixes: the helper, its manual page and its
# documents follow the prefix, while the polkit policy always lands in /usr/share/polkit-1/actions,
# the only directory polkitd reads (under /usr/local/share it would silently never be seen).
#
# Usage: tests/packaging/install_layout_test.sh <build directory>
set -euo pipefail
build="$1"
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
policy=usr/share/polkit-1/actions/com.quorvane.helper.policy

failed=0
# prefix as given to --install ("" for the configured default) | where it puts the helper
for entry in "|usr/local" "/usr|usr" "/opt/quorvane|opt/quorvane"; do
    IFS='|' read -r prefix expected <<<"$entry"
    root="$work/root${prefix//\//_}"
    arguments=()
    [ -n "$prefix" ] && arguments=(--prefix "$prefix")
    DESTDIR="$root" cmake --install "$build" "${arguments[@]}" >/dev/null
    for file in "$expected/bin/quorvane-helper" "$expected/share/man/man1/quorvane-helper.1" \
        "$expected/share/doc/quorvane-helper/protocol.md" "$policy"; do
        if [ ! -f "$root/$file" ]; then
            echo "FAIL prefix '${prefix:-default}': /$file not installed"
            failed=1
        fi
    done
    stray=$(find "$root" -name com.quorvane.helper.policy ! -path "$root/$policy")
    if [ -n "$stray" ]; then
        echo "FAIL prefix '${prefix:-default}': the policy also went to ${stray#"$root"}"
        failed=1
    fi
    echo "done prefix '${prefix:-default}'"
done
exit $failed
