#!/usr/bin/env bash
# Runs the README's test command on a fresh Debian 12 root, RUNS times in a row as root and RUNS
# times as a user with sudo, as a new machine would: the root has what a Debian install has
# (mmdebstrap's "important" variant) plus sudo and git, and scripts/test.sh installs the rest
# itself. After every run it checks that nothing the tests started is still running and that
# no test directory is left in /tmp. The root runs in systemd-nspawn, not booted, with /tmp on
# its own disk and CAP_IPC_LOCK, which root has on a real machine and nspawn drops. Needs root
# on the host; leaves nothing behind on it. Takes about 10 minutes for each user's first run
# (packages and a build) and 1 to 2 minutes for each later one; not part of CI.
#
# Usage: scripts/fresh-root-test.sh [RUNS]        (default 5; the clone is of HEAD)
set -euo pipefail
cd "$(dirname "$0")/.."
runs=${1:-5}
[ "$(id -u)" = 0 ] || { echo "fresh-root-test: needs root (mmdebstrap and systemd-nspawn)" >&2; exit 1; }
scripts/install-deps.sh

. scripts/lib/fresh-root.sh
work=$(mktemp -d /var/tmp/quorvane-fresh-root.XXXXXX)
trap 'rm -rf "$work"' EXIT
mkdir "$work/harness" "$work/logs"
fresh_root_sources "$work/debian.sources"
mmdebstrap --variant=important --include=sudo,git bookworm "$work/root" "$work/debian.sources" \
    >"$work/mmdebstrap.log" 2>&1 || { cat "$work/mmdebstrap.log" >&2; exit 1; }
git bundle create "$work/harness/repo.bundle" HEAD >/dev/null 2>&1

cat >"$work/harness/runs.sh" <<'INSIDE'
#!/bin/bash
# Inside the root: the clones, then the runs, one summary line each.
runs=$1
watched='dbus-daemon|gnome-keyring|swtpm|polkitd|fprintd|quorvane-keyd|pkttyagent|quorvane-helper|item_store_tool'
git -c advice.detachedHead=false clone -q /harness/repo.bundle /root/repo
adduser --disabled-password --gecos "" tester >/dev/null
adduser tester sudo >/dev/null
echo "tester ALL=(ALL) NOPASSWD:ALL" >/etc/sudoers.d/tester
su - tester -c 'git -c advice.detachedHead=false clone -q /harness/repo.bundle repo'
for who in root tester; do
    for i in $(seq 1 "$runs"); do
        out=/logs/$who-$i.out
        start=$(date +%s)
        if [ "$who" = root ]; then
            # No locale of the host's: the tests must not need one.
            (cd /root/repo && env -u LANG scripts/test.sh) >"$out" 2>&1 </dev/null
        else
            su - tester -c 'cd repo && scripts/test.sh' >"$out" 2>&1 </dev/null
        fi
        status=$?
        sleep 5
        left=$(ps -eo args | grep -E "$watched" | grep -vc grep)
        dirs=$(ls -d /tmp/quorvane-test-* /tmp/quorvane-polkit-* 2>/dev/null | wc -l)
        result=$(grep -E 'tests passed, [0-9]+ tests failed' "$out" | tail -1)
        printf '%s run %d: status %d, %d s, %d processes and %d directories left | %s\n' \
            "$who" "$i" "$status" "$(($(date +%s) - start))" "$left" "$dirs" "$result" \
            | tee -a /logs/summary
    done
done
INSIDE
chmod +x "$work/harness/runs.sh"

SYSTEMD_NSPAWN_TMPFS_TMP=0 systemd-nspawn -q -D "$work/root" --register=no --keep-unit \
    --as-pid2 --capability=CAP_IPC_LOCK --console=pipe \
    --bind-ro="$work/harness:/harness" --bind="$work/logs:/logs" \
    /harness/runs.sh "$runs" </dev/null || true

failed=$(grep -Ecv ': status 0, [0-9]+ s, 0 processes and 0 directories left' "$work/logs/summary" || true)
total=$(wc -l <"$work/logs/summary")
if [ "$total" != "$((2 * runs))" ] || [ "$failed" != 0 ]; then
    echo "fresh-root-test: $failed of $total runs failed or left something behind (of $((2 * runs)))" >&2
    for log in "$work"/logs/*.out; do
        grep -q '100% tests passed' "$log" || { echo "--- $log" >&2; tail -40 "$log" >&2; }
    done
    exit 1
fi
echo "fresh-root-test: $total runs in a row passed, $runs as root and $runs as a sudo user"
