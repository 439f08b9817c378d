#!/usr/bin/env bash
# Runs every benchmark in the release build and writes bench/RESULTS.md with the machine, the
# date and each program's figures (printed beside their targets by the programs themselves).
set -uo pipefail
cd "$(dirname "$0")/.."
scripts/install-deps.sh
cmake -S . -B build -DCMAKE_BUILD_TYPE=Release >/dev/null || exit 1
cmake --build build -j"$(nproc)" --target bench-hex bench-hex-memory bench-tlv bench-console bench-update bench-faults bench-app bench-flash \
    >/dev/null || exit 1
export QT_QPA_PLATFORM=offscreen

out=bench/RESULTS.md
{
    echo "# Benchmark results"
    echo
    echo "- date: $(date -u '+%Y-%m-%d %H:%M UTC')"
    echo "- machine: $(nproc) cores, $(grep -m1 'model name' /proc/cpuinfo | cut -d: -f2- | sed 's/^ *//'), $(awk '/MemTotal/ {printf "%.1f GiB", $2/1048576}' /proc/meminfo)"
    echo "- system: $(. /etc/os-release && echo "$PRETTY_NAME"), $(uname -r), $(g++ --version | head -1)"
    echo "- commit: $(git rev-parse --short HEAD)$(git diff --quiet -- . ':(exclude)bench/RESULTS.md' || echo ' (with local changes)')"
    echo "- load average at the start: $(cut -d' ' -f1-3 /proc/loadavg)"
    echo
    echo "The programs print each figure beside its target; nothing here is asserted."
} >"$out"

status=0
run() {  # title, command...
    local title=$1; shift
    echo "== $title"
    local text rc
    text=$("$@" 2>/dev/null | grep -v -E 'STATUS\[|ERROR\['; exit "${PIPESTATUS[0]}")
    rc=$?
    echo "$text"
    {
        echo
        echo "## $title"
        echo
        echo '```'
        echo "$text"
        echo '```'
    } >>"$out"
    [ "$rc" -eq 0 ] || status=1
}
run "HEX conversion" build/bench/hex/bench-hex
run "HEX conversion in bounded memory (1 GiB inputs)" build/bench/hex/bench-hex-memory
run "TLV decoding" build/bench/tlv/bench-tlv
run "Console flush at 200 paragraphs, line-rate input" build/bench/console/bench-console
run "Full update of the built-in image (real-time simulated board)" build/bench/update/bench-update
run "Fault matrix" build/bench/faults/bench-faults
run "pelmora-flash: one board and eight at once (real-time simulated boards)" build/bench/flash/bench-flash
run "Whole application: start-up, memory, idle CPU, a minute at line rate" build/bench/app/bench-app 60 10
echo "== written to $out"
exit $status
