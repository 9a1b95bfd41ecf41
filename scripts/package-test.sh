#!/usr/bin/env bash
# Builds the Debian package (scripts/package.sh, lintian included), makes a fresh minimal Debian 12
# root with mmdebstrap from this machine's own Debian mirror, installs the package there with
# `apt-get install ./<file>.deb` (so apt must find every dependency the package declares), and runs
# tests/packaging/smoke_test.sh inside it. Needs root (mmdebstrap's chroot mode).
#
# Downloaded packages are kept in build-deb/apt-cache/ for the next run. The root is left in
# build-deb/root/ when something fails, to look into, and removed otherwise.
#
# Usage: scripts/package-test.sh
set -euo pipefail
cd "$(dirname "$0")/.."
out="$PWD/build-deb"
mkdir -p "$out"
scripts/package.sh | tee "$out/package.out"
deb=$(tail -1 "$out/package.out")
started=$SECONDS

root="$out/root"
cache="$out/apt-cache"
rm -rf "$root"
mkdir -p "$cache"

# The Debian entries of this machine's apt sources (one-line and deb822 alike), and nothing of
# third-party repositories that the root could not reach.
sources="$out/debian.sources"
: >"$sources"
for file in /etc/apt/sources.list /etc/apt/sources.list.d/*.list /etc/apt/sources.list.d/*.sources; do
    [ -f "$file" ] || continue
    case "$file" in
        *.sources) awk -v RS= -v ORS='\n\n' '/(^|\n)URIs:[^\n]*\/debian/' "$file" >>"$sources" ;;
        *) grep -E '^deb .*/debian' "$file" >>"$sources" || true ;;
    esac
done
if [ ! -s "$sources" ]; then
    echo "no Debian mirror found in /etc/apt/sources.list*" >&2
    exit 1
fi

name=$(basename "$deb")
# man-db renders the manual page in the test and dbus runs a system bus that starts the key
# service; they are the test's, not dependencies of the package (dbus is recommended).
# The install leaves recommendations out, so the declared Depends alone must make the helper
# work; a simulated install with them checks that every recommended package exists too.
mmdebstrap --variant=apt --include=man-db,dbus --skip=essential/unlink \
    --setup-hook='mkdir -p "$1"/var/cache/apt/archives/' \
    --setup-hook="sync-in '$cache' /var/cache/apt/archives/" \
    --customize-hook="copy-in '$deb' tests/packaging/smoke_test.sh /tmp" \
    --customize-hook="chroot \"\$1\" sh -c 'cd /tmp && apt-get install -s -q ./$name >/dev/null'" \
    --customize-hook="chroot \"\$1\" sh -c 'cd /tmp && apt-get install -y -q --no-install-recommends ./$name'" \
    --customize-hook="sync-out /var/cache/apt/archives '$cache'" \
    --customize-hook='chroot "$1" sh /tmp/smoke_test.sh' \
    bookworm "$root" "$sources"

rm -rf "$root"
echo "package test: root, install and smoke test took $((SECONDS - started)) s"
