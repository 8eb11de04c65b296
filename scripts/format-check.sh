#!/usr/bin/env bash
# Fails when a tracked C++ file differs from the repository's .clang-format style.
#   scripts/format-check.sh          check
#   scripts/format-check.sh --fix    rewrite the files in place
set -euo pipefail
cd "$(dirname "$0")/.."
mapfile -t files < <(git ls-files '*.cpp' '*.h')
if [ "${1:-}" = "--fix" ]; then
    clang-format -i "${files[@]}"
else
    clang-format --dry-run --Werror "${files[@]}"
    echo "format-check: ${#files[@]} files follow .clang-format"
fi
