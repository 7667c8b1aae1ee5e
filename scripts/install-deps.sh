#!/usr/bin/env bash
# Installs what a fresh Debian machine lacks to build and test the project.
# Idempotent: packages already present are left alone. Run as root.
set -euo pipefail

packages=(
  build-essential cmake ninja-build
  g++ clang libclang-rt-14-dev clang-format
  flex libfl-dev bison
  googletest libgtest-dev libgmock-dev libbenchmark-dev
  iproute2 util-linux procps
  python3 python3-msgpack python3-pytest python3-pip pkgconf
  libsodium-dev
  tshark
)
# --only PACKAGE...: the same, for another list (the optional extras).
if [ "${1:-}" = "--only" ]; then
  shift
  packages=("$@")
fi

missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done

if [ ${#missing[@]} -eq 0 ]; then
  echo "install-deps: everything is already installed"
  exit 0
fi

if [ "$(id -u)" -ne 0 ]; then
  echo "install-deps: missing packages: ${missing[*]} (run as root to install them)" >&2
  exit 1
fi

echo "install-deps: installing ${missing[*]}"
export DEBIAN_FRONTEND=noninteractive
# tshark's capture helper stays root-only: answer its setuid question
# beforehand so that the install never stops to ask.
echo "wireshark-common wireshark-common/install-setuid boolean false" | debconf-set-selections
apt-get update -qq
apt-get install -y -qq --no-install-recommends "${missing[@]}"
