#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# The Debian packages on a machine that has never seen the project: a fresh tree of the Debian
# release they were built on gets them with apt alone, zefa-chat streams an answer from the
# packaged zefa-mock-service, and a host builds and runs against the development package through
# find_package and through pkg-config.
#
#   tests/fresh_packages_test.sh <directory with the .deb files> <consumer source> <service port>
#
# The packages are those of a test build, whose service address is http://127.0.0.1:<port>.
# Exits 77 (skipped) without root or mmdebstrap.
set -euo pipefail

readonly start_limit_s=30
readonly answer_limit_s=60

# In the fresh tree, from /opt/fresh-packages.
inside() {
    local port=$1 prompt="streamed on a fresh machine"
    export DEBIAN_FRONTEND=noninteractive
    echo "==> apt-get install ./*.deb (only Debian's archive besides them)"
    apt-get update -q >/dev/null
    apt-get install -y -q ./debs/*.deb >apt.log 2>&1 || { cat apt.log; exit 1; }
    echo "    $(grep -c '^Setting up' apt.log) packages set up"

    echo "==> zefa-chat against zefa-mock-service on 127.0.0.1:$port"
    zefa-mock-service --port "$port" --pace-ms 1 2>service.log &
    service=$!
    trap 'kill "$service" 2>/dev/null || true' EXIT
    local waited=0
    # Its own line, not just an answering port: another program's would answer too.
    until grep -q "listening on" service.log; do
        kill -0 "$service" 2>/dev/null || { cat service.log; exit 1; }
        [ "$waited" -lt $((start_limit_s * 10)) ] || { echo "no service after ${start_limit_s} s"; exit 1; }
        sleep 0.1
        waited=$((waited + 1))
    done
    local answer
    answer=$(ZEFA_API_KEY=fresh-key timeout "$answer_limit_s" zefa-chat --stats -p "$prompt")
    echo "    $answer"
    [ "$answer" = "You said: $prompt" ] || { echo "unexpected answer"; cat service.log; exit 1; }
    kill "$service"
    wait "$service" 2>/dev/null || true
    trap - EXIT

    echo "==> a host built against libzefa-nlp-engine-dev"
    apt-get install -y -q g++ make cmake pkg-config >apt.log 2>&1 || { cat apt.log; exit 1; }
    cmake -S consumer -B consumer-build >build.log 2>&1 &&
        cmake --build consumer-build >>build.log 2>&1 || { cat build.log; exit 1; }
    consumer-build/consumer_cmake
    consumer-build/consumer_pkgconfig
}

if [ "${1:-}" = "--inside" ]; then
    inside "$2"
    exit 0
fi

[ $# -eq 3 ] || { sed -n '8p' "$0" >&2; exit 2; }
debs=$1 consumer=$2 port=$3
if [ "$(id -u)" -ne 0 ] || ! command -v mmdebstrap >/dev/null; then
    echo "skipped: needs root and mmdebstrap to make a fresh Debian tree"
    exit 77
fi
stage=$(mktemp -d)
trap 'rm -rf "$stage"' EXIT
mkdir -p "$stage/fresh-packages/debs"
cp "$debs"/*.deb "$stage/fresh-packages/debs/"
cp -r "$consumer" "$stage/fresh-packages/consumer"
cp "$0" "$stage/fresh-packages/"
ls "$stage/fresh-packages/debs"
release=$(. /etc/os-release && echo "$VERSION_ID")
"$(dirname "$0")/../scripts/fresh-debian.sh" --release "$release" \
    --copy "$stage/fresh-packages" -- \
    bash -c "cd fresh-packages && bash $(basename "$0") --inside $port"
