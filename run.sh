#!/usr/bin/env bash
# Installs what is missing, builds (Release, into build/) and runs Pelmora on the default
# bridges (PELMORA_BRIDGE, default "usb,sim": real bridges first, then the simulated board).
#
# With a display the window opens. Without one the same application runs headless and the
# demonstration is driven from outside, the way a user's programming client does it:
# pelmora-prog programs the built-in Tremlin image into the simulated board; the terminal
# shows the loader's log, the client's progress and result, and the banner of the board
# booting the new flash. Exits 0 only if the flash holds exactly the image.
set -euo pipefail
cd "$(dirname "$0")"
scripts/install-deps.sh
cmake -S . -B build -DCMAKE_BUILD_TYPE=Release >/dev/null
cmake --build build -j"$(nproc)"

if [ -n "${DISPLAY:-}${WAYLAND_DISPLAY:-}" ] && [ "${PELMORA_HEADLESS:-0}" != "1" ]; then
    exec build/src/pelmora "$@"
fi
exec scripts/headless-demo.sh
