#!/usr/bin/env bash
# The main job: sets up the machine, builds velsim (and the drivers it loads) in the default
# preset and runs it with the arguments given, e.g.
#   scripts/velsim.sh                        the built-in handset's device tree
#   scripts/velsim.sh --preset iad-fs --seed 5 --capture run.pcap
#   scripts/velsim.sh enumerate --config my-config.hex --json
# Set-up and build messages go to stderr; stdout holds only velsim's output.
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"

(
  cd "$root"
  ./scripts/setup.sh
  cmake --preset default >/dev/null
  cmake --build --preset default --target velsim -j "$(nproc)"
) >&2

exec "$root/build/default/bin/velsim" "$@"
