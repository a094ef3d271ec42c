#!/usr/bin/env bash
# Fails, naming each file and line, when a C++ file of the repository differs from what
# clang-format makes of it with the committed .clang-format. `clang-format -i FILE` mends one.
set -euo pipefail
cd "$(dirname "$0")/.."
if git rev-parse --git-dir >/dev/null 2>&1; then
    mapfile -t files < <(git ls-files '*.cpp' '*.h')
else
    mapfile -t files < <(find src tests bench java -name '*.cpp' -o -name '*.h')
fi
clang-format --dry-run -Werror "${files[@]}"
