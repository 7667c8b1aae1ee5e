#!/usr/bin/env bash
# Installs what is missing, builds the release tree and runs the demo inside a
# private network namespace with a temporary installation home.
set -euo pipefail
cd "$(dirname "${BASH_SOURCE[0]}")/.."

bash scripts/install-deps.sh
cmake --preset release >/dev/null
cmake --build --preset release -j "$(nproc)"
exec scripts/netns-run build/release/tools/ksx_demo "$@"
