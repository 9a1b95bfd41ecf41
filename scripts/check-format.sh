#!/usr/bin/env bash
# Fails when a tracked C++ source differs from what the project's .clang-format makes of it.
# `clang-format -i $(git ls-files '*.h' '*.cpp')` mends it.
set -euo pipefail
cd "$(dirname "$0")/.."
git ls-files -z '*.h' '*.cpp' | xargs -0 clang-format --dry-run --Werror
echo "format check: $(git ls-files '*.h' '*.cpp' | wc -l) files follow .clang-format"
