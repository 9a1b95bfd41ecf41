#!/bin/sh
# Runs inside a fresh Debian 12 root booted with systemd as process 1 (scripts/package-boot-test.sh),
# where the package was installed with its Depends alone, and a software TPM on a socket of the
# tss group stands in for /dev/tpmrm0 (test-tpm.conf). Checks the key service as a machine runs
# it: started by the bus through its unit, confined, reaching the TPM through tss, answering a
# person's prompt, ending when idle without dropping a call, and gone after a purge.
set -u
here=/opt/quorvane-test
person=tester
password=$(cat "$here/password")
unit=quorvane-keyd.service
failures=0
pass() { echo "ok    $1"; }
fail() { echo "FAIL  $1"; failures=$((failures + 1)); }
note() { echo "      $1"; }

call() { # call METHOD: the method of the key service, as the person
    runuser -u "$person" -- busctl --system call com.quorvane.KeyService1 \
        /com/quorvane/KeyService1 com.quorvane.KeyService1 "$1" 2>&1
}
main_pid() { systemctl show -p MainPID --value "$unit"; }
# wait_inactive: whether the unit ends within 20 seconds.
wait_inactive() {
    for _ in $(seq 200); do
        [ "$(systemctl show -p ActiveState --value "$unit")" = inactive ] && return 0
        sleep 0.1
    done
    return 1
}

if [ "$(cat "$here/tss-before-install")" = absent ] && id -nG quorvane-keyd | grep -qw tss; then
    pass "the service's user is in tss after an install with Depends alone"
else
    fail "tss before the install: $(cat "$here/tss-before-install"); quorvane-keyd is in: $(id -nG quorvane-keyd)"
fi

# Activation through the unit, as its user, confined.
status=$(call Status)
pid=$(main_pid)
if [ "$status" = 'sbbsu "tpm" false true "" 0' ] && [ "$pid" -gt 0 ]; then
    pass "the bus started $unit (pid $pid), which reaches the TPM: $status"
else
    fail "Status: $status; main pid: $pid"
    journalctl -b -u "$unit" -u quorvane-test-swtpm.service --no-pager | tail -10
fi
if [ "$pid" -gt 0 ]; then
    user=$(stat -c %U "/proc/$pid")
    nnp=$(sed -n 's/^NoNewPrivs:[[:space:]]*//p' "/proc/$pid/status")
    seccomp=$(sed -n 's/^Seccomp:[[:space:]]*//p' "/proc/$pid/status")
    if [ "$user" = quorvane-keyd ] && [ "$nnp" = 1 ] && [ "$seccomp" = 2 ]; then
        pass "runs as $user with NoNewPrivs $nnp and a system-call filter (Seccomp $seccomp)"
    else
        fail "runs as $user, NoNewPrivs $nnp, Seccomp $seccomp"
    fi
    # A process moved into the unit's control group meets its device policy: /dev/net/tun, which
    # root opens outside it (and reads nothing from), is refused inside.
    group=$(systemctl show -p ControlGroup --value "$unit")
    outside=$(head -c1 /dev/net/tun 2>&1)
    inside=$(sh -c 'echo $$ >"/sys/fs/cgroup$1/cgroup.procs" && exec head -c1 /dev/net/tun' sh "$group" 2>&1)
    case "$outside|$inside" in
        *"Operation not permitted"*"|"*) fail "/dev/net/tun is refused outside the unit too: $outside" ;;
        *"|"*"Operation not permitted"*) pass "a device outside the unit's policy is refused ($inside)" ;;
        *) fail "device policy: outside '$outside', inside '$inside'" ;;
    esac
fi
created=$(call CreateKey)
uid=$(id -u "$person")
case "$created" in
    *'"tpm"') [ -f "/var/lib/quorvane-keyd/$uid.tpm" ] && pass "CreateKey made a TPM key" ||
        fail "CreateKey: no /var/lib/quorvane-keyd/$uid.tpm" ;;
    *) fail "CreateKey: $created" ;;
esac

# A person's prompt through polkit and pkttyagent on a terminal.
if out=$(runuser -u "$person" -- env HOME="/home/$person" python3 "$here/presence_round_trip.py" "$password" 2>&1); then
    pass "presence round trip: $out"
else
    fail "presence round trip: $out"
fi

# The idle exit, and the bus starting the unit again.
pid=$(main_pid)
if wait_inactive; then
    again=$(call Status)
    new=$(main_pid)
    if [ "$new" -gt 0 ] && [ "$new" != "$pid" ] && [ "$again" = 'sbbsu "tpm" true true "" 1' ]; then
        pass "ended when idle and started again on the next call"
    else
        fail "after the idle exit: Status $again, pid $pid then $new"
    fi
else
    fail "still $(systemctl show -p ActiveState --value "$unit") 20 s after the last call"
fi

# A call that reaches the service while it gives up its name at the idle exit is answered by the
# ending instance, even though systemd sends it SIGTERM as soon as the name is gone. strace holds
# each message the service sends for 1.5 s, so that its ReleaseName, sent 3 s after the last
# call, is still on its way when the next call arrives half a second later.
for round in 1 2; do
    call Status >/dev/null
    pid=$(main_pid)
    strace -qq -p "$pid" -e trace=sendmsg,writev -e inject=sendmsg,writev:delay_enter=1500000 \
        -o /dev/null &
    tracer=$!
    sleep 3.5
    if call Status >"$here/inflight.out"; then
        pass "round $round: the call in flight at the idle exit was answered"
    else
        fail "round $round: the call in flight at the idle exit: $(cat "$here/inflight.out")"
    fi
    wait "$tracer"
    wait_inactive || true
done

starts=$(journalctl -b -u "$unit" --no-pager | grep -c 'Started')
if journalctl -b --no-pager | grep -q "Couldn't stat"; then
    fail "warnings at start: $(journalctl -b --no-pager | grep "Couldn't stat" | head -3)"
elif [ "$starts" -lt 2 ]; then
    fail "the service started $starts times"
else
    pass "no warning at any of the service's $starts starts"
fi
note "$(systemd-analyze security "$unit" 2>/dev/null | tail -1)"

# Purging stops the running service.
call Status >/dev/null
pid=$(main_pid)
if apt-get purge -y -q quorvane-helper >"$here/purge.out" 2>&1 && [ ! -d "/proc/$pid" ] &&
    [ "$(systemctl show -p ActiveState --value "$unit")" != active ] && [ ! -e /var/lib/quorvane-keyd ]; then
    pass "purge stopped the running service (pid $pid) and removed its state"
else
    fail "purge: $(tail -3 "$here/purge.out"); pid $pid $([ -d "/proc/$pid" ] && echo still runs)"
fi

echo "failures: $failures"
[ "$failures" -eq 0 ]
