#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# The main job, offline: installs what is missing, builds the library and its tools against the
# bundled mock model service on 127.0.0.1:8765, starts the service, streams one answer through
# the library with zefa-chat, and stops the service again (also on failure or Ctrl-C).
# Progress lines go to standard error, the answer to standard output; CMake's and the compiler's
# output goes to build/demo.log, whose end a failure shows. Run it as yourself: it calls sudo
# where apt needs it.
# Usage: scripts/demo.sh [--] [PROMPT...]
set -euo pipefail
cd "$(dirname "$0")/.."
. scripts/lib/common.sh
step_prefix="==>"
step_log=build/demo.log

case "${1:-}" in
    -h | --help) print_usage; exit 0 ;;
    --) shift ;;
esac
check_clone_access .
prompt=${*:-"Hello! Show me how an answer streams in, token by token."}
port=8765
mkdir -p build
: >"$step_log"

say "build dependencies (scripts/install-deps.sh)"
scripts/install-deps.sh
say "building (preset demo: service address http://127.0.0.1:$port)"
run_logged cmake --preset demo
run_logged cmake --build --preset demo -j "$(nproc 2>/dev/null || echo 2)"

tools=build/demo/tools
"$tools/zefa-mock-service" --port "$port" --pace-ms 40 2>build/demo/mock-service.log &
service=$!
stop_service() { kill "$service" 2>/dev/null && wait "$service" 2>/dev/null || true; }
trap stop_service EXIT
trap 'exit 130' INT TERM

# Wait (bounded) until the service says it listens: a port that merely answers may be another
# program's, which the service refuses to share.
service_listens() {
    local _
    for _ in $(seq 100); do
        kill -0 "$service" 2>/dev/null || return 1
        ! grep -q "listening on" build/demo/mock-service.log || return 0
        sleep 0.1
    done
    return 1
}
if ! service_listens; then
    cat build/demo/mock-service.log >&2
    die "zefa-mock-service did not say within 10 s that it listens on port $port (its log is above)"
fi

say "zefa-chat -p \"$prompt\""
# No standard input: zefa-chat -p would send what is piped in after the prompt.
ZEFA_API_KEY=demo-key "$tools/zefa-chat" --stats -p "$prompt" </dev/null
