#!/usr/bin/env bash
# Installs what is missing, builds, and runs every benchmark: the kernels (PBKDF2 against the
# SHA-256 compression floor and OpenSSL) and the end-to-end figures through the helper's pipes
# (bulk encryption against in-process AES-GCM + base64 and against the same lines through the same
# pipes to an echo process, first request of a fresh helper, peak memory, a 256 MiB payload under
# a 2 GiB address-space limit, a 32 MiB line of numbers, a 900 MiB request under a 512 MiB limit,
# start-up against a program that links the same libraries and does nothing), the presence
# round trip through the key service against the helper's own TPM rung, the waits of two dozen
# helpers storing secrets in one file store at once, and a one-shot `--secret-load` from an unlocked
# gnome-keyring against `secret-tool lookup` of the same secret (hyperfine, side by side).
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/install-deps.sh
scripts/build.sh
build/bench/quorvane_bench
build/bench/quorvane_pipe_bench build/quorvane-helper "${1:-11}"
build/bench/quorvane_presence_bench 41
bench/store_contention.py build/quorvane-helper
bench/keyring_lookup.py --runs 30 build/quorvane-helper
