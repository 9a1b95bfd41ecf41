#!/usr/bin/env bash
# Installs what is missing, builds, and runs every benchmark: the kernels (PBKDF2 against the
# SHA-256 compression floor and OpenSSL) and the end-to-end figures through the helper's pipes
# (bulk encryption against in-process AES-GCM + base64, peak memory, start-up against /bin/true).
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/install-deps.sh
scripts/build.sh
build/bench/quorvane_bench
build/bench/quorvane_pipe_bench build/quorvane-helper "${1:-11}"
