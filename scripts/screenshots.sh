#!/usr/bin/env bash
# Screenshots of the window on the simulated board (idle, connected with coloured output, after
# "Prog as Tremlin", the settings page) into docs/, taken under Xvfb so no desktop is needed.
set -euo pipefail
cd "$(dirname "$0")/.."
build=${1:-build}
cmake --build "$build" --target pelmora-window-shots -j"$(nproc)" >/dev/null
PELMORA_SIM_TIMING=instant xvfb-run -a -s "-screen 0 800x600x24" \
    "$build/tools/gen/shots/pelmora-window-shots" docs
