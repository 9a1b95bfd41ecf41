#!/bin/sh
# Runs inside a fresh Debian root where the package was installed with apt: the installed helper
# answers in each kind of mode, its files are where the package says, and its manual page renders.
# Plain POSIX sh and coreutils only: the root holds nothing else the package did not bring,
# besides the system bus (the dbus package), which the test installs to start the key service.
set -eu
helper=/usr/bin/quorvane-helper
failures=0
pass() { echo "ok    $1"; }
fail() { echo "FAIL  $1" >&2; failures=$((failures + 1)); }

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
export HOME="$work/home" XDG_DATA_HOME="$work/data"
mkdir -p "$HOME"

# --serve: the ready line, one round trip, and a clean end at end of input.
printf '%s\n' '{"id":1,"cmd":"create_session"}' '{"id":2,"cmd":"shutdown"}' |
    "$helper" --serve >"$work/serve.out" 2>"$work/serve.err" && status=0 || status=$?
if [ "$status" -eq 0 ] && [ "$(sed -n 1p "$work/serve.out")" = '{"ready":true}' ] &&
    sed -n 2p "$work/serve.out" | grep -Eq '^\{"id":1,"ok":true,"sessionId":"[0-9a-f]{32}"\}$' &&
    [ "$(sed -n 3p "$work/serve.out")" = '{"id":2,"ok":true}' ] && [ ! -s "$work/serve.err" ]; then
    pass "--serve: ready line, create_session, shutdown"
else
    fail "--serve (status $status): $(cat "$work/serve.out" "$work/serve.err")"
fi

# Secret round trip; the line feed at the end is part of the secret.
secret='smoke test secret
'
stored=$(printf '%s' "$secret" | "$helper" --secret-store --service smoke --account root) || true
printf '%s' "$secret" >"$work/expected"
"$helper" --secret-load --service smoke --account root >"$work/loaded" 2>"$work/load.err" || true
deleted=$("$helper" --secret-delete --service smoke --account root) || true
"$helper" --secret-load --service smoke --account root >/dev/null 2>"$work/gone.err" && status=0 || status=$?
if [ "$stored" = ok ] && cmp -s "$work/expected" "$work/loaded" && [ "$deleted" = ok ] &&
    [ "$status" -eq 6 ] && grep -qx 'keychain secret missing' "$work/gone.err"; then
    pass "--secret-store, --secret-load, --secret-delete round trip"
else
    fail "secret round trip: store '$stored', load '$(cat "$work/loaded" "$work/load.err")', delete '$deleted', load after delete status $status"
fi

# --check: no bus or polkit here, but it must answer with one of its documented statuses.
"$helper" --check >"$work/check.out" 2>"$work/check.err" && status=0 || status=$?
case "$status" in
    0 | 2 | 3) pass "--check answered with status $status ($(cat "$work/check.out" "$work/check.err"))" ;;
    *) fail "--check ended with status $status" ;;
esac

if [ -f /usr/share/polkit-1/actions/com.quorvane.helper.policy ]; then
    pass "polkit policy installed"
else
    fail "polkit policy missing from /usr/share/polkit-1/actions"
fi
if [ -f /usr/share/doc/quorvane-helper/copyright ] && ls /usr/share/doc/quorvane-helper/protocol.md* >/dev/null 2>&1; then
    pass "documentation installed"
else
    fail "documentation missing from /usr/share/doc/quorvane-helper"
fi

# The manual page, rendered by man-db as a person would read it.
if MANWIDTH=80 man quorvane-helper >"$work/man.out" 2>"$work/man.err" &&
    grep -q 'EXIT STATUS' "$work/man.out" && grep -q 'QUORVANE_TEST_SYSTEM_BUS' "$work/man.out"; then
    pass "man quorvane-helper renders"
else
    fail "man quorvane-helper: $(head -5 "$work/man.err")"
fi

# The key service: a system bus (the test's own, as no init system runs here) starts it on the
# first call, through its activation file, as its own user; its key lands in its state directory.
keyd_state=/var/lib/quorvane-keyd
if [ "$(stat -c '%U %a' "$keyd_state")" = "quorvane-keyd 700" ]; then
    pass "key service user and state directory"
else
    fail "key service state directory: $(stat -c '%U %a' "$keyd_state" 2>&1)"
fi
mkdir -p /run/dbus
dbus-daemon --system --fork --print-pid >"$work/bus.pid"
if dbus-send --system --print-reply --dest=com.quorvane.KeyService1 /com/quorvane/KeyService1 \
    com.quorvane.KeyService1.CreateKey >"$work/create.out" 2>&1 &&
    owner=$(stat -c %U "$keyd_state"/0.* 2>/dev/null) && [ "$owner" = quorvane-keyd ]; then
    pass "the bus started the key service, which made a key ($(grep -o '"[a-z]*"' "$work/create.out"))"
else
    fail "key service activation: $(cat "$work/create.out")"
fi
# Purging stops the running service and takes the keys with it.
keyd_running() {
    for exe in /proc/[0-9]*/exe; do
        case "$(readlink "$exe" 2>/dev/null)" in
            */quorvane-keyd*) pid=${exe#/proc/}; echo "${pid%/exe}" ;;
        esac
    done
}
if apt-get purge -y -q quorvane-helper >"$work/purge.out" 2>&1 && [ ! -e "$keyd_state" ] &&
    [ -z "$(keyd_running)" ]; then
    pass "purge stops the key service and removes its state"
else
    fail "purge: $(tail -5 "$work/purge.out"); state left: $(ls -la "$keyd_state" 2>&1); still running: $(keyd_running)"
fi
# Nothing may outlive the test in the root.
for pid in $(keyd_running); do kill "$pid" 2>/dev/null || true; done
kill "$(cat "$work/bus.pid")"

exit "$failures"
