#!/usr/bin/env bash
# Tries the Debian package as a machine runs it: a fresh Debian 12 root (as in
# scripts/package-test.sh), the package installed with its Depends alone, booted with systemd as
# process 1 in systemd-nspawn, and tests/packaging/boot/boot_test.sh run there once it is up. A
# software TPM on a socket of the tss group stands in for /dev/tpmrm0. Needs root.
#
# The boot uses cgroup v2 alone and lets systemd load BPF programs, without which a unit's device
# policy is not enforced on this kind of host. A host that cannot boot the root makes the test
# say so and end with status 77 (skipped), or fail under CI=true.
#
# Usage: scripts/package-boot-test.sh [PACKAGE.deb]    (without one, builds it with package.sh)
set -euo pipefail
cd "$(dirname "$0")/.."
. scripts/lib/fresh-root.sh
if [ $# -gt 0 ]; then
    deb=$(realpath "$1")
else
    fresh_root_build_package
fi
started=$SECONDS

cannot_boot() {
    echo "package boot test: this host cannot boot a container: $1" >&2
    if [ "${CI:-}" = true ]; then exit 1; fi
    exit 77
}
[ "$(id -u)" -eq 0 ] || cannot_boot "it needs root"
command -v systemd-nspawn >/dev/null || cannot_boot "systemd-nspawn is not installed (scripts/install-deps.sh)"

root="$FRESH_ROOT_OUT/boot-root"
name=$(basename "$deb")
test=/opt/quorvane-test
# systemd, dbus and polkitd make the booted machine; swtpm, python3 (the terminal driver), strace
# and the person who answers the prompt are the test's. The package comes first and alone, so
# that nothing but its own dependencies can have made the tss group; swtpm only after it.
fresh_root_make "$root" --include=systemd,systemd-sysv,dbus,polkitd,python3 \
    --customize-hook="mkdir -p \"\$1$test\"" \
    --customize-hook="copy-in '$deb' tests/packaging/boot/boot_test.sh tests/packaging/boot/presence_round_trip.py $test" \
    --customize-hook="chroot \"\$1\" sh -c 'getent group tss >/dev/null && echo present || echo absent' >\"\$1$test/tss-before-install\"" \
    --customize-hook="chroot \"\$1\" sh -c 'cd $test && apt-get install -y -q --no-install-recommends ./$name'" \
    --customize-hook='chroot "$1" apt-get install -y -q --no-install-recommends swtpm strace' \
    --customize-hook='mkdir -p "$1"/etc/systemd/system/quorvane-keyd.service.d' \
    --customize-hook='copy-in tests/packaging/boot/test-tpm.conf /etc/systemd/system/quorvane-keyd.service.d' \
    --customize-hook='copy-in tests/packaging/boot/quorvane-test-swtpm.service tests/packaging/boot/quorvane-boot-test.service /etc/systemd/system' \
    --customize-hook='chroot "$1" systemctl enable quorvane-boot-test.service' \
    --customize-hook="chroot \"\$1\" sh -c 'useradd -m tester && echo quorvane-test >$test/password && echo tester:quorvane-test | chpasswd'"

# The container's own name-service module is not installed (scripts/install-deps.sh leaves it
# out), so booting changes nothing on this host; the root is the only thing written.
set +e
SYSTEMD_NSPAWN_UNIFIED_HIERARCHY=1 timeout 900 systemd-nspawn -b -D "$root" --quiet \
    --register=no --keep-unit --private-network --console=passive \
    --capability=CAP_BPF --system-call-filter=bpf >"$FRESH_ROOT_OUT/boot.out" 2>&1
status=$?
set -e
if [ ! -s "$root$test/boot.log" ]; then
    tail -20 "$FRESH_ROOT_OUT/boot.out" >&2
    cannot_boot "the root did not boot to the test (systemd-nspawn status $status)"
fi
cat "$root$test/boot.log"
if [ "$status" -ne 0 ]; then
    echo "package boot test failed (status $status); the root is left in $root" >&2
    exit 1
fi
rm -rf "$root"
echo "package boot test: root, install, boot and test took $((SECONDS - started)) s"
