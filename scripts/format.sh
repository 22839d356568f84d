#!/usr/bin/env bash
# Formats the C++ sources with .clang-format; with --check, changes nothing and fails
# when a file differs.  Usage: scripts/format.sh [--check]
set -euo pipefail
cd "$(dirname "$0")/.."
mapfile -t files < <(git ls-files '*.cpp' '*.h')
if [[ ${1:-} == --check ]]; then
    clang-format --dry-run --Werror "${files[@]}"
    echo "formatting: ${#files[@]} files as .clang-format says"
else
    clang-format -i "${files[@]}"
fi
