#!/usr/bin/env bash
# Installs what is missing, builds, and runs the whole suite twice: once in the release
# build, once under AddressSanitizer + UndefinedBehaviorSanitizer. Exits non-zero on any
# failure and ends with CTest's summary line.
set -uo pipefail
cd "$(dirname "$0")"
scripts/install-deps.sh || exit 1

jobs=$(nproc)
export ASAN_OPTIONS="detect_leaks=1:abort_on_error=0:halt_on_error=1"
export LSAN_OPTIONS="suppressions=$PWD/scripts/lsan.supp:print_suppressions=0"
export UBSAN_OPTIONS="print_stacktrace=1:halt_on_error=1"
export QT_QPA_PLATFORM=offscreen

status=0
summaries=()
run_config() {  # dir, cmake args...
    local dir=$1; shift
    cmake -S . -B "$dir" "$@" >"$dir.configure.log" 2>&1 || { cat "$dir.configure.log"; return 1; }
    cmake --build "$dir" -j"$jobs" 2>&1 | grep -E 'error|warning|Error' ; [ "${PIPESTATUS[0]}" -eq 0 ] || return 1
    (cd "$dir" && ctest -j"$jobs" --output-on-failure --timeout 300) 2>&1 | tee "$dir.ctest.log"
    local rc=${PIPESTATUS[0]}
    summaries+=("$dir: $(grep -E 'tests passed' "$dir.ctest.log" | tail -1)")
    return "$rc"
}

mkdir -p build build-asan
run_config build-asan -DCMAKE_BUILD_TYPE=Debug -DPELMORA_SANITIZE=ON -DPELMORA_BUILD_BENCH=OFF || status=1
run_config build -DCMAKE_BUILD_TYPE=Release || status=1

echo
for s in "${summaries[@]}"; do echo "$s"; done
tail -n 200 build.ctest.log 2>/dev/null | grep -E 'tests passed' | tail -1
exit $status
