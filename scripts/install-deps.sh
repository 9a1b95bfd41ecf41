#!/usr/bin/env bash
# Installs every Debian package that building, testing, benchmarking, fuzzing and packaging need.
# Idempotent: asks apt only when something is missing. When another installation holds the
# package manager's locks, waits for it (up to ten minutes) instead of failing.
set -euo pipefail

packages=(
    build-essential cmake ninja-build pkg-config clang-format
    libssl-dev libsimdjson-dev libsqlite3-dev libsystemd-dev libsecret-1-dev
    libgtest-dev libgmock-dev libbenchmark-dev
    dbus python3 python3-dbusmock python3-cryptography
    libtss2-dev swtpm swtpm-tools tpm2-tools
    polkitd pkexec openssl util-linux
    # The fingerprint test: fprintd (with libfprint's virtual sensor) and its PAM module.
    fprintd libpam-fprintd
    gnome-keyring libsecret-tools
    # Fault injection for the journal-residue test (a sync held open, then a kill).
    strace
    clang-14 libclang-rt-14-dev
    valgrind hyperfine
    # The Debian package and its test in a fresh root (scripts/package.sh, package-test.sh).
    debhelper dpkg-dev lintian mmdebstrap debian-archive-keyring man-db binutils
    # The package test on a booted root (scripts/package-boot-test.sh). Installed without its
    # recommendation libnss-mymachines, which would add itself to this machine's nsswitch.conf.
    systemd-container
)

missing=()
for package in "${packages[@]}"; do
    if ! dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q 'install ok installed'; then
        missing+=("$package")
    fi
done

if [ ${#missing[@]} -eq 0 ]; then
    exit 0
fi

sudo_prefix=()
if [ "$(id -u)" -ne 0 ]; then
    sudo_prefix=(sudo)
fi
export DEBIAN_FRONTEND=noninteractive
lock_timeout=600

# apt-get install waits on dpkg's locks when told to (DPkg::Lock::Timeout); apt-get update does
# not wait on the lists lock, and apt takes that with fcntl, which flock(1) cannot test: so an
# update that fails on a lock is retried until the same timeout.
update_waiting_for_lock() {
    local waited=0 log
    log=$(mktemp)
    until "${sudo_prefix[@]}" apt-get -o DPkg::Lock::Timeout="$lock_timeout" update -q 2>"$log"; do
        if ! grep -q 'Could not get lock\|Unable to lock' "$log" || [ "$waited" -ge "$lock_timeout" ]; then
            cat "$log" >&2
            rm -f "$log"
            return 1
        fi
        [ "$waited" -eq 0 ] && echo "waiting for another apt to release its lock" >&2
        sleep 5
        waited=$((waited + 5))
    done
    cat "$log" >&2
    rm -f "$log"
}

update_waiting_for_lock
"${sudo_prefix[@]}" apt-get -o DPkg::Lock::Timeout="$lock_timeout" install -y -q \
    --no-install-recommends "${missing[@]}"
