# Shared by the single-host scripted tests, sourced by them inside scripts/netns-run: a work directory,
# processes to stop, both removed on every way out, failures counted by fail and reported by finish.

work=$(mktemp -d "${TMPDIR:-/tmp}/ksx-test.XXXXXX")
failures=0
background=()  # processes killed (and waited for) on every way out
trap 'for pid in "${background[@]}"; do kill -KILL "$pid" 2>/dev/null; wait "$pid" 2>/dev/null; done; rm -rf "$work"' EXIT

fail() { echo "FAIL: $*"; failures=$((failures + 1)); }

# wait_for TEXT FILE: waits up to 30 s until FILE holds TEXT.
wait_for() {
  for _ in $(seq 300); do grep -qF -- "$1" "$2" 2>/dev/null && return 0; sleep 0.1; done
  return 1
}

# start LOG TEXT COMMAND...: runs COMMAND in the background (pid in $started, stopped on every way out), its
# output in LOG, and waits until LOG holds TEXT; fails when it does not.
start() {
  "${@:3}" </dev/null >"$1" 2>&1 &
  started=$!; background+=("$started")
  wait_for "$2" "$1" || { fail "${*:3} did not start: $(tail -5 "$1")"; return 1; }
}

# finish: ends the script, with status 1 when a check failed.
finish() { [ "$failures" -eq 0 ] && echo "$(basename "$0" .sh): all checks passed"; exit $((failures > 0)); }
