#!/usr/bin/env bash
# An outside serial bootloader flasher (Debian's stm32flash) programs, reads back and starts
# the simulated board through pelmora-sim's pseudo-terminal; the flash file keeps what was
# written even when the simulator is killed outright. Exit 77 (skipped) without stm32flash.
set -uo pipefail
sim=${1:?usage: stm32flash_check.sh PELMORA_SIM}
command -v stm32flash >/dev/null || { echo "SKIP: stm32flash not installed (apt-get install stm32flash)"; exit 77; }

work=$(mktemp -d /tmp/pelmora-stm32flash.XXXXXX)
simpid=""
cleanup() { [ -n "$simpid" ] && kill "$simpid" 2>/dev/null; wait 2>/dev/null; rm -rf "$work"; }
trap cleanup EXIT
fail() { echo "FAIL: $*"; exit 1; }

start_sim() {  # options...
    # A fresh file each time: the last run's line would otherwise be read before the new
    # process has truncated it, and name a terminal that is gone.
    rm -f "$work/sim.out"
    "$sim" --flash "$work/flash.bin" "$@" > "$work/sim.out.new" 2> "$work/sim.err" &
    simpid=$!
    for _ in $(seq 1 100); do
        [ "$(wc -l < "$work/sim.out.new" 2>/dev/null || echo 0)" -ge 1 ] && mv "$work/sim.out.new" "$work/sim.out" && break
        sleep 0.05
    done
    pty=$(head -n 1 "$work/sim.out")
    [ -e "$pty" ] || fail "pelmora-sim printed no terminal: $(cat "$work/sim.err")"
}

# A 4 KB image with a plausible vector table and a name the banner shows.
{ printf '\x00\x50\x00\x20\x01\x01\x00\x08'; printf 'FWNAME=Pty 0.1\0\0'; head -c 4072 /dev/urandom; } > "$work/img.bin"

start_sim --bootloader --timing realtime
echo "== stm32flash -b 115200 -m 8n1 -w img.bin -v $pty"
timeout 60 stm32flash -b 115200 -m 8n1 -w "$work/img.bin" -v "$pty" > "$work/write.log" 2>&1 \
    || { cat "$work/write.log"; fail "stm32flash write"; }
grep -E "Device ID|Wrote and verified address 0x08001000" "$work/write.log" | sed 's/.*\(Wrote and verified address 0x08001000.*\)/\1/'
grep -q "0x0410" "$work/write.log" || fail "Device ID 0x0410 not reported"

echo "== stm32flash -b 115200 -m 8n1 -S 0x08000000:4096 -r back.bin $pty"
timeout 60 stm32flash -b 115200 -m 8n1 -S 0x08000000:4096 -r "$work/back.bin" "$pty" > "$work/read.log" 2>&1 \
    || { cat "$work/read.log"; fail "stm32flash read"; }
cmp "$work/img.bin" "$work/back.bin" || fail "read back differs from the image"
echo "read back: equal"

# The hardest end of all: nothing programmed may be lost.
kill -KILL "$simpid"; wait "$simpid" 2>/dev/null; simpid=""
[ "$(stat -c %s "$work/flash.bin")" -eq 131072 ] || fail "flash file is not 131,072 bytes"
cmp -n 4096 "$work/img.bin" "$work/flash.bin" || fail "flash file lost the image after SIGKILL"
[ -z "$(tail -c +4097 "$work/flash.bin" | tr -d '\377' | head -c 1)" ] || fail "flash beyond the image not erased"
echo "flash file after SIGKILL: image, rest erased"

banner=$("$sim" --print-banner --flash "$work/flash.bin")
echo "banner: $banner"
[[ "$banner" == "Orbalo Mini booted: Pty 0.1, 4096 bytes, CRC-32 0x"* ]] || fail "banner: $banner"

# The firmware's output, read by cat.
start_sim --application --timing realtime
timeout 1 cat "$pty" > "$work/app.txt"
grep -q "$banner" "$work/app.txt" || fail "cat did not see the banner: $(head -c 200 "$work/app.txt")"
grep -q $'\e\\[31m\\[' "$work/app.txt" || fail "no red debug line"
echo "cat: banner and coloured debug lines"
kill -TERM "$simpid"; wait "$simpid"; rc=$?; simpid=""
[ "$rc" -eq 0 ] || fail "pelmora-sim ended with $rc on SIGTERM"
echo "PASS"
