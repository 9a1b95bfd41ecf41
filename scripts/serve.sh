#!/usr/bin/env bash
# Installs what is missing, builds, and starts the helper as a request server on this terminal.
# Standard output carries the protocol alone, so it can be piped into a client: everything the
# installation and the build print goes to standard error.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/install-deps.sh >&2
scripts/build.sh >&2
exec build/quorvane-helper --serve
