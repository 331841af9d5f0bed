#!/usr/bin/env bash
# Installs what building and testing need on a fresh Debian 12 machine (only what is missing).
set -euo pipefail

packages=(cmake ninja-build g++ g++-multilib googletest libgtest-dev libbenchmark-dev
          clang clang-format clang-tidy libclang-rt-14-dev qemu-user)

missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done

if [ ${#missing[@]} -gt 0 ]; then
  echo "setup: installing ${missing[*]}"
  sudo=""
  [ "$(id -u)" -eq 0 ] || sudo="sudo"
  $sudo apt-get update -qq
  DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq "${missing[@]}" >/dev/null
fi
echo "setup: ready"
