#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# Installs what is missing, builds and runs every test:
#   1. the Debug build: the whole suite, slow stall tests included, the network suite (it starts
#      nginx and tinyproxy and trusts their test CA in a private mount namespace: as root;
#      elsewhere those tests are skipped with the reason), and the Debian packages installed on
#      a fresh tree of this Debian release;
#   2. AddressSanitizer + UndefinedBehaviorSanitizer (LeakSanitizer on): the whole suite;
#   3. ThreadSanitizer: the tests labelled "concurrency" (stopping, chats stopped at random) and
#      "network" (stops over TLS, HTTP/2 and proxies; not the slow ones);
#   4. on x86-64: the 32-bit x86 build and the whole suite there (scripts/test-i386.sh);
#   5. every fuzz target for a minute (scripts/fuzz.sh).
# Progress lines and the tests' results are shown; CMake's and the compiler's output goes to
# build/test.log, whose end a failure shows.
# Run it as yourself: it calls sudo where apt needs it.
# Usage: scripts/test.sh [--quick]   (--quick: only step 1, without the slow tests)
set -euo pipefail
cd "$(dirname "$0")/.."
. scripts/lib/common.sh
step_prefix="==>"
step_log=build/test.log

quick=0
case "$#:${1:-}" in
    0:) ;;
    1:--quick) quick=1 ;;
    1:-h | 1:--help) print_usage; exit 0 ;;
    *) usage_error "unknown arguments: $*" ;;
esac
check_clone_access .
mkdir -p build
: >"$step_log"

say "build dependencies (scripts/install-deps.sh)"
scripts/install-deps.sh

# libcurl honours proxy variables; every test talks to 127.0.0.1 only (the proxy tests set their
# own).
unset http_proxy https_proxy HTTP_PROXY HTTPS_PROXY all_proxy ALL_PROXY no_proxy NO_PROXY

jobs=$(nproc 2>/dev/null || echo 2)
run_preset() {   # run_preset <preset> [ctest arguments...]
    local preset=$1
    shift
    say "$preset: configure, build"
    run_logged cmake --preset "$preset"
    run_logged cmake --build --preset "$preset" -j "$jobs"
    say "$preset: test"
    ctest --preset "$preset" "$@"
    scripts/check-secrets.sh "build/$preset"
}

if [ "$quick" -eq 1 ]; then
    timed "the quick suite" run_preset default -LE slow
    exit 0
fi
timed "the whole suite (Debug)" run_preset default
timed "AddressSanitizer + UndefinedBehaviorSanitizer" run_preset asan
timed "ThreadSanitizer" run_preset tsan
if [ "$(dpkg --print-architecture)" = amd64 ]; then
    timed "32-bit x86" scripts/test-i386.sh
fi
timed "fuzzing" scripts/fuzz.sh 60
say "all test runs passed (after $SECONDS s)"
