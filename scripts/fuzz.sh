#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# Builds the libFuzzer targets (the Debian release's clang, AddressSanitizer +
# UndefinedBehaviorSanitizer, jsoncpp compiled in from the source of the installed version) and
# runs each for a bounded time, starting from the seed corpora in tests/fuzz/corpus. Fails on any
# finding; the input that found it is left in build/fuzz/. CMake's and the compiler's output goes
# to build/fuzz.log, whose end a failure shows. Run it as yourself: it calls sudo where apt
# needs it.
# Usage: scripts/fuzz.sh [seconds per target, default 60]
set -euo pipefail
cd "$(dirname "$0")/.."
. scripts/lib/common.sh
step_prefix="==>"
step_log=build/fuzz.log
case "${1:-}" in -h | --help) print_usage; exit 0 ;; esac
seconds=${1:-60}
[ $# -le 1 ] && [[ $seconds =~ ^[1-9][0-9]*$ ]] ||
    usage_error "it takes the seconds for each target, a whole number"
check_clone_access .
mkdir -p build/fuzz
: >"$step_log"

scripts/install-deps.sh --fuzz

say "fuzz: configure, build"
run_logged cmake --preset fuzz
run_logged cmake --build --preset fuzz -j "$(nproc 2>/dev/null || echo 2)"

for target in fuzz_stream_parser fuzz_json fuzz_requests fuzz_fast_path; do
    say "$target: ${seconds} s"
    corpus=build/fuzz/corpus/$target
    mkdir -p "$corpus"
    options=(-max_total_time="$seconds" -timeout=10 -rss_limit_mb=2048 -print_final_stats=1
             -artifact_prefix=build/fuzz/)
    # Requests that reach the (closed) port print a "net error" line each: keep stderr quiet.
    [ "$target" = fuzz_requests ] && options+=(-close_fd_mask=2)
    log=build/fuzz/$target.log
    status=0
    "build/fuzz/tests/fuzz/$target" "${options[@]}" "$corpus" "tests/fuzz/corpus/$target" \
        >"$log" 2>&1 || status=$?
    grep -E "^(Done|stat::number_of_executed_units)" "$log" || true
    if [ "$status" -ne 0 ]; then
        tail -n 60 "$log" >&2
        echo "fuzz: $target found a fault (exit $status); see $log" >&2
        exit 1
    fi
done
say "fuzz: no findings"
