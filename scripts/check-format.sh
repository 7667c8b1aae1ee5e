#!/usr/bin/env bash
# Checks that every C++ source of the project is formatted as .clang-format
# says. Exits 1 and lists the files that differ; `--fix` rewrites them.
set -euo pipefail
cd "$(dirname "${BASH_SOURCE[0]}")/.."

formatter=$(command -v clang-format-14 || command -v clang-format || true)
[ -n "$formatter" ] || { echo "check-format: clang-format is not installed" >&2; exit 1; }

mapfile -t files < <(git ls-files -- '*.cpp' '*.h')
if [ "${1:-}" = --fix ]; then
  "$formatter" -i "${files[@]}"
  exit 0
fi

status=0
for f in "${files[@]}"; do
  if ! "$formatter" --dry-run --Werror "$f" >/dev/null 2>&1; then
    echo "check-format: $f is not formatted (run scripts/check-format.sh --fix)"
    status=1
  fi
done
[ $status -eq 0 ] && echo "check-format: ${#files[@]} files formatted"
exit $status
