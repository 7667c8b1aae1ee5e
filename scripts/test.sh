#!/usr/bin/env bash
# Installs what is missing, checks the format of every C++ source, builds and
# runs every test: the release, AddressSanitizer and ThreadSanitizer builds,
# then each fuzz target briefly.
#   scripts/test.sh [preset...]      (default: release asan tsan fuzz)
set -euo pipefail
cd "$(dirname "${BASH_SOURCE[0]}")/.."

bash scripts/install-deps.sh

presets=("$@")
[ ${#presets[@]} -gt 0 ] || presets=(release asan tsan fuzz)
jobs=$(nproc)
fuzz_seconds=${KSX_FUZZ_SECONDS:-20}

# Sanitizer settings: fail on the first report, and keep the run deterministic.
export ASAN_OPTIONS=${ASAN_OPTIONS:-detect_leaks=1:abort_on_error=1:strict_string_checks=1}
export UBSAN_OPTIONS=${UBSAN_OPTIONS:-print_stacktrace=1:halt_on_error=1}
export TSAN_OPTIONS=${TSAN_OPTIONS:-halt_on_error=1:second_deadlock_stack=1}

run_fuzzers() {
  local dir=build/fuzz failed=0
  for fuzzer in "$dir"/tests/fuzz/fuzz_*; do
    [ -x "$fuzzer" ] || continue
    local name corpus
    name=$(basename "$fuzzer")
    corpus=$(mktemp -d)
    [ -d "tests/fuzz/corpus/$name" ] && cp -r "tests/fuzz/corpus/$name/." "$corpus/"
    echo "== fuzz $name for ${fuzz_seconds}s"
    if ! "$fuzzer" -max_total_time="$fuzz_seconds" -print_final_stats=1 "$corpus" > "$corpus.log" 2>&1; then
      echo "fuzz $name FAILED:"
      tail -n 40 "$corpus.log"
      failed=1
    else
      tail -n 3 "$corpus.log"
    fi
    rm -rf "$corpus" "$corpus.log"
  done
  return $failed
}

status=0
echo "== format"
bash scripts/check-format.sh || status=1

for preset in "${presets[@]}"; do
  echo "== $preset: configure and build"
  cmake --preset "$preset" >/dev/null
  cmake --build --preset "$preset" -j "$jobs"
  if [ "$preset" = fuzz ]; then
    run_fuzzers || status=1
    continue
  fi
  echo "== $preset: test"
  # Most tests wait on sockets and timers, so run more of them than there are cores.
  ctest --preset "$preset" -j $((jobs * 3)) || status=1
  [ "$preset" != release ] || bash scripts/check-install.sh || status=1
done
exit $status
