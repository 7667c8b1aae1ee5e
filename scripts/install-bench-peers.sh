#!/usr/bin/env bash
# Installs the development packages of the two messaging libraries that the
# peer benchmark (bench/bench_peers.cpp) measures next to ours. Optional: the
# build, the tests and the demo do not need them; without them the peer
# benchmark is simply not built. Idempotent. Run as root on Debian.
set -euo pipefail

packages=(libzmq3-dev libnng-dev pkgconf)

missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done

if [ ${#missing[@]} -eq 0 ]; then
  echo "install-bench-peers: everything is already installed"
  exit 0
fi

if [ "$(id -u)" -ne 0 ]; then
  echo "install-bench-peers: missing packages: ${missing[*]} (run as root to install them)" >&2
  exit 1
fi

echo "install-bench-peers: installing ${missing[*]}"
export DEBIAN_FRONTEND=noninteractive
apt-get update -qq
apt-get install -y -qq --no-install-recommends "${missing[@]}"
echo "install-bench-peers: done; reconfigure (cmake --preset release) to build bench_peers"
