#!/usr/bin/env bash
# Installs what is missing, builds (Release, into build/) and runs Pelmora on the default
# bridges (PELMORA_BRIDGE, default "usb,sim": real bridges first, then the simulated board).
set -euo pipefail
cd "$(dirname "$0")"
scripts/install-deps.sh
cmake -S . -B build -DCMAKE_BUILD_TYPE=Release >/dev/null
cmake --build build -j"$(nproc)" --target pelmora
exec build/src/pelmora "$@"
