#!/usr/bin/env bash
# Installs what is missing, builds the release tree and runs the demo inside a
# private network namespace: a server daemon and two client daemons in two
# temporary installation homes, talking over loopback only. Exit status 0 only
# when every step of the demo happened.
set -euo pipefail
cd "$(dirname "${BASH_SOURCE[0]}")/.."

bash scripts/install-deps.sh
cmake --preset release >/dev/null
cmake --build --preset release -j "$(nproc)" --target ksx_demo ksx_demo_server ksx_demo_client
exec scripts/netns-run build/release/tools/ksx_demo --service-file "$PWD/etc/ServiceData.cfg.default"
