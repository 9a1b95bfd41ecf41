#!/usr/bin/env bash
# Installs every Debian package that building, testing, benchmarking and fuzzing need.
# Idempotent: asks apt only when something is missing.
set -euo pipefail

packages=(
    build-essential cmake ninja-build pkg-config
    libssl-dev libsimdjson-dev libsqlite3-dev libsystemd-dev libsecret-1-dev
    libgtest-dev libgmock-dev libbenchmark-dev
    dbus python3 python3-dbusmock python3-cryptography
    gnome-keyring libsecret-tools
    clang-14 libclang-rt-14-dev
    valgrind hyperfine
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
"${sudo_prefix[@]}" apt-get update -q
"${sudo_prefix[@]}" apt-get install -y -q --no-install-recommends "${missing[@]}"
