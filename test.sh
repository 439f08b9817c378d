#!/usr/bin/env bash
# Installs what is missing, builds, and runs the whole suite twice: once under
# AddressSanitizer + UndefinedBehaviorSanitizer, once in the release build; the tests of what
# crosses threads also run under ThreadSanitizer. Exits non-zero on any failure and ends with
# CTest's summary line.
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

# ThreadSanitizer for what crosses threads (tests labelled "thread"): only those targets.
run_tsan() {
    local dir=build-tsan
    cmake -S . -B "$dir" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DPELMORA_TSAN=ON -DPELMORA_BUILD_BENCH=OFF \
        >"$dir.configure.log" 2>&1 || { cat "$dir.configure.log"; return 1; }
    local targets
    targets=$(cd "$dir" && ctest -N -L thread | sed -n 's/^ *Test *#[0-9]*: *//p')
    [ -n "$targets" ] || return 0
    # shellcheck disable=SC2086
    cmake --build "$dir" -j"$jobs" --target $targets 2>&1 | grep -E 'error|warning|Error' ; [ "${PIPESTATUS[0]}" -eq 0 ] || return 1
    (cd "$dir" && TSAN_OPTIONS="suppressions=$PWD/../scripts/tsan.supp halt_on_error=1 second_deadlock_stack=1" \
        ctest -L thread --output-on-failure --timeout 300) 2>&1 | tee "$dir.ctest.log"
    local rc=${PIPESTATUS[0]}
    summaries+=("$dir: $(grep -E 'tests passed' "$dir.ctest.log" | tail -1)")
    return "$rc"
}

mkdir -p build build-asan build-tsan
run_config build-asan -DCMAKE_BUILD_TYPE=Debug -DPELMORA_SANITIZE=ON -DPELMORA_BUILD_BENCH=OFF || status=1
run_tsan || status=1
run_config build -DCMAKE_BUILD_TYPE=Release || status=1

echo
for s in "${summaries[@]}"; do echo "$s"; done
tail -n 200 build.ctest.log 2>/dev/null | grep -E 'tests passed' | tail -1
exit $status
