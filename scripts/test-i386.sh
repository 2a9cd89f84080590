#!/usr/bin/env bash
# Builds the library, its tools and tests for 32-bit x86 on an x86-64 Debian 12 machine and runs
# the whole suite there (the kernel runs i386 programs directly). Installs what is missing:
# the i386 multiarch development packages, Debian's cross compiler g++-i686-linux-gnu (it leaves
# the native toolchain as it is) and cpr built for i386.
set -euo pipefail
cd "$(dirname "$0")/.."

scripts/install-deps.sh --arch "$(dpkg --print-architecture),i386"
unset http_proxy https_proxy HTTP_PROXY HTTPS_PROXY all_proxy ALL_PROXY no_proxy NO_PROXY

# Some x86-64 kernels (or hypervisors) run no 32-bit programs: then the tests run under
# qemu-i386, which CMake, CTest and the tests themselves use as the emulator.
emulator=()
probe=$(mktemp)
echo 'int main(void) { return 0; }' | i686-linux-gnu-gcc -x c - -o "$probe"
if ! "$probe" 2>/dev/null; then
    echo "==> this kernel runs no i386 programs: the tests run under qemu-i386"
    command -v qemu-i386 >/dev/null || {
        apt-get update -q && DEBIAN_FRONTEND=noninteractive apt-get install -y -q --no-remove qemu-user
    }
    emulator=(-DCMAKE_CROSSCOMPILING_EMULATOR="$(command -v qemu-i386)")
fi
rm -f "$probe"

echo "==> i386: configure, build, test"
cmake --preset i386 "${emulator[@]}" >/dev/null
cmake --build --preset i386 -j "$(nproc 2>/dev/null || echo 2)"
ctest --preset i386
scripts/check-secrets.sh build/i386
readelf -h build/i386/libzefa-nlp-engine.so.1 | grep -E "Class|Machine"
