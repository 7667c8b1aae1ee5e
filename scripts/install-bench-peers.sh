#!/usr/bin/env bash
# Installs the development packages of the two messaging libraries that the
# peer benchmark (bench/bench_peers.cpp) measures next to ours. Optional: the
# build, the tests and the demo do not need them; without them the peer
# benchmark is simply not built. Idempotent. Run as root on Debian.
set -euo pipefail

exec "$(dirname "$0")/install-deps.sh" --only libzmq3-dev libnng-dev pkgconf
