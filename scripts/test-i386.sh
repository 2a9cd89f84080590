#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# Builds the library, its tools and tests for 32-bit x86 on an x86-64 Debian machine and runs
# the whole suite there (the kernel runs i386 programs directly). Installs what is missing:
# the i386 multiarch development packages, Debian's cross compiler g++-i686-linux-gnu (it leaves
# the native toolchain as it is) and cpr built for i386. CMake's and the compiler's output goes
# to build/test-i386.log, whose end a failure shows. Run it as yourself: it calls sudo where apt
# needs it.
# Usage: scripts/test-i386.sh
set -euo pipefail
cd "$(dirname "$0")/.."
. scripts/lib/common.sh
step_prefix="==>"
step_log=build/test-i386.log
case "${1:-}" in
    "") ;;
    -h | --help) print_usage; exit 0 ;;
    *) usage_error "it takes no arguments" ;;
esac
check_clone_access .
mkdir -p build
: >"$step_log"

scripts/install-deps.sh --arch "$(dpkg --print-architecture),i386"
unset http_proxy https_proxy HTTP_PROXY HTTPS_PROXY all_proxy ALL_PROXY no_proxy NO_PROXY

# Some x86-64 kernels (or hypervisors) run no 32-bit programs: then the tests run under
# qemu-i386, which CMake, CTest and the tests themselves use as the emulator.
emulator=()
probe=$(mktemp)
echo 'int main(void) { return 0; }' | i686-linux-gnu-gcc -x c - -o "$probe"
if ! "$probe" 2>/dev/null; then
    say "this kernel runs no i386 programs: the tests run under qemu-i386"
    scripts/install-deps.sh --arch "$(dpkg --print-architecture),i386" --also qemu-user
    emulator=(-DCMAKE_CROSSCOMPILING_EMULATOR="$(command -v qemu-i386)")
fi
rm -f "$probe"

say "i386: configure, build"
run_logged cmake --preset i386 "${emulator[@]}"
run_logged cmake --build --preset i386 -j "$(nproc 2>/dev/null || echo 2)"
say "i386: test"
ctest --preset i386
scripts/check-secrets.sh build/i386
readelf -h build/i386/libzefa-nlp-engine.so.1 | grep -E "Class|Machine"
