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
#   OUTDIR/raw-16bit.hex          objcopy -I binary of contiguous.bin: addresses from 0, no
#                                 extended address record at all
#   OUTDIR/raw-segment.hex        objcopy -I binary of gapped.bin: from 0, a type-02 record at 64 KB
#   OUTDIR/relative-segment.hex   srec_cat, the image from 0 in extended segment records
#   OUTDIR/relative-linear.hex    srec_cat of gapped.bin, from 0 in extended linear records
#                                 (these four are the flash seen through its boot alias at 0)
#   OUTDIR/option-bytes.hex       the image plus option bytes at 0x1FFFF800      (refused, -7)
#   OUTDIR/ram-section.hex        the gapped image with its last section in RAM  (refused, -7)
#   OUTDIR/mixed-forms.hex        raw-16bit.hex followed by contiguous-objcopy.hex: the same
#                                 flash through the alias and at 0x08000000      (refused, -8)
#   OUTDIR/variants.txt           one line per HEX file: "<hex> <expected bin>" or
#                                 "<hex> refused <code>"
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

# Files addressed from 0: raw binaries converted by objcopy (16-bit addresses only while they
# fit, then segment records) and srec_cat's segment and linear forms. 20-bit segment
# addressing reaches only the first megabyte, so srec_cat will not write 0x08000000 in it.
has() {  # file pattern what
    grep -q "$2" "$1" || fail "$(basename "$1") has no $3"
}
arm-none-eabi-objcopy -I binary -O ihex "$out/contiguous.bin" "$out/raw-16bit.hex"
grep -q '^:0200000[24]' "$out/raw-16bit.hex" && fail "raw-16bit.hex has an extended address record"
echo "raw-16bit.hex contiguous.bin" >> "$out/variants.txt"
arm-none-eabi-objcopy -I binary -O ihex "$out/gapped.bin" "$out/raw-segment.hex"
has "$out/raw-segment.hex" '^:02000002' "extended segment record"
echo "raw-segment.hex gapped.bin" >> "$out/variants.txt"
if srec_cat "$out/gapped-objcopy.hex" -Intel -o /dev/null -Intel -address-length=3 2>/dev/null; then
    fail "srec_cat wrote 0x08000000 in 20-bit extended segment addressing"
fi
srec_cat "$out/gapped-objcopy.hex" -Intel -offset -0x08000000 -o "$out/relative-segment.hex" -Intel -address-length=3
has "$out/relative-segment.hex" '^:02000002' "extended segment record"
echo "relative-segment.hex gapped.bin" >> "$out/variants.txt"
srec_cat "$out/gapped.bin" -binary -o "$out/relative-linear.hex" -Intel -address-length=4
has "$out/relative-linear.hex" '^:020000040001' "extended linear record for 0x0001"
echo "relative-linear.hex gapped.bin" >> "$out/variants.txt"

# Data that is neither the flash nor its alias, and the same flash in both forms.
srec_cat "$out/contiguous-objcopy.hex" -Intel -generate 0x1FFFF800 0x1FFFF810 -repeat-data 0xA5 0x5A \
    -o "$out/option-bytes.hex" -Intel
has "$out/option-bytes.hex" '^:020000041FFF' "option bytes"
echo "option-bytes.hex refused -7" >> "$out/variants.txt"
arm-none-eabi-objcopy -O ihex --change-section-address .tail=0x20000000 "$out/gapped.elf" "$out/ram-section.hex"
has "$out/ram-section.hex" '^:020000042000' "section in RAM"
echo "ram-section.hex refused -7" >> "$out/variants.txt"
{ grep -v '^:00000001FF' "$out/raw-16bit.hex"; cat "$out/contiguous-objcopy.hex"; } > "$out/mixed-forms.hex"
echo "mixed-forms.hex refused -8" >> "$out/variants.txt"

echo "wrote $(wc -l < "$out/variants.txt") HEX files to $out"
