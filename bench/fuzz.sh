#!/usr/bin/env bash
# Long fuzzing runs: builds every fuzz target with clang's libFuzzer (+ASan/UBSan) into
# build-fuzz/ and runs each for SECONDS (default 60) on a copy of its seed corpus.
# Prints executions and findings per target; exits non-zero if anything was found.
set -uo pipefail
cd "$(dirname "$0")/.."
seconds=${1:-60}
scripts/install-deps.sh
CXX=clang++ cmake -S . -B build-fuzz -DCMAKE_BUILD_TYPE=RelWithDebInfo -DPELMORA_BUILD_BENCH=OFF >/dev/null || exit 1
targets=$( (grep -rho 'pelmora_add_fuzz(NAME [a-z_]*' tests | awk '{print $2}';
           grep -rho 'add_executable(fuzz_[a-z]*_libfuzzer' tests | sed 's/add_executable(//; s/_libfuzzer//') | sort -u)
status=0
for t in $targets; do
    cmake --build build-fuzz -j"$(nproc)" --target "${t}_libfuzzer" >/dev/null || { echo "$t: build failed"; status=1; continue; }
    corpus=$(find tests -type d -name "corpus_${t#fuzz_}" | head -1)
    work=$(mktemp -d)
    cp -r "$corpus"/. "$work"/
    exe=$(find build-fuzz -type f -name "${t}_libfuzzer" | head -1)
    log=build-fuzz/$t.log
    ASAN_OPTIONS=detect_leaks=0 "$exe" -max_total_time="$seconds" -print_final_stats=1 "$work" >"$log" 2>&1
    rc=$?
    execs=$(grep -m1 'stat::number_of_executed_units' "$log" | awk '{print $2}')
    if [ $rc -eq 0 ]; then
        echo "$t: ${execs:-?} executions in ${seconds} s, no finding"
    else
        echo "$t: FINDING after ${execs:-?} executions (see $log)"
        status=1
    fi
    rm -rf "$work"
done
exit $status
