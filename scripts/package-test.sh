#!/usr/bin/env bash
# Builds the Debian package (scripts/package.sh, lintian included), makes a fresh minimal Debian 12
# root with mmdebstrap from this machine's own Debian mirror, installs the package there with
# `apt-get install ./<file>.deb` (so apt must find every dependency the package declares), and runs
# tests/packaging/smoke_test.sh inside it. Needs root (mmdebstrap's chroot mode).
# scripts/package-boot-test.sh tries the same package on a root booted with systemd.
#
# Downloaded packages are kept in build-deb/apt-cache/ for the next run. The root is left in
# build-deb/root/ when something fails, to look into, and removed otherwise.
#
# Usage: scripts/package-test.sh
set -euo pipefail
cd "$(dirname "$0")/.."
. scripts/lib/fresh-root.sh
fresh_root_build_package
started=$SECONDS

root="$FRESH_ROOT_OUT/root"
name=$(basename "$deb")
# man-db renders the manual page in the test and dbus runs a system bus that starts the key
# service; they are the test's, not dependencies of the package (dbus is recommended).
# The install leaves recommendations out, so the declared Depends alone must make the helper
# work; a simulated install with them checks that every recommended package exists too.
fresh_root_make "$root" --include=man-db,dbus \
    --customize-hook="copy-in '$deb' tests/packaging/smoke_test.sh /tmp" \
    --customize-hook="chroot \"\$1\" sh -c 'cd /tmp && apt-get install -s -q ./$name >/dev/null'" \
    --customize-hook="chroot \"\$1\" sh -c 'cd /tmp && apt-get install -y -q --no-install-recommends ./$name'" \
    --customize-hook='chroot "$1" sh /tmp/smoke_test.sh'

rm -rf "$root"
echo "package test: root, install and smoke test took $((SECONDS - started)) s"
