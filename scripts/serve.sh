#!/usr/bin/env bash
# Installs what is missing, builds, and starts the helper as a request server on this terminal.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/install-deps.sh
scripts/build.sh
exec build/quorvane-helper --serve
