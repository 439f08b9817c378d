#!/usr/bin/env bash
# HEX files from outside tools (Debian's ARM cross binutils and srec_cat) through Pelmora:
# pelmora-hex2bin must give the toolchain's binary (padded to whole words with 0xFF), and the
# Qt test converts each file and programs it into the simulated board; the files it must refuse
# fail with their code. Exit 77 (skipped) when
# the outside tools are not installed.
set -uo pipefail
testbin=${1:?usage: outside_hex_check.sh TEST_OUTSIDE_HEX PELMORA_HEX2BIN MAKE_FIRMWARE}
hex2bin=${2:?usage: outside_hex_check.sh TEST_OUTSIDE_HEX PELMORA_HEX2BIN MAKE_FIRMWARE}
make_firmware=${3:?usage: outside_hex_check.sh TEST_OUTSIDE_HEX PELMORA_HEX2BIN MAKE_FIRMWARE}

work=$(mktemp -d /tmp/pelmora-outside-hex.XXXXXX)
trap 'rm -rf "$work"' EXIT
fail() { echo "FAIL: $*"; exit 1; }

"$make_firmware" "$work/fw"
rc=$?
[ "$rc" -eq 77 ] && exit 77
[ "$rc" -eq 0 ] || fail "make-firmware.sh ended with $rc"

checked=0
while read -r hex bin code; do
    if [ "$bin" = refused ]; then
        "$hex2bin" "$work/fw/$hex" "$work/out.bin" > "$work/h2b.log" 2>&1
        rc=$?
        [ "$rc" -eq 1 ] || { cat "$work/h2b.log"; fail "pelmora-hex2bin took $hex (exit $rc), expected a conversion error"; }
        grep -q "error $code:" "$work/h2b.log" || { cat "$work/h2b.log"; fail "$hex: expected error $code"; }
        echo "$hex: refused: $(cat "$work/h2b.log")"
    else
        "$hex2bin" "$work/fw/$hex" "$work/out.bin" > "$work/h2b.log" 2>&1 \
            || { cat "$work/h2b.log"; fail "pelmora-hex2bin $hex"; }
        cp "$work/fw/$bin" "$work/expected.bin"
        while [ $(( $(stat -c %s "$work/expected.bin") % 4 )) -ne 0 ]; do printf '\377' >> "$work/expected.bin"; done
        cmp "$work/expected.bin" "$work/out.bin" || fail "pelmora-hex2bin $hex differs from $bin"
        echo "$hex: equal to $bin ($(stat -c %s "$work/out.bin") bytes)"
    fi
    checked=$((checked + 1))
done < "$work/fw/variants.txt"
[ "$checked" -ge 19 ] || fail "only $checked HEX files checked"

PELMORA_OUTSIDE_DIR="$work/fw" "$testbin" || fail "test_outside_hex"
echo "PASS"
