#!/usr/bin/env bash
# Builds the libFuzzer targets (clang 14, AddressSanitizer + UndefinedBehaviorSanitizer, jsoncpp
# compiled in from Debian's source package of the installed version) and runs each for a
# bounded time, starting from the seed corpora in tests/fuzz/corpus. Fails on any finding; the
# input that found it is left in build/fuzz/.
# Usage: scripts/fuzz.sh [seconds per target, default 60]
set -euo pipefail
cd "$(dirname "$0")/.."
seconds=${1:-60}

scripts/install-deps.sh --jsoncpp-src "$PWD/.deps/src/jsoncpp"
missing=()
for package in clang-14 libclang-rt-14-dev; do
    dpkg-query -W -f='${db:Status-Abbrev}' "$package" 2>/dev/null | grep -q '^ii' ||
        missing+=("$package")
done
if [ ${#missing[@]} -gt 0 ]; then
    apt-get update -q
    DEBIAN_FRONTEND=noninteractive apt-get install -y -q --no-remove "${missing[@]}"
fi

echo "==> fuzz: configure, build"
cmake --preset fuzz >/dev/null
cmake --build --preset fuzz -j "$(nproc 2>/dev/null || echo 2)"

for target in fuzz_stream_parser fuzz_json fuzz_requests fuzz_fast_path; do
    echo "==> $target: ${seconds} s"
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
echo "==> fuzz: no findings"
