#!/usr/bin/env bash
# Builds a small Cortex-M3 firmware with Debian's ARM cross binutils and writes it as Intel
# HEX in the forms other tools produce, each beside the binary the outside tools make of it:
#
#   OUTDIR/<image>-objcopy.hex    objcopy -O ihex (16 bytes a record, CRLF, start address)
#   OUTDIR/<image>-recN.hex       srec_cat with N = 8, 32, 64, 255 data bytes a record (LF)
#   OUTDIR/<image>-shuffled.hex   the data records in a scrambled order, each behind its
#                                 extended linear address record
#   OUTDIR/<image>.bin            objcopy -O binary --gap-fill 0xff (erased flash in the gaps)
#   OUTDIR/<variant>.bin          srec_cat's own binary of that HEX file, gaps 0xFF
#   OUTDIR/relative-segment.hex   the image at addresses from 0 in 20-bit extended segment
#                                 records (all a segment record can reach), to be refused
#   OUTDIR/variants.txt           one line per HEX file: "<hex> <expected bin>" or "<hex> refused"
#
# <image> is "contiguous" (everything from 0x08000000 on, 2 KB) or "gapped" (a section at
# 0x08004000 and the last at 0x08014000, with erased flash between). Every srec_cat binary is
# compared with objcopy's here, so a variant that does not carry the toolchain's image stops
# the script (exit 1). Exit 77 when the cross binutils or srec_cat are not installed.
set -euo pipefail
out=${1:?usage: make-firmware.sh OUTDIR}
here=$(cd "$(dirname "$0")" && pwd)

for tool in arm-none-eabi-as arm-none-eabi-ld arm-none-eabi-objcopy srec_cat; do
    command -v "$tool" >/dev/null || {
        echo "SKIP: $tool not installed (apt-get install binutils-arm-none-eabi srecord)"
        exit 77
    }
done

mkdir -p "$out"
fail() { echo "FAIL: $*" >&2; exit 1; }

# srec_cat's binary of a HEX file: from the flash base, gaps filled with erased flash.
srec_bin() {  # hex bin
    srec_cat -Disable_Sequence_Warnings "(" "$1" -Intel -fill 0xFF -over "$1" -Intel ")" -offset -0x08000000 -o "$2" -binary
}

arm-none-eabi-as -o "$out/firmware.o" "$here/firmware.S"
arm-none-eabi-ld -T "$here/firmware.ld" -o "$out/contiguous.elf" "$out/firmware.o"
arm-none-eabi-ld -T "$here/firmware.ld" --section-start=.far=0x08004000 --section-start=.tail=0x08014000 \
    -o "$out/gapped.elf" "$out/firmware.o"

: > "$out/variants.txt"
for image in contiguous gapped; do
    arm-none-eabi-objcopy -O binary --gap-fill 0xff "$out/$image.elf" "$out/$image.bin"
    arm-none-eabi-objcopy -O ihex "$out/$image.elf" "$out/$image-objcopy.hex"
    echo "$image-objcopy.hex $image.bin" >> "$out/variants.txt"

    for n in 8 32 64 255; do
        srec_cat "$out/$image-objcopy.hex" -Intel -o "$out/$image-rec$n.hex" -Intel -Output_Block_Size "$n"
        srec_bin "$out/$image-rec$n.hex" "$out/$image-rec$n.bin"
        cmp -s "$out/$image-rec$n.bin" "$out/$image.bin" || fail "srec_cat's $image-rec$n.bin differs from objcopy's"
        echo "$image-rec$n.hex $image-rec$n.bin" >> "$out/variants.txt"
    done

    # Scrambled: every data record keeps the upper address it was written under, so each goes
    # behind its own extended linear address record; a fixed seed keeps the file the same.
    srec_cat "$out/$image-objcopy.hex" -Intel -o - -Intel -Output_Block_Size 16 | tr -d '\r' | awk '
        BEGIN { srand(20240611) }
        substr($0, 8, 2) == "04" { upper = $0; next }
        substr($0, 8, 2) == "00" { printf "%.12f %s %s\n", rand(), upper, $0; next }
        substr($0, 8, 2) == "01" { next }
        { printf "2 %s\n", $0 }' |
        LC_ALL=C sort -k1,1 | awk '{ print $2; if (NF > 2) print $3 } END { print ":00000001FF" }' \
        > "$out/$image-shuffled.hex"
    srec_bin "$out/$image-shuffled.hex" "$out/$image-shuffled.bin"
    cmp -s "$out/$image-shuffled.bin" "$out/$image.bin" || fail "srec_cat's $image-shuffled.bin differs from objcopy's"
    echo "$image-shuffled.hex $image-shuffled.bin" >> "$out/variants.txt"
done

# 20-bit extended segment addressing reaches only the first megabyte, so srec_cat will not
# write the flash at 0x08000000 in it; the same image at addresses from 0 is what such a file
# holds, and a converter for this flash must refuse it instead of writing it anywhere.
if srec_cat "$out/gapped-objcopy.hex" -Intel -o /dev/null -Intel -address-length=3 2>/dev/null; then
    fail "srec_cat wrote 0x08000000 in 20-bit extended segment addressing"
fi
srec_cat "$out/gapped-objcopy.hex" -Intel -offset -0x08000000 -o "$out/relative-segment.hex" -Intel -address-length=3
grep -q '^:02000002' "$out/relative-segment.hex" || fail "relative-segment.hex has no extended segment record"
echo "relative-segment.hex refused" >> "$out/variants.txt"

echo "wrote $(wc -l < "$out/variants.txt") HEX files to $out"
