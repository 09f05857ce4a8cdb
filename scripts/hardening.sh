#!/usr/bin/env bash
# Sanitizer and fuzzing pass over the native build:
#   asan  the asan preset, every native test under AddressSanitizer and UBSan (LeakSanitizer on)
#   tsan  the tsan preset with the test event manager class (build/tsan-bridge), the console,
#         service, bridge and other concurrent cases under ThreadSanitizer
#   fuzz  the fuzz preset, each libFuzzer target for FUZZ_SECONDS from a copy of its corpus
# Every stage runs; the script fails when any of them does. Usage:
#   scripts/hardening.sh [asan] [tsan] [fuzz]      (default: all three)
# Environment: JOBS (default: the number of processors), FUZZ_SECONDS (default 20),
# TEST_TIMEOUT (seconds per test, default 300).
# Logs and crash inputs go to build/hardening/.
set -uo pipefail
cd "$(dirname "$0")/.."
root=$PWD
stages=${*:-"asan tsan fuzz"}
jobs=${JOBS:-$(nproc)}
fuzz_seconds=${FUZZ_SECONDS:-20}
# A sanitized test that hangs fails after this many seconds instead of holding up the pass.
test_timeout=${TEST_TIMEOUT:-300}
out=$root/build/hardening
mkdir -p "$out"

# The stand-in reads these when a process starts; none of them belongs to these runs.
unset STANDIN_REGISTRY STANDIN_FAULTS STANDIN_SERVICE STANDIN_CONTROL STANDIN_TRACE

# Checks of the Windows executables and their runs under Wine, which no sanitizer instruments.
windows_checks='^(message_table|windows_imports)$'
windows_labels='^wine$'
# The cases in which threads meet: console events, service controls, the event bridge.
concurrent_cases='(^|/)(Console|ConsoleEnd|Service|ServiceParameters|Bridge|Stress)\.|Concurrent'
fuzz_targets="fuzz_params fuzz_read_string fuzz_reg_reader"
# Room above the 8192-byte capacities, so that texts that do not fit are tried as well.
declare -A fuzz_max_len=([fuzz_params]=20000 [fuzz_read_string]=8400 [fuzz_reg_reader]=4096)

# configure <log> <cmake arguments...>: quiet unless it fails.
configure() {
    local log=$1
    shift
    cmake "$@" >"$log" 2>&1 || {
        tail -n 30 "$log"
        return 1
    }
}

# build <log> <cmake --build arguments...>: quiet unless it fails.
build() {
    local log=$1
    shift
    cmake --build "$@" -j "$jobs" >"$log" 2>&1 || {
        grep -E -A 12 'error|FAILED' "$log" | head -n 60
        return 1
    }
}

stage_asan() {
    configure "$out/asan-configure.log" --preset asan &&
        build "$out/asan-build.log" --preset asan || return 1
    ASAN_OPTIONS=${ASAN_OPTIONS:-detect_leaks=1} UBSAN_OPTIONS=print_stacktrace=1 \
        ctest --test-dir build/asan -j "$jobs" --timeout "$test_timeout" --output-on-failure \
        -E "$windows_checks" -LE "$windows_labels"
}

stage_tsan() {
    configure "$out/tsan-configure.log" --preset tsan -B build/tsan-bridge \
        -DREPOHOST_EVENT_MANAGER_CLASS=com/korvane/test/EventManager &&
        build "$out/tsan-build.log" build/tsan-bridge --target host_tests || return 1
    TSAN_OPTIONS=${TSAN_OPTIONS:-halt_on_error=1:second_deadlock_stack=1} \
        ctest --test-dir build/tsan-bridge -j "$jobs" --timeout "$test_timeout" --output-on-failure \
        -R "$concurrent_cases"
}

stage_fuzz() {
    # The top CMakeLists.txt does not add fuzz/ itself: attach.cmake adds it after project().
    configure "$out/fuzz-configure.log" --preset fuzz -DREPOHOST_FUZZ=ON \
        -DCMAKE_PROJECT_INCLUDE="$root/fuzz/attach.cmake" &&
        build "$out/fuzz-build.log" --preset fuzz --target $fuzz_targets || return 1
    local work failed=0 target rc
    work=$(mktemp -d)
    for target in $fuzz_targets; do
        # The run adds to a copy: the seed corpus in the tree stays as it is.
        cp -r "fuzz/corpus/$target" "$work/$target"
        UBSAN_OPTIONS=halt_on_error=1:print_stacktrace=1 \
            "build/fuzz/fuzz/$target" -max_total_time="$fuzz_seconds" \
            -max_len="${fuzz_max_len[$target]}" -timeout=10 -rss_limit_mb=2048 \
            -artifact_prefix="$work/$target-" -print_final_stats=1 "$work/$target" \
            >"$out/$target.log" 2>&1
        rc=$?
        if [ $rc -eq 0 ]; then
            echo "$target: no crash; $(grep -m1 -o 'stat::number_of_executed_units: *[0-9]*' \
                "$out/$target.log" | grep -o '[0-9]*$') runs," \
                "corpus $(ls "$work/$target" | wc -l) inputs," \
                "$(grep -E '^#[0-9]+' "$out/$target.log" | tail -n 1 | grep -o 'cov: [0-9]*')"
        else
            failed=1
            echo "$target: FAILED (exit $rc); log: $out/$target.log"
            grep -E -m 40 'ERROR|invariant|runtime error|SUMMARY|#[0-9]+ 0x|artifact' \
                "$out/$target.log"
            mkdir -p "$out/artifacts"
            cp "$work/$target"-* "$out/artifacts/" 2>/dev/null &&
                echo "crash input kept in $out/artifacts/"
        fi
    done
    rm -rf "$work"
    return $failed
}

summary=""
status=0
total_start=$SECONDS
for stage in $stages; do
    echo "==== $stage"
    start=$SECONDS
    if "stage_$stage"; then
        result=passed
    else
        result=FAILED
        status=1
    fi
    summary+="$(printf '%-5s %-7s %4ds' "$stage" "$result" $((SECONDS - start)))"$'\n'
done
echo "==== summary"
printf '%s' "$summary"
echo "total $((SECONDS - total_start))s"
exit $status
