#!/usr/bin/env bash
# pelmora-prog against the real loader, headless, on the simulated board: the built-in image is
# written (client exit 0, flash equal to the image), and with a board of the wrong chip the
# client is told of the failure (exit 1) and the flash is left alone.
set -uo pipefail
build=$1
root=$(cd "$(dirname "$0")/../.." && pwd)
export PELMORA_BUILD_DIR=$build PELMORA_SIM_TIMING=instant PELMORA_BRIDGE=sim
unset PELMORA_SIM_FAULTS

out=$("$root/scripts/headless-demo.sh" 2>&1); rc=$?
echo "$out" | grep -v '^\[loader\]'
if [ $rc -ne 0 ] || ! grep -q "pelmora-prog exit status: 0" <<<"$out" \
   || ! grep -q "Orbalo Mini booted: Tremlin 1.0.37, 97824 bytes" <<<"$out"; then
    echo "FAIL: the built-in image was not written (demo status $rc)"; exit 1
fi

out=$(PELMORA_SIM_FAULTS=product-id=0x041a "$root/scripts/headless-demo.sh" 2>&1); rc=$?
echo "$out" | grep -v '^\[loader\]'
if [ $rc -eq 0 ] || ! grep -q "pelmora-prog exit status: 1" <<<"$out" \
   || ! grep -q "Orbalo Mini booted: unnamed, 0 bytes" <<<"$out"; then
    echo "FAIL: a failed update was not reported to the client as 1 (demo status $rc)"; exit 1
fi
echo "PASS"
