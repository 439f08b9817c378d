#!/usr/bin/env bash
# pelmora-prog against the real loader over its libusb backend: the loader sees one emulated
# CP210x (pelmora-usbsim) with the simulated board behind it, reconnects to it by the name it
# remembers, detaches the kernel driver and writes the built-in image (client exit 0, flash
# equal to the image); at its end the loader gives the bridge back (UART disabled, interface
# released, kernel driver bound again). A board that pulls its cable during the update takes
# the bridge off the bus: the client is told of the failure (exit 1).
set -uo pipefail
build=$1
root=$(cd "$(dirname "$0")/../.." && pwd)
export PELMORA_BUILD_DIR=$build PELMORA_SIM_TIMING=instant PELMORA_BRIDGE=usb
export PELMORA_DEMO_DEVICE="Orbalo Mini [0x0001]"
export PELMORA_DEMO_WRAPPER="$build/tools/usbsim/pelmora-usbsim --bridges 1 --"
unset PELMORA_SIM_FAULTS

out=$("$root/scripts/headless-demo.sh" 2>&1); rc=$?
echo "$out"
if [ $rc -ne 0 ] || ! grep -q "pelmora-prog exit status: 0" <<<"$out" \
   || ! grep -q "Opened CP2102N at bus 1 port 1, kernel serial driver detached" <<<"$out" \
   || ! grep -q "Orbalo Mini booted: Tremlin 1.0.37, 97824 bytes" <<<"$out" \
   || ! grep -q "bridge 0001: plugged, UART disabled, interface released, kernel driver bound" <<<"$out"; then
    echo "FAIL: the built-in image was not written over USB (demo status $rc)"; exit 1
fi
out=$(PELMORA_SIM_FAULTS=unplug=5 "$root/scripts/headless-demo.sh" 2>&1); rc=$?
echo "$out" | grep -v '^\[loader\] .*BytesAvailable'
if [ $rc -eq 0 ] || ! grep -q "pelmora-prog exit status: 1" <<<"$out" \
   || ! grep -q "bridge 0001: unplugged" <<<"$out"; then
    echo "FAIL: an unplug during the update was not reported to the client as 1 (demo status $rc)"; exit 1
fi
echo "PASS"
