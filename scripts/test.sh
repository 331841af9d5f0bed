#!/usr/bin/env bash
# Configures, builds and runs every test for each preset named (default: "default").
#   scripts/test.sh [preset...]      presets: default debug asan tsan m32
set -euo pipefail
cd "$(dirname "$0")/.."

presets=("$@")
[ ${#presets[@]} -gt 0 ] || presets=(default)
jobs=$(nproc)

for preset in "${presets[@]}"; do
  echo "=== preset $preset"
  cmake --preset "$preset" >/dev/null
  cmake --build --preset "$preset" -j "$jobs"
  ctest --preset "$preset" -j "$jobs"
done
