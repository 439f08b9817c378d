#!/usr/bin/env bash
# The headless demonstration (see run.sh). Uses a private settings folder, flash file and
# shared-memory key, so it never touches the user's own settings or a running loader.
# PELMORA_DEMO_DEVICE: the bridge the loader remembers (default the simulated board's);
# PELMORA_DEMO_WRAPPER: a command the loader is started under (e.g. pelmora-usbsim ... --).
set -uo pipefail
cd "$(dirname "$0")/.."
bin=${PELMORA_BUILD_DIR:-build}
work=$(mktemp -d /tmp/pelmora-demo.XXXXXX)
trap 'rm -rf "$work"' EXIT

export XDG_DATA_HOME="$work/data"
export PELMORA_BRIDGE="${PELMORA_BRIDGE:-usb,sim}"
export PELMORA_SIM_FLASH="$work/flash.bin"
export PELMORA_SIM_TIMING="${PELMORA_SIM_TIMING:-realtime}"
export PELMORA_SHM_KEY="pelmora-demo-$$"
settings="$XDG_DATA_HOME/Zorvane/Pelmora"
mkdir -p "$settings"
# The loader connects by itself to the bridge it remembers: the simulated board.
cat > "$settings/Settings.xml" <<XML
<?xml version="1.0"?>
<Settings>
    <SettingsPathHexFile></SettingsPathHexFile>
    <SettingsUsbDevName>${PELMORA_DEMO_DEVICE:-Orbalo Mini (simulated) [0x0001]}</SettingsUsbDevName>
    <SettingsDebugComMode> 0</SettingsDebugComMode>
</Settings>
XML

echo "== starting the loader headless (log lines marked [loader])"
# shellcheck disable=SC2086
${PELMORA_DEMO_WRAPPER:-} "$bin/src/pelmora" -platform offscreen > >(sed -u 's/^/[loader] /') 2>&1 &
loader=$!

for _ in $(seq 1 100); do
    if "$bin/tools/prog/pelmora-prog" --status 2>/dev/null | grep -q "^board: connected"; then break; fi
    sleep 0.2
done
"$bin/tools/prog/pelmora-prog" --status

image="$settings/firmware/TremlinFix_1_0_37.hex"
echo "== programming $image through the shared block"
"$bin/tools/prog/pelmora-prog" --timeout 120 "$image"
prog=$?
echo "== pelmora-prog exit status: $prog"

kill -TERM "$loader" 2>/dev/null
wait "$loader"
echo "== loader ended (status $?)"

"$bin/tools/hex2bin/pelmora-hex2bin" --info "$image" "$work/image.bin"
size=$(stat -c %s "$work/image.bin")
echo "== the simulated board boots its flash:"
"$bin/tools/sim/pelmora-sim" --flash "$PELMORA_SIM_FLASH" --print-banner

ok=0
if [ "$prog" -eq 0 ] && cmp -s -n "$size" "$work/image.bin" "$PELMORA_SIM_FLASH" \
   && [ -z "$(tail -c +$((size + 1)) "$PELMORA_SIM_FLASH" | tr -d '\377' | head -c 1)" ]; then
    ok=1
fi
if [ "$ok" -eq 1 ]; then
    echo "== RESULT: flash holds exactly the image ($size bytes, rest erased)"
    exit 0
fi
echo "== RESULT: FAILED (client status $prog, or flash differs from the image)"
exit 1
